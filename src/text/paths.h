// Paths as the program handles them: UTF-8 byte strings, split at the bytes
// the system takes for delimiters ("\\:" on Windows, "/" natively), and
// written into file: URLs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallyweb {

/// Position, counted from 1, of the last byte of `text` that is one of
/// `delimiters`; 0 when there is none. A NUL byte is never a delimiter.
/// Paths are UTF-8, in which no byte of a letter beyond ASCII is an ASCII
/// byte, so every delimiter byte is a character of its own.
std::size_t LastDelimiter(std::string_view text, std::string_view delimiters);

/// The directory part of `path`: its bytes up to and including the last of
/// `delimiters` (empty when there is none).
std::string_view DirectoryPart(std::string_view path, std::string_view delimiters);

/// Appends `byte` to a URL as its escape: "%" and two upper-case hex digits.
void AppendUrlEscape(char byte, std::string& url);

}  // namespace tallyweb
