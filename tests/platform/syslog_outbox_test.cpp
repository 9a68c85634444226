// Held records that find the collector's queue full: the threads that wrote
// them go on, and the records follow in each thread's order, at the latest
// as the process ends.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "pelldan/syslog.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using testing_support::InChild;
using testing_support::Root;
using testing_support::Say;

namespace {

// The collector, with one record taken (so the writer knows it reads) and
// its queue then filled by another sender: the next record finds no room.
struct FullCollector {
  int fd = -1, filler = -1;
  size_t filled = 0;
  explicit FullCollector(const Root &root) {
    fd = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
    filler = simhost::ConnectUnix(SOCK_DGRAM, root.Under("/dev/log"));
    struct timeval limit = {10, 0};
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~FullCollector() {
    for (int f : {fd, filler})
      if (f >= 0) close(f);
  }
  FullCollector(const FullCollector &) = delete;
  FullCollector &operator=(const FullCollector &) = delete;
  bool Fill() {
    Say("first");
    char one[512];
    if (fd < 0 || filler < 0 || recv(fd, one, sizeof one, 0) <= 0) return false;
    while (send(filler, "fill", 4, MSG_DONTWAIT) == 4) ++filled;
    return errno == EAGAIN && filled > 0;
  }
  // The messages of the next n records that are not the filler's.
  std::vector<std::string> Read(size_t n) {
    std::vector<std::string> got;
    char buf[1024];
    while (got.size() < n) {
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      std::string text(buf, static_cast<size_t>(r));
      size_t at = text.find("]: ");
      if (at != std::string::npos) got.push_back(text.substr(at + 3));
    }
    return got;
  }
};

// Eight threads hold and release records while the collector's queue is
// full and nobody reads it: each returns, and once the collector reads,
// every record arrives, each thread's in its order.
TEST(LogOutbox, ThreadsGoOnWhileTheCollectorIsFullAndTheirRecordsFollowInOrder) {
  Root root;
  int status = InChild([&] {
    FullCollector collector(root);
    if (!collector.Fill()) return 2;
    constexpr int kThreads = 8, kEach = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([t] {
        for (int turn = 0; turn < 4; ++turn) {
          Syslog_Hold();
          for (int i = 0; i < kEach / 4; ++i) Say("t%d %d", t, turn * (kEach / 4) + i);
          Syslog_Release();
        }
      });
    for (std::thread &w : writers) w.join();
    std::vector<std::string> got = collector.Read(kThreads * kEach);
    std::map<int, int> next;
    size_t ours = 0;
    for (const std::string &m : got) {
      int t = -1, i = -1;
      if (sscanf(m.c_str(), "t%d %d", &t, &i) != 2) continue;
      if (next[t] != i) {
        fprintf(stderr, "thread %d: %d came where %d was due\n", t, i, next[t]);
        return 3;
      }
      ++next[t];
      ++ours;
    }
    if (ours != kThreads * kEach) {
      fprintf(stderr, "%zu of %d records came\n", ours, kThreads * kEach);
      return 4;
    }
    return Syslog_DroppedRecords() == 0 ? 0 : 5;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: out of order, 4: records missing, 5: dropped";
}

// Far more than the outbox holds (a megabyte, records of 600 bytes) goes
// through it while the collector reads: the writer waits for room now and
// then, the outbox wraps around many times, and every record arrives whole
// and in order.
TEST(LogOutbox, MoreThanItHoldsGoesThroughWholeAndInOrder) {
  Root root;
  int status = InChild([&] {
    FullCollector collector(root);
    if (!collector.Fill()) return 2;
    constexpr int kRecords = 2000;
    auto body = [](int i) { return std::string(590, static_cast<char>('a' + i % 26)); };
    std::vector<std::string> got;
    std::thread reader;
    for (int i = 0; i < kRecords; i += 20) {
      Syslog_Hold();
      for (int j = i; j < i + 20; ++j) Say("r%d %s", j, body(j).c_str());
      Syslog_Release();
      if (i == 0) reader = std::thread([&] { got = collector.Read(kRecords); });
    }
    reader.join();
    for (int i = 0; i < kRecords; ++i)
      if (i >= static_cast<int>(got.size()) || got[i] != "r" + std::to_string(i) + " " + body(i)) {
        fprintf(stderr, "record %d of %zu is not as written\n", i, got.size());
        return 3;
      }
    return Syslog_DroppedRecords() == 0 ? 0 : 4;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: missing, damaged or out of order, 4: dropped";
}

// A process that released records behind a full queue and then ends,
// by its exit or by _exit after a flush (as an abort does), waits for the
// collector to take them: it loses none, and a record written alone after
// them does not overtake them.
TEST(LogOutbox, TheLastRecordsGoBeforeTheProcessEnds) {
  for (bool flushed : {false, true}) {
    SCOPED_TRACE(flushed ? "flush, then _exit" : "exit");
    Root root;
    FullCollector collector(root);
    int released[2];
    ASSERT_EQ(pipe(released), 0);
    pid_t child = fork();
    if (child == 0) {
      if (!collector.Fill()) _exit(2);
      Syslog_Hold();
      for (int i = 0; i < 30; ++i) Say("last %d", i);
      Syslog_Release();
      Say("after");  // written alone, it still queues behind them
      if (write(released[1], "r", 1) != 1) _exit(2);
      if (flushed) {
        Syslog_Flush();
        _exit(0);
      }
      exit(0);
    }
    close(released[1]);
    char r = 0;
    ASSERT_EQ(read(released[0], &r, 1), 1) << "the child did not release its records";
    close(released[0]);
    std::vector<std::string> got = collector.Read(31);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> last;
    for (const std::string &m : got)
      if (m.rfind("last ", 0) == 0) last.push_back(m);
    ASSERT_EQ(last.size(), 30u);
    EXPECT_EQ(last.front(), "last 0");
    EXPECT_EQ(last.back(), "last 29");
    EXPECT_EQ(got.back(), "after");
  }
}

}  // namespace
