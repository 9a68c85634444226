// wisp-syslog: collects the host's syslog datagrams and prints the message
// of each record, one per line.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "../common/signals.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

int main(int argc, char **argv) {
  FILE *out = stdout;
  static const struct option longopts[] = {{"out", required_argument, nullptr, 'o'},
                                           {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c != 'o') {
      std::cerr << "usage: wisp-syslog [--out FILE]\n";
      return 2;
    }
    out = fopen(optarg, "a");
    if (out == nullptr) {
      std::cerr << "wisp-syslog: cannot open " << optarg << ": " << strerror(errno) << "\n";
      return 1;
    }
  }
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  std::string path = pelldan::RootPath(pelldan::kSyslogSocket);
  int fd = simhost::BindUnix(SOCK_DGRAM, path, 0);
  if (fd < 0) {
    std::cerr << "wisp-syslog: cannot bind " << path << ": " << strerror(-fd) << "\n";
    return 1;
  }
  chmod(path.c_str(), 0666);
  static char buf[1 << 17];
  while (!*stop) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0) continue;
    std::string record(buf, static_cast<size_t>(n));
    size_t body = record.find("]: ");
    std::string message = body == std::string::npos ? record : record.substr(body + 3);
    if (!message.empty() && message.back() == '\n') message.pop_back();
    fprintf(out, "%s\n", message.c_str());
    fflush(out);
  }
  unlink(path.c_str());
  return 0;
}
