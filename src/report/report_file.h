// TReportFile: the buffered text writer behind Tallyweb.htm.
//
// Its operations never raise. A failure is recorded in PendingIoCode, and the
// run calls CheckPendingCode after each statement (open; one line; close),
// which turns a recorded code into an EInOutError. Bytes reach the platform in
// whole 128-byte blocks, and the last partial block only at FlushAndClose, so
// a run that fails midway leaves exactly the blocks already handed over.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "failure/failure_kinds.h"
#include "os/os_calls.h"

namespace tallyweb {

/// The I/O failure recorded by the report file's last failed operation; 0 when
/// none is recorded. One per thread; only CheckPendingCode reads and clears it.
extern thread_local std::int32_t PendingIoCode;

/// When PendingIoCode is set, clears it and raises EInOutError with the
/// message for that code. Not inlined, so that the raise address is the one
/// just after the caller's call.
TALLYWEB_NOINLINE void CheckPendingCode();

/// The message CheckPendingCode shows for `code`.
std::string IoErrorMessage(std::int32_t code);

/// The runtime's own I/O codes, beside the system's (os/windows_errors.h):
/// the two the report file records itself, and the others IoErrorMessage
/// words.
enum IoCode : std::int32_t {
  kIoReadBeyondEnd = 100,
  kIoDiskFull = 101,
  kIoFileNotOpen = 103,
  kIoFileNotOpenForOutput = 105,
  kIoInvalidNumericInput = 106,
};

class TReportFile {
 public:
  enum class State { kClosed, kOpenForOutput };
  static constexpr std::uint32_t kBufferSize = 128;

  explicit TReportFile(OsCalls& os) : os_(os) {}
  /// Neither writes the buffered bytes nor closes the file: only
  /// FlushAndClose completes a report. A run that fails keeps the half-written
  /// report open, so no other program can change it while the failure is
  /// shown; the end of the process gives the handle back.
  ~TReportFile() = default;
  TReportFile(const TReportFile&) = delete;
  TReportFile& operator=(const TReportFile&) = delete;

  /// Keeps the whole path, however long: the file created must be the very
  /// file the shell is later asked to open. Touches no file.
  void BindPath(const std::string& path);
  /// Creates the file at the bound path, or empties an existing one.
  void OpenNew();
  /// Appends every byte of `text`, handing out each block as it fills.
  void WriteText(std::string_view text);
  /// Appends CR LF; on a character device also hands out the buffer.
  void EndLine();
  /// Hands out the buffered bytes and gives the handle back.
  void FlushAndClose();

  const std::string& Path() const { return path_; }
  State state() const { return state_; }

 private:
  /// Hands the buffered bytes to the platform: 0, or the platform's code. The
  /// buffer is emptied first, so a block whose write fails is never retried.
  std::int32_t WriteOutBuffer();

  OsCalls& os_;
  std::string path_;
  FileHandle handle_ = 0;
  State state_ = State::kClosed;
  std::array<char, kBufferSize> buffer_{};
  std::uint32_t fill_ = 0;
  bool flush_on_line_end_ = false;
};

}  // namespace tallyweb
