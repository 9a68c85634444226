// The running kernel: link messages from rtnetlink, clock steps from a
// timer that the kernel cancels when the wall clock is set, and the sync
// state from adjtimex() now and then.
#include <errno.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "kernel.h"
#include "sysfs_scan.h"
#include "watches.h"

namespace wisplinux {

uint64_t MonotonicUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

namespace {

// Wall clock minus monotonic clock: it changes only when the clock is set.
int64_t WallOffsetNs(struct timespec *wall) {
  struct timespec mono;
  clock_gettime(CLOCK_REALTIME, wall);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  return (static_cast<int64_t>(wall->tv_sec) - mono.tv_sec) * 1000000000 +
         (static_cast<int64_t>(wall->tv_nsec) - mono.tv_nsec);
}

class LiveKernel : public Kernel {
 public:
  explicit LiveKernel(const ClockConfig &clock)
      : uuid_(ReadSystemUuid("")), start_(MonotonicUs()), storage_(start_), hardware_(start_) {
    OpenLinks();
    OpenClock(clock);
  }
  ~LiveKernel() override {
    if (nl_) mnl_socket_close(nl_);
    for (int fd : {stepFd_, syncFd_})
      if (fd >= 0) close(fd);
  }

  void Initial(std::vector<Event> *out) override {
    if (clock_.watched) out->push_back(SyncEvent());
    storage_.Initial(out);
  }

  std::vector<int> Fds() const override {
    std::vector<int> fds;
    for (int fd : {nl_ ? mnl_socket_get_fd(nl_) : -1, stepFd_, syncFd_})
      if (fd >= 0) fds.push_back(fd);
    for (int fd : storage_.Fds()) fds.push_back(fd);
    for (int fd : hardware_.Fds()) fds.push_back(fd);
    return fds;
  }

  void Read(int fd, std::vector<Event> *out) override {
    storage_.Read(fd, out);
    hardware_.Read(fd, out);
    if (nl_ && fd == mnl_socket_get_fd(nl_)) ReadLinks(out);
    if (fd == stepFd_) ReadStep(out);
    if (fd == syncFd_) {
      uint64_t ticks;
      if (read(syncFd_, &ticks, sizeof ticks) > 0) out->push_back(SyncEvent());
    }
  }

  FamilyStatus Status(Family family) const override {
    switch (family) {
      case Family::kNet:
        return net_;
      case Family::kClock:
        return clock_;
      case Family::kStorage:
        return storage_.Status();
      case Family::kHardware:
        return hardware_.Status();
    }
    return {};
  }
  uint64_t KmsgLost() const override { return storage_.KmsgLost(); }
  std::string SystemUuid() const override { return uuid_; }
  bool Finished() const override { return false; }
  size_t BadLines(std::string *) const override { return 0; }

  void Resync() override {
    if (!nl_) return;
    char buf[MNL_SOCKET_BUFFER_SIZE];
    struct nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = RTM_GETLINK;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = ++seq_;
    auto *ifi =
        static_cast<struct rtgenmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(struct rtgenmsg)));
    ifi->rtgen_family = AF_UNSPEC;
    mnl_socket_sendto(nl_, nlh, nlh->nlmsg_len);
  }

  int OfflinePage(uint64_t address) override {
    // The kernel moves the page's contents elsewhere and stops using it.
    int fd = open("/sys/devices/system/memory/soft_offline_page", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char text[32];
    int len = snprintf(text, sizeof text, "0x%llx\n", static_cast<unsigned long long>(address));
    int rc = write(fd, text, static_cast<size_t>(len)) == len ? 0 : errno;
    close(fd);
    return rc;
  }

  int TakeDown(int32_t index) override {
    struct mnl_socket *nl = mnl_socket_open(NETLINK_ROUTE);
    if (!nl) return errno;
    char buf[MNL_SOCKET_BUFFER_SIZE];
    struct nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = RTM_NEWLINK;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    nlh->nlmsg_seq = 1;
    auto *ifi =
        static_cast<struct ifinfomsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(struct ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = index;
    ifi->ifi_change = IFF_UP;
    ifi->ifi_flags = 0;
    int rc = 0;
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0 ||
        mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) {
      rc = errno;
    } else {
      ssize_t n = mnl_socket_recvfrom(nl, buf, sizeof buf);
      if (n < 0)
        rc = errno;
      else if (mnl_cb_run(buf, static_cast<size_t>(n), 1, mnl_socket_get_portid(nl), nullptr,
                          nullptr) < 0)
        rc = errno;
    }
    mnl_socket_close(nl);
    return rc;
  }

 private:
  void OpenLinks() {
    nl_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (!nl_) {
      net_ = {false, std::string("no route socket: ") + strerror(errno)};
      return;
    }
    // Room for a burst of link messages; past it the kernel reports an
    // overrun and the table is read again.
    int size = 4 << 20;
    int fd = mnl_socket_get_fd(nl_);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (mnl_socket_bind(nl_, RTMGRP_LINK, MNL_SOCKET_AUTOPID) < 0) {
      net_ = {false, std::string("cannot join the link group: ") + strerror(errno)};
      mnl_socket_close(nl_);
      nl_ = nullptr;
      return;
    }
    net_ = {true, "link messages from rtnetlink"};
    Resync();
  }

  void OpenClock(const ClockConfig &clock) {
    stepFd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (stepFd_ < 0 || !ArmStep()) {
      clock_ = {false, std::string("no timer cancelled on clock steps: ") + strerror(errno)};
      if (stepFd_ >= 0) close(stepFd_);
      stepFd_ = -1;
      return;
    }
    std::string how = "clock steps through a cancelled timer";
    if (clock.syncPollS > 0) {
      syncFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
      struct itimerspec every = {{clock.syncPollS, 0}, {clock.syncPollS, 0}};
      if (syncFd_ >= 0 && timerfd_settime(syncFd_, 0, &every, nullptr) == 0) {
        how += ", synchronisation through adjtimex every " + std::to_string(clock.syncPollS) + " s";
      } else {
        how += ", not synchronisation: " + std::string(strerror(errno));
        if (syncFd_ >= 0) close(syncFd_);
        syncFd_ = -1;
      }
    }
    clock_ = {true, how};
  }

  // A timer far in the future that the kernel cancels when the clock is set.
  bool ArmStep() {
    struct itimerspec far;
    memset(&far, 0, sizeof far);
    far.it_value.tv_sec = std::numeric_limits<int32_t>::max();
    if (timerfd_settime(stepFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr) < 0)
      return false;
    struct timespec wall;
    offsetNs_ = WallOffsetNs(&wall);
    return true;
  }

  Event SyncEvent() {
    struct timex tx;
    memset(&tx, 0, sizeof tx);
    Event e;
    e.kind = Event::Kind::kSync;
    e.atUs = MonotonicUs() - start_;
    e.sync.state = adjtimex(&tx);
    e.sync.status = tx.status;
    e.sync.maxErrorUs = tx.maxerror;
    return e;
  }

  void ReadStep(std::vector<Event> *out) {
    uint64_t ticks;
    if (read(stepFd_, &ticks, sizeof ticks) >= 0 || errno != ECANCELED) return;
    int64_t before = offsetNs_;
    ArmStep();
    struct timespec wall;
    int64_t after = WallOffsetNs(&wall);
    Event e;
    e.kind = Event::Kind::kStep;
    e.atUs = MonotonicUs() - start_;
    e.deltaNs = after - before;
    e.toSec = wall.tv_sec;
    e.toNsec = wall.tv_nsec;
    out->push_back(e);
    // Whether it is still synchronised decides how the step is told.
    out->push_back(SyncEvent());
  }

  void ReadLinks(std::vector<Event> *out) {
    // A few reads per wake-up; the rest waits for the next turn.
    for (int i = 0; i < 64; ++i) {
      ssize_t n = recv(mnl_socket_get_fd(nl_), buf_, sizeof buf_, 0);
      if (n < 0 && errno == ENOBUFS) {
        Event e;
        e.kind = Event::Kind::kOverrun;
        e.atUs = MonotonicUs() - start_;
        out->push_back(e);
        continue;
      }
      if (n <= 0) return;
      Event e;
      e.kind = Event::Kind::kLinks;
      e.atUs = MonotonicUs() - start_;
      e.bytes.assign(buf_, static_cast<size_t>(n));
      out->push_back(std::move(e));
    }
  }

  std::string uuid_;
  uint64_t start_ = 0;
  StorageWatch storage_;
  HardwareWatch hardware_;
  struct mnl_socket *nl_ = nullptr;
  unsigned seq_ = 0;
  int stepFd_ = -1, syncFd_ = -1;
  int64_t offsetNs_ = 0;
  FamilyStatus net_, clock_;
  char buf_[32768];
};

}  // namespace

std::unique_ptr<Kernel> OpenLiveKernel(const ClockConfig &clock) {
  return std::make_unique<LiveKernel>(clock);
}

}  // namespace wisplinux
