#include "report/report_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/report_run_fixture.h"

namespace tallyweb {
namespace {

constexpr char kNotFound[] = "<H3>Orvalink is not found</H3>\r\n";

TEST_F(ReportRunTest, EachDownloadGetsItsBlockBetweenHeadAndTail) {
  PlantTemplate("A\r\n{\r\nB &Name\r\n}\r\nC\r\n");
  AddItem("X", "u", "o", 1, "d");
  AddItem("Y", "u", "o", 1, "d");
  EXPECT_EQ("", Run());
  EXPECT_EQ("A\r\nB X\r\nB Y\r\nC\r\n", Report());
}

// How the template divides into head, block and tail, for a list with one
// download, an empty list and a missing list.
TEST_F(ReportRunTest, TemplateDivisionAndTheNotFoundLine) {
  enum class List { kOneItem, kEmpty, kMissing };
  struct {
    const char* name;
    std::string template_bytes;
    List list;
    std::string want;
  } cases[] = {
      {"block with every placeholder",
       "<h1>&Name</h1>\r\n{\r\n&Name|&URL|&Out|&DOut|&Size|&Discr\r\n}\r\n</html>", List::kOneItem,
       "<h1>&Name</h1>\r\nX|http://h/a.zip|C:\\D\\a.zip|file://C:\\D\\|-1|Z\r\n</html>\r\n"},
      {"empty list key: head and tail only", "A\r\n{\r\nB &Name\r\n}\r\nC", List::kEmpty,
       "A\r\nC\r\n"},
      {"missing list key: not-found line after the tail", "A\r\n{\r\nB &Name\r\n}\r\nC",
       List::kMissing, std::string("A\r\nC\r\n") + kNotFound},
      {"no markers: every line but the first", "a\r\nb &Name\r\nc\r\n", List::kOneItem,
       "b &Name\r\nc\r\n"},
      {"no markers, missing list", "a\r\nb\r\n", List::kMissing, std::string("b\r\n") + kNotFound},
      {"close before open: lines between are written twice", "a\r\n}\r\nb\r\n{\r\nc\r\n",
       List::kOneItem, "a\r\n}\r\nb\r\nb\r\n{\r\nc\r\n"},
      {"repeated open marker: the earlier one is head", "{1\r\nh\r\n{2\r\n&Name\r\n}\r\n",
       List::kOneItem, "{1\r\nh\r\nX\r\n"},
      {"empty template, list found", "", List::kOneItem, ""},
      {"empty template, list missing", "", List::kMissing, kNotFound},
      {"empty lines are lines", "\r\n{\r\n\r\n}\r\n\r\n", List::kOneItem, "\r\n\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    PlantTemplate(c.template_bytes);
    if (c.list == List::kEmpty) AddListKey();
    if (c.list == List::kOneItem) AddItem("X", "http://h/a.zip", "C:\\D\\a.zip", 0xFFFFFFFF, "Z");
    EXPECT_EQ("", Run());
    EXPECT_EQ(c.want, Report());
    EXPECT_EQ(std::vector<std::string>{kReport}, os_.shell_requests);
  }
}

TEST_F(ReportRunTest, ShellIsAskedOnceForTheClosedReport) {
  PlantTemplate("{\r\n}\r\nA\r\n");
  ASSERT_EQ("", Run());
  ASSERT_FALSE(os_.log.empty());
  EXPECT_EQ(std::string("ShellOpen ") + kReport, os_.log.back());
  const auto report_close = os_.log.end() - 2;
  EXPECT_EQ(0u, report_close->rfind("Close ", 0)) << "the report is closed just before";
  EXPECT_EQ(1u, os_.shell_requests.size());
  EXPECT_EQ(0u, os_.OpenHandleCount());
  EXPECT_EQ(0, store_.OpenHandleCount());
}

TEST_F(ReportRunTest, OrderOfTheCallsOnTheFileSystem) {
  PlantTemplate("{\r\n}\r\nA\r\n");
  ASSERT_EQ("", Run());
  EXPECT_EQ((std::vector<std::string>{
                "OpenExisting C:\\Tools\\template.txt",
                "Read 9",
                "Close 3",
                "CreateAlways C:\\Tools\\Tallyweb.htm",
                "TypeOf 4",
                "Write 35",
                "Close 4",
                "ShellOpen C:\\Tools\\Tallyweb.htm",
            }),
            os_.log);
}

TEST_F(ReportRunTest, MissingTemplateEndsTheRunBeforeTheReportIsTouched) {
  os_.files[kReport] = "earlier report";
  EXPECT_EQ("EFOpenError: Cannot open file C:\\Tools\\template.txt", Run());
  EXPECT_EQ("earlier report", Report());
  EXPECT_EQ(std::vector<std::string>{"OpenExisting C:\\Tools\\template.txt"}, os_.log);
  EXPECT_TRUE(os_.shell_requests.empty());
}

TEST_F(ReportRunTest, LongProgramFolderIsUsedWhole) {
  const std::string folder = "C:\\" + std::string(300, 'f') + "\\";
  os_.program_path = folder + "Tallyweb.exe";
  os_.files[folder + "template.txt"] = "{\r\n}\r\nA\r\n";
  EXPECT_EQ("", Run());
  EXPECT_EQ(std::string("A\r\n") + kNotFound, os_.files[folder + "Tallyweb.htm"]);
  EXPECT_EQ(std::vector<std::string>{folder + "Tallyweb.htm"}, os_.shell_requests);
}

TEST_F(ReportRunTest, ProgramFolderFollowsTheLastDelimiter) {
  struct {
    const char* name;
    std::string program_path;
    SystemFacts facts;
    std::string folder;
  } cases[] = {
      {"no delimiter: the current folder", "Tallyweb.exe", SystemFacts{}, ""},
      {"drive only", "C:Tallyweb.exe", SystemFacts{}, "C:"},
      // U+8868 in UTF-8 (E8 A1 A8), then 0x5C: a backslash of its own.
      {"a folder named in UTF-8", "C:\\\xE8\xA1\xA8\\Tallyweb.exe", SystemFacts{},
       "C:\\\xE8\xA1\xA8\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOsCalls os;
    os.program_path = c.program_path;
    os.files[c.folder + "template.txt"] = "{\r\n}\r\nA";
    FakeRegistryStore store;
    FakeFolderLinks folder_links;
    RunReport(os, store, folder_links, c.facts);
    EXPECT_EQ(std::string("A\r\n") + kNotFound, os.files[c.folder + "Tallyweb.htm"]);
    EXPECT_EQ(std::vector<std::string>{c.folder + "Tallyweb.htm"}, os.shell_requests);
  }
}

TEST_F(ReportRunTest, ReportFileFailuresEndTheRunWithoutTheShell) {
  struct {
    const char* name;
    std::int32_t create_error;
    int failing_write;
    std::int32_t write_error;
    std::int32_t close_error;
    std::string want;
    std::string report;
  } cases[] = {
      {"missing folder", 3, 0, 0, 0, "EInOutError: Invalid filename", "<no report>"},
      {"read-only report", 5, 0, 0, 0, "EInOutError: File access denied", "<no report>"},
      {"disk full on the second block", 0, 2, 112, 0, "EInOutError: I/O error 112",
       std::string(126, 'a') + "\r\n"},
      {"final write fails", 0, 3, 112, 0, "EInOutError: I/O error 112",
       std::string(126, 'a') + "\r\n" + std::string(126, 'b') + "\r\n"},
      {"close fails", 0, 0, 0, 6, "EInOutError: I/O error 6",
       std::string(126, 'a') + "\r\n" + std::string(126, 'b') + "\r\nc\r\n" + kNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    os_.create_error = c.create_error;
    os_.failing_write = c.failing_write;
    os_.write_error = c.write_error;
    os_.close_error = c.close_error;
    PlantTemplate("{\r\n}\r\n" + std::string(126, 'a') + "\r\n" + std::string(126, 'b') +
                  "\r\nc\r\n");
    EXPECT_EQ(c.want, Run());
    EXPECT_EQ(c.report, Report());
    EXPECT_TRUE(os_.shell_requests.empty());
    EXPECT_EQ(0, PendingIoCode) << "the check clears the code it raises";
  }
}

// A block line goes out in pieces (its text, then each value as it stands),
// yet fails as one text: the block that fails takes the rest of the line with
// it, and no later piece reaches the file.
TEST_F(ReportRunTest, FailedWriteDropsTheRestOfAnExpandedLine) {
  PlantTemplate("{\r\n&Discr|&Discr\r\n}\r\n");
  AddItem("X", "http://h/a.zip", "C:\\D\\a.zip", 1, std::string(200, 'z'));
  os_.failing_write = 1;
  os_.write_error = 112;
  EXPECT_EQ("EInOutError: I/O error 112", Run());
  EXPECT_EQ("", Report());
  EXPECT_EQ(1u, os_.writes.size()) << "nothing written after the failed block";
}

}  // namespace
}  // namespace tallyweb
