// What failure reporting needs from the operating system: which module holds
// a code address, a blocking notice the user acknowledges, and the end of the
// process. Everything here works in storage of its own, because it runs after
// a failure that may be exhausted memory.
#pragma once

#include <cstddef>
#include <string_view>

namespace tallyweb {

/// Room for a module path in UTF-8 and its NUL: the longest path Windows has
/// is 32767 UTF-16 units, each at most three bytes in UTF-8.
constexpr std::size_t kModulePathCapacity = 3 * 32767 + 1;

struct ModuleLookup {
  /// Where the module's image starts in memory.
  const void* allocation_base = nullptr;
  /// The module's full path, NUL-ended, `path_length` bytes before the NUL.
  char path[kModulePathCapacity] = {};
  std::size_t path_length = 0;
};

/// Finds the module whose image holds `address`. False when the address lies
/// in no module (the stack, the heap, unmapped memory).
bool LookUpModule(const void* address, ModuleLookup* module);

/// The bytes that end a directory in a module path: "\\" on Windows.
std::string_view ModulePathDelimiters();

/// Shows `text` (NUL-ended) under the title "Application Error" and returns
/// once the user has acknowledged it.
void ShowFailureBox(const char* text);

/// Ends the process with `exit_code`; no finalisation of its own.
[[noreturn]] void ExitWithCode(int exit_code);

}  // namespace tallyweb
