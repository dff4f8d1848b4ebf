// How a failed run ends, seen from outside: one "Application Error" box with
// the failure text (the native build: the same text on standard error), exit
// code 1, the report left as the failure found it, and no shell request.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"

namespace tallyweb::e2e {
namespace {

namespace fs = std::filesystem;

const char kTemplate[] = "A\r\n{\r\nB &Name\r\n}\r\nC\r\n";
const char kEarlierReport[] = "earlier report\r\n";

// Windows: exactly one box. Native: the box's title line, then the
// text, and nothing else on standard error.
::testing::AssertionResult ShowedOneFailure(Build build, const RunOutcome& run,
                                            const std::string& kind, const std::string& message) {
  if (build == Build::kWindows) {
    if (run.boxes.size() != 1) {
      return ::testing::AssertionFailure() << run.boxes.size() << " boxes; standard error:\n"
                                           << run.stderr_text;
    }
    return IsFailureText(run.boxes[0].text, kind, "Tallyweb\\.exe", message, run.boxes[0].whole);
  }
  const std::string title = "Application Error\n";
  const std::string& err = run.stderr_text;
  if (err.compare(0, title.size(), title) != 0 || err.back() != '\n') {
    return ::testing::AssertionFailure() << "standard error:\n" << err;
  }
  return IsFailureText(err.substr(title.size(), err.size() - title.size() - 1), kind, "Tallyweb",
                       message);
}

enum class Report { kNone, kEarlierKept, kFolder };

struct FailureCase {
  const char* name;
  std::vector<Build> builds;
  // Prepares the folder, whose template is already written.
  std::function<void(const ProgramFolder&)> prepare;
  const char* kind;
  std::function<std::string(const ProgramFolder&)> message;
  Report report;
  // Undoes what `prepare` did that would keep the folder from being removed.
  std::function<void(const ProgramFolder&)> undo = nullptr;
  // Where the program sits below the fresh folder.
  std::string subpath = "";
};

void CheckRun(const FailureCase& c, const ProgramFolder& folder, const RunOutcome& run) {
  EXPECT_FALSE(run.timed_out) << "a box nobody could find by its title stays open";
  EXPECT_EQ(1, run.exit_code) << run.stderr_text;
  EXPECT_TRUE(ShowedOneFailure(folder.build(), run, c.kind, c.message(folder)));
  EXPECT_FALSE(run.shell.asked);
  switch (c.report) {
    case Report::kNone: EXPECT_FALSE(run.report_exists); break;
    case Report::kEarlierKept: EXPECT_EQ(kEarlierReport, run.report); break;
    case Report::kFolder:
      EXPECT_TRUE(fs::is_directory(folder.path() + "/Tallyweb.htm"));
      EXPECT_TRUE(fs::is_empty(folder.path() + "/Tallyweb.htm"));
      break;
  }
}

void RunCase(const FailureCase& c) {
  for (Build build : c.builds) {
    SCOPED_TRACE(std::string(c.name) + ", " + BuildName(build));
    ProgramFolder folder(build, c.subpath);
    // Runs before the folder is removed, however the case ends: an
    // immutable file left behind could not be removed by anyone.
    struct Undo {
      const FailureCase& c;
      const ProgramFolder& folder;
      ~Undo() {
        if (c.undo) c.undo(folder);
      }
    } undo{c, folder};
    folder.WriteTemplate(kTemplate);
    c.prepare(folder);

    const RunOutcome run = folder.Run();

    CheckRun(c, folder, run);
  }
}

bool CanWrite(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r+");  // opens without emptying
  if (file != nullptr) std::fclose(file);
  return file != nullptr;
}

// Makes `path` read-only for everyone, root included: root writes whatever
// the mode bits say (and so does Wine running as root), but not a file with
// the immutable flag. False when neither works here.
bool MakeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  if (!CanWrite(path)) return true;
  return std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0 && !CanWrite(path);
}

void MakeWritable(const std::string& path) {
  std::system(("chattr -i '" + path + "' 2>/dev/null").c_str());
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

TEST(FailureBox, EveryFailureEndsInOneBoxAndExitCodeOne) {
  SetHtmHandler(true);
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  const FailureCase cases[] = {
      {"missing template: nothing created",
       {Build::kWindows, Build::kNative},
       [](const ProgramFolder& f) { f.RemoveTemplate(); },
       "EFOpenError",
       [](const ProgramFolder& f) {
         return "Cannot open file " + f.ProgramDirectory() + "template.txt.";
       },
       Report::kNone},
      {"a folder where the report goes",
       {Build::kWindows, Build::kNative},
       [](const ProgramFolder& f) { fs::create_directory(f.path() + "/Tallyweb.htm"); },
       "EInOutError",
       [](const ProgramFolder&) { return std::string("File access denied."); },
       Report::kFolder},
      // The program's path is longer than the 261 bytes first asked for:
      // the box still names the program's file, not a piece of the path.
      {"program folder path over 260 bytes",
       {Build::kWindows, Build::kNative},
       [](const ProgramFolder& f) { f.RemoveTemplate(); },
       "EFOpenError",
       [](const ProgramFolder& f) {
         return "Cannot open file " + f.ProgramDirectory() + "template.txt.";
       },
       Report::kNone,
       nullptr,
       std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(100, 'c')},
      // The box shows the path's every character, whatever the code page.
      {"program folder named in other scripts",
       {Build::kWindows, Build::kNative},
       [](const ProgramFolder& f) { f.RemoveTemplate(); },
       "EFOpenError",
       [](const ProgramFolder& f) {
         return "Cannot open file " + f.ProgramDirectory() + "template.txt.";
       },
       Report::kNone,
       nullptr,
       "Отчёт 下载 ✓"},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(FailureBox, ReadOnlyEarlierReportIsKept) {
  {
    ProgramFolder probe(Build::kNative);
    probe.WriteFile("probe", "");
    const bool read_only = MakeReadOnly(probe.path() + "/probe");
    MakeWritable(probe.path() + "/probe");
    if (!read_only) GTEST_SKIP() << "no way to make a file read-only for this user here";
  }
  SetHtmHandler(true);
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  RunCase({"read-only earlier report",
           {Build::kWindows, Build::kNative},
           [](const ProgramFolder& f) {
             f.WriteFile("Tallyweb.htm", kEarlierReport);
             ASSERT_TRUE(MakeReadOnly(f.path() + "/Tallyweb.htm"));
           },
           "EInOutError",
           [](const ProgramFolder&) { return std::string("File access denied."); },
           Report::kEarlierKept,
           [](const ProgramFolder& f) { MakeWritable(f.path() + "/Tallyweb.htm"); }});
}

// A template the address space cannot hold: the allocation for it fails
// before anything is read. A sparse file, so it takes no disk.
TEST(FailureBox, TemplateLargerThanMemoryIsOutOfMemory) {
  std::ifstream policy("/proc/sys/vm/overcommit_memory");
  int overcommit = 0;
  policy >> overcommit;
  if (overcommit == 1) {
    GTEST_SKIP() << "this system grants any allocation (vm.overcommit_memory = 1)";
  }
  SetHtmHandler(true);
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  RunCase({"template larger than memory",
           {Build::kWindows, Build::kNative},
           [](const ProgramFolder& f) {
             fs::resize_file(f.path() + "/template.txt", std::uintmax_t{1} << 40);
           },
           "EOutOfMemory",
           [](const ProgramFolder&) { return std::string("Out of memory."); },
           Report::kNone});
}

// Another program has the report open for writing: the open is refused with
// the sharing violation, which has no text of its own, and the report keeps
// what it held. Windows only: POSIX has no sharing modes.
TEST(FailureBox, ReportHeldOpenByAnotherProgram) {
  SetHtmHandler(true);
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate(kTemplate);
  folder.WriteFile("Tallyweb.htm", kEarlierReport);

  RunOutcome run;
  {
    FileHolder holder(folder, "Tallyweb.htm");
    ASSERT_TRUE(holder.holding()) << "file_holder.exe did not start";
    run = folder.Run();
    EXPECT_EQ(0, holder.Release());
  }

  const FailureCase held{"held",
                         {Build::kWindows},
                         nullptr,
                         "EInOutError",
                         [](const ProgramFolder&) { return std::string("I/O error 32."); },
                         Report::kEarlierKept};
  CheckRun(held, folder, run);
}

}  // namespace
}  // namespace tallyweb::e2e
