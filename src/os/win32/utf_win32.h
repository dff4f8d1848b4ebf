// UTF-8 texts to and from Windows' wide strings, for the Win32 files only:
// wchar_t is a UTF-16 unit there, so utf.h's conversions serve as they are.
#pragma once

#include <string>
#include <string_view>

#include "text/utf.h"

namespace tallyweb {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string units = Utf8ToWide(utf8);
  return std::wstring(units.begin(), units.end());
}

inline void AppendUtf8(const wchar_t* units, std::size_t count, std::string& out) {
  AppendWideAsUtf8(reinterpret_cast<const char16_t*>(units), count, out);
}

}  // namespace tallyweb
