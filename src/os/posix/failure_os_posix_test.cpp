// The whole top-level handler away from Windows, each case in a process of
// its own, since the handler ends the process.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "failure/failure.h"

namespace tallyweb {
namespace {

TALLYWEB_NOINLINE void RaiseRegistryFailure() {
  Raise<ERegistryException>("Failed to get data for 'Item_Size'");
}

[[noreturn]] void RaiseAndHandle() {
  try {
    RaiseRegistryFailure();
  } catch (const Exception& failure) {
    HandleFailure(failure, RaiseAddress());
  }
  std::abort();
}

TEST(HandleFailureDeathTest, PrintsTitleAndTextThenExitsWithOne) {
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        RaiseAndHandle();
      },
      testing::ExitedWithCode(1),
      "^Application Error\n"
      "Exception ERegistryException in module tallyweb_tests at [0-9A-F]{8}\\.\n"
      "Failed to get data for 'Item_Size'\\.\n$");
}

TEST(EndProcessDeathTest, ExitsWithTheCodeGivenAndShowsNothing) {
  for (int code : {0, 1}) {
    SCOPED_TRACE(code);
    EXPECT_EXIT(EndProcess(code), testing::ExitedWithCode(code), "^$");
  }
}

// A stand-in for zenity that writes down its arguments after a pause, and
// whether the handler was still waiting for it then.
class FakeZenity : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tallyweb-zenity-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    record_ = dir_ + "/args";
    const std::string script = dir_ + "/zenity";
    // Still the handler's child after the pause only if the handler waited;
    // otherwise the handler's process has ended and the script is an orphan.
    std::ofstream(script) << "#!/bin/sh\n"
                             "/bin/sleep 0.3\n"
                             "while read key value; do\n"
                             "  [ \"$key\" = PPid: ] && parent=$value\n"
                             "done </proc/$$/status\n"
                             "{ for a in \"$@\"; do printf '%s|' \"$a\"; done\n"
                             "  [ \"$parent\" = \"$PPID\" ] && printf 'waited'; } >'"
                          << record_ << "'\n";
    ASSERT_EQ(0, chmod(script.c_str(), 0755));
  }
  void TearDown() override {
    std::remove(record_.c_str());
    std::remove((dir_ + "/zenity").c_str());
    rmdir(dir_.c_str());
  }
  std::string Record() const {
    std::ifstream in(record_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  std::string record_;
};

TEST_F(FakeZenity, GraphicalSessionAlsoGetsABlockingDialog) {
  EXPECT_EXIT(
      {
        setenv("DISPLAY", ":99", 1);
        setenv("PATH", ("/nonexistent::" + dir_).c_str(), 1);
        RaiseAndHandle();
      },
      testing::ExitedWithCode(1), "Failed to get data for 'Item_Size'\\.");
  const std::string record = Record();
  EXPECT_EQ(0u, record.find("--error|--no-markup|--title|Application Error|--text|"
                            "Exception ERegistryException in module tallyweb_tests at "))
      << record;
  EXPECT_NE(std::string::npos, record.find(".\nFailed to get data for 'Item_Size'.|waited"))
      << record;
}

TEST_F(FakeZenity, NoDialogWithoutAGraphicalSession) {
  EXPECT_EXIT(
      {
        unsetenv("WAYLAND_DISPLAY");
        setenv("DISPLAY", "", 1);
        setenv("PATH", dir_.c_str(), 1);
        RaiseAndHandle();
      },
      testing::ExitedWithCode(1), "Item_Size");
  EXPECT_EQ("", Record());
}

}  // namespace
}  // namespace tallyweb
