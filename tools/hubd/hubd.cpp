// hubd: the simulated host management agent. Reads one flare record per
// connection on the flare socket and writes one JSON line for it.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "../common/cli.h"
#include "../common/outfile.h"
#include "../common/signals.h"
#include "../common/wispjson.h"
#include "pelldan/accept_pause.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace {

// Larger than any record the daemon builds; a connection that sends more is
// cut off with an error line.
constexpr size_t kMaxRecord = 1 << 20;

struct Totals {
  size_t flares = 0;
  size_t errors = 0;
  size_t lost = 0;  // lines the output did not take
};

// False (after a line on standard error) when the line was not written.
bool Write(const tools::OrderedJson &line, tools::OutFile *out, Totals *totals) {
  errno = 0;
  if (out->Write(line.dump(-1, ' ', false, tools::OrderedJson::error_handler_t::replace) + "\n"))
    return true;
  ++totals->lost;
  std::cerr << "hubd: cannot write a line: " << strerror(errno != 0 ? errno : EIO) << "\n";
  return false;
}

// Accepts one connection; out of descriptors the listener rests instead.
void Accept(int listener, pelldan::AcceptPause *pause, std::map<int, std::string> *conns) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  bool starts = false;
  if (fd >= 0) {
    (*conns)[fd];
    if (uint64_t failed = pause->Succeeded())
      std::cerr << "hubd: accept failed " << failed
                << " times while descriptors ran out; accepting again\n";
  } else if (int err = errno;
             pause->Failed(err, pelldan::AcceptPause::NowMs(), &starts) && starts) {
    std::cerr << "hubd: accept failed: " << strerror(err) << "\n";
  }
}

void Finish(const std::string &bytes, tools::OutFile *out, Totals *totals) {
  tools::OrderedJson line;
  std::string error;
  bool decoded = tools::DecodeFlare(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                                    &line, &error);
  if (!decoded) {
    line = tools::OrderedJson::object();
    line["error"] = error;
    line["bytes"] = bytes.size();
  }
  if (Write(line, out, totals)) ++(decoded ? totals->flares : totals->errors);
}

const tools::Tool kTool = {
    "hubd", "hubd [--out FILE]",
    "Listens on the flare socket under WISPD_ROOT and writes one JSON line per flare\n"
    "record to standard output, or appends it to FILE.\n"
    "  --out FILE   append to FILE; SIGHUP reopens it (for log rotation)\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "SIGTERM or SIGINT ends hubd after the totals on standard error, with status 0,\n"
    "or 1 when a line could not be written.\n"};

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("hubd");
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
    std::cerr << "hubd: " << why << "\n";
    return 1;
  }
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  volatile sig_atomic_t *hangup = tools::ReopenOnHangup();
  signal(SIGPIPE, SIG_IGN);
  Totals totals;

  std::string path = pelldan::RootPath(pelldan::kFlareSocket);
  int listener = simhost::BindUnix(SOCK_STREAM, path, 128);
  if (listener < 0) {
    std::cerr << "hubd: cannot listen on " << path << ": " << strerror(-listener) << "\n";
    return 1;
  }
  std::map<int, std::string> conns;
  pelldan::AcceptPause pause;
  while (!*stop) {
    if (*hangup) {
      *hangup = 0;
      if (!out.Reopen(&why)) std::cerr << "hubd: " << why << "\n";
    }
    int rest = pause.RestMs(pelldan::AcceptPause::NowMs());
    std::vector<struct pollfd> polls = {{listener, static_cast<short>(rest > 0 ? 0 : POLLIN), 0}};
    for (const auto &cn : conns) polls.push_back({cn.first, POLLIN, 0});
    if (poll(polls.data(), polls.size(), pelldan::EarliestWake(-1, rest)) < 0) continue;
    if (polls[0].revents & POLLIN) Accept(listener, &pause, &conns);
    for (size_t i = 1; i < polls.size(); ++i) {
      if (polls[i].revents == 0) continue;
      int fd = polls[i].fd;
      std::string &buf = conns[fd];
      char chunk[65536];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n > 0) {
        buf.append(chunk, static_cast<size_t>(n));
        if (buf.size() <= kMaxRecord) continue;
      }
      if (n < 0 || buf.size() > kMaxRecord) {
        tools::OrderedJson line;
        line["error"] = n < 0 ? std::string("read failed: ") + strerror(errno)
                              : std::string("record larger than any flare");
        line["bytes"] = buf.size();
        if (Write(line, &out, &totals)) ++totals.errors;
      } else {
        Finish(buf, &out, &totals);
      }
      close(fd);
      conns.erase(fd);
    }
  }
  close(listener);
  unlink(path.c_str());
  std::cerr << "hubd: " << totals.flares << " flares, " << totals.errors
            << " records that did not decode\n";
  if (totals.lost == 0) return 0;
  std::cerr << "hubd: " << totals.lost << " lines could not be written\n";
  return 1;
}
