// The harness's processes: the programs under test started natively and
// under Wine in their throwaway folders, with the project's Wine settings
// (cmake/wine-env.sh, here as the generated wine_env.h), the failure boxes
// answered while they run, and the file holder.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "harness.h"
#include "harness_internal.h"
#include "wine_env.h"

namespace tallyweb::e2e {
namespace internal {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string WorkDir() { return TALLYWEB_E2E_WORK; }

std::string WindowsBin() {
  const char* bin = std::getenv("TALLYWEB_WINDOWS_BIN");
  return bin != nullptr && *bin != '\0' ? bin : TALLYWEB_WINDOWS_BIN;
}
std::string Prefix() { return TALLYWEB_E2E_PREFIX; }

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

const std::string& Display() {
  static const std::string display = [] {
    std::string number = ReadWhole(WorkDir() + "/display");
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty())
      ADD_FAILURE() << "no Xvfb display in " << WorkDir()
                    << "/display: run the e2e tests through ctest, whose "
                       "e2e_env fixture starts Xvfb and the Wine prefix";
    return ":" + number;
  }();
  return display;
}

std::vector<std::string> WineEnvironment(const std::string& winedebug) {
  return {"WINEPREFIX=" + Prefix(), "WINEDEBUG=" + winedebug,
          "WINEDLLOVERRIDES=" + std::string(wine_env::tw_dll_overrides), "DISPLAY=" + Display()};
}

std::string WindowsName(const std::string& unix_path) {
  std::string name = "Z:" + unix_path;
  for (char& c : name)
    if (c == '/') c = '\\';
  return name;
}

// Debian's `wine` takes the 32-bit loader whenever wine32 is installed: that
// loader cannot find a 64-bit program past 260 characters of path, and on a
// machine that runs no 32-bit programs it starts nothing at all. So only a
// 32-bit program (PE machine i386) goes through `wine`; a 64-bit one and
// Wine's own tools (`reg`, `regedit`) are started by the 64-bit loader.
std::string WineLoaderFor(const std::string& program) {
  constexpr const char* kWine64 = wine_env::tw_wine64;
  std::ifstream in(program, std::ios::binary);
  unsigned char offset[4] = {}, machine[2] = {};
  if (!in.seekg(0x3c) || !in.read(reinterpret_cast<char*>(offset), 4)) return kWine64;
  std::uint32_t pe = offset[0] | offset[1] << 8 | offset[2] << 16 |
                     static_cast<std::uint32_t>(offset[3]) << 24;
  if (!in.seekg(std::streamoff(pe) + 4) || !in.read(reinterpret_cast<char*>(machine), 2))
    return kWine64;
  bool i386 = machine[0] == 0x4c && machine[1] == 0x01;
  return i386 ? "wine" : kWine64;
}

Process Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
              const std::string& cwd, const std::string& out_path, const std::string& err_path) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const std::string& entry : extra_env) {
    std::string name = entry.substr(0, entry.find('='));
    for (auto it = env_strings.begin(); it != env_strings.end();) {
      if (it->compare(0, name.size() + 1, name + "=") == 0) it = env_strings.erase(it);
      else ++it;
    }
    if (entry.find('=') != std::string::npos) env_strings.push_back(entry);
  }
  std::vector<char*> args, env;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env_strings) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  Process process;
  process.pid = fork();
  if (process.pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvpe(args[0], args.data(), env.data());
    _exit(127);
  }
  return process;
}

int Wait(Process process, int timeout_ms, bool* timed_out) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(process.pid, &status, WNOHANG);
    if (done == process.pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() > deadline) {
      kill(process.pid, SIGKILL);
      waitpid(process.pid, &status, 0);
      if (timed_out != nullptr) *timed_out = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Captured RunCaptured(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extra_env, int timeout_ms) {
  static std::atomic<int> serial{0};
  std::string base = WorkDir() + "/cmd." + std::to_string(getpid()) + "." +
                     std::to_string(serial++);
  Process p = Spawn(argv, extra_env, WorkDir(), base + ".out", base + ".err");
  Captured result{Wait(p, timeout_ms, nullptr), ReadWhole(base + ".out"), ReadWhole(base + ".err")};
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return result;
}

namespace {

constexpr char kBoxTitle[] = "Application Error";

// Watches the display for failure boxes while a program runs, and answers
// each one with Return, as a user would.
class BoxDismisser {
 public:
  BoxDismisser() : thread_([this] { Watch(); }) {}
  ~BoxDismisser() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Watch() {
    while (!stop_) {
      Captured found = RunCaptured(
          {"xdotool", "search", "--name", std::string("^") + kBoxTitle + "$"},
          {"DISPLAY=" + Display()}, 10000);
      std::istringstream windows(found.out);
      std::string window;
      while (std::getline(windows, window))
        if (!window.empty())
          RunCaptured({"xdotool", "key", "--window", window, "Return"}, {"DISPLAY=" + Display()},
                      10000);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string TestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info == nullptr ? "outside"
                                     : std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

}  // namespace
}  // namespace internal

using namespace internal;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const char* BuildName(Build build) { return build == Build::kWindows ? "Windows" : "native"; }

ProgramFolder::ProgramFolder(Build build, const std::string& subpath) : build_(build) {
  fs::create_directories(WorkDir() + "/runs");
  std::string pattern = WorkDir() + "/runs/" + TestName() + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << pattern;
  root_ = buffer.data();
  path_ = subpath.empty() ? root_ : root_ + "/" + subpath;
  fs::create_directories(path_);
  shell_log_ = root_ + ".shell.log";

  std::string program = build == Build::kWindows ? WindowsBin() + "/Tallyweb.exe"
                                                 : std::string(TALLYWEB_NATIVE_PROGRAM);
  std::string copy = path_ + (build == Build::kWindows ? "/Tallyweb.exe" : "/Tallyweb");
  std::error_code error;
  fs::copy_file(program, copy, error);
  if (error)
    ADD_FAILURE() << "cannot copy the program " << program << ": " << error.message()
                  << (build == Build::kWindows ? " (build the mingw preset first)" : "");
}

void ProgramFolder::MoveProgramTo(const std::string& subpath) {
  const std::string name = build_ == Build::kWindows ? "/Tallyweb.exe" : "/Tallyweb";
  const std::string to = root_ + "/" + subpath;
  std::error_code error;
  fs::create_directories(to, error);
  fs::rename(path_ + name, to + name, error);
  if (error) ADD_FAILURE() << "cannot move the program to " << to << ": " << error.message();
  path_ = to;
}

ProgramFolder::~ProgramFolder() {
  if (::testing::Test::HasFailure()) {
    std::printf("kept the program folder for inspection: %s\n", path_.c_str());
    return;
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
  fs::remove(shell_log_, ignored);
}

std::string ProgramFolder::ProgramDirectory() const {
  return build_ == Build::kWindows ? WindowsName(path_) + "\\" : path_ + "/";
}

std::string ProgramFolder::ReportPath() const { return ProgramDirectory() + "Tallyweb.htm"; }

void ProgramFolder::WriteTemplate(const std::string& bytes) const {
  WriteFile("template.txt", bytes);
}

void ProgramFolder::RemoveTemplate() const { fs::remove(path_ + "/template.txt"); }

void ProgramFolder::WriteFile(const std::string& name, const std::string& bytes) const {
  WriteWhole(path_ + "/" + name, bytes);
}

std::string ProgramFolder::ReadFile(const std::string& name) const {
  return ReadWhole(path_ + "/" + name);
}

bool ProgramFolder::Exists(const std::string& name) const { return fs::exists(path_ + "/" + name); }

RunOutcome ProgramFolder::Run(const ShellWait& wait) const {
  std::remove(shell_log_.c_str());
  RunOutcome outcome = build_ == Build::kWindows ? RunWindows(wait) : RunNative(wait);
  outcome.report_exists = Exists("Tallyweb.htm");
  if (outcome.report_exists) outcome.report = ReadFile("Tallyweb.htm");
  return outcome;
}

RunOutcome ProgramFolder::Run(const std::vector<std::string>& environment,
                              const ShellWait& wait) const {
  environment_ = environment;
  RunOutcome outcome = Run(wait);
  environment_.clear();
  return outcome;
}

RunOutcome ProgramFolder::RunWindows(const ShellWait& wait) const {
  std::vector<std::string> env = WineEnvironment(wine_env::tw_winedebug_boxes);
  env.push_back("TALLYWEB_SHELL_LOG=" + WindowsName(shell_log_));
  env.insert(env.end(), environment_.begin(), environment_.end());
  RunOutcome outcome;
  {
    BoxDismisser dismisser;
    // A short working folder: Wine cannot start in one longer than MAX_PATH.
    const std::string program = path_ + "/Tallyweb.exe";
    Process p = Spawn({WineLoaderFor(program), program}, env, WorkDir(), root_ + ".stdout",
                      root_ + ".stderr");
    outcome.exit_code = Wait(p, kProgramTimeoutMs, &outcome.timed_out);
  }
  outcome.stderr_text = ReadWhole(root_ + ".stderr");
  outcome.boxes = BoxesIn(outcome.stderr_text);
  std::remove((root_ + ".stdout").c_str());
  std::remove((root_ + ".stderr").c_str());
  outcome.shell = AwaitShellLog(
      shell_log_, outcome.exit_code == 0 ? wait.after_success_ms : wait.after_failure_ms);
  return outcome;
}

RunOutcome ProgramFolder::RunNative(const ShellWait& wait) const {
  SyncHive();
  // xdg-open stand-in, first on PATH: writes down its arguments.
  std::string fake_bin = root_ + ".bin";
  fs::create_directories(fake_bin);
  WriteWhole(fake_bin + "/xdg-open",
             "#!/bin/sh\n"
             "{ echo \"argc=$(($# + 1))\"; i=1\n"
             "  for a in \"$@\"; do echo \"arg$i=$a\"; i=$((i + 1)); done\n"
             "} > \"$TALLYWEB_SHELL_LOG.part\" && "
             "mv \"$TALLYWEB_SHELL_LOG.part\" \"$TALLYWEB_SHELL_LOG\"\n");
  fs::permissions(fake_bin + "/xdg-open", fs::perms::owner_all);
  const char* path = std::getenv("PATH");
  std::vector<std::string> env = {"WINEPREFIX=" + Prefix(),
                                  "PATH=" + fake_bin + ":" + (path ? path : "/usr/bin:/bin"),
                                  "TALLYWEB_SHELL_LOG=" + shell_log_,
                                  // No graphical session: a failure is told on standard error only.
                                  "DISPLAY", "WAYLAND_DISPLAY"};
  RunOutcome outcome;
  Process p = Spawn({path_ + "/Tallyweb"}, env, WorkDir(), root_ + ".stdout", root_ + ".stderr");
  outcome.exit_code = Wait(p, kProgramTimeoutMs, &outcome.timed_out);
  outcome.stderr_text = ReadWhole(root_ + ".stderr");
  std::remove((root_ + ".stdout").c_str());
  std::remove((root_ + ".stderr").c_str());
  outcome.shell = AwaitShellLog(
      shell_log_, outcome.exit_code == 0 ? wait.after_success_ms : wait.after_failure_ms);
  std::error_code ignored;
  fs::remove_all(fake_bin, ignored);
  return outcome;
}

FileHolder::FileHolder(const ProgramFolder& folder, const std::string& file_name)
    : folder_(folder) {
  const std::string dir = folder.ProgramDirectory();
  thread_ = std::thread([this, dir, file_name] {
    exit_code_ = Wine({WindowsBin() + "/file_holder.exe", dir + file_name, dir + "holder.ready",
                       dir + "holder.stop"});
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!holding() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool FileHolder::holding() const { return folder_.Exists("holder.ready"); }

int FileHolder::Release() {
  if (thread_.joinable()) {
    folder_.WriteFile("holder.stop", "");
    thread_.join();
  }
  return exit_code_;
}

}  // namespace tallyweb::e2e
