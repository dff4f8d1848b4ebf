// Failure reporting on Windows: the memory manager and the loader say which
// module holds an address, and the user sees the failure in a message box.
// Both speak UTF-16, so that a program folder named in any script is shown
// as it is.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "failure/failure.h"
#include "os/failure_os.h"
#include "text/utf.h"

namespace tallyweb {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

// One OK button and the stop icon, modal for the whole task though it has
// no owner window.
constexpr UINT kFailureBoxType = MB_OK | MB_ICONSTOP | MB_TASKMODAL;
static_assert(kFailureBoxType == 0x2010, "the failure box's type");

constexpr DWORD kShortPathCapacity = 261;
// The longest path Windows has, in UTF-16 units, and its NUL.
constexpr DWORD kWidePathCapacity = 32768;

// Static: this runs after a failure, when memory may have run out.
wchar_t g_wide_path[kWidePathCapacity];
wchar_t g_wide_text[kFailureTextCapacity];

}  // namespace

bool LookUpModule(const void* address, ModuleLookup* module) {
  MEMORY_BASIC_INFORMATION memory{};
  if (VirtualQuery(address, &memory, sizeof memory) == 0 || memory.State != MEM_COMMIT) {
    return false;
  }
  const auto base = static_cast<HMODULE>(memory.AllocationBase);
  DWORD length = GetModuleFileNameW(base, g_wide_path, kShortPathCapacity);
  if (length >= kShortPathCapacity) {
    // The path was cut, and the cut would fall inside a directory's name or
    // the file's, which the box would then show as the module's name. Ask
    // again with room for any path Windows has.
    length = GetModuleFileNameW(base, g_wide_path, kWidePathCapacity);
    if (length >= kWidePathCapacity) return false;
  }
  if (length == 0) return false;
  // UTF-8, as every text inside the program; it takes at most three bytes
  // for each unit, which the module path's room allows for.
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, g_wide_path, static_cast<int>(length),
                                        module->path, static_cast<int>(kModulePathCapacity - 1),
                                        nullptr, nullptr);
  if (bytes <= 0) return false;
  module->path[bytes] = '\0';
  module->path_length = static_cast<std::size_t>(bytes);
  module->allocation_base = memory.AllocationBase;
  return true;
}

std::string_view ModulePathDelimiters() { return "\\"; }

// The text is UTF-8; the wide box shows every character of a path in it,
// whatever the system's code page.
void ShowFailureBox(const char* text) {
  const std::size_t units = Utf8ToWide(text, reinterpret_cast<char16_t*>(g_wide_text),
                                       kFailureTextCapacity - 1);
  g_wide_text[units] = L'\0';
  MessageBoxW(nullptr, g_wide_text, L"Application Error", kFailureBoxType);
}

void ExitWithCode(int exit_code) { ExitProcess(static_cast<UINT>(exit_code)); }

}  // namespace tallyweb
