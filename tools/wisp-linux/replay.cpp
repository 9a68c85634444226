// A capture replayed: its events come out at their recorded times, measured
// from the start of the replay, or all at once.
#include <errno.h>
#include <string.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <fstream>

#include "kernel.h"

namespace wisplinux {

namespace {

// A capture is read whole; anything larger is no capture of ours.
constexpr std::streamoff kLargestCapture = 256 << 20;

class ReplayKernel : public Kernel {
 public:
  ReplayKernel(std::vector<Event> events, std::string uuid, bool originalTiming, size_t bad,
               std::string firstBad)
      : events_(std::move(events)),
        uuid_(std::move(uuid)),
        original_(originalTiming),
        bad_(bad),
        firstBad_(std::move(firstBad)) {
    start_ = MonotonicUs();
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    Arm();
  }
  ~ReplayKernel() override {
    if (timer_ >= 0) close(timer_);
  }

  void Initial(std::vector<Event> *) override {}
  std::vector<int> Fds() const override {
    return timer_ >= 0 ? std::vector<int>{timer_} : std::vector<int>{};
  }

  void Read(int fd, std::vector<Event> *out) override {
    if (fd != timer_) return;
    uint64_t ticks;
    if (read(timer_, &ticks, sizeof ticks) < 0 && errno != EAGAIN) return;
    uint64_t now = MonotonicUs() - start_;
    while (next_ < events_.size() && (!original_ || events_[next_].atUs <= now))
      out->push_back(events_[next_++]);
    Arm();
  }

  FamilyStatus Status(Family family) const override {
    static const char *const kHow[kFamilies] = {
        "a capture's link messages", "a capture's clock events",
        "a capture's device events and kernel log", "a capture's trace lines"};
    return {true, kHow[static_cast<int>(family)]};
  }
  std::string SystemUuid() const override { return uuid_; }
  bool Finished() const override { return next_ >= events_.size(); }
  void Resync() override {}
  int TakeDown(int32_t) override { return EOPNOTSUPP; }
  int OfflinePage(uint64_t) override { return EOPNOTSUPP; }
  size_t BadLines(std::string *first) const override {
    *first = firstBad_;
    return bad_;
  }

 private:
  // The timer fires when the next event is due (at once when not timed).
  void Arm() {
    if (timer_ < 0 || Finished()) return;
    uint64_t now = MonotonicUs() - start_;
    uint64_t due = original_ ? events_[next_].atUs : 0;
    uint64_t wait = due > now ? due - now : 1;
    struct itimerspec at;
    memset(&at, 0, sizeof at);
    at.it_value.tv_sec = static_cast<time_t>(wait / 1000000);
    at.it_value.tv_nsec = static_cast<long>(wait % 1000000) * 1000;
    timerfd_settime(timer_, 0, &at, nullptr);
  }

  std::vector<Event> events_;
  std::string uuid_;
  bool original_;
  size_t bad_;
  std::string firstBad_;
  size_t next_ = 0;
  uint64_t start_ = 0;
  int timer_ = -1;
};

}  // namespace

std::unique_ptr<Kernel> OpenReplay(const std::string &path, bool originalTiming, std::string *why) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return nullptr;
  }
  if (in.tellg() > kLargestCapture) {
    *why = path + " is larger than any capture (" + std::to_string(kLargestCapture >> 20) + " MiB)";
    return nullptr;
  }
  in.seekg(0);
  std::string line, uuid;
  if (!std::getline(in, line) || !ReadCaptureHeader(line, &uuid, why)) {
    if (why->empty()) *why = "an empty file";
    *why = path + ": " + *why;
    return nullptr;
  }
  std::vector<Event> events;
  size_t bad = 0, number = 1;
  std::string firstBad;
  uint64_t last = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    Event e;
    std::string lineWhy;
    if (!EventFromLine(line, &e, &lineWhy)) {
      if (bad++ == 0) firstBad = "line " + std::to_string(number) + ": " + lineWhy;
      continue;
    }
    // Times never run backwards in a replay.
    if (e.atUs < last) e.atUs = last;
    last = e.atUs;
    events.push_back(std::move(e));
  }
  return std::make_unique<ReplayKernel>(std::move(events), uuid, originalTiming, bad, firstBad);
}

}  // namespace wisplinux
