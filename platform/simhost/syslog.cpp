// Sends records to the host's /dev/log datagram socket in the C library's
// format: "<PRI>Mmm dd hh:mm:ss ident[pid]: message".
//
// The socket is connected to the collector, so that a full collector queue
// can be waited for: the kernel wakes a sender polling a connected datagram
// socket the moment the collector reads. The collector's address and the
// process's identity are found once, and again only after a failure.
#include "pelldan/syslog.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "syslog_link.h"
#include "syslog_outbox.h"

using namespace simhost::logsend;

namespace {

// A record's text after its head: printf's, or one given whole. Like
// vsnprintf, it writes at most room - 1 bytes and a NUL, and returns the
// whole text's length (negative when it cannot be formatted); it may be
// asked more than once.
class Printf {
 public:
  Printf(const char *format, va_list ap) : format_(format) { va_copy(ap_, ap); }
  ~Printf() { va_end(ap_); }
  Printf(const Printf &) = delete;
  Printf &operator=(const Printf &) = delete;
  int operator()(char *at, size_t room) const {
    va_list copy;
    va_copy(copy, ap_);
    int n = vsnprintf(at, room, format_, copy);
    va_end(copy);
    return n;
  }

 private:
  const char *format_;
  mutable va_list ap_;
};

struct Text {
  const char *text;
  size_t length;
  int operator()(char *at, size_t room) const {
    if (length > INT_MAX) return -1;  // as vsnprintf: nothing sent
    if (room > 0) {
      size_t n = std::min(length, room - 1);
      memcpy(at, text, n);
      at[n] = '\0';
    }
    return static_cast<int>(length);
  }
};

template <typename Body>
void Write(int priority, const Body &body) {
  // Formatted once, into this buffer unless the record is longer.
  char small[2048];
  int headLen = Head(small, sizeof small, priority);
  if (headLen < 0 || static_cast<size_t>(headLen) >= sizeof small) return;
  size_t room = sizeof small - static_cast<size_t>(headLen);
  int need = body(small + headLen, room);
  if (need < 0) return;
  const char *data = small;
  size_t size = static_cast<size_t>(headLen) + static_cast<size_t>(need);
  std::string large;
  if (static_cast<size_t>(need) >= room) {
    try {
      large.assign(small, static_cast<size_t>(headLen));
      large.resize(size + 1);
    } catch (...) {
      Dropped();  // no memory for a long record
      return;
    }
    body(&large[static_cast<size_t>(headLen)], static_cast<size_t>(need) + 1);
    large.pop_back();
    data = large.data();
  }
  if (size > kMaxRecord) size = kMaxRecord;
  if (gQueued.load() > 0) {
    struct iovec one = {const_cast<char *>(data), size};
    Enqueue(&one, 1);
    return;
  }
  if (!Deliver(data, size)) {
    Dropped();
    return;
  }
  if (gUnreported.load() != 0) ReportDropped(priority);
}

// A thread's held records, sent with one system call while the collector
// has room for them.
constexpr int kHeldMax = 32;
constexpr size_t kHeldBytes = 16384;
struct Held {
  int count;
  size_t used;
  int priority;  // the last record's, for the count of dropped ones
  struct mmsghdr msgs[kHeldMax];
  struct iovec iov[kHeldMax];
  char bytes[kHeldBytes];
};

void SendHeld(Held *h) {
  int sent = 0;
  bool delivered = false;
  // Records already wait in the outbox: these go behind them.
  bool queue = gQueued.load() > 0;
  int fd = queue ? -1 : LogSocket();
  // No collector: it was asked once for all of them.
  if (!queue && fd >= 0 && (gConnected || Connect(fd))) {
    int n = sendmmsg(fd, h->msgs, static_cast<unsigned>(h->count), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      gLastTaken = NowMs();
      sent = n;
      delivered = true;
    }
    // No room: the rest go as the collector makes it.
    queue = sent < h->count && (n > 0 || errno == EAGAIN || errno == ENOBUFS);
    // Another error: each as one written alone, which looks for the
    // collector again. One the collector did not take says it takes none
    // now: the rest are dropped with it.
    while (!queue && sent < h->count &&
           Deliver(static_cast<const char *>(h->iov[sent].iov_base), h->iov[sent].iov_len)) {
      delivered = true;
      ++sent;
      queue = gQueued.load() > 0;
    }
  }
  if (queue) {
    Enqueue(h->iov + sent, h->count - sent);
    sent = h->count;
  }
  for (int i = sent; i < h->count; ++i) Dropped();
  h->count = 0;
  h->used = 0;
  if (delivered && gUnreported.load() != 0) ReportDropped(h->priority);
}

// Allocated at a thread's first hold; what it still holds at its exit is
// sent then. The exit is seen through a thread-specific key: registering a
// thread_local's destructor allocates, and fails fatally without memory.
thread_local Held *tHeld = nullptr;
thread_local bool tHolding = false;
pthread_key_t gHeldKey;
bool gHeldKeyMade = false;

void HeldThreadEnds(void *p) {
  Held *h = static_cast<Held *>(p);
  if (h->count > 0) SendHeld(h);
  free(h);
}

void MakeHeldKey() {
  gHeldKeyMade = pthread_key_create(&gHeldKey, HeldThreadEnds) == 0;
}

// Formats the record into the thread's held ones; false when it does not
// fit even alone (it goes out as any other record then).
template <typename Body>
bool HoldRecord(int priority, const Body &body) {
  Held *h = tHeld;
  for (int attempt = 0; attempt < 2; ++attempt) {
    char *at = h->bytes + h->used;
    size_t room = kHeldBytes - h->used;
    int head = Head(at, room, priority);
    if (head >= 0 && static_cast<size_t>(head) < room) {
      int text = body(at + head, room - static_cast<size_t>(head));
      if (text < 0) return true;  // nothing to send, as for one written alone
      size_t size = static_cast<size_t>(head) + static_cast<size_t>(text);
      if (size < room) {
        h->iov[h->count] = {at, size};
        memset(&h->msgs[h->count], 0, sizeof h->msgs[h->count]);
        h->msgs[h->count].msg_hdr.msg_iov = &h->iov[h->count];
        h->msgs[h->count].msg_hdr.msg_iovlen = 1;
        h->used += size;
        h->priority = priority;
        if (++h->count == kHeldMax) SendHeld(h);
        return true;
      }
    }
    if (h->count == 0) return false;
    SendHeld(h);  // room for it after those
  }
  return false;
}

// Held when the thread holds and the record fits, else written alone.
template <typename Body>
void Record(int priority, const Body &body) {
  if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
  if (tHolding && HoldRecord(priority, body)) return;
  Write(priority, body);
}

}  // namespace

extern "C" void Syslog_VWrite(int priority, const char *format, va_list ap) {
  Record(priority, Printf(format, ap));
}

extern "C" void Syslog_Write(int priority, const char *text, size_t length) {
  Record(priority, Text{text, length});
}

extern "C" void Syslog_Hold(void) {
  if (tHeld == nullptr) {
    // Without memory for it, records go out one by one.
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, MakeHeldKey);
    if (!gHeldKeyMade) return;
    Held *h = static_cast<Held *>(malloc(sizeof(Held)));
    if (h == nullptr) return;
    h->count = 0;
    h->used = 0;
    if (pthread_setspecific(gHeldKey, h) != 0) {
      free(h);
      return;
    }
    tHeld = h;
  }
  tHolding = true;
}

extern "C" void Syslog_ReleaseInSignal(void) {
  Held *h = tHeld;
  tHolding = false;
  int fd = gFd.load();
  if (h == nullptr || h->count == 0 || fd < 0) return;
  int n = sendmmsg(fd, h->msgs, static_cast<unsigned>(h->count), MSG_DONTWAIT | MSG_NOSIGNAL);
  h->count = 0;
  (void)n;
}

extern "C" void Syslog_Flush(void) {
  FlushOutbox();
}

extern "C" void Syslog_Release(void) {
  tHolding = false;
  if (tHeld != nullptr && tHeld->count > 0) SendHeld(tHeld);
}

extern "C" uint64_t Syslog_DroppedRecords(void) {
  return gDropped.load();
}

extern "C" uint64_t Syslog_RoomWaits(void) {
  return gRoomWaits.load(std::memory_order_relaxed);
}

extern "C" uint64_t Syslog_RoomWaitNanoseconds(void) {
  return gRoomWaitNs.load(std::memory_order_relaxed);
}
