// The OS seam on POSIX systems. Failures come back as the Windows codes the
// report's messages are keyed by where they mean the same thing (file or path
// not found, too many open files, access denied); any other errno is passed
// on as it is and shows as "I/O error <n>".
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "os/os_calls.h"
#include "os/windows_errors.h"

extern char** environ;

namespace tallyweb {
namespace {

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// ENOENT means a missing file only when the file's own directory is there;
// otherwise, as on Windows, it is the path that is not found.
std::int32_t MapErrno(int error, const std::string& path) {
  switch (error) {
    case ENOENT: {
      const std::size_t slash = path.rfind('/');
      const std::string directory = slash == std::string::npos ? "."
                                    : slash == 0               ? "/"
                                                               : path.substr(0, slash);
      return DirectoryExists(directory) ? kErrorFileNotFound : kErrorPathNotFound;
    }
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    default: return error;
  }
}

int Descriptor(FileHandle file) { return static_cast<int>(file); }

class PosixOsCalls : public OsCalls {
 public:
  std::string ProgramPath() override {
    std::vector<char> buffer(256);
    while (true) {
      const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n < 0) return {};
      if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
      buffer.resize(buffer.size() * 2);  // it may have been cut: ask again
    }
  }

  std::string_view PathDelimiters() const override { return "/"; }

  // The report is UTF-8, as the registry's texts come: values go in as they
  // are.
  SystemFacts TakeSystemFacts() override { return SystemFacts(); }

  FileHandle OpenExisting(const std::string& path) override {
    // Opened without waiting: a FIFO would otherwise hold the open until a
    // writer came. Only a regular file is a template (a directory, a FIFO, a
    // socket or a device is not, and reading one may never end).
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return kNoFile;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      close(fd);
      return kNoFile;
    }
    return fd;
  }

  std::uint64_t FileSize(FileHandle file) override {
    const off_t end = lseek(Descriptor(file), 0, SEEK_END);
    lseek(Descriptor(file), 0, SEEK_SET);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
  }

  std::uint64_t Read(FileHandle file, char* buffer, std::uint64_t count) override {
    std::uint64_t done = 0;
    while (done < count) {
      const ssize_t n = read(Descriptor(file), buffer + done, count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::uint64_t>(n);
    }
    return done;
  }

  FileHandle CreateAlways(const std::string& path, std::int32_t* error) override {
    // Without waiting for a FIFO's reader; and a FIFO or socket that is there
    // is refused, as its reader may never read. A device such as /dev/null
    // takes the report as a file would.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
      *error = MapErrno(errno == ENXIO ? EACCES : errno, path);
      return kNoFile;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
      close(fd);
      *error = MapErrno(EACCES, path);
      return kNoFile;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
  }

  FileType TypeOf(FileHandle file) override {
    struct stat info;
    if (fstat(Descriptor(file), &info) != 0) return FileType::kUnknown;
    if (S_ISCHR(info.st_mode)) return FileType::kChar;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FileType::kPipe;
    return FileType::kDisk;
  }

  std::int32_t Write(FileHandle file, const char* data, std::uint32_t count) override {
    // A POSIX write may take only part of the bytes; the block is handed over
    // whole or the write has failed.
    std::uint32_t done = 0;
    while (done < count) {
      const ssize_t n = write(Descriptor(file), data + done, count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return MapErrno(errno, {});
      done += static_cast<std::uint32_t>(n);
    }
    return 0;
  }

  std::int32_t Close(FileHandle file) override {
    return close(Descriptor(file)) == 0 ? 0 : MapErrno(errno, {});
  }

  void ShellOpen(const std::string& path) override {
    // The viewer outlives us: an intermediate child starts it and exits, so
    // the viewer is adopted by init and never becomes our zombie. The child
    // gives xdg-open a moment first: missing, or failing at once (no browser
    // set up), it says on standard error where the report is, as there is
    // no window to say it in.
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
      char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(path.c_str()), nullptr};
      pid_t viewer;
      bool failed = posix_spawnp(&viewer, "xdg-open", nullptr, nullptr, argv, environ) != 0;
      for (int waited_ms = 0; !failed && waited_ms < 500; waited_ms += 10) {
        int status = 0;
        const pid_t done = waitpid(viewer, &status, WNOHANG);
        if (done == viewer) {
          failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
          break;
        }
        if (done < 0 && errno != EINTR) break;
        usleep(10000);
      }
      if (failed) {
        const std::string note =
            "Tallyweb: the report was written to " + path +
            ", but no viewer could be started (xdg-open). Open it in a browser.\n";
        ssize_t ignored = write(STDERR_FILENO, note.data(), note.size());
        (void)ignored;
      }
      _exit(0);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
};

}  // namespace

std::unique_ptr<OsCalls> MakeSystemOsCalls() { return std::make_unique<PosixOsCalls>(); }

}  // namespace tallyweb
