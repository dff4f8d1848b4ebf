#include "report/report_file.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/fake_os_calls.h"

namespace tallyweb {
namespace {

constexpr char kPath[] = "C:\\Tools\\Tallyweb.htm";

class ReportFileTest : public ::testing::Test {
 protected:
  void SetUp() override { PendingIoCode = 0; }
  void TearDown() override { PendingIoCode = 0; }

  // Opens the report as the run does, checking that the open succeeded.
  void Open(TReportFile& file) {
    file.BindPath(kPath);
    file.OpenNew();
    ASSERT_EQ(0, PendingIoCode);
  }

  // One line as the run writes it, without the check.
  static void WriteLine(TReportFile& file, const std::string& text) {
    file.WriteText(text);
    file.EndLine();
  }

  std::vector<std::uint32_t> WriteSizes() const {
    std::vector<std::uint32_t> sizes;
    for (const auto& w : os_.writes) sizes.push_back(static_cast<std::uint32_t>(w.bytes.size()));
    return sizes;
  }

  FakeOsCalls os_;
};

// Each line is its bytes, unchanged, then CR LF; nothing else is written, and
// an earlier, longer report is emptied first.
TEST_F(ReportFileTest, FileHoldsEachLineFollowedByCrLf) {
  struct {
    const char* name;
    std::vector<std::string> lines;
    std::string want;
  } cases[] = {
      {"no line", {}, ""},
      {"one empty line", {""}, "\r\n"},
      {"two lines", {"ab", "c"}, "ab\r\nc\r\n"},
      {"CR, LF and tab pass unchanged", {"a\rb\nc\t"}, "a\rb\nc\t\r\n"},
      {"NUL and high bytes pass unchanged",
       {std::string("\0\xE9\xFF", 3)},
       std::string("\0\xE9\xFF\r\n", 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOsCalls os;
    os.files[kPath] = std::string(900, 'x');
    {
      TReportFile file(os);
      file.BindPath(kPath);
      file.OpenNew();
      for (const auto& line : c.lines) WriteLine(file, line);
      file.FlushAndClose();
    }
    EXPECT_EQ(0, PendingIoCode);
    EXPECT_EQ(c.want, os.files[kPath]);
    EXPECT_EQ(0u, os.OpenHandleCount());
  }
}

// A disk file sees one write per full 128-byte block, in file order, and one
// for the rest at FlushAndClose; lines and line ends cause no writes.
TEST_F(ReportFileTest, DiskFileReceivesWholeBlocksThenTheRestAtClose) {
  struct {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::uint32_t> while_writing;
    std::vector<std::uint32_t> in_all;
  } cases[] = {
      {"256 bytes", {std::string(126, 'a'), std::string(126, 'b')}, {128, 128}, {128, 128}},
      {"300 bytes",
       {std::string(98, 'a'), std::string(98, 'b'), std::string(98, 'c')},
       {128, 128},
       {128, 128, 44}},
      {"one 200-byte line", {std::string(200, 'a')}, {128}, {128, 74}},
      {"line ending exactly at the block's end", {std::string(126, 'a')}, {128}, {128}},
      {"CR and LF split over two blocks", {std::string(127, 'a')}, {128}, {128, 1}},
      {"short lines", {"a", "b", "c"}, {}, {9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOsCalls os;
    TReportFile file(os);
    file.BindPath(kPath);
    file.OpenNew();
    std::string all;
    for (const auto& line : c.lines) {
      WriteLine(file, line);
      all += line + "\r\n";
    }
    std::vector<std::uint32_t> sizes;
    for (const auto& w : os.writes) sizes.push_back(static_cast<std::uint32_t>(w.bytes.size()));
    EXPECT_EQ(c.while_writing, sizes);
    file.FlushAndClose();
    sizes.clear();
    for (const auto& w : os.writes) sizes.push_back(static_cast<std::uint32_t>(w.bytes.size()));
    EXPECT_EQ(c.in_all, sizes);
    EXPECT_EQ(all, os.files[kPath]);
  }
}

TEST_F(ReportFileTest, OneLongTextHandsOutBlocksWhileItIsCopied) {
  TReportFile file(os_);
  Open(file);
  file.WriteText(std::string(200, 'a'));
  EXPECT_EQ(std::vector<std::uint32_t>{128}, WriteSizes());
  file.EndLine();
  EXPECT_EQ(std::vector<std::uint32_t>{128}, WriteSizes()) << "72 bytes and CR LF must wait";
  file.FlushAndClose();
  EXPECT_EQ((std::vector<std::uint32_t>{128, 74}), WriteSizes());
  EXPECT_EQ(std::string(72, 'a') + "\r\n", os_.writes[1].bytes);
}

// A run that fails midway never reaches FlushAndClose: the file keeps only the
// blocks already handed over, and stays open until the process ends.
TEST_F(ReportFileTest, AbandonedReportKeepsOnlyWholeBlocks) {
  {
    TReportFile file(os_);
    Open(file);
    for (char c : {'a', 'b', 'c'}) WriteLine(file, std::string(98, c));  // 300 bytes
  }
  EXPECT_EQ(std::string(98, 'a') + "\r\n" + std::string(98, 'b') + "\r\n" + std::string(56, 'c'),
            os_.files[kPath]);
  EXPECT_EQ(256u, os_.files[kPath].size());
  EXPECT_EQ(1u, os_.OpenHandleCount());
  EXPECT_TRUE(os_.closes.empty());
}

TEST_F(ReportFileTest, CharacterDeviceReceivesEachLineAsItEnds) {
  os_.file_type = FileType::kChar;
  TReportFile file(os_);
  Open(file);
  WriteLine(file, "ab");
  EXPECT_EQ(std::vector<std::uint32_t>{4}, WriteSizes());
  file.WriteText("c");
  EXPECT_EQ(std::vector<std::uint32_t>{4}, WriteSizes()) << "text alone waits for its line end";
  file.EndLine();
  file.FlushAndClose();
  EXPECT_EQ((std::vector<std::uint32_t>{4, 3}), WriteSizes());
  EXPECT_EQ("ab\r\nc\r\n", os_.files[kPath]);
}

TEST_F(ReportFileTest, PipeIsWrittenLikeADiskFile) {
  os_.file_type = FileType::kPipe;
  TReportFile file(os_);
  Open(file);
  WriteLine(file, "ab");
  EXPECT_TRUE(os_.writes.empty());
}

TEST_F(ReportFileTest, BoundPathIsUsedWholeHoweverLong) {
  const std::string path = "C:\\" + std::string(300, 'd') + "\\Tallyweb.htm";
  TReportFile file(os_);
  file.BindPath(path);
  EXPECT_TRUE(os_.log.empty()) << "binding touches no file";
  file.OpenNew();
  ASSERT_FALSE(os_.log.empty());
  EXPECT_EQ("CreateAlways " + path, os_.log[0]);
  EXPECT_EQ(path, file.Path());
}

// Failures are recorded, never raised, by the operations themselves.
TEST_F(ReportFileTest, OpenFailureLeavesTheFileClosedWithThePlatformCode) {
  struct {
    const char* name;
    std::int32_t create_error;
    FileType type;
    std::int32_t want_code;
    std::size_t want_closes;
  } cases[] = {
      {"missing directory", 3, FileType::kDisk, 3, 0},
      {"read-only report", 5, FileType::kDisk, 5, 0},
      {"sharing violation", 32, FileType::kDisk, 32, 0},
      {"unknown target type", 0, FileType::kUnknown, 105, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOsCalls os;
    os.create_error = c.create_error;
    os.file_type = c.type;
    PendingIoCode = 0;
    TReportFile file(os);
    file.BindPath(kPath);
    file.OpenNew();
    EXPECT_EQ(c.want_code, PendingIoCode);
    EXPECT_EQ(TReportFile::State::kClosed, file.state());
    EXPECT_EQ(c.want_closes, os.closes.size());
    EXPECT_EQ(0u, os.OpenHandleCount());
  }
}

TEST_F(ReportFileTest, UsingAFileThatIsNotOpenRecords105Or103) {
  struct {
    const char* name;
    void (*operation)(TReportFile&);
    std::int32_t want;
  } cases[] = {
      {"write text", [](TReportFile& f) { f.WriteText("a"); }, 105},
      {"write empty text", [](TReportFile& f) { f.WriteText(""); }, 105},
      {"end line", [](TReportFile& f) { f.EndLine(); }, 103},
      {"flush and close", [](TReportFile& f) { f.FlushAndClose(); }, 103},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PendingIoCode = 0;
    TReportFile file(os_);
    file.BindPath(kPath);
    c.operation(file);
    EXPECT_EQ(c.want, PendingIoCode);
  }
  EXPECT_TRUE(os_.writes.empty());
  EXPECT_TRUE(os_.closes.empty());
}

TEST_F(ReportFileTest, FailedBlockIsDroppedWithTheRestOfItsText) {
  os_.failing_write = 1;
  os_.write_error = 112;
  TReportFile file(os_);
  Open(file);
  WriteLine(file, std::string(300, 'a'));
  EXPECT_EQ(112, PendingIoCode);
  EXPECT_EQ(std::vector<std::uint32_t>{128}, WriteSizes()) << "the rest of the text is dropped";
  PendingIoCode = 0;
  WriteLine(file, "b");  // later writes go on into the emptied buffer
  file.FlushAndClose();
  EXPECT_EQ(0, PendingIoCode);
  EXPECT_EQ("\r\nb\r\n", os_.files[kPath]);
}

TEST_F(ReportFileTest, FlushAndCloseFailures) {
  // The final write fails: the handle is kept, and the buffer is empty.
  {
    FakeOsCalls os;
    os.failing_write = 1;
    os.write_error = 112;
    TReportFile file(os);
    file.BindPath(kPath);
    file.OpenNew();
    WriteLine(file, "abc");
    file.FlushAndClose();
    EXPECT_EQ(112, PendingIoCode);
    EXPECT_EQ(TReportFile::State::kOpenForOutput, file.state());
    EXPECT_TRUE(os.closes.empty());
    PendingIoCode = 0;
    file.FlushAndClose();  // nothing left to write: now it closes
    EXPECT_EQ(0, PendingIoCode);
    EXPECT_EQ(1u, os.writes.size());
    EXPECT_EQ(1u, os.closes.size());
  }
  // The close fails: the file counts as closed anyway.
  {
    FakeOsCalls os;
    os.close_error = 6;
    PendingIoCode = 0;
    TReportFile file(os);
    file.BindPath(kPath);
    file.OpenNew();
    WriteLine(file, "abc");
    file.FlushAndClose();
    EXPECT_EQ(6, PendingIoCode);
    EXPECT_EQ(TReportFile::State::kClosed, file.state());
    EXPECT_EQ("abc\r\n", os.files[kPath]);
  }
}

TEST_F(ReportFileTest, OpeningAnOpenFileFlushesAndClosesItFirst) {
  TReportFile file(os_);
  Open(file);
  WriteLine(file, "old");
  file.OpenNew();
  EXPECT_EQ(0, PendingIoCode);
  ASSERT_EQ(1u, os_.writes.size());
  EXPECT_EQ("old\r\n", os_.writes[0].bytes);
  EXPECT_EQ(1u, os_.closes.size());
  EXPECT_EQ("", os_.files[kPath]) << "the second open empties the file again";
}

TEST_F(ReportFileTest, DestructorOfAClosedFileClosesNothing) {
  {
    TReportFile file(os_);
    Open(file);
    file.FlushAndClose();
  }
  EXPECT_EQ(1u, os_.closes.size());
}

TEST(CheckPendingCode, RaisesTheMessageOfTheCodeAndClearsIt) {
  struct {
    std::int32_t code;
    const char* want;
  } cases[] = {
      {2, "File not found"},
      {3, "Invalid filename"},
      {4, "Too many open files"},
      {5, "File access denied"},
      {100, "Read beyond end of file"},
      {101, "Disk full"},
      {106, "Invalid numeric input"},
      {103, "I/O error 103"},
      {105, "I/O error 105"},
      {112, "I/O error 112"},
      {32, "I/O error 32"},
      {1, "I/O error 1"},
      {-1, "I/O error -1"},
      {-2147483647 - 1, "I/O error -2147483648"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    PendingIoCode = c.code;
    try {
      CheckPendingCode();
      ADD_FAILURE() << "no failure raised";
    } catch (const EInOutError& e) {
      EXPECT_EQ(c.want, e.Message());
      EXPECT_EQ(c.code, e.IoCode);
      EXPECT_STREQ("EInOutError", e.ClassName());
    }
    EXPECT_EQ(0, PendingIoCode);
  }
  EXPECT_NO_THROW(CheckPendingCode()) << "nothing pending, nothing raised";
}

TEST(PendingIoCode, IsKeptPerThread) {
  PendingIoCode = 7;
  std::int32_t seen_by_other = -1;
  std::thread other([&] {
    seen_by_other = PendingIoCode;
    PendingIoCode = 9;
  });
  other.join();
  EXPECT_EQ(0, seen_by_other);
  EXPECT_EQ(7, PendingIoCode);
  PendingIoCode = 0;
}

}  // namespace
}  // namespace tallyweb
