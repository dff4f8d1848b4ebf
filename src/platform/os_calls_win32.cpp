// The OS seam on Windows: the kernel32 calls the program makes, each with the
// arguments it relies on, and the shell's open request.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/os_calls.h"

namespace tallyweb {
namespace {

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle FromHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

class Win32OsCalls : public OsCalls {
 public:
  std::string ProgramPath() override {
    // MAX_PATH + 1 first. A path that fills the buffer may have been cut, so
    // ask again with more room until it fits: the report must land in the
    // program's real folder, not in a prefix of it.
    std::vector<char> buffer(MAX_PATH + 1);
    while (true) {
      const DWORD size = static_cast<DWORD>(buffer.size());
      const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), size);
      if (n == 0) return {};
      if (n < size) return std::string(buffer.data(), n);
      buffer.resize(buffer.size() * 2);
    }
  }

  std::string_view PathDelimiters() const override { return "\\:"; }

  SystemFacts TakeSystemFacts() override {
    const bool double_byte = GetSystemMetrics(SM_DBCSENABLED) != 0;
    CPINFO code_page{};
    GetCPInfo(CP_ACP, &code_page);  // on failure the zeroed record has no ranges
    std::array<std::uint8_t, 12> ranges{};
    std::copy(std::begin(code_page.LeadByte), std::end(code_page.LeadByte), ranges.begin());
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    const bool nt = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    return MakeSystemFacts(double_byte, ranges, nt);
  }

  FileHandle OpenExisting(const std::string& path) override {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoFile : FromHandle(file);
  }

  std::uint64_t FileSize(FileHandle file) override {
    // Both halves: a template of 4 GiB or more is taken whole, never modulo.
    LONG high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(ToHandle(file), 0, &high, FILE_END);
    const bool failed = low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR;
    SetFilePointer(ToHandle(file), 0, nullptr, FILE_BEGIN);
    if (failed) return 0;
    return (static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low;
  }

  std::uint64_t Read(FileHandle file, char* buffer, std::uint64_t count) override {
    // ReadFile takes a 32-bit count; bigger files come in chunks.
    constexpr std::uint64_t kChunk = 1u << 30;
    std::uint64_t done = 0;
    while (done < count) {
      const DWORD want = static_cast<DWORD>(std::min(count - done, kChunk));
      DWORD got = 0;
      if (!ReadFile(ToHandle(file), buffer + done, want, &got, nullptr) || got == 0) break;
      done += got;
    }
    return done;
  }

  FileHandle CreateAlways(const std::string& path, std::int32_t* error) override {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = static_cast<std::int32_t>(GetLastError());
      return kNoFile;
    }
    return FromHandle(file);
  }

  FileType TypeOf(FileHandle file) override {
    switch (GetFileType(ToHandle(file))) {
      case FILE_TYPE_UNKNOWN: return FileType::kUnknown;
      case FILE_TYPE_CHAR: return FileType::kChar;
      case FILE_TYPE_PIPE: return FileType::kPipe;
      default: return FileType::kDisk;
    }
  }

  std::int32_t Write(FileHandle file, const char* data, std::uint32_t count) override {
    DWORD written = 0;
    if (WriteFile(ToHandle(file), data, count, &written, nullptr)) return 0;
    return static_cast<std::int32_t>(GetLastError());
  }

  std::int32_t Close(FileHandle file) override {
    if (CloseHandle(ToHandle(file)) == 1) return 0;
    return static_cast<std::int32_t>(GetLastError());
  }

  void ShellOpen(const std::string& path) override {
    ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }
};

}  // namespace

std::unique_ptr<OsCalls> MakeSystemOsCalls() { return std::make_unique<Win32OsCalls>(); }

}  // namespace tallyweb
