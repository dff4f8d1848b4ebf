// The POSIX shell request: xdg-open, found on the PATH, gets the report's
// path as its one argument, and the caller does not wait for the viewer.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "os/os_calls.h"

namespace tallyweb {
namespace {

namespace fs = std::filesystem;

class ShellOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tallyweb_shell_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir_);
    const char* path = getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    setenv("PATH", (dir_.string() + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A stand-in viewer that records its arguments, then lingers.
  void InstallViewer(const std::string& body) {
    const fs::path viewer = dir_ / "xdg-open";
    std::ofstream(viewer) << "#!/bin/sh\n" << body;
    fs::permissions(viewer, fs::perms::owner_all);
  }

  std::string WaitForFile(const fs::path& file) {
    for (int i = 0; i < 100 && !fs::exists(file); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
  std::string saved_path_;
};

TEST_F(ShellOpenTest, StartsXdgOpenWithThePathAndDoesNotWait) {
  const fs::path record = dir_ / "args";
  InstallViewer("printf '%s|%s' \"$#\" \"$1\" > '" + record.string() + ".tmp'\n" + "mv '" +
                record.string() + ".tmp' '" + record.string() + "'\nsleep 3\n");
  const std::string report = "/tmp/a folder/Tallyweb.htm";
  const auto start = std::chrono::steady_clock::now();
  MakeSystemOsCalls()->ShellOpen(report);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
      << "the viewer must not be waited for";
  EXPECT_EQ("1|/tmp/a folder/Tallyweb.htm", WaitForFile(record));
}

}  // namespace
}  // namespace tallyweb
