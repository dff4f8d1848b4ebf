// The hive file of the native store, mapped: see hive_file.h.
#include "platform/hive_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyweb {
namespace {

// A hive file cut short while it is mapped (an editor saving it in place)
// would end the program with SIGBUS on the first page past the new end. The
// mapping is guarded instead: such a page is replaced by zeros, which read as
// empty lines, and the store takes the hive for gone from then on. One hive
// file is mapped at a time; a fault anywhere else is left to kill the
// process as it would.
std::atomic<char*> guarded_begin{nullptr};
std::atomic<std::size_t> guarded_size{0};
std::atomic<bool> hive_cut{false};

void OnBusError(int signal, siginfo_t* info, void*) {
  char* const begin = guarded_begin.load();
  char* const address = static_cast<char*>(info->si_addr);
  if (begin != nullptr && address >= begin && address < begin + guarded_size.load()) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* const start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) &
                                                ~(page - 1));
    if (mmap(start, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      hive_cut.store(true);
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

// An editor that saves in place cuts the file under the mapping, and the
// downloads the index has listed but the run has not read yet are gone with
// their text. A read lease holds back whoever would cut the file or open it
// for writing until the program closes it (or the kernel's lease-break-time
// has passed, 45 s by default), so the run reads the file as it was when it
// was opened, as the wine server reads the copy it loaded. The kernel asks
// for the lease back with SIGIO, which by default ends the process: the
// program's start-up answers it, and a process that has not (a test, a tool)
// takes no lease. Without a lease (a file of another user, one open for
// writing elsewhere, a file system without leases) the guard above still
// keeps a cut from killing the program.
void HoldReadLease(int fd) {
  struct sigaction lease_break {};
  if (sigaction(SIGIO, nullptr, &lease_break) == 0 && lease_break.sa_handler != SIG_DFL) {
    (void)::fcntl(fd, F_SETLEASE, F_RDLCK);
  }
}

}  // namespace

bool MappedHiveCut() { return hive_cut.load(); }

// The file's bytes, mapped rather than read: a default prefix's hive is
// megabytes, and filling fresh memory with it costs several times more than
// indexing it. wineserver never cuts its hive (it writes a new file and
// renames it over the old one), but an editor may: see GuardMapping.
// The hive reads through the file about once, and the pages it has read would
// otherwise stay counted as the program's memory: released now and then, they
// come back from the page cache if read again.
std::unique_ptr<WineHive> MapHiveFile(const std::string& path) {
  // Without waiting, should it be a FIFO; only a regular file is mapped.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  HoldReadLease(fd);
  struct stat st {};
  void* bytes = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  }
  if (bytes == MAP_FAILED) {
    ::close(fd);
    return nullptr;
  }
  hive_cut.store(false);
  std::size_t size = static_cast<std::size_t>(st.st_size);
  GuardMapping(static_cast<char*>(bytes), size);
  std::shared_ptr<const void> mapping(bytes, [size, fd](const void* p) {
    if (guarded_begin.load() == p) guarded_begin.store(nullptr);
    ::munmap(const_cast<void*>(p), size);
    ::close(fd);
  });
  auto release = [bytes](std::size_t begin, std::size_t end) {
    ::madvise(static_cast<char*>(bytes) + begin, end - begin, MADV_DONTNEED);
  };
  // Copies from the page cache, for keys read out of file order: cheaper than
  // a page fault per key, and nothing is left mapped to give back. A file
  // now shorter than the hive was is cut, as a fault past its end says.
  auto read = [fd](std::size_t begin, std::size_t end, char* out) {
    std::size_t done = 0;
    while (begin + done < end) {
      const ssize_t n = ::pread(fd, out + done, end - begin - done,
                                static_cast<off_t>(begin + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        hive_cut.store(true);
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    return done;
  };
  auto hive = WineHive::Parse(std::string_view(static_cast<const char*>(bytes), size),
                              std::move(mapping), release, read);
  // Keys out of order are read all over the text: fault in only the page
  // asked for, not its neighbours, which will be given back unread.
  if (hive != nullptr && hive->KeysOutOfOrder()) ::madvise(bytes, size, MADV_RANDOM);
  // Cut while it was indexed: what was read is no hive.
  return hive_cut.load() ? nullptr : std::move(hive);
}

}  // namespace tallyweb
