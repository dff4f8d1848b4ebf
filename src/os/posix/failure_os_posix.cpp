// Failure reporting away from Windows: the loader says which module holds an
// address, the notice goes to standard error and, in a graphical session
// with zenity installed, into a blocking error dialog as well.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/failure_os.h"

namespace tallyweb {
namespace {

constexpr char kTitle[] = "Application Error";

const void* ProgramImageBase() {
  Dl_info self{};
  // This file is linked into the program itself, so its code marks the
  // program's image.
  if (dladdr(reinterpret_cast<const void*>(&ProgramImageBase), &self) == 0) return nullptr;
  return self.dli_fbase;
}

bool CopyPath(const char* path, ModuleLookup* module) {
  if (path == nullptr || *path == '\0') return false;
  const std::size_t length = strnlen(path, kModulePathCapacity - 1);
  std::memcpy(module->path, path, length);
  module->path[length] = '\0';
  module->path_length = length;
  return true;
}

// The loader names the program by the argv[0] it was started with, which
// the starter chooses freely; the kernel knows the real file.
bool ReadProgramPath(ModuleLookup* module) {
  const ssize_t length = readlink("/proc/self/exe", module->path, kModulePathCapacity - 1);
  if (length <= 0) return false;
  module->path[length] = '\0';
  module->path_length = static_cast<std::size_t>(length);
  return true;
}

void WriteAll(int fd, const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, text, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

void WriteAll(int fd, const char* text) { WriteAll(fd, text, std::strlen(text)); }

// Finds `name` as an executable in one of PATH's directories; an empty
// entry stands for the current directory, as the shell takes it.
bool FindOnPath(const char* name, char* found, std::size_t capacity) {
  const char* entry = std::getenv("PATH");
  if (entry == nullptr) return false;
  const std::size_t name_length = std::strlen(name);
  while (true) {
    const char* end = std::strchr(entry, ':');
    std::size_t dir_length = end ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
    const char* dir = entry;
    if (dir_length == 0) {
      dir = ".";
      dir_length = 1;
    }
    if (dir_length + 1 + name_length < capacity) {
      std::memcpy(found, dir, dir_length);
      found[dir_length] = '/';
      std::memcpy(found + dir_length + 1, name, name_length + 1);
      if (access(found, X_OK) == 0) return true;
    }
    if (end == nullptr) return false;
    entry = end + 1;
  }
}

bool InGraphicalSession() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

// fork and exec rather than posix_spawn or system(): neither of these asks
// for memory in this process, which may have none left.
void ShowDialog(const char* text) {
  static char zenity[4096];
  if (!InGraphicalSession() || !FindOnPath("zenity", zenity, sizeof zenity)) return;
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    // Its own warnings would land amid the failure text on standard error.
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    // --no-markup: the text is shown as it stands; a path holding "<" or "&"
    // must not be read as markup.
    const char* const argv[] = {"zenity", "--error", "--no-markup", "--title",
                                kTitle,   "--text",  text,          nullptr};
    execv(zenity, const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool LookUpModule(const void* address, ModuleLookup* module) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
    return false;
  }
  module->allocation_base = info.dli_fbase;
  if (info.dli_fbase == ProgramImageBase() && ReadProgramPath(module)) return true;
  return CopyPath(info.dli_fname, module);
}

std::string_view ModulePathDelimiters() { return "/"; }

void ShowFailureBox(const char* text) {
  WriteAll(STDERR_FILENO, kTitle);
  WriteAll(STDERR_FILENO, "\n");
  WriteAll(STDERR_FILENO, text);
  WriteAll(STDERR_FILENO, "\n");
  ShowDialog(text);
}

void ExitWithCode(int exit_code) { _exit(exit_code); }

}  // namespace tallyweb
