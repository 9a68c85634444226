// wisp-trace: a trace client; copies the daemon's trace lines to standard
// output until the daemon closes the connection or a signal arrives.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "../common/cli.h"
#include "../common/signals.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace {

const tools::Tool kTool = {
    "wisp-trace", "wisp-trace",
    "Connects to the daemon's trace socket under WISPD_ROOT and copies its trace\n"
    "lines to standard output until the daemon closes the connection or SIGTERM or\n"
    "SIGINT arrives.\n"
    "  --help       show this text\n"
    "  --version    show the version\n"};

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-trace");
  static const struct option longopts[] = {TOOLS_COMMON_OPTIONS, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) tools::CommonOption(kTool, c);
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  tools::RequireRoot(kTool);
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  std::string path = pelldan::RootPath(pelldan::kTraceSocket);
  int fd = simhost::ConnectUnix(SOCK_STREAM, path);
  if (fd < 0) {
    std::cerr << "wisp-trace: cannot connect to " << path << ": " << strerror(-fd) << "\n";
    return 1;
  }
  char buf[65536];
  while (!*stop) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = tools::PollSignals(&p, 1, -1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // A reader that went away or a full disk ends the copy; the exit check says why.
    if (fwrite(buf, 1, static_cast<size_t>(n), stdout) != static_cast<size_t>(n) ||
        fflush(stdout) != 0)
      break;
  }
  return 0;
}
