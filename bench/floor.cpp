#include "floor.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

namespace bench {
namespace {

constexpr size_t kHeader = 32;
constexpr size_t kLengthAt = 16;
constexpr size_t kLogLine = 140;  // about one of the daemon's syslog records

double ThreadCpuSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool ReadAll(int fd, char *buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, buf + got, len - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FloorRun DescribedFloor(const std::string &record, int perBatch, int batches,
                        const std::string &logSocket) {
  std::string batch;
  for (int i = 0; i < perBatch; ++i) batch += record;
  const long total = static_cast<long>(perBatch) * batches;
  int in[2], log[2], pipeFds[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM, 0, in) != 0 || socketpair(AF_UNIX, SOCK_DGRAM, 0, log) != 0 ||
      pipe(pipeFds) != 0)
    return {};
  int logOut = log[0];
  if (!logSocket.empty()) {
    logOut = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, logSocket.c_str(), sizeof addr.sun_path - 1);
    if (connect(logOut, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) return {};
  }
  double dispatcherCpu = 0, agentCpu = 0;
  auto start = std::chrono::steady_clock::now();
  std::thread producer([&] {
    for (int i = 0; i < batches; ++i)
      if (send(in[0], batch.data(), batch.size(), 0) < 0) return;
  });
  std::thread dispatcher([&] {
    std::vector<char> buf(131072);
    for (int i = 0; i < batches; ++i) {
      ssize_t n = recv(in[1], buf.data(), buf.size(), 0);
      if (n <= 0) break;
      for (size_t off = 0; off + kHeader <= static_cast<size_t>(n);) {
        uint32_t len;
        std::memcpy(&len, buf.data() + off + kLengthAt, sizeof len);
        if (write(pipeFds[1], buf.data() + off, len) < 0) break;
        off += len;
      }
    }
    dispatcherCpu = ThreadCpuSeconds();
  });
  std::thread reader([&] {
    char line[4096];
    for (long i = 0; logSocket.empty() && i < 2 * total; ++i)
      if (recv(log[1], line, sizeof line, 0) <= 0) return;
  });
  std::thread agent([&] {
    std::vector<char> rec(65536);
    const std::string line(kLogLine, 'x');
    for (long i = 0; i < total; ++i) {
      struct pollfd p = {pipeFds[0], POLLIN, 0};
      poll(&p, 1, -1);
      uint32_t len;
      if (!ReadAll(pipeFds[0], rec.data(), kHeader)) break;
      std::memcpy(&len, rec.data() + kLengthAt, sizeof len);
      if (!ReadAll(pipeFds[0], rec.data() + kHeader, len - kHeader)) break;
      send(logOut, line.data(), line.size(), 0);
      send(logOut, line.data(), line.size(), 0);
    }
    agentCpu = ThreadCpuSeconds();
  });
  producer.join();
  dispatcher.join();
  agent.join();
  reader.join();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  for (int fd : {in[0], in[1], log[0], log[1], pipeFds[0], pipeFds[1]}) close(fd);
  if (logOut != log[0]) close(logOut);
  return {took.count(), dispatcherCpu + agentCpu};
}

double ProcessCpuSeconds(int pid) {
  return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

double StatCpuSeconds(const std::string &statPath) {
  CpuSplit split = StatCpuSplit(statPath);
  return split.user + split.system;
}

CpuSplit StatCpuSplit(const std::string &statPath) {
  std::ifstream in(statPath);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command's closing parenthesis; utime and stime are
  // the 14th and 15th of the line.
  CpuSplit split;
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return split;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks[2] = {0, 0};
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i >= 14) ticks[i - 14] = std::stod(field);
  double perSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  split.user = ticks[0] / perSecond;
  split.system = ticks[1] / perSecond;
  return split;
}

}  // namespace bench
