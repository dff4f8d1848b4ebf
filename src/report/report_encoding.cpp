#include "report/report_encoding.h"

#include <algorithm>
#include <cstring>

#include "platform/utf.h"

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

}  // namespace

void PutAsUtf8(std::string_view utf8, const std::function<void(std::string_view)>& put) {
  std::size_t done = 0;
  for (std::size_t at = 0; at < utf8.size();) {
    const void* found = std::memchr(utf8.data() + at, 0xED, utf8.size() - at);
    if (found == nullptr) break;
    at = static_cast<std::size_t>(static_cast<const char*>(found) - utf8.data());
    if (!IsEncodedSurrogate(utf8, at)) {
      ++at;
      continue;
    }
    if (at > done) put(utf8.substr(done, at - done));
    put("&#65533;");
    at += 3;
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
  if (code_page->Encode(utf8, out)) return;
  // Some character is missing: only those become references, one each.
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t start = at;
    const char32_t code = NextCharacter(utf8, &at);
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (IsSurrogate(code)) {
      AppendReference(kReplacementCharacter, out);
    } else if (!code_page->Encode(utf8.substr(start, at - start), out)) {
      AppendReference(code, out);
    }
  }
}

}  // namespace tallyweb
