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

/// What a byte that starts no character reads as. Each reader of UTF-8 keeps
/// the one its texts need.
enum class BadUtf8Byte {
  kReplacementCharacter,  // U+FFFD: shown for what it is.
  kLoneSurrogate,         // U+DC80..U+DCFF, U+DC00 plus the byte: names that
                          // hold any bytes still tell each byte apart.
  kDropped,               // nothing, as Wine's server reads its hive files.
};

/// Which sequences of a lead byte and its continuation bytes are characters.
enum class Utf8Forms {
  kShortest,   // only the shortest form of a number up to U+10FFFF
  kAnyLength,  // also the longer forms a three- or four-byte lead allows,
               // and numbers up to U+13FFFF, which F4 allows: each reads as
               // its number (a registry name compares them so)
};

/// How many bytes the sequence at `start` takes, by its lead (C2..DF, E0..EF,
/// F0..F4) and the continuation bytes that follow; 0 when the lead starts none
/// or the sequence is cut short or broken.
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t start) {
  const unsigned char lead = static_cast<unsigned char>(text[start]);
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || text.size() - start < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[start + i]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

/// The character of `text` that starts at `*at` (which is before its end),
/// moving `*at` past it, into `*code`. Leads are C2..DF, E0..EF and F0..F4;
/// a byte that starts no character moves one byte and reads as `bad` says,
/// false when that drops it. The three-byte form of a surrogate reads as that
/// surrogate: registry names and texts may hold one.
inline bool DecodeUtf8(std::string_view text, std::size_t* at, BadUtf8Byte bad, Utf8Forms forms,
                       char32_t* code) {
  const std::size_t start = *at;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(start);
  *at = start + 1;
  if (lead < 0x80) {
    *code = lead;
    return true;
  }
  if (const std::size_t length = Utf8SequenceLength(text, start); length != 0) {
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) value = value << 6 | (byte(start + i) & 0x3F);
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (forms == Utf8Forms::kAnyLength || (value >= kLeast[length] && value <= 0x10FFFF)) {
      *at = start + length;
      *code = value;
      return true;
    }
  }
  switch (bad) {
    case BadUtf8Byte::kReplacementCharacter: *code = kReplacementCharacter; return true;
    case BadUtf8Byte::kLoneSurrogate: *code = 0xDC00 | lead; return true;
    case BadUtf8Byte::kDropped: break;
  }
  return false;
}

/// The character of `text` that starts at `*at`, moving `*at` past it. A byte
/// that starts no well-formed character reads as U+FFFD and moves one byte;
/// the three-byte form of a surrogate reads as that surrogate.
char32_t NextCharacter(std::string_view text, std::size_t* at);

/// True for U+D800 to U+DFFF, which no character may be on its own.
constexpr bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

/// `code` as UTF-16 into `units`: itself, or from U+10000 on a high and a low
/// surrogate. The count, 1 or 2. (Past U+10FFFF, which only kAnyLength
/// reads, the first unit falls among the low surrogates.)
constexpr std::size_t ToUtf16(char32_t code, char16_t* units) {
  if (code < 0x10000) {
    units[0] = static_cast<char16_t>(code);
    return 1;
  }
  units[0] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
  units[1] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
  return 2;
}

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
