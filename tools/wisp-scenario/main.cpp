// wisp-scenario: runs scenario files against the real daemon on a private
// simulated host with a stepped clock, or turns a recorded trace into one.
#include <getopt.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>

#include "../common/cli.h"
#include "listing.h"
#include "record.h"
#include "report.h"
#include "run.h"
#include "scenario.h"

namespace {

const tools::Tool kTool = {
    "wisp-scenario",
    "wisp-scenario [--junit FILE] [--keep] FILE... | wisp-scenario --record TRACE [--host MODEL] "
    "[--out FILE] | wisp-scenario --list",
    "Runs each scenario file on its own simulated host (wispd, hubd and a syslog\n"
    "collector from this program's directory) with the daemon's clock stepped to\n"
    "each step's time, and prints every expectation as passed or failed.\n"
    "  --junit FILE    also write the results as JUnit XML\n"
    "  --keep          leave each scenario's root for inspection\n"
    "  --record TRACE  print a scenario replaying a saved trace (wisp-trace output)\n"
    "  --host MODEL    with --record: the host model file the scenario names\n"
    "  --out FILE      with --record: write the scenario to FILE (the model's path\n"
    "                  is then relative to FILE's directory; on standard output it\n"
    "                  is absolute)\n"
    "  --list          print every correlator with its groups, and each observation\n"
    "                  id it takes with its arguments and the flare it posts\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "The status is 0 when every expectation of every file holds.\n"};

std::string BinDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

std::string FaketimeLib() {
  if (const char *env = getenv("WISP_SCENARIO_FAKETIME")) return env;
  for (const char *dir : {"/usr/lib/x86_64-linux-gnu/faketime",
                          "/usr/lib/aarch64-linux-gnu/faketime", "/usr/lib/faketime"}) {
    std::string lib = std::string(dir) + "/libfaketimeMT.so.1";
    if (access(lib.c_str(), R_OK) == 0) return lib;
  }
  return "";
}

}  // namespace

int main(int argc, char **argv) {
  static const struct option longopts[] = {{"junit", required_argument, nullptr, 'j'},
                                           {"keep", no_argument, nullptr, 'k'},
                                           {"record", required_argument, nullptr, 'r'},
                                           {"host", required_argument, nullptr, 'h'},
                                           {"out", required_argument, nullptr, 'o'},
                                           {"list", no_argument, nullptr, 'l'},
                                           TOOLS_COMMON_OPTIONS,
                                           {nullptr, 0, nullptr, 0}};
  std::string junit, record, host, outPath;
  bool list = false;
  scenario::RunOptions opt;
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c == 'j')
      junit = optarg;
    else if (c == 'k')
      opt.keep = true;
    else if (c == 'r')
      record = optarg;
    else if (c == 'h')
      host = optarg;
    else if (c == 'o')
      outPath = optarg;
    else if (c == 'l')
      list = true;
    else
      tools::CommonOption(kTool, c);
  }
  if (list) {
    if (optind < argc || !record.empty()) tools::Reject(kTool, "--list takes nothing else");
    scenario::ListObservations(std::cout);
    return 0;
  }
  if (record.empty() && (!host.empty() || !outPath.empty()))
    tools::Reject(kTool, "--host and --out go with --record");
  if (!record.empty()) {
    if (optind < argc) tools::Reject(kTool, "--record takes no scenario files");
    std::string why;
    std::ofstream file;
    if (!outPath.empty()) {
      file.open(outPath);
      if (!file) {
        std::cerr << "wisp-scenario: cannot write " << outPath << "\n";
        return 1;
      }
    }
    std::ostream &out = outPath.empty() ? std::cout : file;
    if (!scenario::RecordTrace(record, host, outPath, out, &why)) {
      std::cerr << "wisp-scenario: " << why << "\n";
      return 1;
    }
    out.flush();
    if (!out) {
      std::cerr << "wisp-scenario: cannot write " << (outPath.empty() ? "standard output" : outPath)
                << "\n";
      return 1;
    }
    return 0;
  }
  if (optind == argc) tools::Reject(kTool, "no scenario file given");
  opt.binDir = BinDir();
  opt.faketimeLib = FaketimeLib();
  if (opt.faketimeLib.empty()) {
    std::cerr << "wisp-scenario: libfaketimeMT.so.1 is not installed (Debian package faketime)\n";
    return 2;
  }
  std::vector<scenario::Report> reports;
  for (int a = optind; a < argc; ++a) {
    scenario::Report r;
    r.file = argv[a];
    auto began = std::chrono::steady_clock::now();
    scenario::Scenario sc;
    if (!scenario::Parse(argv[a], &sc, &r.error)) {
      r.name = r.file;
    } else {
      r.name = sc.name;
      scenario::Outcome out = scenario::Run(sc, opt);
      r.checks = scenario::Evaluate(sc, out);
      if (opt.keep) std::cout << "kept " << out.root << " for " << r.file << "\n";
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    scenario::Print(r, std::cout);
    std::cout.flush();
    reports.push_back(r);
  }
  size_t failed = 0;
  for (const scenario::Report &r : reports) failed += !r.Passed();
  std::cout << reports.size() - failed << " of " << reports.size() << " scenarios passed\n";
  if (!junit.empty()) {
    std::string why;
    if (!scenario::WriteJunit(reports, junit, &why)) {
      std::cerr << "wisp-scenario: " << why << "\n";
      return 1;
    }
  }
  return failed == 0 ? 0 : 1;
}
