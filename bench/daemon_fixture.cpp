#include "daemon_fixture.h"

#include <sys/stat.h>

namespace bench {

using testing_support::Bin;
using testing_support::Process;

Daemon::Daemon(bool withHubd) {
  if (withHubd) {
    hubd = std::make_unique<Process>(Bin("hubd"),
                                     std::vector<std::string>{"--out", root.Under("/hubd.jsonl")});
    struct stat st;
    testing_support::WaitUntil(
        [&] { return stat(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), &st) == 0; });
  }
  // The log collector only tells when start-up is complete; without one the
  // daemon's log records are dropped at once, as on a host without syslog.
  testing_support::LogCapture log(root);
  wispd = std::make_unique<Process>(Bin("wispd"), std::vector<std::string>{});
  log.WaitFor("wispd setup completed", std::chrono::milliseconds(10000));
}

}  // namespace bench
