#include "daemon_fixture.h"

#include <sys/stat.h>

#include <fstream>

#include "collector_queue.h"
#include "cpu_split.h"
#include "floor.h"

namespace bench {

using testing_support::Bin;
using testing_support::Process;

Daemon::Daemon(bool withHubd, Collector collector) {
  if (withHubd) {
    hubd = std::make_unique<Process>(Bin("hubd"),
                                     std::vector<std::string>{"--out", root.Under("/hubd.jsonl")});
    struct stat st;
    testing_support::WaitUntil(
        [&] { return stat(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), &st) == 0; });
  }
  // The capturing collector tells when start-up is complete; the run's own
  // collector takes over for the runs.
  {
    testing_support::LogCapture capture(root);
    wispd = std::make_unique<Process>(Bin("wispd"), std::vector<std::string>{});
    capture.WaitFor("wispd setup completed", std::chrono::milliseconds(10000));
  }
  if (collector == Collector::kDrain) log = std::make_unique<LogDrain>(root.Under("/dev/log"));
  if (collector == Collector::kRsyslog) rsyslog = std::make_unique<Rsyslog>(root);
}

Daemon::~Daemon() {
  // The daemon first, so that its last records find their collector.
  wispd.reset();
  rsyslog.reset();
}

long Daemon::Collected() const {
  if (log != nullptr) return log->Records();
  return rsyslog != nullptr ? rsyslog->Lines() : 0;
}

double Daemon::CollectorCpuSeconds() const {
  if (log != nullptr) return log->CpuSeconds();
  return rsyslog != nullptr ? rsyslog->CpuSeconds() : 0;
}

int Daemon::CollectorQueue() const {
  if (log != nullptr) return log->Queue();
  return rsyslog != nullptr ? rsyslog->Queue() : 0;
}

double Daemon::CollectorSleeps() const {
  if (log != nullptr) return log->Sleeps();
  return rsyslog != nullptr ? rsyslog->Sleeps() : 0;
}

Rsyslog::Rsyslog(const testing_support::Root &root) : out_(root.Under("/rsyslog.log")) {
  std::string conf = root.Under("/rsyslog.conf");
  mkdir(root.Under("/rsyslog").c_str(), 0700);
  std::ofstream(conf) << "global(workDirectory=\"" << root.Under("/rsyslog") << "\")\n"
                      << "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
                      << "input(type=\"imuxsock\" Socket=\"" << root.Under("/dev/log")
                      << "\" RateLimit.Interval=\"0\")\n"
                      << "*.* action(type=\"omfile\" file=\"" << out_ << "\")\n";
  queue_ = WithCollectorQueue([&] {
    process_ = std::make_unique<Process>(
        "/usr/sbin/rsyslogd",
        std::vector<std::string>{"-n", "-f", conf, "-i", root.Under("/rsyslog/rsyslogd.pid")});
  });
  struct stat st;
  testing_support::WaitUntil([&] { return stat(root.Under("/dev/log").c_str(), &st) == 0; },
                             std::chrono::milliseconds(10000));
}

long Rsyslog::Lines() const {
  return static_cast<long>(testing_support::Lines(out_).size());
}

double Rsyslog::CpuSeconds() const {
  return ProcessCpuSeconds(process_->Pid());
}

double Rsyslog::Sleeps() const {
  double sleeps = 0;
  for (const auto &[tid, t] : ThreadsCpu(process_->Pid())) sleeps += t.sleeps;
  return sleeps;
}

}  // namespace bench
