// The hive file of the native store, mapped: see hive_file.h.
#include "os/posix/hive_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyweb {
namespace {

// A hive file cut short while it is mapped (an editor saving it in place)
// would end the program with SIGBUS on the first page past the new end. The
// mapping is guarded instead: such a page is replaced by zeros, which read as
// empty lines, and the file's version (below) says it changed. One hive
// file is mapped at a time; a fault anywhere else is left to kill the
// process as it would.
std::atomic<char*> guarded_begin{nullptr};
std::atomic<std::size_t> guarded_size{0};

void OnBusError(int signal, siginfo_t* info, void*) {
  char* const begin = guarded_begin.load();
  char* const address = static_cast<char*>(info->si_addr);
  if (begin != nullptr && address >= begin && address < begin + guarded_size.load()) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* const start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) &
                                                ~(page - 1));
    if (mmap(start, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      return;
    }
  }
  ::signal(signal, SIG_DFL);  // the fault comes again, and kills as it would have
}

void GuardMapping(char* begin, std::size_t size) {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  (void)installed;
  guarded_size.store(size);
  guarded_begin.store(begin);
}

// What says whether a file's bytes changed: a write or a cut moves its
// modification time, and its change time too. The change time also moves
// when the file loses a name, as the wine server's save takes the old file's
// name for the new one; the bytes opened are still there then, so a change
// time counts only while the file has as many names as it had.
struct FileVersion {
  off_t size = 0;
  nlink_t links = 0;
  timespec modified{};
  timespec changed{};
};

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool ReadVersion(int fd, FileVersion* version) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  version->size = st.st_size;
  version->links = st.st_nlink;
  version->modified = st.st_mtim;
  version->changed = st.st_ctim;
  return true;
}

bool SameBytes(const FileVersion& opened, const FileVersion& now) {
  return opened.size == now.size && SameTime(opened.modified, now.modified) &&
         (opened.links != now.links || SameTime(opened.changed, now.changed));
}

// The kernel stamps a file with a clock that ticks every few milliseconds: a
// write in the same tick as the one before it leaves the stamp as it was. A
// file changed within kSettle of being opened may be in the middle of such a
// write, and its stamp could not tell a later one: it is opened again once
// it has settled.
constexpr long kSettleNs = 50 * 1000 * 1000;

bool JustChanged(const FileVersion& version) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const long long age_ns = (static_cast<long long>(now.tv_sec) - version.changed.tv_sec) *
                               1000000000LL +
                           (now.tv_nsec - version.changed.tv_nsec);
  return age_ns < kSettleNs && age_ns > -kSettleNs;
}

void Say(const std::string& line) {
  const std::string text = "Tallyweb: " + line + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

// One attempt at the file: its hive, indexed, and how to ask whether the
// file still holds what was indexed; no hive when it changed while it was
// indexed (`changed`) or had only just changed when opened (not `settled`).
struct Attempt {
  HiveFile file;
  bool changed = false;
  bool settled = true;
};

// A hive file opened and mapped whole, with the version it had when opened.
struct MappedFile {
  int fd = -1;
  void* bytes = MAP_FAILED;
  std::size_t size = 0;
  FileVersion opened;
};

// Opens and maps the file at `path`; false, with nothing left open, when
// there is nothing to index: the file is missing, unreadable, not a regular
// file, empty, or had only just changed (`*settled` false). A file that is
// there but cannot be read is said on standard error.
bool OpenAndMap(const std::string& path, MappedFile* file, bool* settled) {
  // Without waiting, should it be a FIFO; only a regular file is mapped.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR)
      Say("cannot read " + path + ": " + std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ReadVersion(fd, &file->opened)) {
    Say("cannot read " + path + ": not a file");
  } else {
    *settled = !JustChanged(file->opened);
    if (*settled && st.st_size > 0) {
      file->bytes =
          ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    }
  }
  if (file->bytes == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  file->fd = fd;
  file->size = static_cast<std::size_t>(st.st_size);
  return true;
}

// The mapping as its holders share it: guarded while it is there, unmapped
// and its descriptor closed when the last holder lets go.
std::shared_ptr<const void> HoldMapping(const MappedFile& file) {
  GuardMapping(static_cast<char*>(file.bytes), file.size);
  return std::shared_ptr<const void>(file.bytes, [size = file.size, fd = file.fd](const void* p) {
    if (guarded_begin.load() == p) guarded_begin.store(nullptr);
    ::munmap(const_cast<void*>(p), size);
    ::close(fd);
  });
}

// The hive indexed from the mapped file, holding `mapping` for as long as it
// reads from it.
std::unique_ptr<WineHive> IndexHive(const MappedFile& file,
                                    const std::shared_ptr<const void>& mapping) {
  char* const bytes = static_cast<char*>(file.bytes);
  auto release = [bytes](std::size_t begin, std::size_t end) {
    ::madvise(bytes + begin, end - begin, MADV_DONTNEED);
  };
  // Copies from the page cache, for keys read out of file order: cheaper than
  // a page fault per key, and nothing is left mapped to give back. A file
  // now shorter than the hive was has changed, as the version check says.
  auto read = [fd = file.fd](std::size_t begin, std::size_t end, char* out) {
    std::size_t done = 0;
    while (begin + done < end) {
      const ssize_t n = ::pread(fd, out + done, end - begin - done,
                                static_cast<off_t>(begin + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  };
  std::unique_ptr<WineHive> hive =
      WineHive::Parse(std::string_view(bytes, file.size), mapping, release, read);
  // Keys out of order are read all over the text: fault in only the page
  // asked for, not its neighbours, which will be given back unread.
  if (hive != nullptr && hive->KeysOutOfOrder()) ::madvise(bytes, file.size, MADV_RANDOM);
  return hive;
}

// HiveFile::unchanged for the file mapped: it keeps the mapping, and with it
// the descriptor it asks, for as long as the hive may ask it.
std::function<bool()> WatchForChange(const std::string& path, const MappedFile& file,
                                     std::shared_ptr<const void> mapping) {
  auto said = std::make_shared<bool>(false);
  return [fd = file.fd, opened = file.opened, said, path, mapping]() {
    FileVersion now;
    if (ReadVersion(fd, &now) && SameBytes(opened, now)) return true;
    if (!*said) Say(path + " changed while it was read; run again to read it as it is now");
    *said = true;
    return false;
  };
}

Attempt MapOnce(const std::string& path) {
  Attempt attempt;
  MappedFile file;
  if (!OpenAndMap(path, &file, &attempt.settled)) return attempt;
  const std::shared_ptr<const void> mapping = HoldMapping(file);
  attempt.file.hive = IndexHive(file, mapping);
  // The mapping shows the file as it is now, not as it was opened: a page
  // read after a write in place holds the new bytes. So the file's version
  // is looked at after the index was read, and after each key's values are:
  // unchanged then, everything read before came from the version opened.
  FileVersion now;
  if (!ReadVersion(file.fd, &now) || !SameBytes(file.opened, now)) {
    attempt.file.hive.reset();
    attempt.changed = true;
    return attempt;
  }
  attempt.file.unchanged = WatchForChange(path, file, mapping);
  return attempt;
}

}  // namespace

// The file's bytes, mapped rather than read: a default prefix's hive is
// megabytes, and filling fresh memory with it costs several times more than
// indexing it. The hive reads through the file about once, and the pages it
// has read would otherwise stay counted as the program's memory: released
// now and then, they come back from the page cache if read again.
//
// Nothing holds back a writer: the wine server saves the registry while its
// every program waits, so a lease or lock that made it wait for this reader
// (or for a reader that is stopped) would stall them all. The wine server
// writes a new file and renames it over the old one, so the file opened here
// stays as it was; only a hive that is a symbolic link or has several links
// is cut and written again in place (as an editor may do with any file). That
// case is caught by the file's version: a file that changed while it was
// indexed is read again from the start, a few times; one that changes later
// leaves the store with no hive from then on (HiveFile::unchanged).
HiveFile MapHiveFile(const std::string& path) {
  constexpr int kAttempts = 20;
  for (int i = 0; i < kAttempts; ++i) {
    Attempt attempt = MapOnce(path);
    if (attempt.settled && !attempt.changed) return std::move(attempt.file);
    timespec pause{0, kSettleNs};
    ::nanosleep(&pause, nullptr);
  }
  Say(path + " kept changing while it was read; run again");
  return HiveFile();
}

}  // namespace tallyweb
