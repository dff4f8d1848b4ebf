// The OS seam against the real system: POSIX natively, kernel32 under Wine in
// the Windows build. Each test works in a scratch folder of its own.
#include "os/os_calls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tallyweb {
namespace {

namespace fs = std::filesystem;

class OsCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           ("tallyweb_os_calls_" + std::to_string(stamp) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_ / "old.htm", fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  static void Plant(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // Creates `path` through the seam and writes `bytes` in one block.
  void WriteFileThroughSeam(const std::string& path, const std::string& bytes) {
    std::int32_t error = 0;
    const FileHandle file = os_->CreateAlways(path, &error);
    ASSERT_NE(kNoFile, file) << "error " << error;
    EXPECT_EQ(0, os_->Write(file, bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(0, os_->Close(file));
  }

  std::unique_ptr<OsCalls> os_ = MakeSystemOsCalls();
  fs::path dir_;
};

TEST_F(OsCallsTest, WrittenBytesArriveUnchangedAndReadBack) {
  const std::string bytes("a\r\nb\nc\0\xFF", 8);
  const std::string path = PathOf("report.htm");
  WriteFileThroughSeam(path, bytes);
  EXPECT_EQ(bytes, Contents(path));

  const FileHandle file = os_->OpenExisting(path);
  ASSERT_NE(kNoFile, file);
  EXPECT_EQ(8u, os_->FileSize(file));
  std::string back(16, '?');
  EXPECT_EQ(8u, os_->Read(file, back.data(), 8)) << "the size is taken without moving the start";
  EXPECT_EQ(bytes, back.substr(0, 8));
  EXPECT_EQ(0u, os_->Read(file, back.data(), 8)) << "nothing past the end";
  EXPECT_EQ(0, os_->Close(file));
}

TEST_F(OsCallsTest, CreateAlwaysEmptiesAnEarlierFile) {
  const std::string path = PathOf("report.htm");
  Plant(path, std::string(900, 'x'));
  WriteFileThroughSeam(path, "new");
  EXPECT_EQ("new", Contents(path));
}

TEST_F(OsCallsTest, CreateAlwaysFailsWithTheWindowsCodes) {
  fs::create_directory(dir_ / "folder");
  struct {
    const char* name;
    std::string path;
    std::int32_t want;
  } cases[] = {
      {"missing directory", PathOf("missing") + "/x.htm", 3},
      {"a directory of that name", PathOf("folder"), 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t error = 0;
    EXPECT_EQ(kNoFile, os_->CreateAlways(c.path, &error));
    EXPECT_EQ(c.want, error);
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(OsCallsTest, CreateAlwaysOnAReadOnlyFileIsDeniedAndLeavesIt) {
  const std::string path = PathOf("old.htm");
  Plant(path, "earlier report");
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  if (std::ofstream(path, std::ios::app)) {
    GTEST_SKIP() << "this user may write read-only files (root)";
  }
  std::int32_t error = 0;
  EXPECT_EQ(kNoFile, os_->CreateAlways(path, &error));
  EXPECT_EQ(5, error);
  EXPECT_EQ("earlier report", Contents(path));
}

TEST_F(OsCallsTest, OpenExistingRefusesMissingFilesAndDirectories) {
  fs::create_directory(dir_ / "template.txt");
  EXPECT_EQ(kNoFile, os_->OpenExisting(PathOf("nothing.txt")));
  EXPECT_EQ(kNoFile, os_->OpenExisting(PathOf("missing") + "/template.txt"));
  EXPECT_EQ(kNoFile, os_->OpenExisting(PathOf("template.txt")));
}

TEST_F(OsCallsTest, FileTypes) {
  const std::string path = PathOf("report.htm");
  std::int32_t error = 0;
  const FileHandle disk = os_->CreateAlways(path, &error);
  ASSERT_NE(kNoFile, disk);
  EXPECT_EQ(FileType::kDisk, os_->TypeOf(disk));
  os_->Close(disk);

  // The null device is a character device on both systems.
  const std::string null_device = os_->PathDelimiters() == "/" ? "/dev/null" : "NUL";
  const FileHandle device = os_->CreateAlways(null_device, &error);
  ASSERT_NE(kNoFile, device) << "error " << error;
  EXPECT_EQ(FileType::kChar, os_->TypeOf(device));
  EXPECT_EQ(0, os_->Write(device, "x", 1));
  os_->Close(device);
}

TEST_F(OsCallsTest, ProgramPathNamesThisTestProgram) {
  const std::string path = os_->ProgramPath();
  const fs::path program(path);
  EXPECT_TRUE(program.is_absolute()) << path;
  EXPECT_EQ("tallyweb_tests", program.stem().string()) << path;
  EXPECT_TRUE(fs::is_regular_file(program)) << path;
  EXPECT_NE(std::string::npos, path.find_last_of(os_->PathDelimiters())) << path;
}

TEST_F(OsCallsTest, SystemFactsOfThisSystem) {
  const SystemFacts facts = os_->TakeSystemFacts();
  const bool windows = os_->PathDelimiters() == "\\:";
  EXPECT_EQ(windows, facts.nt) << "Windows (Wine) is of the NT family; POSIX is not";
  if (!windows) {
    EXPECT_FALSE(facts.double_byte);
  }
}

}  // namespace
}  // namespace tallyweb
