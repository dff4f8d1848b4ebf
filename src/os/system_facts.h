// Facts about the system taken once at start and never changed: its version
// and code page, and the report's encoding that follows from the code page;
// and the search for a path's last delimiter.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tallyweb {

/// The code page the report is written in, as far as the report needs it.
class CodePage {
 public:
  virtual ~CodePage() = default;
  /// When every character of `utf8` has an exact form in this code page,
  /// appends those bytes to `out` and answers true; otherwise answers false
  /// and appends nothing. A best-fit stand-in is no exact form.
  virtual bool Encode(std::string_view utf8, std::string& out) const = 0;
};

struct SystemFacts {
  /// The system runs a double-byte code page (GetSystemMetrics(SM_DBCSENABLED)).
  bool double_byte = false;
  /// The system is of the NT family (GetVersionExA reports VER_PLATFORM_WIN32_NT).
  bool nt = false;
  /// The ANSI code page the report's values are written in; null where the
  /// report is UTF-8 and values are written as they are.
  const CodePage* code_page = nullptr;
  /// Where the system's folders are not Windows folders (the native build,
  /// whose browser knows only Linux paths): the URL of a Windows folder
  /// ("C:\\x\\"), or empty to link the Windows form. Unset on Windows.
  std::function<std::string(std::string_view windows_folder)> folder_url;
};

/// Position, counted from 1, of the last byte of `text` that is one of
/// `delimiters`; 0 when there is none. A NUL byte is never a delimiter.
/// Paths are UTF-8, in which no byte of a letter beyond ASCII is an ASCII
/// byte, so every delimiter byte is a character of its own.
std::size_t LastDelimiter(std::string_view text, std::string_view delimiters);

/// The directory part of `path`: its bytes up to and including the last of
/// `delimiters` (empty when there is none).
std::string_view DirectoryPart(std::string_view path, std::string_view delimiters);

}  // namespace tallyweb
