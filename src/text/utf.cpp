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

// How many bytes the sequence at `start` takes, by its lead (C2..DF, E0..EF,
// F0..F4) and the continuation bytes that follow; 0 when the lead starts none
// or the sequence is cut short or broken.
std::size_t SequenceLength(std::string_view text, std::size_t start) {
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

bool DecodeUtf8(std::string_view text, std::size_t* at, BadUtf8Byte bad, Utf8Forms forms,
                char32_t* code) {
  const std::size_t start = *at;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(start);
  *at = start + 1;
  if (lead < 0x80) {
    *code = lead;
    return true;
  }
  if (const std::size_t length = SequenceLength(text, start); length != 0) {
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
