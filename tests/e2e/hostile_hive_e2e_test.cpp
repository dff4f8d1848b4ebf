// Damaged hives for the native build, end to end: a hive of any shape reads
// as no list or as it was, never as something else; a hive changed while it
// is read; and the native program behaving as a Linux program should.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "hostile.h"

namespace tallyweb::e2e {
namespace {

namespace fs = std::filesystem;

// --- Damaged hives, natively --------------------------------------------------

struct NativeRun {
  int exit_code = -1;  // -1: killed by a signal, or hung and killed after a minute
  std::string report;
  std::string out;  // standard output and error
};

struct NativeOptions {
  std::vector<std::string> args;
  bool stderr_closed = false;  // run as with 2>&-
  bool stdout_full = false;    // run as with >/dev/full
  bool no_prefix = false;      // neither WINEPREFIX nor HOME set
  // Called with the running program's pid, say to change its files under it.
  std::function<void(pid_t)> while_running;
};

// The native program in `folder`, reading HKEY_LOCAL_MACHINE from `prefix`.
// Its open request goes to an xdg-open that does nothing.
NativeRun RunNativeOn(const ProgramFolder& folder, const std::string& prefix,
                      const NativeOptions& options = NativeOptions()) {
  const std::string bin = folder.path() + "/bin";
  fs::create_directories(bin);
  folder.WriteFile("bin/xdg-open", "#!/bin/sh\nexit 0\n");
  fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
  const std::string path_env = "PATH=" + bin + ":/usr/bin:/bin";
  const std::string prefix_env = "WINEPREFIX=" + prefix;
  const std::string program = folder.path() + "/Tallyweb";
  const std::string out_path = folder.path() + "/out.txt";

  const pid_t child = fork();
  if (child == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    if (options.stderr_closed) close(2);
    if (options.stdout_full) {
      const int full_fd = open("/dev/full", O_WRONLY);
      dup2(full_fd, 1);
      close(full_fd);
    }
    close(null_fd);
    close(out_fd);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    char* const envp[] = {const_cast<char*>(path_env.c_str()),
                          options.no_prefix ? nullptr : const_cast<char*>(prefix_env.c_str()),
                          nullptr};
    execve(program.c_str(), argv.data(), envp);
    _exit(127);
  }
  if (options.while_running) options.while_running(child);
  NativeRun run;
  int status = 0;
  for (int waited = 0; waited < 60000; waited += 20) {
    if (waitpid(child, &status, WNOHANG) == child) {
      run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (run.exit_code == -1 && waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  // Never open a FIFO left there: reading it would wait for a writer.
  if (fs::is_regular_file(folder.path() + "/Tallyweb.htm"))
    run.report = folder.ReadFile("Tallyweb.htm");
  run.out = ReadWhole(out_path);
  return run;
}

// A hive that is cut short, binary, empty or not a file at all is read as
// Wine reads it: without the list, the report says the list is not found and
// the run ends normally; damage elsewhere costs only the lines it hits. The
// real hive holds the list, so a truncated copy of it shows that the damage,
// not the content, decides.
TEST(Hostile, DamagedHiveReadsAsNoListNatively) {
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  // A real hive, current: the native harness run writes it to disk first.
  {
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("{\r\n&Name\r\n}\r\n");
    ASSERT_EQ("X\r\n", folder.Run().report);
  }
  const std::string hive = ReadWhole(std::string(TALLYWEB_E2E_PREFIX) + "/system.reg");
  ASSERT_NE(std::string::npos, hive.find("Orvalink\\\\FileList\\\\X]"));
  std::string binary;
  for (int i = 0; i < 65536; ++i) binary += static_cast<char>((i * 7919 + 13) % 256);

  struct {
    const char* name;
    std::string bytes;
    bool folder_instead;
    bool fifo_instead = false;
    std::string want = kNotFound;
  } cases[] = {
      {"cut in the list's key line", hive.substr(0, hive.find("Orvalink\\\\FileList\\\\X]") + 20),
       false},
      {"NUL inside", hive.substr(0, 200) + std::string(1, '\0') + hive.substr(200), false, false,
       "X\r\n"},
      {"binary", binary, false},
      {"empty", "", false},
      {"a folder", "", true},
      {"a FIFO", "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("head\r\n{\r\n&Name\r\n}\r\n");
    const std::string prefix = folder.path() + "/prefix";
    fs::create_directories(prefix);
    if (c.folder_instead) {
      fs::create_directories(prefix + "/system.reg");
    } else if (c.fifo_instead) {
      ASSERT_EQ(0, mkfifo((prefix + "/system.reg").c_str(), 0644));
    } else {
      folder.WriteFile("prefix/system.reg", c.bytes);
    }

    const NativeRun run = RunNativeOn(folder, prefix);

    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ(std::string("head\r\n") + c.want, run.report);
  }
}

// 100 000 downloads, each described by 200 of `description`, as a hive and
// as the report of the template "head{&Name &Discr}".
std::string HiveOfDescriptions(char description) {
  std::string hive = "WINE REGISTRY Version 2\n\n#arch=win64\n\n";
  for (int i = 0; i < 100000; ++i) {
    hive += "[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\" +
            std::to_string(1000000 + i) + "] 1700000000\n\"Item_Size\"=dword:1\n" +
            "\"Item_Description\"=\"" + std::string(200, description) + "\"\n\n";
  }
  return hive;
}

std::string ReportOfDescriptions(char description) {
  std::string report = "head\r\n";
  for (int i = 0; i < 100000; ++i) {
    report += std::to_string(1000000 + i) + " " + std::string(200, description) + "\r\n";
  }
  return report;
}

// A hive cut short or rewritten in place while the program reads it (an
// editor saving it in place; the wine server saving a hive that is a link)
// must not stop the writer: nothing waits for the run. The run then reads
// the file as it was when it opened it, or it stops with a failure that says
// why; never a signal, and never a download of the new file in a report of
// the old one: what the report holds is the old report's beginning.
TEST(Hostile, HiveChangedWhileReadIsReadAsItWasOrStopsNatively) {
  const std::string old_hive = HiveOfDescriptions('d');
  const std::string new_hive = HiveOfDescriptions('e');
  const std::string want = ReportOfDescriptions('d');
  struct {
    const char* name;
    std::function<void(const std::string& path)> change;
  } cases[] = {
      {"cut to 4 KiB", [](const std::string& path) { ASSERT_EQ(0, truncate(path.c_str(), 4096)); }},
      {"rewritten in place",
       [&](const std::string& path) {
         const int fd = open(path.c_str(), O_WRONLY);
         ASSERT_NE(-1, fd);
         ASSERT_EQ(static_cast<ssize_t>(new_hive.size()),
                   pwrite(fd, new_hive.data(), new_hive.size(), 0));
         close(fd);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("head\r\n{\r\n&Name &Discr\r\n}\r\n");
    const std::string prefix = folder.path() + "/prefix";
    fs::create_directories(prefix);
    folder.WriteFile("prefix/system.reg", old_hive);
    NativeOptions options;
    options.while_running = [&](pid_t) {
      // Once the list is read and the report begun, change the hive. (A hive
      // changed while it is indexed is indexed again: the run then reads the
      // new file, whole.)
      const std::string report = folder.path() + "/Tallyweb.htm";
      for (int i = 0; i < 5000 && !fs::exists(report); ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      ASSERT_TRUE(fs::exists(report)) << "no report begun";
      c.change(prefix + "/system.reg");
    };

    const NativeRun run = RunNativeOn(folder, prefix, options);

    if (run.exit_code == 0) {
      EXPECT_TRUE(run.report == want) << run.report.size() << " bytes, not " << want.size();
    } else {
      EXPECT_EQ(1, run.exit_code) << run.out;
      EXPECT_NE(std::string::npos, run.out.find("system.reg changed while it was read")) << run.out;
      EXPECT_TRUE(want.compare(0, run.report.size(), run.report) == 0)
          << "the report is not the old report's beginning";
      EXPECT_EQ(std::string::npos, run.report.find("eeee"));
    }
  }
}

// A template linking each download's folder, and a prefix whose C: holds
// Users/Me/My Files, listing one download saved there; with no Item_Size
// unless `with_size`, which makes the run fail. Answers the prefix.
std::string PlantOneDownloadInMyFiles(ProgramFolder& folder, bool with_size) {
  folder.WriteTemplate("head\r\n{\r\n<a href=\"&DOut\">&Name</a>\r\n}\r\n");
  const std::string prefix = folder.path() + "/prefix";
  fs::create_directories(prefix + "/dosdevices");
  fs::create_directories(prefix + "/drive_c/Users/Me/My Files");
  fs::create_directory_symlink("../drive_c", prefix + "/dosdevices/c:");
  const std::string size = with_size ? "\"Item_Size\"=dword:1\n" : "";
  folder.WriteFile("prefix/system.reg",
                   "WINE REGISTRY Version 2\n\n#arch=win64\n\n"
                   "[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\d1] 1\n" +
                       size +
                       "\"Item_OutputFilename\"=\"C:\\\\users\\\\me\\\\my files\\\\a.zip\"\n");
  return prefix;
}

// A report the run wrote holds `want` and no failure text; a folder link
// leads to the Linux folder the prefix maps C: to.
void ExpectReportHolds(const NativeRun& run, const std::string& prefix, const std::string& want) {
  EXPECT_NE(std::string::npos, run.report.find(want)) << run.report;
  EXPECT_EQ(std::string::npos, run.report.find("Application Error")) << run.report;
  if (want == "file:///") {
    const std::string drive = fs::canonical(prefix + "/drive_c").string();
    EXPECT_NE(std::string::npos,
              run.report.find("href=\"file://" + drive + "/Users/Me/My%20Files/\""))
        << run.report;
  }
}

// The native program as a Linux program: --help and --version answer and
// do nothing else, and fail when the answer cannot be written; a template or
// report that is a FIFO fails at once with the usual text; with standard
// error closed, failure text never lands in the report; without a prefix to
// read, standard error says so; and the folder link names the folder the
// prefix maps C: to.
TEST(Hostile, NativeProgramBehavesAsALinuxProgram) {
  struct {
    const char* name;
    std::vector<std::string> args;
    const char* fifo;  // a FIFO in the program folder instead of this file
    bool stderr_closed;
    int exit_code;
    const char* out;     // in standard output and error
    const char* report;  // in the report; nullptr: no report written
    bool stdout_full = false;
    bool no_prefix = false;
  } cases[] = {
      {"--help, output full", {"--help"}, nullptr, false, 1, "", nullptr, true},
      {"--version, output full", {"--version"}, nullptr, false, 1, "", nullptr, true},
      {"no prefix",
       {},
       nullptr,
       false,
       0,
       "neither WINEPREFIX nor HOME",
       "is not found",
       false,
       true},
      {"--help", {"--help"}, nullptr, false, 0, "Usage: Tallyweb", nullptr},
      {"--version", {"x", "--version"}, nullptr, false, 0, "Tallyweb 1.0", nullptr},
      {"other arguments ignored", {"-x", "C:\\"}, nullptr, false, 0, "", "file:///"},
      {"template a FIFO", {}, "template.txt", false, 1, "Cannot open file", nullptr},
      {"report a FIFO", {}, "Tallyweb.htm", false, 1, "File access denied.", nullptr},
      {"standard error closed", {}, nullptr, true, 1, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder(Build::kNative);
    // A run that fails unless descriptors are closed: no Item_Size.
    const std::string prefix = PlantOneDownloadInMyFiles(folder, !c.stderr_closed);
    if (c.fifo != nullptr) {
      const std::string fifo = folder.path() + "/" + c.fifo;
      fs::remove(fifo);
      ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    }
    NativeOptions options;
    options.args = c.args;
    options.stderr_closed = c.stderr_closed;
    options.stdout_full = c.stdout_full;
    options.no_prefix = c.no_prefix;

    const NativeRun run = RunNativeOn(folder, prefix, options);

    EXPECT_EQ(c.exit_code, run.exit_code);
    EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
    if (c.report == nullptr) {
      if (c.fifo == nullptr || std::string(c.fifo) != "Tallyweb.htm") {
        EXPECT_FALSE(fs::exists(folder.path() + "/Tallyweb.htm"));
      }
      continue;
    }
    ExpectReportHolds(run, prefix, c.report);
  }
}

}  // namespace
}  // namespace tallyweb::e2e
