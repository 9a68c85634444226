// wisp-linux: the Linux observation source. Reads the running kernel (links,
// bridges, bonds, the clock, multipath, the kernel log, machine checks) and sends the daemon the
// observations a host's kernel would, so that an ordinary server's own faults flare.
#include <getopt.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "../common/cli.h"
#include "../common/signals.h"
#include "config.h"
#include "kernel.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "source.h"

namespace {

constexpr char kStatsFile[] = "/var/run/pelldan/wisp-linux.prom";

const tools::Tool kTool = {
    "wisp-linux",
    "wisp-linux [--config FILE] [--capture FILE] [--take-down] [--offline-pages]\n"
    "       wisp-linux --replay FILE [--timing original|none] [--stay] [--config FILE]",
    "Watches the running kernel's links, bridges, bonds, clock, multipath maps,\n"
    "log and machine checks and sends the daemon under WISPD_ROOT an observation\n"
    "for each change; keeps the host model to the NICs, switches, port groups,\n"
    "storage devices and file systems the system has.\n"
    "  --config FILE    the source's configuration (default /etc/pelldan/wisp-linux.json)\n"
    "  --capture FILE   also record what was read, for --replay\n"
    "  --take-down      carry out the daemon's take-down of a flapping NIC (by default\n"
    "                   it is only recorded in the actions journal and logged)\n"
    "  --offline-pages  carry out the daemon's retirement of a memory page with\n"
    "                   corrected errors (by default only recorded and logged)\n"
    "  --replay FILE    read a capture instead of the kernel, then end\n"
    "  --stay           after the replay, go on serving the daemon's requests until\n"
    "                   stopped\n"
    "  --timing WHEN    original: each event at its recorded time (default);\n"
    "                   none: all at once\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "SIGTERM or SIGINT ends it with status 0; SIGHUP reopens the capture.\n"};

bool ReadConfig(const std::string &path, bool mustExist, wisplinux::Config *config,
                std::string *why) {
  std::ifstream in;
  if (!mustExist && access(path.c_str(), F_OK) != 0) return true;
  if (!tools::OpenInput(path, &in, why)) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (!wisplinux::ParseConfig(text.str(), config, why)) {
    *why = path + ": " + *why;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit(kTool.name);
  enum {
    kConfigOpt = 1,
    kCaptureOpt,
    kTakeDownOpt,
    kOfflinePagesOpt,
    kReplayOpt,
    kTimingOpt,
    kStayOpt
  };
  static const struct option longopts[] = {
      {"config", required_argument, nullptr, kConfigOpt},
      {"capture", required_argument, nullptr, kCaptureOpt},
      {"take-down", no_argument, nullptr, kTakeDownOpt},
      {"offline-pages", no_argument, nullptr, kOfflinePagesOpt},
      {"replay", required_argument, nullptr, kReplayOpt},
      {"timing", required_argument, nullptr, kTimingOpt},
      {"stay", no_argument, nullptr, kStayOpt},
      TOOLS_COMMON_OPTIONS,
      {nullptr, 0, nullptr, 0}};
  wisplinux::SourceOptions options;
  std::string config, replay;
  bool original = true, stay = false;
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case kConfigOpt:
        config = optarg;
        break;
      case kCaptureOpt:
        options.capturePath = optarg;
        break;
      case kTakeDownOpt:
        options.takeDown = true;
        break;
      case kOfflinePagesOpt:
        options.offlinePages = true;
        break;
      case kReplayOpt:
        replay = optarg;
        break;
      case kTimingOpt:
        if (std::string(optarg) != "original" && std::string(optarg) != "none")
          tools::Reject(kTool,
                        std::string("--timing takes original or none, not \"") + optarg + "\"");
        original = std::string(optarg) == "original";
        break;
      case kStayOpt:
        stay = true;
        break;
      default:
        tools::CommonOption(kTool, c);
    }
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  if (!replay.empty() && options.takeDown)
    tools::Reject(kTool, "--take-down acts on the running kernel, not on a replay");
  if (replay.empty() && stay) tools::Reject(kTool, "--stay goes with --replay");
  if (!replay.empty() && options.offlinePages)
    tools::Reject(kTool, "--offline-pages acts on the running kernel, not on a replay");
  if (!replay.empty() && !options.capturePath.empty())
    tools::Reject(kTool, "--capture records the running kernel, not a replay");
  tools::RequireRoot(kTool);

  auto log = [](const std::string &line) { std::cerr << "wisp-linux: " << line << std::endl; };
  std::string why;
  bool explicitConfig = !config.empty();
  if (!explicitConfig) config = pelldan::RootPath(wisplinux::kConfigFile);
  if (!ReadConfig(config, explicitConfig, &options.config, &why)) {
    std::cerr << "wisp-linux: " << why << "\n";
    return 2;
  }
  std::unique_ptr<wisplinux::Kernel> kernel;
  if (replay.empty()) {
    kernel = wisplinux::OpenLiveKernel(options.config.clock);
  } else {
    kernel = wisplinux::OpenReplay(replay, original, &why);
    if (!kernel) {
      std::cerr << "wisp-linux: " << why << "\n";
      return 1;
    }
    options.replay = !stay;
  }
  options.modelPath = pelldan::RootPath(pelldan::kHostModel);
  options.actionsPath = pelldan::RootPath(pelldan::kHostActions);
  options.statsPath = pelldan::RootPath(kStatsFile);
  volatile sig_atomic_t *stop = tools::StopOnSignals();
  volatile sig_atomic_t *hangup = tools::ReopenOnHangup();
  signal(SIGPIPE, SIG_IGN);
  wisplinux::Source source(options, std::move(kernel), log);
  int rc = source.Run(stop, hangup);
  log("stopped");
  return rc;
}
