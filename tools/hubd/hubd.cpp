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
// The daemon counts a connection the backlog has no room for as a failed
// send: room for a burst of flares (the kernel caps it at somaxconn).
constexpr int kBacklog = 4096;
// How long a stop waits for clients still sending.
constexpr int64_t kDrainMs = 2000;

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

// Accepts one connection; false when none was waiting or the accept
// failed (out of descriptors the listener rests instead).
bool Accept(int listener, pelldan::AcceptPause *pause, std::map<int, std::string> *conns) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  bool starts = false;
  if (fd >= 0) {
    (*conns)[fd];
    if (uint64_t failed = pause->Succeeded())
      std::cerr << "hubd: accept failed " << failed
                << " times while descriptors ran out; accepting again\n";
    return true;
  }
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) return false;
  if (pause->Failed(err, pelldan::AcceptPause::NowMs(), &starts) && starts)
    std::cerr << "hubd: accept failed: " << strerror(err) << "\n";
  return false;
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

// The listener and the connections being read.
struct Server {
  int listener;
  std::map<int, std::string> conns;
  pelldan::AcceptPause pause;
  tools::OutFile *out;
  Totals totals;

  // Reads what the connections offer; a connection at its end (or over the
  // size of any record) gets its line and is closed.
  void ReadReady(const std::vector<struct pollfd> &polls) {
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
        if (Write(line, out, &totals)) ++totals.errors;
      } else {
        Finish(buf, out, &totals);
      }
      close(fd);
      conns.erase(fd);
    }
  }

  // One wait of at most timeoutMs (-1: none) on the listener (when
  // listening) and the connections.
  void Turn(bool listening, int timeoutMs) {
    int rest = listening ? pause.RestMs(pelldan::AcceptPause::NowMs()) : 0;
    bool accepting = listening && rest <= 0;
    std::vector<struct pollfd> polls = {{accepting ? listener : -1, POLLIN, 0}};
    for (const auto &cn : conns) polls.push_back({cn.first, POLLIN, 0});
    int wait = listening ? pelldan::EarliestWake(timeoutMs, rest) : timeoutMs;
    // Serving, a stop or hangup ends the wait; draining after the stop,
    // only the connections do.
    int ready = listening ? tools::PollSignals(polls.data(), polls.size(), wait)
                          : poll(polls.data(), polls.size(), wait);
    if (ready < 0) return;
    // Every connection waiting, so that the backlog empties as fast as it
    // fills.
    if (polls[0].revents & POLLIN)
      while (Accept(listener, &pause, &conns)) {
      }
    ReadReady(polls);
  }

  // At a stop: the path goes first, so no new client finds it; every
  // connection already made (accepted, or waiting in the backlog) is read
  // to its end and written, bounded by a deadline for clients that never
  // finish.
  void Drain(const std::string &path) {
    unlink(path.c_str());
    for (;;) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) break;
      conns[fd];
    }
    auto deadline = pelldan::AcceptPause::NowMs() + kDrainMs;
    for (int64_t now; !conns.empty() && (now = pelldan::AcceptPause::NowMs()) < deadline;)
      Turn(false, static_cast<int>(deadline - now));
    for (const auto &cn : conns) close(cn.first);
    close(listener);
  }
};

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

  std::string path = pelldan::RootPath(pelldan::kFlareSocket);
  int listener = simhost::BindUnix(SOCK_STREAM, path, kBacklog);
  if (listener < 0) {
    std::cerr << "hubd: cannot listen on " << path << ": " << strerror(-listener) << "\n";
    return 1;
  }
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  Server server{listener, {}, {}, &out, {}};
  while (!*stop) {
    if (*hangup) {
      *hangup = 0;
      if (!out.Reopen(&why)) std::cerr << "hubd: " << why << "\n";
    }
    server.Turn(true, -1);
  }
  server.Drain(path);
  const Totals &totals = server.totals;
  std::cerr << "hubd: " << totals.flares << " flares, " << totals.errors
            << " records that did not decode\n";
  if (totals.lost == 0) return 0;
  std::cerr << "hubd: " << totals.lost << " lines could not be written\n";
  return 1;
}
