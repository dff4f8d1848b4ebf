// The OS seam on Windows: the kernel32 calls the program makes, each with the
// arguments it relies on, and the shell's open request. Paths travel inside
// the program as UTF-8 and reach the system through the wide calls, so that
// a folder named in any script, and one of any length, can be used.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "os/os_calls.h"
#include "os/win32/utf_win32.h"

namespace tallyweb {
namespace {

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle FromHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

// The file calls take a path of up to MAX_PATH - 1 characters as it is; a
// longer one only in the \\?\ form, which is taken literally, so only a
// full path from a drive or a share is given that form.
std::wstring FilePath(std::wstring wide) {
  if (wide.size() < MAX_PATH) return wide;
  if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\') return L"\\\\?\\" + wide;
  if (wide.compare(0, 2, L"\\\\") == 0 && wide.compare(0, 4, L"\\\\?\\") != 0 &&
      wide.compare(0, 4, L"\\\\.\\") != 0) {
    return L"\\\\?\\UNC\\" + wide.substr(2);
  }
  return wide;
}

std::wstring FilePath(const std::string& path) { return FilePath(Wide(path)); }

// Where the folders of a full path begin: after "C:\" or "\\server\share\";
// 0 for any other form.
std::size_t RootLength(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return 3;
  if (path.compare(0, 2, L"\\\\") != 0 || path.compare(0, 4, L"\\\\?\\") == 0 ||
      path.compare(0, 4, L"\\\\.\\") == 0) {
    return 0;
  }
  const std::size_t server_end = path.find(L'\\', 2);
  if (server_end == std::wstring::npos || server_end == 2) return 0;
  const std::size_t share_end = path.find(L'\\', server_end + 1);
  if (share_end == std::wstring::npos || share_end == server_end + 1) return 0;
  return share_end + 1;
}

// Calls `visit` with each entry of `folder` (a path ending in '\') until it
// answers false.
template <typename Visit>
void ForEachEntry(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileExW(FilePath(folder + L"*").c_str(), FindExInfoStandard, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  while (visit(entry) && FindNextFileW(find, &entry)) {
  }
  FindClose(find);
}

bool SameName(const std::wstring& name, const wchar_t* other) {
  return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), other, -1, TRUE) ==
         CSTR_EQUAL;
}

// The short name of the entry `name` of `folder` (a path ending in '\') when
// no other entry there answers to it, by its name or its own short name;
// empty otherwise. Wine makes a short name from a hash of the lower-cased
// long name, so folders differing only in case always share one, and any two
// may by chance; the file system then takes whichever it lists first.
std::wstring OwnShortName(const std::wstring& folder, const std::wstring& name) {
  std::wstring own;
  ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
    if (name != entry.cFileName) return true;
    own = entry.cAlternateFileName;
    return false;
  });
  if (own.empty()) return own;
  bool shared = false;
  ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
    shared = name != entry.cFileName &&
             (SameName(own, entry.cFileName) || SameName(own, entry.cAlternateFileName));
    return !shared;
  });
  return shared ? std::wstring() : own;
}

// Whether both paths lead to the very same file: the same volume and index.
bool SameFile(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION info[2];
  const std::wstring* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const HANDLE file = CreateFileW(paths[i]->c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const BOOL known = GetFileInformationByHandle(file, &info[i]);
    CloseHandle(file);
    if (!known) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// The shell finds no file past 255 characters (Wine's shell; Windows' stops
// at MAX_PATH), not even in the \\?\ form. A longer path goes with its
// folders in their short names where that is shorter and no other entry
// shares the name, the rest by their own names, and only when the form it
// gives is short enough and leads to the report's very file.
// Wine's shell also expands what it is handed to the long form in a buffer
// of 1024 characters and overruns it past that (Wine 8: at 1 028 characters
// the request was lost, from 1 033 the program died inside ShellExecuteW),
// so a longer path is not handed over in any form. Empty: no form will do.
std::wstring ShellPath(const std::string& path) {
  constexpr std::size_t kLongestShellPath = 255;
  constexpr std::size_t kLongestLongForm = 1023;
  const std::wstring wide = Wide(path);
  if (wide.size() <= kLongestShellPath) return wide;
  const std::size_t root = RootLength(wide);
  if (wide.size() > kLongestLongForm || root == 0) return {};
  std::wstring shell_form = wide.substr(0, root);
  std::size_t at = root;
  for (std::size_t end; (end = wide.find(L'\\', at)) != std::wstring::npos; at = end + 1) {
    const std::wstring name = wide.substr(at, end - at);
    const std::wstring short_name = OwnShortName(wide.substr(0, at), name);
    shell_form += !short_name.empty() && short_name.size() < name.size() ? short_name : name;
    shell_form += L'\\';
  }
  shell_form += wide.substr(at);
  if (shell_form.size() > kLongestShellPath || !SameFile(shell_form, FilePath(wide))) return {};
  return shell_form;
}

// Whether a browser reading the page in `code_page` reads the bytes the
// system gives `code` there as that very character. Measured with Wine 8's
// tables against a browser's decoders: a private-use character goes to a
// byte the decoder rejects (874, 932, 949, 1253, 1255, 1257) or to bytes it
// reads as another character (936, 950), and in 950 U+2593 goes to F9 FE,
// read as U+FFED. Every other character round-trips in every code page
// measured (874, 932, 936, 949, 950, 1250 to 1258); the C1 controls never
// reach a code page.
bool BrowsersReadBack(char32_t code, UINT code_page) {
  if (code_page == CP_UTF8) return true;
  if (code >= 0xE000 && code <= 0xF8FF) return false;
  return !(code_page == 950 && code == 0x2593);
}

// The report's bytes are in the ANSI code page. A character goes in only
// when the code page has it exactly: the conversion back must give the very
// same character, never a best-fit stand-in such as "l" for an l with a
// stroke, and a browser must read its bytes back as that character.
class AnsiCodePage : public CodePage {
 public:
  bool Encode(std::string_view utf8, std::string& out) const override {
    if (utf8.empty()) return true;
    const UINT code_page = GetACP();
    for (std::size_t at = 0; at < utf8.size();) {
      const char32_t code = NextCharacter(utf8, &at);
      if (IsSurrogate(code) || !BrowsersReadBack(code, code_page)) return false;
    }
    if (code_page == CP_UTF8) {
      out.append(utf8);
      return true;
    }
    const std::wstring wide = Wide(utf8);
    const int wide_length = static_cast<int>(wide.size());
    BOOL used_default = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length,
                                           nullptr, 0, nullptr, &used_default);
    if (length <= 0 || used_default) return false;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, &bytes[0], length,
                        nullptr, &used_default);
    const int back = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    std::wstring again(static_cast<std::size_t>(std::max(back, 0)), L'\0');
    if (back > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, &again[0], back);
    if (used_default || again != wide) return false;
    out += bytes;
    return true;
  }
};

const AnsiCodePage kAnsiCodePage;

class Win32OsCalls : public OsCalls {
 public:
  std::string ProgramPath() override {
    // MAX_PATH + 1 first. A path that fills the buffer may have been cut, so
    // ask again with more room until it fits: the report must land in the
    // program's real folder, not in a prefix of it.
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    while (true) {
      const DWORD size = static_cast<DWORD>(buffer.size());
      const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), size);
      if (n == 0) return {};
      if (n < size) {
        std::string path;
        AppendUtf8(buffer.data(), n, path);
        return path;
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  std::string_view PathDelimiters() const override { return "\\:"; }

  SystemFacts TakeSystemFacts() override {
    SystemFacts facts;
    facts.double_byte = GetSystemMetrics(SM_DBCSENABLED) != 0;
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    facts.nt = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    facts.code_page = &kAnsiCodePage;
    return facts;
  }

  FileHandle OpenExisting(const std::string& path) override {
    const HANDLE file = CreateFileW(FilePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
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
    const HANDLE file = CreateFileW(FilePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
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
    // A path no form of which the shell can take safely is not handed over:
    // the report stays where it was written, for the user to open.
    const std::wstring shell_path = ShellPath(path);
    if (shell_path.empty()) return;
    ShellExecuteW(nullptr, L"open", shell_path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }
};

}  // namespace

std::unique_ptr<OsCalls> MakeSystemOsCalls() { return std::make_unique<Win32OsCalls>(); }

}  // namespace tallyweb
