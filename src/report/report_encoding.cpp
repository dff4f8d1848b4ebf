#include "report/report_encoding.h"

#include <algorithm>

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

}  // namespace

void AppendInReportEncoding(std::string_view utf8, const CodePage* code_page, std::string& out) {
  // Every ANSI code page has ASCII as it is, so most values need no asking.
  if (code_page == nullptr || IsAscii(utf8)) {
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
