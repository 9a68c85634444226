#include "run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>

#include "pelldan/paths.h"
#include "sandbox.h"
#include "simhost/sockets.h"

namespace scenario {

namespace {

std::vector<std::string> ReadLines(const std::string &path) {
  std::vector<std::string> out;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The trace socket, read without blocking after every step so that the
// daemon's writer never waits on us.
class TraceReader {
 public:
  ~TraceReader() {
    if (fd_ >= 0) close(fd_);
  }
  void Connect(const std::string &path) {
    if (fd_ >= 0) close(fd_);
    fd_ = simhost::ConnectUnix(SOCK_STREAM, path);
    if (fd_ >= 0) fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  // After the daemon has stopped: the rest of its lines, up to its close.
  void Finish() {
    for (int idle = 0; fd_ >= 0 && idle < 100;) {
      Drain();
      if (fd_ < 0) break;
      struct pollfd p = {fd_, POLLIN, 0};
      idle = poll(&p, 1, 100) > 0 ? 0 : idle + 1;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Drain() {
    char buf[65536];
    ssize_t n;
    while (fd_ >= 0 && (n = read(fd_, buf, sizeof buf)) > 0)
      text_.append(buf, static_cast<size_t>(n));
    if (fd_ >= 0 && n == 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    size_t at = 0, nl;
    while ((nl = text_.find('\n', at)) != std::string::npos) {
      if (nl > at) out.push_back(text_.substr(at, nl - at));
      at = nl + 1;
    }
    return out;
  }

 private:
  int fd_ = -1;
  std::string text_;
};

std::string LastLines(const std::vector<std::string> &lines, size_t n) {
  std::string out;
  for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i)
    out += "    " + lines[i] + "\n";
  return out;
}

class Player {
 public:
  Player(const Scenario &sc, const RunOptions &opt, Outcome *out)
      : sc_(sc), box_(opt.binDir, opt.faketimeLib, sc.start), out_(out) {
    if (opt.keep) {
      box_.Keep();
      out_->root = box_.Root();
    }
  }

  ~Player() {
    // Stopped, the daemon closes the trace: a running one (after a failure)
    // is stopped by the sandbox, so only what came so far is read.
    if (box_.DaemonAlive())
      trace_.Drain();
    else
      trace_.Finish();
    out_->trace = trace_.Lines();
    out_->log = ReadLines(box_.Under("/syslog.log"));
    out_->actions = ReadLines(box_.Under(pelldan::kHostActions));
    NoteArrivals();
    std::vector<std::string> lines = ReadLines(box_.Under("/hubd.jsonl"));
    for (size_t i = 0; i < lines.size(); ++i) {
      Received r;
      r.line = tools::Json::parse(lines[i], nullptr, false);
      auto id = r.line.is_object() ? r.line.find("id") : r.line.end();
      if (r.line.is_discarded() || !r.line.is_object() || id == r.line.end() || !id->is_string())
        continue;
      r.at = i < arrivals_.size() ? arrivals_[i] : box_.Clock();
      out_->flares.push_back(r);
    }
    if (!out_->failure.empty())
      out_->failure += "\n  the log's last lines:\n" + LastLines(out_->log, 12);
  }

  void Play() {
    std::string why;
    if (!sc_.hostJson.empty()) box_.WriteFile(pelldan::kHostModel, sc_.hostJson);
    if (!box_.StartSyslog(&why) || !box_.StartHubd(&why) || !Start(&why)) return Fail(why);
    for (const Step &step : sc_.steps) {
      if (!AdvanceTo(step.at)) return;
      if (Interrupted()) return Fail("interrupted by a signal");
      if (!Do(step, &why)) return Fail(why);
      if (!Settle()) return;
      if (step.kind == Step::kObserve) out_->deliveries.push_back({&step, box_.Woken()});
    }
    if (!AdvanceTo(sc_.end)) return;
    if (!box_.StopDaemon(&why)) Fail(why);
    trace_.Finish();
  }

 private:
  void Fail(const std::string &why) {
    out_->failure = why + " (at " + std::to_string(box_.Clock()) + " s)";
  }

  bool Start(std::string *why) {
    if (!box_.StartDaemon(why)) return false;
    trace_.Connect(box_.Under(pelldan::kTraceSocket));
    return Settle();
  }

  // Stamps hubd's new lines with the clock at which they arrived.
  void NoteArrivals() {
    std::ifstream in(box_.Under("/hubd.jsonl"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(hubdRead_));
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
      hubdRead_ += line.size() + 1;
      arrivals_.push_back(box_.Clock());
    }
  }

  bool Settle() {
    bool idle = box_.WaitIdle();
    trace_.Drain();
    NoteArrivals();
    if (idle) return true;
    if (Interrupted())
      Fail("interrupted by a signal");
    else if (!box_.DaemonAlive())
      Fail("wispd " + box_.DaemonExit());
    else
      Fail("wispd did not settle within 20 s of real time (it hangs or is busy)");
    return false;
  }

  // Steps the clock to every second a timer waits for on the way.
  bool AdvanceTo(int64_t at) {
    for (;;) {
      int64_t due = box_.TimerDue();
      if (due <= box_.Clock() || due > at) break;
      box_.SetClock(due);
      if (!Settle()) return false;
    }
    if (at <= box_.Clock()) return true;
    box_.SetClock(at);
    return Settle();
  }

  bool Do(const Step &step, std::string *why) {
    switch (step.kind) {
      case Step::kObserve:
        return box_.Send(step.ctx, step.bytes, why);
      case Step::kHost:
        box_.WriteFile(pelldan::kHostModel, step.hostJson);
        return true;
      case Step::kHubdDown:
        box_.StopHubd();
        return true;
      case Step::kHubdUp:
        return box_.StartHubd(why);
      case Step::kRestart:
        if (!box_.StopDaemon(why)) return false;
        trace_.Finish();
        return Start(why);
    }
    return false;
  }

  const Scenario &sc_;
  Sandbox box_;
  Outcome *out_;
  TraceReader trace_;
  size_t hubdRead_ = 0;
  std::vector<int64_t> arrivals_;
};

}  // namespace

std::string Received::Text() const {
  std::string id = line.value("id", "");
  auto m = line.find("message");
  if (m != line.end() && m->is_string()) return "[" + id + "] " + m->get<std::string>();
  auto a = line.find("args");
  return "[" + id + "] (no known message) args " + (a != line.end() ? a->dump() : "[]");
}

Outcome Run(const Scenario &sc, const RunOptions &opt) {
  static bool once = (StopOnSignals(), true);
  (void)once;
  Outcome out;
  {
    Player player(sc, opt, &out);
    player.Play();
  }
  return out;
}

}  // namespace scenario
