// What the harness's three parts share among themselves; tests include
// harness.h only.
//   harness_process.cpp   starting and waiting for programs, natively and
//                         under Wine, the program folder, the file holder
//   harness_registry.cpp  the test prefix's registry through Wine's reg tool
//   harness_trace.cpp     what Wine traced (the boxes) and what the shell's
//                         handler wrote down
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "harness.h"

namespace tallyweb::e2e::internal {

/// How long a program may run before it is killed and reported timed out.
inline constexpr int kProgramTimeoutMs = 60000;

// --- harness_process.cpp ----------------------------------------------------

/// The build tree's e2e work folder.
std::string WorkDir();
/// The Windows build's programs: the tree named when configuring, or another
/// one named at run time (the 32-bit build's, say) by TALLYWEB_WINDOWS_BIN.
std::string WindowsBin();
/// The test Wine prefix, shared by all e2e tests.
std::string Prefix();
/// The Xvfb display the e2e_env fixture started, e.g. ":3".
const std::string& Display();

void WriteWhole(const std::string& path, const std::string& bytes);
/// Unix path -> the name Wine's Z: drive gives it.
std::string WindowsName(const std::string& unix_path);
/// The Wine loader that starts `program` (cmake/wine-loader.sh chooses alike).
std::string WineLoaderFor(const std::string& program);
/// The environment of a Wine program in the test prefix: the project's Wine
/// settings with WINEDEBUG=`winedebug`, on the fixture's display.
std::vector<std::string> WineEnvironment(const std::string& winedebug);

struct Process {
  pid_t pid = -1;
};

/// Starts `argv` with the current environment plus `extra_env` (later entries
/// win; "NAME" alone removes NAME), stdin from /dev/null and stdout/stderr into
/// files, so nothing it leaves running holds CTest's pipes.
Process Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
              const std::string& cwd, const std::string& out_path, const std::string& err_path);
/// Waits for the process; kills it after `timeout_ms`. The exit code, or -1.
int Wait(Process process, int timeout_ms, bool* timed_out);

struct Captured {
  int exit_code;
  std::string out;
  std::string err;
};

Captured RunCaptured(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extra_env, int timeout_ms);

// --- harness_registry.cpp ---------------------------------------------------

/// Makes the prefix's system.reg current before a native run, when the
/// registry has changed since the last one.
void SyncHive();

// --- harness_trace.cpp ------------------------------------------------------

/// The boxes Wine's message box trace shows in a program's standard error.
std::vector<Box> BoxesIn(const std::string& stderr_text);
/// Waits up to `wait_ms` for the shell handler's record `log`, and reads it.
ShellRequest AwaitShellLog(const std::string& log, int wait_ms);

}  // namespace tallyweb::e2e::internal
