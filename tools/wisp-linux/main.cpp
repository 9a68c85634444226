// wisp-linux: the Linux observation source. Reads the running kernel (links,
// bridges, bonds, the clock) and sends the daemon the observations a host's
// kernel would, so that an ordinary server's own faults flare.
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
    "wisp-linux [--config FILE] [--capture FILE] [--take-down]\n"
    "       wisp-linux --replay FILE [--timing original|none] [--config FILE]",
    "Watches the running kernel's links, bridges, bonds and clock and sends the\n"
    "daemon under WISPD_ROOT an observation for each change; keeps the host model\n"
    "to the NICs, switches and port groups the system has.\n"
    "  --config FILE    the source's configuration (default /etc/pelldan/wisp-linux.json)\n"
    "  --capture FILE   also record what was read, for --replay\n"
    "  --take-down      carry out the daemon's take-down of a flapping NIC (by default\n"
    "                   it is only recorded in the actions journal and logged)\n"
    "  --replay FILE    read a capture instead of the kernel, then end\n"
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
  enum { kConfigOpt = 1, kCaptureOpt, kTakeDownOpt, kReplayOpt, kTimingOpt };
  static const struct option longopts[] = {{"config", required_argument, nullptr, kConfigOpt},
                                           {"capture", required_argument, nullptr, kCaptureOpt},
                                           {"take-down", no_argument, nullptr, kTakeDownOpt},
                                           {"replay", required_argument, nullptr, kReplayOpt},
                                           {"timing", required_argument, nullptr, kTimingOpt},
                                           TOOLS_COMMON_OPTIONS,
                                           {nullptr, 0, nullptr, 0}};
  wisplinux::SourceOptions options;
  std::string config, replay;
  bool original = true;
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
      case kReplayOpt:
        replay = optarg;
        break;
      case kTimingOpt:
        if (std::string(optarg) != "original" && std::string(optarg) != "none")
          tools::Reject(kTool,
                        std::string("--timing takes original or none, not \"") + optarg + "\"");
        original = std::string(optarg) == "original";
        break;
      default:
        tools::CommonOption(kTool, c);
    }
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  if (!replay.empty() && options.takeDown)
    tools::Reject(kTool, "--take-down acts on the running kernel, not on a replay");
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
    options.replay = true;
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
