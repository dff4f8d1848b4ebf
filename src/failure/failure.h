// How a failure ends the run: the failure text, the box that shows it, and
// the end of the process. The program's only catch, in main, hands every
// failure to HandleFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/failure_kinds.h"

namespace tallyweb {

/// Room for the failure text and its NUL, in characters (UTF-16 units, as
/// the box counts them).
constexpr std::size_t kFailureTextCapacity = 1024;
constexpr std::size_t kMaxFailureTextUnits = kFailureTextCapacity - 1;
/// Room for the longest failure text in UTF-8, three bytes a unit at most.
constexpr std::size_t kFailureTextBytes = 3 * kMaxFailureTextUnits + 1;
/// The longest module file name the text shows, in characters.
constexpr std::size_t kMaxModuleNameLength = 260;

/// Arms failure reporting for the run: makes the one EOutOfMemory object
/// ("Out of memory") and turns every failed memory request into it. Call
/// once, at start.
void ArmFailureReporting();

/// The top-level failure handler: builds the failure text, shows it in the
/// box titled "Application Error", then ends the process with 1. Asks for no
/// memory, so it also works when memory has run out.
[[noreturn]] void HandleFailure(const Exception& failure, const void* raise_address);

/// Ends the process: disarms failure reporting (releases the EOutOfMemory
/// object), then exits with `exit_code`.
[[noreturn]] void EndProcess(int exit_code);

/// Called by every memory request that cannot be met: raises the one
/// EOutOfMemory object with `raise_address` while failure reporting is armed,
/// and returns without raising when it is not (before arming, after the end).
void RaiseOutOfMemoryIfArmed(const void* raise_address);

/// What the failure text is made of.
struct FailureTextParts {
  std::string_view class_name;
  /// The module's full path; only its file name is shown. Empty when the
  /// raise address lies in no module.
  std::string_view module_path;
  /// The bytes that end a directory in `module_path`.
  std::string_view path_delimiters;
  /// The raise address's distance from the start of the module's image.
  std::uintptr_t offset = 0;
  std::string_view message;
};

/// Builds "Exception %s in module %s at %p.\n%s%s" into `buffer` in UTF-8:
/// the class name, the module's file name, the offset as at least 8
/// uppercase hex digits, the message, and a full stop unless the message is
/// empty or ends in one. The text is cut to `capacity` - 1 bytes or 1023
/// characters, whichever comes first, between two characters, and NUL-ended;
/// returns its length in bytes. Asks for no memory.
std::size_t BuildFailureText(const FailureTextParts& parts, char* buffer, std::size_t capacity);

}  // namespace tallyweb
