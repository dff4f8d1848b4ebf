#include "os/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tallyweb {
namespace {

// An answer that could not be written (standard output full or closed) is
// no answer: the exit code says so, as any command-line tool's does.
[[noreturn]] void ExitAfterWriting() {
  const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  std::exit(written ? 0 : 1);
}

}  // namespace

void StartProcess(int argc, char** argv, const char* version) {
  // Run with a standard descriptor closed, the next file opened would take
  // its number, and failure text meant for standard error would land in it.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd)
      close(opened);  // a lower one was closed too: filled next time round
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Tallyweb %s\n", version);
      ExitAfterWriting();
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "Usage: Tallyweb\n"
          "Writes Tallyweb.htm beside the program from template.txt and the download\n"
          "list in the Wine prefix's registry ($WINEPREFIX/system.reg, else\n"
          "~/.wine/system.reg), then opens it with xdg-open. Any other argument is\n"
          "ignored.\n"
          "  --help     show this text and exit\n"
          "  --version  show the version and exit\n");
      ExitAfterWriting();
    }
  }
}

}  // namespace tallyweb
