// End-to-end harness: runs the real programs, Tallyweb.exe under Wine and the
// native build, in a throwaway program folder, against the registry of the
// test Wine prefix, and hands back everything a user could observe: the exit
// code, the failure boxes, the report's bytes and the shell's open request.
//
// The tests run through CTest, whose e2e_env fixture starts Xvfb and a
// persistent wine server on the prefix (tests/e2e/e2e_env.sh). All e2e tests
// share that prefix's registry, so CTest runs them one at a time.
//
// Typical use:
//   PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
//   ProgramFolder folder(Build::kWindows);
//   folder.WriteTemplate("A\r\n{\r\nB &Name\r\n}\r\nC\r\n");
//   RunOutcome run = folder.Run();
//   EXPECT_EQ(0, run.exit_code);
//   EXPECT_EQ("A\r\nB X\r\nC\r\n", run.report);
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace tallyweb::e2e {

enum class Build { kWindows, kNative };

/// "Windows" or "native", for a test's trace.
const char* BuildName(Build build);

/// The report's line in place of the downloads when there is no list key.
inline constexpr char kNotFound[] = "<H3>Orvalink is not found</H3>\r\n";

/// The failure text's two lines: "Exception <kind> in module <module> at
/// <offset>." (`kind` and `module` are patterns; the offset, which differs
/// from build to build, is matched as eight uppercase hex digits), then
/// `message`. With `whole` false, Wine's trace cut a long text short, and
/// what it shows of the second line must begin `message`.
::testing::AssertionResult IsFailureText(const std::string& text, const std::string& kind,
                                         const std::string& module, const std::string& message,
                                         bool whole = true);

/// A file's bytes; empty when it cannot be read.
std::string ReadWhole(const std::string& path);

/// One "Application Error" box the program showed, as Wine traced it.
struct Box {
  std::string text;  // the box's text, "\n" between its lines; UTF-8
  bool whole;        // false when Wine's trace cut a long text short
};

/// What the shell was asked to open, as the handler saw it.
struct ShellRequest {
  bool asked = false;
  std::vector<std::string> args;  // the handler's arguments, without its name
  // Windows: each argument's long form, the path it names if a short one.
  std::vector<std::string> long_args;
  // Windows: the first line of the file each argument names, as the handler
  // read it.
  std::vector<std::string> first_lines;
  std::string show;  // Windows: the show command ("1"), or "none"; native: ""
};

struct RunOutcome {
  int exit_code = -1;
  bool timed_out = false;
  std::vector<Box> boxes;   // Windows runs: every box, in order
  std::string stderr_text;  // the program's standard error, whole
  bool report_exists = false;
  std::string report;  // Tallyweb.htm's bytes, when it exists
  ShellRequest shell;
};

/// How long Run() waits for the shell's handler after the program has ended.
struct ShellWait {
  /// After exit code 0: the shell should have been asked, so wait this long
  /// for the handler's record before deciding it was not.
  int after_success_ms = 15000;
  /// After a failure: the shell must not be asked; a handler started anyway
  /// shows up well within this.
  int after_failure_ms = 2000;
};

/// A fresh program folder holding a copy of the program under test, below the
/// build tree's e2e work folder. Removed at the end of a passing test, kept
/// for inspection when the test failed.
class ProgramFolder {
 public:
  /// `subpath` ("a/b") puts the program that deep inside the fresh folder,
  /// e.g. to make its path long.
  explicit ProgramFolder(Build build, const std::string& subpath = "");
  ~ProgramFolder();
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;

  /// Moves the program's copy to `subpath` of the fresh folder, which then
  /// is the program folder; other files stay where they are.
  void MoveProgramTo(const std::string& subpath);

  Build build() const { return build_; }
  /// The folder's Unix path, without a trailing slash.
  const std::string& path() const { return path_; }
  /// The folder as the program itself sees it: Z:\...\ under Wine, the Unix
  /// path with a trailing slash natively.
  std::string ProgramDirectory() const;
  /// ProgramDirectory() + "Tallyweb.htm": the path the shell must be given.
  std::string ReportPath() const;

  void WriteTemplate(const std::string& bytes) const;
  void RemoveTemplate() const;
  /// Writes `bytes` to `name` in the folder.
  void WriteFile(const std::string& name, const std::string& bytes) const;
  std::string ReadFile(const std::string& name) const;
  bool Exists(const std::string& name) const;

  /// Runs the program once and collects what it did. Each "Application
  /// Error" box is dismissed with Return as soon as it appears; a program
  /// still running after 60 s is killed and reported as timed out.
  RunOutcome Run(const ShellWait& wait = ShellWait()) const;
  /// The same with more environment for the program, such as a locale
  /// ("LC_ALL=ja_JP.UTF-8" gives Wine's programs code page 932).
  RunOutcome Run(const std::vector<std::string>& environment,
                 const ShellWait& wait = ShellWait()) const;

 private:
  RunOutcome RunWindows(const ShellWait& wait) const;
  RunOutcome RunNative(const ShellWait& wait) const;

  Build build_;
  std::string root_;  // the fresh folder; path_ is root_ or below it
  std::string path_;
  std::string shell_log_;
  mutable std::vector<std::string> environment_;
};

// --- The test prefix's registry -------------------------------------------
// Values are given in .reg syntax; these helpers write the common kinds.

/// "name"="text": REG_SZ; the text's bytes are taken in the ANSI code page.
std::string Text(const std::string& name, const std::string& text);
/// REG_EXPAND_SZ holding `text` as stored.
std::string ExpandText(const std::string& name, const std::string& text);
/// REG_DWORD.
std::string Dword(const std::string& name, std::uint32_t value);
/// Any registry type with exact data bytes (hex(type):..). For REG_SZ and
/// REG_EXPAND_SZ Wine takes the bytes in the ANSI code page.
std::string Hex(const std::string& name, std::uint32_t type, const std::string& bytes);

struct DownloadKey {
  std::string name;
  std::vector<std::string> values;  // .reg value lines, as made above
};

/// How the planted .reg file is written. kAnsi: REGEDIT4, whose texts Wine
/// takes in the ANSI code page. kUtf16: a version 5 file in UTF-16, the
/// key names and texts given in UTF-8 here, any character of any script;
/// Hex data of a string type is then the stored UTF-16 bytes themselves.
enum class Encoding { kAnsi, kUtf16 };

/// Replaces the download list (32-bit view of HKLM) with exactly these
/// subkeys; an empty vector leaves an empty list key.
void PlantDownloadList(const std::vector<DownloadKey>& keys, Encoding encoding = Encoding::kAnsi);
/// Removes the download list key and its parents below Software.
void RemoveDownloadList();
/// Registers the shell recorder as the .htm handler, or removes the .htm
/// association so that the shell finds no handler at all.
void SetHtmHandler(bool recorder);

/// Runs `wine` with `args` in the test prefix; its exit code.
int Wine(const std::vector<std::string>& args);

/// Holds a file of the folder open for writing, sharing reading and writing,
/// through file_holder.exe under Wine, until Release() or destruction. The
/// program's own opens share reading only, so they cannot open such a file.
class FileHolder {
 public:
  FileHolder(const ProgramFolder& folder, const std::string& file_name);
  ~FileHolder() { Release(); }
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  /// Whether the holder has the file open.
  bool holding() const;
  /// Lets the file go; the holder's exit code.
  int Release();

 private:
  const ProgramFolder& folder_;
  std::thread thread_;
  int exit_code_ = -1;
};

}  // namespace tallyweb::e2e
