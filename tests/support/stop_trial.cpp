#include "stop_trial.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <vector>

#include "sandbox.h"

namespace testing_support {

namespace {

// Uplink transitions, link changes and a watchdog keep the network
// correlator in handlers, host calls and timers; device events make the
// storage correlator post flares; the rest fan out to idle correlators or
// to nobody.
const char kModel[] = R"({
  "advanced_options": {"Net": {"LinkFlappingThreshold": 3}},
  "port_groups": {"frontend": {"switch": "switch0"}, "management": {"switch": "switch0"}}
})";

// One batch on one line.
const char kLoad[] =
    R"({"batch": [)"
    R"({"id": "wisp.net.pg.uplink.transition.down", "args": [{"s": "pnic0"}, {"s": "frontend"}, {"i32": 0}, {"i32": 1}]},)"
    R"({"id": "wisp.net.pg.uplink.transition.down", "args": [{"s": "pnic0"}, {"s": "management"}, {"i32": 1}, {"i32": 1}]},)"
    R"({"id": "wisp.net.pnic.linkstate.down", "args": [{"s": "pnic0"}]},)"
    R"({"id": "wisp.net.pnic.linkstate.up", "args": [{"s": "pnic0"}]},)"
    R"({"id": "wisp.net.pnic.linkstate.down", "args": [{"s": "pnic1"}]},)"
    R"({"id": "wisp.net.pg.uplink.transition.up", "args": [{"s": "pnic0"}, {"s": "frontend"}, {"i32": 2}]},)"
    R"({"id": "wisp.net.dvport.uplink.transition.down", "args": [{"s": "pnic1"}, {"s": "dvs"}, {"s": "7"}, {"i32": 0}, {"i32": 0}]},)"
    R"({"id": "wisp.net.uplink.watchdog.timeout", "args": [{"s": "pnic1"}]},)"
    R"({"id": "wisp.storage.apd.start", "args": [{"s": "naa.1"}]},)"
    R"({"id": "wisp.storage.apd.exit", "args": [{"s": "naa.1"}]},)"
    R"({"id": "wisp.storage.apd.timeout", "args": [{"s": "naa.2"}, {"i32": 140}]},)"
    R"({"id": "wisp.scsi.scsipath.pathstate.dead", "args": [{"s": "hba1:C0:T0:L0"}]},)"
    R"({"id": "wisp.user.ssh.enabled", "args": []},)"
    R"({"id": "wisp.unheard.of", "args": [{"u64": 7}]})"
    R"(]})"
    "\n";

}  // namespace

StopTally StopUnderLoad(int trials, unsigned seed, int maxDelayMs,
                        const std::function<void(const std::string &)> &report) {
  StopTally tally;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delay(0, maxDelayMs);
  for (int t = 0; t < trials; ++t) {
    Host host(kModel);
    std::string load = host.root.Under("/load.jsonl");
    host.root.WriteFile("/load.jsonl", kLoad);
    std::vector<std::unique_ptr<Process>> producers;
    for (const char *ctx : {"0", "5", "user"}) {
      producers.push_back(std::make_unique<Process>(
          Bin("wisp-emit"),
          std::vector<std::string>{"--wait", "5", "--ctx", ctx, "--repeat", "1000000", load}));
    }
    usleep(static_cast<useconds_t>(delay(rng)) * 1000);
    host.wispd->Signal(SIGTERM);
    int status = host.wispd->Wait(std::chrono::milliseconds(5000));
    ++tally.trials;
    std::string what;
    if (status == -1) {
      ++tally.hangs;
      what = "hung";
    } else if (WIFSIGNALED(status)) {
      ++tally.aborts;
      what = "ended by signal " + std::to_string(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
      ++tally.other;
      what = "exit status " + std::to_string(WEXITSTATUS(status));
    } else if (!host.log.WaitFor("Exiting due to signal.\n", 2000ms) ||
               !host.log.WaitFor("Exiting. rc:0\n", 2000ms)) {
      ++tally.other;
      what = "closing log lines missing";
    } else {
      ++tally.clean;
    }
    if (what.empty()) continue;
    std::string err = host.wispd->Stderr();
    if (err.size() > 4000) err = err.substr(0, 4000);
    report("trial " + std::to_string(t) + ": " + what + (err.empty() ? "" : "\n" + err));
  }
  return tally;
}

}  // namespace testing_support
