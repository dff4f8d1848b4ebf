// The report run end to end: the real Tallyweb.exe under Wine, in a fresh
// program folder, with the download list planted in the prefix's registry.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"

namespace tallyweb::e2e {
namespace {

enum class List { kMissing, kEmpty, kXY };

void PlantList(List list) {
  switch (list) {
    case List::kMissing: RemoveDownloadList(); break;
    case List::kEmpty: PlantDownloadList({}); break;
    case List::kXY:
      PlantDownloadList({{"X", {Dword("Item_Size", 1)}}, {"Y", {Dword("Item_Size", 2)}}});
      break;
  }
}

class ReportRun : public ::testing::Test {
 protected:
  void SetUp() override { SetHtmHandler(true); }
};

// Each template is taken byte for byte; every line written ends in CR LF.
TEST_F(ReportRun, WritesHeadBlocksAndTail) {
  struct {
    const char* name;
    List list;
    std::string template_bytes;
    std::string want;
  } cases[] = {
      {"two downloads, one block each", List::kXY, "A\r\n{\r\nB &Name\r\n}\r\nC\r\n",
       "A\r\nB X\r\nB Y\r\nC\r\n"},
      {"list key without subkeys: head and tail only", List::kEmpty,
       "A\r\n{\r\nB &Name\r\n}\r\nC\r\n", "A\r\nC\r\n"},
      {"missing list key: the not-found line after the tail", List::kMissing,
       "A\r\n{\r\nB &Name\r\n}\r\nC\r\n", std::string("A\r\nC\r\n") + kNotFound},
      {"no marker lines: every line but the first", List::kXY, "A\r\nB &Name\r\nC",
       "B &Name\r\nC\r\n"},
      {"close before open: the lines between are written twice", List::kXY,
       "A\r\n}\r\nB &Name\r\n{\r\nC\r\n", "A\r\n}\r\nB &Name\r\nB &Name\r\n{\r\nC\r\n"},
      {"empty template, list found: an empty report", List::kEmpty, "", ""},
      {"empty template, list missing: only the not-found line", List::kMissing, "", kNotFound},
      {"lone LF and lone CR end lines; CR LF is written", List::kEmpty, "{\n}\nA\rB\n\nC",
       "A\r\nB\r\n\r\nC\r\n"},
      {"bytes above 0x7F and a byte-order mark pass unchanged", List::kEmpty,
       "\xEF\xBB\xBF<p>\r\n{\r\n}\r\n\xE9t\xE9\r\n", "\xEF\xBB\xBF<p>\r\n\xE9t\xE9\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlantList(c.list);
    ProgramFolder folder(Build::kWindows);
    folder.WriteTemplate(c.template_bytes);

    RunOutcome run = folder.Run();

    EXPECT_EQ(0, run.exit_code) << run.stderr_text;
    EXPECT_TRUE(run.boxes.empty());
    ASSERT_TRUE(run.report_exists);
    EXPECT_EQ(c.want, run.report);
    EXPECT_TRUE(run.shell.asked);
    EXPECT_EQ(std::vector<std::string>{folder.ReportPath()}, run.shell.args);
    EXPECT_EQ("1", run.shell.show) << "the report is opened to be seen";
  }
}

TEST_F(ReportRun, EarlierLongerReportIsReplacedWhole) {
  PlantList(List::kEmpty);
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate("{\r\n}\r\nnew\r\n");
  folder.WriteFile("Tallyweb.htm", std::string(900, 'o'));

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("new\r\n", run.report);
}

TEST_F(ReportRun, NoHandlerForTheReportStillEndsWithExitCodeZero) {
  SetHtmHandler(false);
  PlantList(List::kEmpty);
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate("{\r\n}\r\ndone\r\n");

  ShellWait short_wait;
  short_wait.after_success_ms = 3000;
  RunOutcome run = folder.Run(short_wait);

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ("done\r\n", run.report);
  EXPECT_FALSE(run.shell.asked);
}

// A missing template stops the run before the report is created: nothing is
// created or changed and the shell is not asked.
TEST_F(ReportRun, MissingTemplateLeavesTheReportAlone) {
  struct {
    const char* name;
    bool earlier_report;
  } cases[] = {{"no earlier report", false}, {"earlier report kept", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlantList(List::kXY);
    ProgramFolder folder(Build::kWindows);
    if (c.earlier_report) folder.WriteFile("Tallyweb.htm", "earlier\r\n");

    RunOutcome run = folder.Run();

    EXPECT_EQ(1, run.exit_code) << run.stderr_text;
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(c.earlier_report, run.report_exists);
    if (c.earlier_report) {
      EXPECT_EQ("earlier\r\n", run.report);
    }
    EXPECT_FALSE(run.shell.asked);
  }
}

const std::string kDeep = std::string(100, 'a') + "/" + std::string(100, 'b') + "/" +
                          std::string(100, 'c');

// A program folder whose path is longer than MAX_PATH: the report is created
// under the whole path, and the shell is asked to open that same file.
TEST_F(ReportRun, LongProgramFolderKeepsTheWholePathNatively) {
  PlantList(List::kMissing);
  ProgramFolder folder(Build::kNative, kDeep);
  ASSERT_GT(folder.ReportPath().size(), 300u);
  folder.WriteTemplate("A\r\n");

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ(kNotFound, run.report);
  EXPECT_EQ(std::vector<std::string>{folder.ReportPath()}, run.shell.args);
}

// A program folder named in another script than the code page's, and one
// longer than MAX_PATH (Wine starts a program from it when the working
// folder is short): the template is read and the report written there, and
// the shell is asked once to open that very file, which it finds by name up
// to 255 characters, and past that by its short form.
TEST_F(ReportRun, ProgramFolderOfAnyScriptAndLengthUnderWine) {
  struct {
    const char* name;
    std::string subpath;
  } cases[] = {
      {"Cyrillic, CJK and a symbol", "Отчёт 下载 ✓"},
      {"past MAX_PATH", kDeep},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlantList(List::kXY);
    ProgramFolder folder(Build::kWindows, c.subpath);
    folder.WriteTemplate("A\r\n{\r\n&Name\r\n}\r\n");

    RunOutcome run = folder.Run();

    EXPECT_EQ(0, run.exit_code) << run.stderr_text;
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ("A\r\nX\r\nY\r\n", run.report);
    // Past what the shell takes, the path comes in its short form.
    ASSERT_EQ(1u, run.shell.args.size());
    EXPECT_LT(run.shell.args[0].size(), 256u);
    EXPECT_EQ(std::vector<std::string>{folder.ReportPath()}, run.shell.long_args);
  }
}

// Under Wine the shell opens report paths of up to 255 characters (measured
// with Wine 8; longer ones it answers with "file not found", 2).
TEST_F(ReportRun, ReportPathOfTheLongestLengthWineOpens) {
  PlantList(List::kMissing);
  // Folders made for the same test differ only in their random letters.
  const size_t base = ProgramFolder(Build::kWindows).ProgramDirectory().size();
  const size_t kReportPathLength = 255;  // the longest Wine's shell opens
  const size_t dir_length = kReportPathLength - std::string("Tallyweb.htm").size();
  ASSERT_LT(base + 2, dir_length);
  ProgramFolder folder(Build::kWindows, std::string(dir_length - base - 1, 'd'));
  ASSERT_EQ(kReportPathLength, folder.ReportPath().size());
  folder.WriteTemplate("A\r\n");

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ(kNotFound, run.report);
  EXPECT_EQ(std::vector<std::string>{folder.ReportPath()}, run.shell.args);
  EXPECT_EQ("1", run.shell.show);
}

// Wine makes a folder's short name from its lower-cased name, so two folders
// differing only in case answer to the same short name, which leads to the
// one listed first. Past 255 characters the shell must still be handed this
// run's report, not the older one in that other folder.
TEST_F(ReportRun, LongReportPathBesideAFolderDifferingOnlyInCase) {
  namespace fs = std::filesystem;
  PlantList(List::kEmpty);
  const std::string parent = std::string(250, 'p');
  ProgramFolder folder(Build::kWindows, parent);
  for (const char* name : {"Tallyweb reports", "tallyweb reports"}) {
    fs::create_directory(folder.path() + "/" + name);
  }
  std::vector<std::string> listed;
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    if (entry.is_directory()) listed.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(2u, listed.size());
  // The older report where the shared short name leads, the program in the
  // other folder.
  std::ofstream(folder.path() + "/" + listed[0] + "/Tallyweb.htm", std::ios::binary)
      << "older report\r\n";
  folder.MoveProgramTo(parent + "/" + listed[1]);
  ASSERT_GT(folder.ReportPath().size(), 255u);
  folder.WriteTemplate("{\r\n}\r\nthis run\r\n");

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ("this run\r\n", run.report);
  ASSERT_TRUE(run.shell.asked);
  EXPECT_EQ(std::vector<std::string>{"this run"}, run.shell.first_lines)
      << "the shell was handed " << (run.shell.args.empty() ? "" : run.shell.args[0]);
}

// Wine's shell overruns a buffer when the path it is handed is longer than
// about 1 024 characters in its long form, and the program died inside the
// request. From such a folder the report is written, the shell is not
// asked, and the run ends as every completed run does.
TEST_F(ReportRun, ProgramFolderTooLongForTheShellStillEndsWithExitCodeZero) {
  PlantList(List::kXY);
  const std::size_t base = ProgramFolder(Build::kWindows).ProgramDirectory().size();
  const std::size_t kFolderLength = 1100;  // without the closing backslash
  std::string subpath;
  for (std::size_t length = base - 1; length < kFolderLength;) {
    const std::size_t room = kFolderLength - length - 1;
    // Folders of up to 200 letters, none left empty at the end.
    const std::size_t part = room > 200 ? std::min<std::size_t>(200, room - 2) : room;
    subpath += (subpath.empty() ? "" : "/") + std::string(part, 'f');
    length += part + 1;
  }
  ProgramFolder folder(Build::kWindows, subpath);
  ASSERT_EQ(kFolderLength + 1, folder.ProgramDirectory().size());
  folder.WriteTemplate("A\r\n{\r\n&Name\r\n}\r\n");

  ShellWait short_wait;
  short_wait.after_success_ms = 3000;
  RunOutcome run = folder.Run(short_wait);

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_FALSE(run.timed_out);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ("A\r\nX\r\nY\r\n", run.report);
  EXPECT_FALSE(run.shell.asked);
}

}  // namespace
}  // namespace tallyweb::e2e
