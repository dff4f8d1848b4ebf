#include "report/report_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "os/windows_errors.h"

namespace tallyweb {

thread_local std::int32_t PendingIoCode = 0;

std::string IoErrorMessage(std::int32_t code) {
  switch (code) {
    case kErrorFileNotFound: return "File not found";
    case kErrorPathNotFound: return "Invalid filename";
    case kErrorTooManyOpenFiles: return "Too many open files";
    case kErrorAccessDenied: return "File access denied";
    case kIoReadBeyondEnd: return "Read beyond end of file";
    case kIoDiskFull: return "Disk full";
    case kIoInvalidNumericInput: return "Invalid numeric input";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "I/O error %d", static_cast<int>(code));
      return text;
    }
  }
}

TALLYWEB_NOINLINE void CheckPendingCode() {
  if (PendingIoCode == 0) return;
  const std::int32_t code = PendingIoCode;
  PendingIoCode = 0;
  RaiseAt<EInOutError>(TALLYWEB_RETURN_ADDRESS(), IoErrorMessage(code), code);
}

void TReportFile::BindPath(const std::string& path) {
  path_ = path;
  handle_ = 0;
  state_ = State::kClosed;
  fill_ = 0;
  flush_on_line_end_ = false;
}

void TReportFile::OpenNew() {
  if (state_ == State::kOpenForOutput) FlushAndClose();
  fill_ = 0;
  std::int32_t error = 0;
  const FileHandle file = os_.CreateAlways(path_, &error);
  if (file == kNoFile) {
    PendingIoCode = error;
    return;
  }
  handle_ = file;
  state_ = State::kOpenForOutput;
  switch (os_.TypeOf(handle_)) {
    case FileType::kUnknown:
      os_.Close(handle_);
      state_ = State::kClosed;
      PendingIoCode = kIoFileNotOpenForOutput;
      break;
    case FileType::kChar:
      // A console or printer shows each line as it is ended.
      flush_on_line_end_ = true;
      break;
    default: flush_on_line_end_ = false; break;
  }
}

void TReportFile::WriteText(std::string_view text) {
  if (state_ != State::kOpenForOutput) {
    PendingIoCode = kIoFileNotOpenForOutput;
    return;
  }
  while (true) {
    const std::size_t free = kBufferSize - fill_;
    if (text.size() < free) {
      // An empty view may carry a null pointer, which memcpy must not see.
      if (!text.empty()) std::memcpy(buffer_.data() + fill_, text.data(), text.size());
      fill_ += static_cast<std::uint32_t>(text.size());
      return;
    }
    std::memcpy(buffer_.data() + fill_, text.data(), free);
    fill_ = kBufferSize;
    text.remove_prefix(free);
    if (const std::int32_t code = WriteOutBuffer(); code != 0) {
      PendingIoCode = code;  // the rest of the text is dropped with the block
      return;
    }
  }
}

void TReportFile::EndLine() {
  WriteText("\r\n");
  if (state_ != State::kOpenForOutput) {
    PendingIoCode = kIoFileNotOpen;
    return;
  }
  if (!flush_on_line_end_) return;
  if (const std::int32_t code = WriteOutBuffer(); code != 0) PendingIoCode = code;
}

void TReportFile::FlushAndClose() {
  if (state_ != State::kOpenForOutput) {
    PendingIoCode = kIoFileNotOpen;
    return;
  }
  if (const std::int32_t code = WriteOutBuffer(); code != 0) {
    // The handle stays held: the file is not complete, and the run ends at
    // the check that follows.
    PendingIoCode = code;
    return;
  }
  state_ = State::kClosed;
  if (const std::int32_t code = os_.Close(handle_); code != 0) PendingIoCode = code;
}

std::int32_t TReportFile::WriteOutBuffer() {
  if (fill_ == 0) return 0;
  const std::uint32_t count = fill_;
  fill_ = 0;
  return os_.Write(handle_, buffer_.data(), count);
}

}  // namespace tallyweb
