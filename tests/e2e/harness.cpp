#include "harness.h"

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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"

namespace tallyweb::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kListKey[] = "HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList";
constexpr char kVendorKey[] = "HKLM\\Software\\Tesmora";
constexpr char kBoxTitle[] = "Application Error";
constexpr char kBoxTrace[] = "trace:msgbox:MSGBOX_OnInit L\"";
constexpr int kProgramTimeoutMs = 60000;
// Keeps Wine from offering its Mono and Gecko installers (dialogs nobody
// answers) and from touching the desktop's menus and file associations.
constexpr char kDllOverrides[] = "mscoree,mshtml=;winemenubuilder.exe=d";

std::string WorkDir() { return TALLYWEB_E2E_WORK; }

// The Windows build's programs: the tree named when configuring, or another
// one named at run time (the 32-bit build's, say) by TALLYWEB_WINDOWS_BIN.
std::string WindowsBin() {
  const char* bin = std::getenv("TALLYWEB_WINDOWS_BIN");
  return bin != nullptr && *bin != '\0' ? bin : TALLYWEB_WINDOWS_BIN;
}
std::string Prefix() { return WorkDir() + "/wineprefix"; }

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

// The Xvfb display the e2e_env fixture started, e.g. ":3".
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

std::vector<std::string> WineEnvironment() {
  return {"WINEPREFIX=" + Prefix(), "WINEDLLOVERRIDES=" + std::string(kDllOverrides),
          "DISPLAY=" + Display()};
}

// Unix path -> the name Wine's Z: drive gives it.
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
  constexpr char kWine64[] = "/usr/lib/wine/wine64";
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

struct Process {
  pid_t pid = -1;
};

// Starts `argv` with the current environment plus `extra_env` (later entries
// win; "NAME" alone removes NAME), stdin from /dev/null and stdout/stderr into
// files, so nothing it leaves running holds CTest's pipes.
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

// Waits for the process; kills it after `timeout_ms`. The exit code, or -1.
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

struct Captured {
  int exit_code;
  std::string out;
  std::string err;
};

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

void AppendUtf8(unsigned code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Undoes Wine's debug quoting of a wide string: \n \r \t \" \\ and \XXXX.
Box DecodeTracedText(const std::string& quoted) {
  Box box{"", true};
  size_t end = quoted.rfind('"');
  if (end == std::string::npos) return {quoted, false};
  box.whole = quoted.compare(end, 4, "\"...") != 0;
  for (size_t i = 0; i < end; ++i) {
    if (quoted[i] != '\\' || i + 1 >= end) {
      box.text.push_back(quoted[i]);
      continue;
    }
    char c = quoted[++i];
    if (c == 'n') box.text.push_back('\n');
    else if (c == 'r') box.text.push_back('\r');
    else if (c == 't') box.text.push_back('\t');
    else if (c == '"' || c == '\\') box.text.push_back(c);
    else {
      AppendUtf8(std::stoul(quoted.substr(i, 4), nullptr, 16), &box.text);
      i += 3;
    }
  }
  return box;
}

std::vector<Box> BoxesIn(const std::string& stderr_text) {
  std::vector<Box> boxes;
  std::istringstream lines(stderr_text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find(kBoxTrace);
    if (at != std::string::npos)
      boxes.push_back(DecodeTracedText(line.substr(at + sizeof kBoxTrace - 1)));
  }
  return boxes;
}

// The handler's record: lines "argc=N", "argK=...", "show=...".
ShellRequest AwaitShellLog(const std::string& log, int wait_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (!fs::exists(log) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ShellRequest request;
  if (!fs::exists(log)) return request;
  request.asked = true;
  std::istringstream lines(ReadWhole(log));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 3, "arg") == 0 && line.compare(0, 5, "argc=") != 0)
      request.args.push_back(line.substr(line.find('=') + 1));
    else if (line.compare(0, 4, "long") == 0)
      request.long_args.push_back(line.substr(line.find('=') + 1));
    else if (line.compare(0, 5, "first") == 0)
      request.first_lines.push_back(line.substr(line.find('=') + 1));
    else if (line.compare(0, 5, "show=") == 0) request.show = line.substr(5);
  }
  return request;
}

// The native program reads the registry from the prefix's system.reg, which
// the wine server writes only now and then and when it stops. Stopping it is
// the one sure way to have the file current, so the tests pay a server
// restart (about a second) before each native run after a registry change.
bool hive_stale = true;

void SyncHive() {
  if (!hive_stale) return;
  std::vector<std::string> env = {"WINEPREFIX=" + Prefix()};
  RunCaptured({"wineserver", "-k"}, env, 30000);
  RunCaptured({"wineserver", "-w"}, env, 30000);
  RunCaptured({"wineserver", "-p"}, env, 30000);
  hive_stale = false;
}

std::string QuoteRegString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

std::string HexBytes(const std::string& bytes) {
  std::string hex;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i > 0) hex += ",";
    hex += pair;
  }
  return hex;
}

Captured RunWine(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {args.empty() ? "/usr/lib/wine/wine64" : WineLoaderFor(args[0])};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = WineEnvironment();
  env.push_back("WINEDEBUG=-all");
  return RunCaptured(argv, env, kProgramTimeoutMs);
}

// On a fully loaded machine Wine's reg tool once refused, with exit code 1,
// an import it takes every other time. An import only sets keys and values,
// so doing it again is safe; a file it really cannot take fails every
// attempt, and the test with it, showing what the tool printed each time.
// UTF-8 as UTF-16LE. The three-byte form of a surrogate gives that surrogate
// alone, so a test can name a key with one.
std::string Utf16Le(const std::string& utf8) {
  std::string out;
  auto unit = [&out](unsigned u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    unsigned code = length == 1   ? lead
                    : length == 2 ? lead & 0x1F
                    : length == 3 ? lead & 0x0F
                                  : lead & 0x07;
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
      code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += length;
    if (code >= 0x10000) {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
  }
  return out;
}

void ImportReg(const std::string& body, bool view32, bool unicode = false) {
  std::string file = WorkDir() + "/import." + std::to_string(getpid()) + ".reg";
  WriteWhole(file, unicode
                       ? "\xFF\xFE" + Utf16Le("Windows Registry Editor Version 5.00\r\n\r\n" + body)
                       : "REGEDIT4\r\n\r\n" + body);
  std::vector<std::string> args = {"reg", "import", WindowsName(file)};
  if (view32) args.push_back("/reg:32");
  std::string attempts;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    Captured run = RunWine(args);
    if (run.exit_code == 0) {
      if (attempt > 1)
        std::fprintf(stderr, "note: wine reg import took %d attempts:\n%s", attempt,
                     attempts.c_str());
      attempts.clear();
      break;
    }
    attempts += "attempt " + std::to_string(attempt) + ": exit code " +
                std::to_string(run.exit_code) + "\nstdout: " + run.out + "\nstderr: " + run.err +
                "\n";
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_EQ("", attempts) << "wine reg import failed for:\n" << body;
  std::remove(file.c_str());
  hive_stale = true;
}

std::string TestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info == nullptr ? "outside"
                                     : std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

}  // namespace

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const char* BuildName(Build build) { return build == Build::kWindows ? "Windows" : "native"; }

::testing::AssertionResult IsFailureText(const std::string& text, const std::string& kind,
                                         const std::string& module, const std::string& message,
                                         bool whole) {
  // Eight digits exactly: the offset lies within the program's image.
  const std::regex first_line("Exception " + kind + " in module " + module + " at [0-9A-F]{8}\\.");
  const std::size_t newline = text.find('\n');
  const std::string shown = newline == std::string::npos ? "" : text.substr(newline + 1);
  if (newline == std::string::npos || !std::regex_match(text.substr(0, newline), first_line) ||
      (whole ? shown != message : message.compare(0, shown.size(), shown) != 0)) {
    return ::testing::AssertionFailure() << "failure text:\n" << text;
  }
  return ::testing::AssertionSuccess();
}

std::string Text(const std::string& name, const std::string& text) {
  return QuoteRegString(name) + "=" + QuoteRegString(text);
}

std::string ExpandText(const std::string& name, const std::string& text) {
  return Hex(name, 2, text + std::string(1, '\0'));
}

std::string Dword(const std::string& name, std::uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08x", value);
  return QuoteRegString(name) + "=dword:" + digits;
}

std::string Hex(const std::string& name, std::uint32_t type, const std::string& bytes) {
  char kind[16];  // the .reg syntax gives the type in hex: hex(b) is REG_QWORD
  std::snprintf(kind, sizeof kind, "hex(%x):", type);
  return QuoteRegString(name) + "=" + kind + HexBytes(bytes);
}

int Wine(const std::vector<std::string>& args) { return RunWine(args).exit_code; }

namespace {

// reg delete exits with 1 both when there is nothing to remove and when it
// fails, so a key still there afterwards is what tells the two apart; like an
// import, a delete that was refused is tried again.
void DeleteKey(const std::string& key, bool view32) {
  std::vector<std::string> del = {"reg", "delete", key, "/f"};
  std::vector<std::string> query = {"reg", "query", key};
  if (view32) {
    del.push_back("/reg:32");
    query.push_back("/reg:32");
  }
  bool gone = false;
  for (int attempt = 1; attempt <= 3 && !gone; ++attempt) {
    gone = Wine(del) == 0 || Wine(query) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_TRUE(gone) << "wine reg delete left " << key;
  hive_stale = true;
}

}  // namespace

void RemoveDownloadList() { DeleteKey(kVendorKey, /*view32=*/true); }

void PlantDownloadList(const std::vector<DownloadKey>& keys, Encoding encoding) {
  RemoveDownloadList();
  std::string body = "[" + std::string(kListKey) + "]\r\n\r\n";
  for (const DownloadKey& key : keys) {
    body += "[" + std::string(kListKey) + "\\" + key.name + "]\r\n";
    for (const std::string& value : key.values) body += value + "\r\n";
    body += "\r\n";
  }
  ImportReg(body, /*view32=*/true, encoding == Encoding::kUtf16);
}

void SetHtmHandler(bool recorder) {
  if (!recorder) {
    DeleteKey("HKCR\\.htm", /*view32=*/false);
    return;
  }
  std::string command = "\"" + WindowsName(WindowsBin() + "/shell_recorder.exe") + "\" \"%1\"";
  ImportReg(
      "[HKEY_CLASSES_ROOT\\.htm]\r\n@=\"htmlfile\"\r\n\r\n"
      "[HKEY_CLASSES_ROOT\\htmlfile\\shell\\open\\command]\r\n@=" +
          QuoteRegString(command) + "\r\n\r\n",
      /*view32=*/false);
}

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
  std::vector<std::string> env = WineEnvironment();
  env.push_back("WINEDEBUG=+msgbox");
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
