// What the program needs from the operating system's kernel and shell: its own
// path, the system facts, the template and report files, and the shell's open
// request. No system header here: the Win32 and POSIX implementations live in
// os_calls_win32.cpp and os_calls_posix.cpp, and tests use fake_os_calls.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/system_facts.h"

namespace tallyweb {

/// An open file; kNoFile stands for INVALID_HANDLE_VALUE.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

/// What GetFileType answers, with its numbers.
enum class FileType { kUnknown = 0, kDisk = 1, kChar = 2, kPipe = 3 };

class OsCalls {
 public:
  virtual ~OsCalls() = default;

  /// The full path of the running program's own file in UTF-8, whole however
  /// long it is; empty when the system will not tell. Every path the program
  /// hands to the calls below is UTF-8 too.
  virtual std::string ProgramPath() = 0;
  /// The bytes that end a directory in ProgramPath(): "\\:" on Windows.
  virtual std::string_view PathDelimiters() const = 0;
  /// The double-byte and NT flags and the report's code page, asked of the
  /// system.
  virtual SystemFacts TakeSystemFacts() = 0;

  /// Opens an existing file for reading; other programs may read it but not
  /// write it meanwhile. kNoFile when it cannot be opened, for any reason.
  virtual FileHandle OpenExisting(const std::string& path) = 0;
  /// The file's whole size, taken by seeking to its end and back.
  virtual std::uint64_t FileSize(FileHandle file) = 0;
  /// Reads up to `count` bytes from the current position; the count read.
  virtual std::uint64_t Read(FileHandle file, char* buffer, std::uint64_t count) = 0;

  /// Creates the file, or empties an existing one, for writing while others
  /// may read it. On failure answers kNoFile and puts the platform's code in
  /// `*error`.
  virtual FileHandle CreateAlways(const std::string& path, std::int32_t* error) = 0;
  virtual FileType TypeOf(FileHandle file) = 0;
  /// Hands `count` bytes to the platform: 0, or the platform's failure code.
  virtual std::int32_t Write(FileHandle file, const char* data, std::uint32_t count) = 0;
  /// Gives the handle back: 0, or the platform's failure code.
  virtual std::int32_t Close(FileHandle file) = 0;

  /// Asks the shell to open `path` with the user's default handler, shown
  /// normally. The outcome is not reported: the report is done either way.
  virtual void ShellOpen(const std::string& path) = 0;
};

/// The running system's calls: Win32 or POSIX, as the build chose.
std::unique_ptr<OsCalls> MakeSystemOsCalls();

}  // namespace tallyweb
