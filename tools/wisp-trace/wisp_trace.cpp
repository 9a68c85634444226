// wisp-trace: a trace client; copies the daemon's trace lines to standard
// output until the daemon closes the connection or a signal arrives.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "../common/signals.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

int main() {
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  std::string path = pelldan::RootPath(pelldan::kTraceSocket);
  int fd = simhost::ConnectUnix(SOCK_STREAM, path);
  if (fd < 0) {
    std::cerr << "wisp-trace: cannot connect to " << path << ": " << strerror(-fd) << "\n";
    return 1;
  }
  char buf[65536];
  while (!*stop) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    fwrite(buf, 1, static_cast<size_t>(n), stdout);
    fflush(stdout);
  }
  return 0;
}
