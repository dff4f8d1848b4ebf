// Facts about the system, taken once at start and never changed: whether it
// runs a double-byte code page, whether it is of the NT family, and the code
// page the report is written in. The code page is the system's (the Win32
// port answers it through the ANSI calls) and the report's encoding writes
// through it, so it is declared here, below both.
#pragma once

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
};

}  // namespace tallyweb
