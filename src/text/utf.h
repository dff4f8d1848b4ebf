// UTF-8 and UTF-16, as the program converts between them: texts travel
// inside the program as UTF-8, and Windows takes and gives UTF-16. Nothing
// here asks the system, and the conversions that fill caller storage ask for
// no memory, so failure reporting can use them after memory has run out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallyweb {

/// Stands for a byte that begins no character, and for an unpaired surrogate
/// wherever a text leaves the program.
constexpr char32_t kReplacementCharacter = 0xFFFD;

/// Appends `count` UTF-16 units as UTF-8. A surrogate pair is one character
/// of four bytes. An unpaired surrogate keeps a three-byte form of its own
/// (the form UTF-8 would give its number), so that a registry name holding
/// one can be handed back to the registry unchanged.
void AppendWideAsUtf8(const char16_t* units, std::size_t count, std::string& out);

/// The character of `text` that starts at `*at`, moving `*at` past it. A byte
/// that starts no well-formed character reads as U+FFFD and moves one byte;
/// the three-byte form of a surrogate reads as that surrogate.
char32_t NextCharacter(std::string_view text, std::size_t* at);

/// True for U+D800 to U+DFFF, which no character may be on its own.
constexpr bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

/// `text` as UTF-16, each character as NextCharacter reads it.
std::u16string Utf8ToWide(std::string_view text);

/// The same into `out`, at most `capacity` units and never half a pair;
/// the count written. No NUL is added.
std::size_t Utf8ToWide(std::string_view text, char16_t* out, std::size_t capacity);

/// How many UTF-16 units `text` takes, each character as NextCharacter reads it.
std::size_t WideLength(std::string_view text);

/// The longest start of `text` that holds at most `max_units` UTF-16 units
/// and `max_bytes` bytes and ends between two characters.
std::string_view Utf8Prefix(std::string_view text, std::size_t max_units, std::size_t max_bytes);

}  // namespace tallyweb
