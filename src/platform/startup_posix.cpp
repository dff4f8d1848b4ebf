#include "platform/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tallyweb {

void StartProcess(int argc, char** argv) {
  // Run with a standard descriptor closed, the next file opened would take
  // its number, and failure text meant for standard error would land in it.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd)
      close(opened);  // a lower one was closed too: filled next time round
  }
  // The registry reader holds a read lease on the hive file while it reads
  // it, so that an editor saving the file in place waits for the run. The
  // kernel asks for the lease back with SIGIO, which would end the program;
  // it is answered by reading on. A handler that does nothing rather than
  // SIG_IGN, because an ignored signal stays ignored in the programs started
  // from here (the report's viewer), and a handler does not.
  struct sigaction lease_break {};
  lease_break.sa_handler = [](int) {};
  sigemptyset(&lease_break.sa_mask);
  lease_break.sa_flags = SA_RESTART;
  sigaction(SIGIO, &lease_break, nullptr);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Tallyweb 1.0\n");
      std::exit(0);
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
      std::exit(0);
    }
  }
}

}  // namespace tallyweb
