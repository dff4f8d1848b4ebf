// What the hostile-input tests share: the program's file name, and two
// checks, for reports of any size and for the native build's failure text.
#pragma once

#include <cstddef>
#include <string>

#include "gtest/gtest.h"
#include "harness.h"

namespace tallyweb::e2e {

inline const char* ProgramName(Build build) {
  return build == Build::kWindows ? "Tallyweb.exe" : "Tallyweb";
}

// Compares reports of any size without printing megabytes: the sizes, and
// the first byte where they part.
inline ::testing::AssertionResult SameBytes(const std::string& want, const std::string& got) {
  if (want == got) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
  return ::testing::AssertionFailure()
         << "want " << want.size() << " bytes, got " << got.size() << "; first difference at " << at
         << ": want \"" << want.substr(at, 40) << "\", got \"" << got.substr(at, 40) << "\"";
}

// The native build tells a failure on standard error, the box's title and
// text among its lines.
inline ::testing::AssertionResult NativeFailure(const std::string& stderr_text,
                                                const std::string& kind,
                                                const std::string& message) {
  const std::size_t at = stderr_text.find("Exception ");
  if (at == std::string::npos)
    return ::testing::AssertionFailure() << "no failure text in:\n" << stderr_text;
  std::string text = stderr_text.substr(at);
  const std::size_t second = text.find('\n');
  const std::size_t end = second == std::string::npos ? second : text.find('\n', second + 1);
  return IsFailureText(text.substr(0, end), kind, "Tallyweb", message);
}

}  // namespace tallyweb::e2e
