// Failure reporting on Windows: the memory manager and the loader say which
// module holds an address, and the user sees the failure in a message box.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/failure_os.h"

namespace tallyweb {
namespace {

// One OK button and the stop icon, modal for the whole task though it has
// no owner window.
constexpr UINT kFailureBoxType = MB_OK | MB_ICONSTOP | MB_TASKMODAL;
static_assert(kFailureBoxType == 0x2010, "the failure box's type");

constexpr DWORD kShortPathCapacity = 261;

}  // namespace

bool LookUpModule(const void* address, ModuleLookup* module) {
  MEMORY_BASIC_INFORMATION memory{};
  if (VirtualQuery(address, &memory, sizeof memory) == 0 || memory.State != MEM_COMMIT) {
    return false;
  }
  const auto base = static_cast<HMODULE>(memory.AllocationBase);
  DWORD length = GetModuleFileNameA(base, module->path, kShortPathCapacity);
  if (length >= kShortPathCapacity) {
    // The path was cut, and the cut would fall inside a directory's name or
    // the file's, which the box would then show as the module's name. Ask
    // again with room for any path Windows has.
    length = GetModuleFileNameA(base, module->path, static_cast<DWORD>(kModulePathCapacity));
    if (length >= kModulePathCapacity) return false;
  }
  if (length == 0) return false;
  module->path[length] = '\0';
  module->path_length = length;
  module->allocation_base = memory.AllocationBase;
  return true;
}

std::string_view ModulePathDelimiters() { return "\\"; }

void ShowFailureBox(const char* text) {
  MessageBoxA(nullptr, text, "Application Error", kFailureBoxType);
}

void ExitWithCode(int exit_code) { ExitProcess(static_cast<UINT>(exit_code)); }

}  // namespace tallyweb
