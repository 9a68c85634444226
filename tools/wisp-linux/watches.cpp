#include "watches.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kmsg.h"
#include "sysfs_scan.h"
#include "uevent.h"

namespace wisplinux {

namespace {

// Reads per wake-up; the rest waits for the next turn of the loop.
constexpr int kReadsPerTurn = 64;
// The kernel's group of device events (udev's own relayed copies are 2).
constexpr unsigned kKernelEvents = 1;

bool WriteFile(const std::string &path, const char *text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
  close(fd);
  return ok;
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

StorageWatch::StorageWatch(uint64_t startUs) : start_(startUs) {
  std::string how, why;
  uevents_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  struct sockaddr_nl addr;
  memset(&addr, 0, sizeof addr);
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = kKernelEvents;
  if (uevents_ >= 0) {
    int size = 1 << 20;
    if (setsockopt(uevents_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
      setsockopt(uevents_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  if (uevents_ < 0 || bind(uevents_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
    why = std::string("no device events: ") + strerror(errno);
    if (uevents_ >= 0) close(uevents_);
    uevents_ = -1;
  } else {
    how = "multipath path events from device events";
  }
  kmsg_ = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (kmsg_ < 0) {
    why += std::string(why.empty() ? "" : "; ") + "no kernel log (/dev/kmsg): " + strerror(errno);
  } else {
    // What was logged before the start is history, not news.
    lseek(kmsg_, 0, SEEK_END);
    how += std::string(how.empty() ? "" : ", ") +
           "resets, offline devices and I/O errors from the kernel log";
  }
  status_ = {uevents_ >= 0 || kmsg_ >= 0,
             how.empty() ? why : how + (why.empty() ? "" : " (" + why + ")")};
}

StorageWatch::~StorageWatch() {
  for (int fd : {uevents_, kmsg_})
    if (fd >= 0) close(fd);
}

Event StorageWatch::Make(Event::Kind kind) const {
  Event e;
  e.kind = kind;
  e.atUs = MonotonicUs() - start_;
  return e;
}

void StorageWatch::Initial(std::vector<Event> *out) {
  if (status_.watched) Rescan(out, true);
}

std::vector<int> StorageWatch::Fds() const {
  std::vector<int> fds;
  for (int fd : {uevents_, kmsg_})
    if (fd >= 0) fds.push_back(fd);
  return fds;
}

void StorageWatch::Read(int fd, std::vector<Event> *out) {
  if (fd == uevents_ && fd >= 0) ReadUevents(out);
  if (fd == kmsg_ && fd >= 0) ReadKmsg(out);
}

void StorageWatch::Rescan(std::vector<Event> *out, bool always) {
  StorageInventory now = ScanStorage("");
  if (now == last_ && !always) return;
  last_ = now;
  Event e = Make(Event::Kind::kStorage);
  e.bytes = InventoryToJson(now).dump();
  out->push_back(std::move(e));
}

void StorageWatch::ReadUevents(std::vector<Event> *out) {
  char buf[8192];
  // Devices are read again once per turn, however many events asked for
  // it, and before a path event, which names them.
  bool stale = false;
  for (int i = 0; i < kReadsPerTurn; ++i) {
    ssize_t n = recv(uevents_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == ENOBUFS) {
      stale = true;  // events were lost: at least the devices are read again
      continue;
    }
    if (n <= 0) break;
    Uevent u;
    std::string why;
    bool ok = ParseUevent(buf, static_cast<size_t>(n), &u, &why);
    if (ok && u.Get("SUBSYSTEM") != "block") continue;
    if (ok && u.Get("DM_ACTION").empty()) {
      stale = true;  // a disk or partition came, went or changed
      continue;
    }
    // The map's paths and mounts as they are now, before the event.
    if (ok || stale) Rescan(out, false);
    stale = false;
    Event e = Make(Event::Kind::kUevent);
    e.bytes.assign(buf, static_cast<size_t>(n));
    out->push_back(std::move(e));
  }
  if (stale) Rescan(out, false);
}

void StorageWatch::ReadKmsg(std::vector<Event> *out) {
  char buf[16384];
  for (int i = 0; i < kReadsPerTurn; ++i) {
    ssize_t n = read(kmsg_, buf, sizeof buf);
    if (n < 0 && errno == EPIPE) {
      ++kmsgLost_;  // the kernel overwrote records before they were read
      continue;
    }
    if (n <= 0) return;
    Event e = Make(Event::Kind::kKmsg);
    e.bytes.assign(buf, static_cast<size_t>(n));
    KmsgRecord r;
    std::string why, device;
    if (ParseKmsg(buf, static_cast<size_t>(n), &r, &why) && IoErrorDevice(r.text, &device))
      e.ios = CompletedRequests("", device);
    out->push_back(std::move(e));
  }
}

HardwareWatch::HardwareWatch(uint64_t startUs) : start_(startUs) {
  std::string tracefs = "/sys/kernel/tracing";
  if (!Exists(tracefs + "/events")) tracefs = "/sys/kernel/debug/tracing";
  if (!Exists(tracefs + "/events")) {
    status_ = {false, "no tracefs (/sys/kernel/tracing): machine checks cannot be read"};
    return;
  }
  std::vector<std::string> events;
  for (const char *event : {"mce/mce_record", "ras/mc_event"})
    if (Exists(tracefs + "/events/" + event)) events.push_back(event);
  if (events.empty()) {
    status_ = {false,
               "no machine-check or memory-error tracepoints in this kernel (mce/mce_record, "
               "ras/mc_event)"};
    return;
  }
  // An instance of our own, so that other users of the trace buffer keep
  // theirs and ours is gone when the source ends.
  instance_ = tracefs + "/instances/wisp-linux-" + std::to_string(getpid());
  if (mkdir(instance_.c_str(), 0700) != 0) {
    status_ = {false, "cannot make a tracing instance: " + std::string(strerror(errno))};
    instance_.clear();
    return;
  }
  std::string how;
  for (const std::string &event : events)
    if (WriteFile(instance_ + "/events/" + event + "/enable", "1"))
      how += (how.empty() ? "" : ", ") + event;
  pipe_ = open((instance_ + "/trace_pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (how.empty() || pipe_ < 0) {
    status_ = {false, "cannot read the tracepoints: " + std::string(strerror(errno))};
    return;
  }
  status_ = {true, "corrected errors from the tracepoints " + how};
}

HardwareWatch::~HardwareWatch() {
  if (pipe_ >= 0) close(pipe_);
  if (instance_.empty()) return;
  for (const char *event : {"mce/mce_record", "ras/mc_event"})
    WriteFile(instance_ + "/events/" + event + "/enable", "0");
  rmdir(instance_.c_str());
}

std::vector<int> HardwareWatch::Fds() const {
  return pipe_ >= 0 ? std::vector<int>{pipe_} : std::vector<int>{};
}

void HardwareWatch::Read(int fd, std::vector<Event> *out) {
  if (fd != pipe_ || fd < 0) return;
  char buf[16384];
  ssize_t n = read(pipe_, buf, sizeof buf);
  if (n <= 0) return;
  partial_.append(buf, static_cast<size_t>(n));
  size_t start = 0, nl;
  while ((nl = partial_.find('\n', start)) != std::string::npos) {
    Event e;
    e.kind = Event::Kind::kTrace;
    e.atUs = MonotonicUs() - start_;
    e.bytes = partial_.substr(start, nl - start);
    out->push_back(std::move(e));
    start = nl + 1;
  }
  partial_.erase(0, start);
  // A line longer than any record is cut rather than held without end.
  if (partial_.size() > sizeof buf) partial_.clear();
}

}  // namespace wisplinux
