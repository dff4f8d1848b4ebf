#include "report/report_encoding.h"

#include <algorithm>

#include "text/utf.h"

namespace tallyweb {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void AppendReference(char32_t code, std::string& out) {
  out += "&#";
  out += std::to_string(static_cast<unsigned long>(code));
  out += ';';
}

// The three bytes UTF-8 would give a surrogate: ED, then A0 to BF, then a
// continuation byte. Texts from the registry keep a lone surrogate that way.
bool IsEncodedSurrogate(std::string_view text, std::size_t at) {
  if (text.size() - at < 3 || static_cast<unsigned char>(text[at]) != 0xED) return false;
  const unsigned char second = static_cast<unsigned char>(text[at + 1]);
  const unsigned char third = static_cast<unsigned char>(text[at + 2]);
  return second >= 0xA0 && second <= 0xBF && (third & 0xC0) == 0x80;
}

// U+0080 to U+009F, the C1 controls. No reference stands for one: HTML reads
// "&#128;" to "&#159;" as the windows-1252 characters of those bytes, so the
// page would show a character the value does not hold; and some code pages
// give them bytes the browsers' decoders reject.
constexpr bool IsC1Control(char32_t code) { return code >= 0x80 && code <= 0x9F; }

// The two bytes UTF-8 gives a C1 control: C2, then 80 to 9F.
bool IsEncodedC1Control(std::string_view text, std::size_t at) {
  return text.size() - at >= 2 && static_cast<unsigned char>(text[at]) == 0xC2 &&
         IsC1Control(static_cast<unsigned char>(text[at + 1]));
}

bool HasC1Control(std::string_view text) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (IsEncodedC1Control(text, at)) return true;
  }
  return false;
}

}  // namespace

void PutAsUtf8(std::string_view utf8, const std::function<void(std::string_view)>& put) {
  std::size_t done = 0;
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t length = IsEncodedSurrogate(utf8, at)   ? 3
                               : IsEncodedC1Control(utf8, at) ? 2
                                                              : 0;
    if (length == 0) {
      ++at;
      continue;
    }
    if (at > done) put(utf8.substr(done, at - done));
    put("&#65533;");
    at += length;
    done = at;
  }
  if (utf8.size() > done) put(utf8.substr(done));
}

void AppendInReportEncoding(std::string_view utf8, const CodePage* code_page, std::string& out) {
  // Every ANSI code page has ASCII as it is, so most values need no asking.
  if (code_page == nullptr) {
    PutAsUtf8(utf8, [&out](std::string_view piece) { out.append(piece); });
    return;
  }
  if (IsAscii(utf8)) {
    out.append(utf8);
    return;
  }
  if (!HasC1Control(utf8) && code_page->Encode(utf8, out)) return;
  // Some character is missing: only those become references, one each.
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t start = at;
    const char32_t code = NextCharacter(utf8, &at);
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (IsSurrogate(code) || IsC1Control(code)) {
      AppendReference(kReplacementCharacter, out);
    } else if (!code_page->Encode(utf8.substr(start, at - start), out)) {
      AppendReference(code, out);
    }
  }
}

}  // namespace tallyweb
