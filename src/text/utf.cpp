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
  const std::size_t start = *at;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(start);
  *at = start + 1;
  if (lead < 0x80) return lead;
  std::size_t length = 0;
  char32_t code = 0;
  char32_t least = 0;  // below this, the form is an overlong one
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return kReplacementCharacter;
  }
  if (text.size() - start < length) return kReplacementCharacter;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(start + i) & 0xC0) != 0x80) return kReplacementCharacter;
    code = code << 6 | (byte(start + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF) return kReplacementCharacter;
  *at = start + length;
  return code;
}

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const char32_t code = NextCharacter(text, &at);
    if (code >= 0x10000) {
      wide += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<char16_t>(code);
    }
  }
  return wide;
}

std::size_t Utf8ToWide(std::string_view text, char16_t* out, std::size_t capacity) {
  std::size_t written = 0;
  for (std::size_t at = 0; at < text.size();) {
    const char32_t code = NextCharacter(text, &at);
    if (written + WideUnits(code) > capacity) break;
    if (code >= 0x10000) {
      out[written++] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out[written++] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out[written++] = static_cast<char16_t>(code);
    }
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
