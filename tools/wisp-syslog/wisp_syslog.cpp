// wisp-syslog: collects the host's syslog datagrams and prints the message
// of each record, one per line.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "../common/cli.h"
#include "../common/outfile.h"
#include "../common/signals.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace {

const tools::Tool kTool = {
    "wisp-syslog", "wisp-syslog [--out FILE]",
    "Receives the host's syslog records on /dev/log under WISPD_ROOT and prints the\n"
    "message of each, one per line, to standard output or appended to FILE.\n"
    "  --out FILE   append to FILE; SIGHUP reopens it (for log rotation)\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "A socket that still answers is never replaced. SIGTERM or SIGINT ends it with\n"
    "status 0 after the totals on standard error.\n"};

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-syslog");
  std::string outPath;
  static const struct option longopts[] = {
      {"out", required_argument, nullptr, 'o'}, TOOLS_COMMON_OPTIONS, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c != 'o') tools::CommonOption(kTool, c);
    if (optarg[0] == '\0') tools::Reject(kTool, "--out takes a file name");
    outPath = optarg;
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  tools::RequireRoot(kTool);
  tools::OutFile out;
  std::string why;
  if (!out.Open(outPath, &why)) {
    std::cerr << "wisp-syslog: " << why << "\n";
    return 1;
  }
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  volatile sig_atomic_t *hangup = tools::ReopenOnHangup();
  std::string path = pelldan::RootPath(pelldan::kSyslogSocket);
  int fd = simhost::BindUnix(SOCK_DGRAM, path, 0);
  if (fd < 0) {
    std::cerr << "wisp-syslog: cannot bind " << path << ": " << strerror(-fd) << "\n";
    return 1;
  }
  chmod(path.c_str(), 0666);
  static char buf[1 << 17];
  size_t records = 0;
  // After a stop, the records already queued are still written: a daemon
  // stopped just before its collector keeps its last lines.
  for (;;) {
    if (*hangup) {
      *hangup = 0;
      if (!out.Reopen(&why)) std::cerr << "wisp-syslog: " << why << "\n";
    }
    if (!*stop) {
      struct pollfd p = {fd, POLLIN, 0};
      tools::PollSignals(&p, 1, -1);
    }
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno != EINTR && *stop) break;
    if (n < 0) continue;
    std::string record(buf, static_cast<size_t>(n));
    size_t body = record.find("]: ");
    std::string message = body == std::string::npos ? record : record.substr(body + 3);
    if (!message.empty() && message.back() == '\n') message.pop_back();
    if (!out.Write(message + "\n")) {
      std::cerr << "wisp-syslog: cannot write " << (outPath.empty() ? "standard output" : outPath)
                << ": " << strerror(errno) << "\n";
      unlink(path.c_str());
      return 1;
    }
    ++records;
  }
  unlink(path.c_str());
  std::cerr << "wisp-syslog: " << records << " records\n";
  return 0;
}
