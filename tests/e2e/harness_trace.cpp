// The harness's reading of what a run left behind: the failure boxes in
// Wine's message box trace, the shell handler's record, and the failure
// text's form.
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "harness_internal.h"

namespace tallyweb::e2e {
namespace internal {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kBoxTrace[] = "trace:msgbox:MSGBOX_OnInit L\"";

void AppendUtf8(unsigned code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Undoes Wine's debug quoting of a wide string: \n \r \t \" \\ and \XXXX.
Box DecodeTracedText(const std::string& quoted) {
  Box box{"", true};
  size_t end = quoted.rfind('"');
  if (end == std::string::npos) return {quoted, false};
  box.whole = quoted.compare(end, 4, "\"...") != 0;
  for (size_t i = 0; i < end; ++i) {
    if (quoted[i] != '\\' || i + 1 >= end) {
      box.text.push_back(quoted[i]);
      continue;
    }
    char c = quoted[++i];
    if (c == 'n') box.text.push_back('\n');
    else if (c == 'r') box.text.push_back('\r');
    else if (c == 't') box.text.push_back('\t');
    else if (c == '"' || c == '\\') box.text.push_back(c);
    else {
      AppendUtf8(std::stoul(quoted.substr(i, 4), nullptr, 16), &box.text);
      i += 3;
    }
  }
  return box;
}

}  // namespace

std::vector<Box> BoxesIn(const std::string& stderr_text) {
  std::vector<Box> boxes;
  std::istringstream lines(stderr_text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find(kBoxTrace);
    if (at != std::string::npos)
      boxes.push_back(DecodeTracedText(line.substr(at + sizeof kBoxTrace - 1)));
  }
  return boxes;
}

// The handler's record: lines "argc=N", "argK=...", "show=...".
ShellRequest AwaitShellLog(const std::string& log, int wait_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (!fs::exists(log) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ShellRequest request;
  if (!fs::exists(log)) return request;
  request.asked = true;
  std::istringstream lines(ReadWhole(log));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 3, "arg") == 0 && line.compare(0, 5, "argc=") != 0)
      request.args.push_back(line.substr(line.find('=') + 1));
    else if (line.compare(0, 4, "long") == 0)
      request.long_args.push_back(line.substr(line.find('=') + 1));
    else if (line.compare(0, 5, "first") == 0)
      request.first_lines.push_back(line.substr(line.find('=') + 1));
    else if (line.compare(0, 5, "show=") == 0) request.show = line.substr(5);
  }
  return request;
}

}  // namespace internal

::testing::AssertionResult IsFailureText(const std::string& text, const std::string& kind,
                                         const std::string& module, const std::string& message,
                                         bool whole) {
  // Eight digits exactly: the offset lies within the program's image.
  const std::regex first_line("Exception " + kind + " in module " + module + " at [0-9A-F]{8}\\.");
  const std::size_t newline = text.find('\n');
  const std::string shown = newline == std::string::npos ? "" : text.substr(newline + 1);
  if (newline == std::string::npos || !std::regex_match(text.substr(0, newline), first_line) ||
      (whole ? shown != message : message.compare(0, shown.size(), shown) != 0)) {
    return ::testing::AssertionFailure() << "failure text:\n" << text;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tallyweb::e2e
