// FakeOsCalls: an in-memory file system standing in for the OS in tests. It
// records every call the program makes (a readable log, plus each Write with
// its bytes), and lets a test make the calls fail with chosen codes.
// Test-only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/os_calls.h"
#include "text/utf.h"

namespace tallyweb {

/// A code page for tests: ASCII, and each character (a UTF-8 key) of
/// `characters` as the bytes it maps to.
class FakeCodePage : public CodePage {
 public:
  explicit FakeCodePage(std::map<std::string, std::string> characters)
      : characters_(std::move(characters)) {}

  bool Encode(std::string_view utf8, std::string& out) const override {
    std::string bytes;
    for (std::size_t at = 0; at < utf8.size();) {
      const std::size_t start = at;
      if (NextCharacter(utf8, &at) < 0x80) {
        bytes += utf8[start];
        continue;
      }
      const auto found = characters_.find(std::string(utf8.substr(start, at - start)));
      if (found == characters_.end()) return false;
      bytes += found->second;
    }
    out += bytes;
    return true;
  }

 private:
  std::map<std::string, std::string> characters_;
};

class FakeOsCalls : public OsCalls {
 public:
  struct WriteCall {
    FileHandle file;
    std::string bytes;
  };

  // What the system reports.
  std::string program_path = "C:\\Tools\\Tallyweb.exe";
  std::string delimiters = "\\:";
  SystemFacts facts;

  // The file system: path -> content. Created files appear here, and every
  // successful Write appends to its file.
  std::map<std::string, std::string> files;

  // Failures to make.
  std::int32_t create_error = 0;  // CreateAlways fails with this when set
  int failing_write = 0;          // the Nth Write call (from 1) fails...
  std::int32_t write_error = 0;   // ...with this code
  std::int32_t close_error = 0;   // Close of a file made by CreateAlways fails with this
  FileType file_type = FileType::kDisk;
  std::uint64_t size_override = 0;        // FileSize answers this when set
  std::uint64_t read_limit = UINT64_MAX;  // Read delivers at most this many bytes

  // What happened.
  std::vector<std::string> log;  // "OpenExisting C:\x", "Write 128", ...
  std::vector<WriteCall> writes;
  std::vector<FileHandle> closes;
  std::vector<std::string> shell_requests;

  std::string ProgramPath() override { return program_path; }
  std::string_view PathDelimiters() const override { return delimiters; }
  SystemFacts TakeSystemFacts() override { return facts; }

  FileHandle OpenExisting(const std::string& path) override {
    log.push_back("OpenExisting " + path);
    if (files.count(path) == 0) return kNoFile;
    return NewHandle(path, false);
  }

  std::uint64_t FileSize(FileHandle file) override {
    if (size_override != 0) return size_override;
    return files.at(open_.at(file).path).size();
  }

  std::uint64_t Read(FileHandle file, char* buffer, std::uint64_t count) override {
    OpenFile& open = open_.at(file);
    const std::string& content = files.at(open.path);
    const std::uint64_t left = content.size() -
                               std::min<std::uint64_t>(open.position, content.size());
    const std::uint64_t n = std::min({count, left, read_limit});
    std::copy_n(content.data() + open.position, n, buffer);
    open.position += n;
    log.push_back("Read " + std::to_string(n));
    return n;
  }

  FileHandle CreateAlways(const std::string& path, std::int32_t* error) override {
    log.push_back("CreateAlways " + path);
    if (create_error != 0) {
      *error = create_error;
      return kNoFile;
    }
    files[path].clear();
    return NewHandle(path, true);
  }

  FileType TypeOf(FileHandle file) override {
    log.push_back("TypeOf " + std::to_string(file));
    return file_type;
  }

  std::int32_t Write(FileHandle file, const char* data, std::uint32_t count) override {
    log.push_back("Write " + std::to_string(count));
    writes.push_back({file, std::string(data, count)});
    if (static_cast<int>(writes.size()) == failing_write) return write_error;
    files.at(open_.at(file).path).append(data, count);
    return 0;
  }

  std::int32_t Close(FileHandle file) override {
    log.push_back("Close " + std::to_string(file));
    closes.push_back(file);
    const bool for_writing = open_.at(file).for_writing;
    open_.erase(file);
    return for_writing ? close_error : 0;
  }

  void ShellOpen(const std::string& path) override {
    log.push_back("ShellOpen " + path);
    shell_requests.push_back(path);
  }

  /// Handles still open.
  std::size_t OpenHandleCount() const { return open_.size(); }

 private:
  struct OpenFile {
    std::string path;
    std::uint64_t position = 0;
    bool for_writing = false;
  };

  FileHandle NewHandle(const std::string& path, bool for_writing) {
    const FileHandle file = next_handle_++;
    open_[file] = {path, 0, for_writing};
    return file;
  }

  std::map<FileHandle, OpenFile> open_;
  FileHandle next_handle_ = 3;
};

}  // namespace tallyweb
