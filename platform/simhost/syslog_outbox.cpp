#include "syslog_outbox.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "syslog_link.h"

namespace simhost::logsend {

std::atomic<int> gQueued{0};

namespace {

// Held records that found the collector's queue full, and every record
// written after them, in the order they came: one thread of their own sends
// them as the collector makes room, so that the threads that log go on with
// their work instead of waiting, each in its turn, for a read to let one
// record in. A thread waits only when this is full too, as long as it would
// have waited for the collector's room.
constexpr size_t kOutboxBytes = 256 * 1024;
constexpr int kOutboxRecords = 1024;
constexpr int kOutboxBatch = 64;
// How long the last records may take as the process ends.
constexpr int64_t kFlushMs = 1000;

struct Outbox {
  std::mutex lock;
  std::condition_variable room;  // records gone: for writers and the exit
  std::condition_variable work;  // records came: for the sender
  int roomWaiters = 0;
  bool senderSleeps = false;
  struct Slot {
    uint32_t at, len;
  } slots[kOutboxRecords];
  int first = 0, count = 0;
  uint32_t tail = 0;  // end of the newest record
  size_t used = 0;    // bytes of the records held
  char bytes[kOutboxBytes];
};

// Made once and never freed: the sender may still run while the process's
// statics are destroyed. Published once its sender runs.
std::atomic<Outbox *> gOutbox{nullptr};
// Made at the first need, and tried again at the next if memory or a thread
// could not be had then.
std::mutex gStartLock;

// Where a record of len bytes fits, contiguous; false when it does not now.
bool Place(const Outbox &o, size_t len, uint32_t *at) {
  if (o.count == kOutboxRecords || len > kOutboxBytes) return false;
  if (o.count == 0) {
    *at = 0;
    return true;
  }
  uint32_t head = o.slots[o.first].at;
  if (o.tail > head) {
    if (kOutboxBytes - o.tail >= len) {
      *at = o.tail;
      return true;
    }
    *at = 0;
    return head >= len;
  }
  *at = o.tail;
  return head - o.tail >= len;
}

// Sends msgs[0..k) as the collector makes room, as long as one record
// written alone would wait; how many went.
int SendWaiting(int fd, struct mmsghdr *msgs, int k) {
  int64_t start = NowMs();
  bool stopped = false;
  int64_t until = RoomDeadline(start, &stopped);
  if (until == start) return 0;
  RoomWait wait;
  int sent = 0;
  // Without MSG_DONTWAIT: the kernel lets each record in as the collector
  // reads, waiting up to the socket's send time-out for each.
  while (sent < k && NowMs() < until) {
    int n = sendmmsg(fd, msgs + sent, static_cast<unsigned>(k - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += n;
      int64_t now = NowMs();
      gLastTaken = now;
      until = now + kPatienceMs;
    } else if (n < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
      return sent;
    }
  }
  if (sent == 0 && stopped) gGaveUp = NowMs();
  return sent;
}

// Delivers or drops the first records of msgs[0..k); how many are done.
int SendQueued(struct mmsghdr *msgs, int k) {
  int fd = LogSocket();
  if (fd >= 0 && (gConnected || Connect(fd))) {
    int n = sendmmsg(fd, msgs, static_cast<unsigned>(k), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      gLastTaken = NowMs();
      return n;
    }
    if (errno == EAGAIN || errno == ENOBUFS) {
      n = SendWaiting(fd, msgs, k);
      if (n > 0) return n;
    } else {
      // The collector gone or the descriptor broken: looked up again, for
      // this record.
      const struct iovec &one = msgs[0].msg_hdr.msg_iov[0];
      if (SendOnce(static_cast<const char *>(one.iov_base), one.iov_len, &fd)) {
        gLastTaken = NowMs();
        return 1;
      }
    }
  }
  Dropped();
  return 1;
}

void SenderMain(Outbox *o) {
  pthread_setname_np(pthread_self(), "log-sender");
  struct mmsghdr msgs[kOutboxBatch];
  struct iovec iov[kOutboxBatch];
  std::unique_lock<std::mutex> l(o->lock);
  for (;;) {
    while (o->count == 0) {
      o->senderSleeps = true;
      o->work.wait(l);
      o->senderSleeps = false;
    }
    int k = std::min(o->count, kOutboxBatch);
    for (int i = 0; i < k; ++i) {
      const Outbox::Slot &s = o->slots[(o->first + i) % kOutboxRecords];
      iov[i] = {o->bytes + s.at, s.len};
      memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // Writers add behind these, never over them.
    l.unlock();
    int done = SendQueued(msgs, k);
    bool report = done > 0 && gUnreported.load() != 0;
    l.lock();
    for (int i = 0; i < done; ++i) o->used -= iov[i].iov_len;
    o->first = (o->first + done) % kOutboxRecords;
    o->count -= done;
    gQueued = o->count;
    // Writers waiting for room are let in once half of it is free, all
    // together, rather than one wake-up per record sent.
    if (o->roomWaiters > 0 && o->count <= kOutboxRecords / 2 && o->used <= kOutboxBytes / 2)
      o->room.notify_all();
    if (report && o->count == 0) {
      l.unlock();
      ReportDropped(LOG_USER | LOG_NOTICE);
      l.lock();
    }
  }
}

void StartOutbox() {
  std::lock_guard<std::mutex> start(gStartLock);
  if (gOutbox.load() != nullptr) return;
  Outbox *o = new (std::nothrow) Outbox();
  if (o == nullptr) return;
  try {
    std::thread(SenderMain, o).detach();
  } catch (...) {
    delete o;
    return;
  }
  gOutbox = o;
  atexit(FlushOutbox);
}

}  // namespace

void Enqueue(const struct iovec *records, int n) {
  if (gOutbox.load() == nullptr) StartOutbox();
  Outbox *o = gOutbox.load();
  if (o == nullptr) {
    for (int i = 0; i < n; ++i) Dropped();
    return;
  }
  std::unique_lock<std::mutex> l(o->lock);
  int64_t until = 0;
  for (int i = 0; i < n; ++i) {
    size_t len = std::min(records[i].iov_len, kMaxRecord);
    uint32_t at = 0;
    if (!Place(*o, len, &at)) {
      bool stopped = false;
      if (until == 0) until = RoomDeadline(NowMs(), &stopped);
      RoomWait wait;
      ++o->roomWaiters;
      while (!Place(*o, len, &at) && NowMs() < until)
        o->room.wait_for(l, std::chrono::milliseconds(std::max<int64_t>(1, until - NowMs())));
      --o->roomWaiters;
      if (!Place(*o, len, &at)) {
        for (; i < n; ++i) Dropped();
        break;
      }
    }
    memcpy(o->bytes + at, records[i].iov_base, len);
    o->slots[(o->first + o->count) % kOutboxRecords] = {at, static_cast<uint32_t>(len)};
    o->tail = at + static_cast<uint32_t>(len);
    o->used += len;
    ++o->count;
  }
  gQueued = o->count;
  if (o->senderSleeps && o->count > 0) o->work.notify_one();
}

// The last records go before the process ends, while the collector takes
// them. (A fatal signal does not wait for them: only the thread's own held
// records go then.)
void FlushOutbox() {
  Outbox *o = gOutbox.load();
  if (o == nullptr) return;
  std::unique_lock<std::mutex> l(o->lock);
  ++o->roomWaiters;
  o->room.wait_for(l, std::chrono::milliseconds(kFlushMs), [o] { return o->count == 0; });
  --o->roomWaiters;
}

}  // namespace simhost::logsend
