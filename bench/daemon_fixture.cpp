#include "daemon_fixture.h"

#include <sys/stat.h>

namespace bench {

using testing_support::Bin;
using testing_support::Process;

Daemon::Daemon(bool withHubd, bool withCollector) {
  if (withHubd) {
    hubd = std::make_unique<Process>(Bin("hubd"),
                                     std::vector<std::string>{"--out", root.Under("/hubd.jsonl")});
    struct stat st;
    testing_support::WaitUntil(
        [&] { return stat(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), &st) == 0; });
  }
  // The capturing collector tells when start-up is complete; one that only
  // counts may take over for the runs.
  {
    testing_support::LogCapture capture(root);
    wispd = std::make_unique<Process>(Bin("wispd"), std::vector<std::string>{});
    capture.WaitFor("wispd setup completed", std::chrono::milliseconds(10000));
  }
  if (withCollector) log = std::make_unique<LogDrain>(root.Under("/dev/log"));
}

}  // namespace bench
