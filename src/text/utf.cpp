#include "text/utf.h"

namespace tallyweb {
namespace {

void AppendCodePoint(char32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// How many units the character takes in UTF-16.
std::size_t WideUnits(char32_t code) { return code >= 0x10000 ? 2 : 1; }

}  // namespace

void AppendWideAsUtf8(const char16_t* units, std::size_t count, std::string& out) {
  for (std::size_t i = 0; i < count; ++i) {
    char32_t code = units[i];
    if (IsHighSurrogate(code) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    AppendCodePoint(code, out);
  }
}

char32_t NextCharacter(std::string_view text, std::size_t* at) {
  char32_t code = kReplacementCharacter;
  DecodeUtf8(text, at, BadUtf8Byte::kReplacementCharacter, Utf8Forms::kShortest, &code);
  return code;
}

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  char16_t units[2];
  for (std::size_t at = 0; at < text.size();) {
    wide.append(units, ToUtf16(NextCharacter(text, &at), units));
  }
  return wide;
}

std::size_t Utf8ToWide(std::string_view text, char16_t* out, std::size_t capacity) {
  std::size_t written = 0;
  for (std::size_t at = 0; at < text.size();) {
    const char32_t code = NextCharacter(text, &at);
    if (written + WideUnits(code) > capacity) break;
    written += ToUtf16(code, out + written);
  }
  return written;
}

std::size_t WideLength(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t at = 0; at < text.size();) units += WideUnits(NextCharacter(text, &at));
  return units;
}

std::string_view Utf8Prefix(std::string_view text, std::size_t max_units, std::size_t max_bytes) {
  std::size_t units = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end;
    const std::size_t more = WideUnits(NextCharacter(text, &next));
    if (units + more > max_units || next > max_bytes) break;
    units += more;
    end = next;
  }
  return text.substr(0, end);
}

}  // namespace tallyweb
