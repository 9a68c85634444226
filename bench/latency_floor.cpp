// latency_floor: the daemon's path for the latency bench with no logic in
// it, to read the daemon's loaded tail against. The same processes and
// wake-ups: one thread polls the 24 kernel contexts and writes each batch's
// records into the pipes of 21 agent threads, one write per agent; an agent
// reads its pipe and, for the probe (its id, with an argument), connects
// to hubd and sends a record; each agent's turn ends in a connect to the missing log collector,
// as the daemon's does on a host without one. No trace, no observation
// built, nothing logged. Which agent takes an id is read from
// $WISPD_ROOT/floor-agents ("id index" lines; others go to agent 0); the
// records agents took are counted in $WISPD_ROOT/floor-taken.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pelldan/files.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace {

constexpr int kAgents = 21;
constexpr size_t kHeader = 32;
constexpr size_t kLengthAt = 16;
constexpr size_t kArgCountAt = 20;
constexpr char kProbeId[] = "wisp.storage.apd.start";
// About the size of the flare record the daemon sends for the probe.
const std::string kFlare(240, 'f');

uint64_t *gTaken = nullptr;

void Send(const std::string &path, const std::string &bytes) {
  int fd = simhost::ConnectUnix(SOCK_STREAM, path);
  if (fd < 0) return;
  ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  (void)n;
  close(fd);
}

void Agent(int pipeFd) {
  const std::string hubd = pelldan::RootPath(pelldan::kFlareSocket);
  struct sockaddr_un log;
  simhost::MakeUnixAddress(pelldan::RootPath(pelldan::kSyslogSocket), &log);
  int logFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<char> buf(16384);
  size_t have = 0;
  for (;;) {
    struct pollfd p = {pipeFd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) continue;
    uint64_t took = 0;
    for (ssize_t n; (n = read(pipeFd, buf.data() + have, buf.size() - have)) > 0;) {
      have += static_cast<size_t>(n);
      size_t at = 0;
      while (have - at >= kHeader) {
        uint32_t len;
        std::memcpy(&len, buf.data() + at + kLengthAt, sizeof len);
        if (len <= kHeader || len > buf.size()) return;  // the dispatcher writes no such record
        if (have - at < len) break;
        // The probe carries its argument; the background's rows of the
        // same id come without and post nothing in the daemon either.
        uint32_t args;
        std::memcpy(&args, buf.data() + at + kArgCountAt, sizeof args);
        if (args > 0 && std::strncmp(buf.data() + at + kHeader, kProbeId, sizeof kProbeId) == 0)
          Send(hubd, kFlare);
        at += len;
        ++took;
      }
      std::memmove(buf.data(), buf.data() + at, have - at);
      have -= at;
    }
    connect(logFd, reinterpret_cast<struct sockaddr *>(&log), sizeof log);
    __atomic_fetch_add(gTaken, took, __ATOMIC_RELAXED);
  }
}

}  // namespace

int main() {
  std::unordered_map<std::string, int> agentOf;
  std::ifstream map(pelldan::RootPath("/floor-agents"));
  std::string id;
  for (int index; map >> id >> index;) agentOf[id] = index % kAgents;
  int counter = open(pelldan::RootPath("/floor-taken").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (counter < 0 || ftruncate(counter, sizeof(uint64_t)) != 0) return 1;
  void *word = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, counter, 0);
  if (word == MAP_FAILED) return 1;
  gTaken = static_cast<uint64_t *>(word);

  int writeFd[kAgents];
  for (int &fd : writeFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    fd = fds[1];
    std::thread(Agent, fds[0]).detach();
  }
  // Bound once the agents run: a send that reaches a context is served.
  struct pollfd contexts[pelldan::kKernelContexts];
  if (!pelldan::MakePrivateDirs(pelldan::RootPath(pelldan::kKernelContextDir))) return 1;
  for (int i = 0; i < pelldan::kKernelContexts; ++i) {
    char path[64];
    snprintf(path, sizeof path, pelldan::kKernelContextFormat, i);
    contexts[i] = {simhost::BindUnix(SOCK_DGRAM, pelldan::RootPath(path), 16), POLLIN, 0};
    if (contexts[i].fd < 0) return 1;
  }
  std::vector<char> batch(131072);
  std::vector<struct iovec> records[kAgents];
  for (;;) {
    if (poll(contexts, pelldan::kKernelContexts, -1) < 0) continue;
    for (struct pollfd &c : contexts) {
      if ((c.revents & POLLIN) == 0) continue;
      ssize_t n = recv(c.fd, batch.data(), batch.size(), 0);
      for (size_t at = 0; n > 0 && at + kHeader <= static_cast<size_t>(n);) {
        uint32_t len;
        std::memcpy(&len, batch.data() + at + kLengthAt, sizeof len);
        if (len <= kHeader || at + len > static_cast<size_t>(n)) break;
        // Its room kept: no allocation a record.
        const char *text = batch.data() + at + kHeader;
        id.assign(text, strnlen(text, len - kHeader));
        auto found = agentOf.find(id);
        records[found != agentOf.end() ? found->second : 0].push_back({batch.data() + at, len});
        at += len;
      }
      for (int a = 0; a < kAgents; ++a) {
        // A full pipe is waited for; records are never cut.
        std::vector<struct iovec> &left = records[a];
        size_t first = 0;
        while (first < left.size()) {
          ssize_t w =
              writev(writeFd[a], left.data() + first, static_cast<int>(left.size() - first));
          if (w < 0) {
            struct pollfd room = {writeFd[a], POLLOUT, 0};
            poll(&room, 1, -1);
            continue;
          }
          for (size_t done = static_cast<size_t>(w); done > 0;) {
            size_t step = std::min(done, left[first].iov_len);
            left[first].iov_base = static_cast<char *>(left[first].iov_base) + step;
            left[first].iov_len -= step;
            done -= step;
            if (left[first].iov_len == 0) ++first;
          }
        }
        left.clear();
      }
    }
  }
}
