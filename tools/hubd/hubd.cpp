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

#include "../common/signals.h"
#include "../common/wispjson.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace {

// Larger than any record the daemon builds; a connection that sends more is
// cut off with an error line.
constexpr size_t kMaxRecord = 1 << 20;

class Output {
 public:
  explicit Output(const char *path) {
    if (path != nullptr) {
      fd_ = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd_ < 0) {
        std::cerr << "hubd: cannot open " << path << ": " << strerror(errno) << "\n";
        exit(1);
      }
    }
  }
  void Write(const tools::OrderedJson &line) {
    std::string text = line.dump(-1, ' ', false, tools::OrderedJson::error_handler_t::replace);
    text += '\n';
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  int fd_ = STDOUT_FILENO;
};

void Finish(const std::string &bytes, Output *out) {
  tools::OrderedJson line;
  std::string error;
  if (!tools::DecodeFlare(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &line,
                          &error)) {
    line = tools::OrderedJson::object();
    line["error"] = error;
    line["bytes"] = bytes.size();
  }
  out->Write(line);
}

}  // namespace

int main(int argc, char **argv) {
  const char *outPath = nullptr;
  static const struct option longopts[] = {{"out", required_argument, nullptr, 'o'},
                                           {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c != 'o') {
      std::cerr << "usage: hubd [--out FILE]\n";
      return 2;
    }
    outPath = optarg;
  }
  Output out(outPath);
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  signal(SIGPIPE, SIG_IGN);

  std::string path = pelldan::RootPath(pelldan::kFlareSocket);
  int listener = simhost::BindUnix(SOCK_STREAM, path, 128);
  if (listener < 0) {
    std::cerr << "hubd: cannot listen on " << path << ": " << strerror(-listener) << "\n";
    return 1;
  }
  std::map<int, std::string> conns;
  while (!*stop) {
    std::vector<struct pollfd> polls = {{listener, POLLIN, 0}};
    for (const auto &cn : conns) polls.push_back({cn.first, POLLIN, 0});
    if (poll(polls.data(), polls.size(), -1) < 0) continue;
    if (polls[0].revents & POLLIN) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) conns[fd];
    }
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
        out.Write(line);
      } else {
        Finish(buf, &out);
      }
      close(fd);
      conns.erase(fd);
    }
  }
  close(listener);
  unlink(path.c_str());
  return 0;
}
