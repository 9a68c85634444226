// wisp-stats: prints the daemon's counters, as a table or as the daemon
// serves them (Prometheus text format), or serves them over HTTP.
#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/cli.h"
#include "counters.h"
#include "exporter.h"
#include "pelldan/root.h"

namespace {

// The command line waits this long for the daemon's snapshot.
constexpr int kTimeoutMs = 5000;

const tools::Tool kTool = {
    "wisp-stats", "wisp-stats [--raw | --listen HOST:PORT]",
    "Prints the counters of the daemon running under WISPD_ROOT (sources that read\n"
    "nothing are left out of the table).\n"
    "  --raw        print them as served, in the Prometheus text format\n"
    "  --listen HOST:PORT\n"
    "               serve them over HTTP at /metrics for Prometheus, with wispd_up\n"
    "               and the exporter's version, until SIGTERM (port 0: any free port)\n"
    "  --help       show this text\n"
    "  --version    show the version\n"};

// "wispd_flares_posted_total{kind="audit"} 3" -> "flares posted (kind audit)", "3".
bool TableRow(const std::string &line, std::string *name, std::string *value) {
  if (line.empty() || line[0] == '#') return false;
  size_t space = line.rfind(' ');
  if (space == std::string::npos) return false;
  std::string metric = line.substr(0, space);
  *value = line.substr(space + 1);
  std::string label;
  size_t brace = metric.find('{');
  if (brace != std::string::npos) {
    label = metric.substr(brace + 1, metric.size() - brace - 2);
    metric.resize(brace);
  }
  label.erase(std::remove(label.begin(), label.end(), '"'), label.end());
  // The daemon's version is a label, not a count.
  if (metric == "wispd_build_info" && label.rfind("version=", 0) == 0) {
    *name = "daemon version";
    *value = label.substr(8);
    return true;
  }
  if (metric.rfind("wispd_", 0) == 0) metric = metric.substr(6);
  if (metric.size() > 6 && metric.compare(metric.size() - 6, 6, "_total") == 0)
    metric.resize(metric.size() - 6);
  for (char &ch : metric)
    if (ch == '_') ch = ' ';
  for (char &ch : label)
    if (ch == '=') ch = ' ';
  *name = label.empty() ? metric : metric + " (" + label + ")";
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-stats");
  bool raw = false;
  const char *listen = nullptr;
  static const struct option longopts[] = {{"raw", no_argument, nullptr, 'r'},
                                           {"listen", required_argument, nullptr, 'l'},
                                           TOOLS_COMMON_OPTIONS,
                                           {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c == 'r')
      raw = true;
    else if (c == 'l')
      listen = optarg;
    else
      tools::CommonOption(kTool, c);
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  if (raw && listen != nullptr) tools::Reject(kTool, "--raw and --listen exclude each other");
  tools::RequireRoot(kTool);
  std::string path = pelldan::RootPath(wispstats::kStatsSocket);
  if (listen != nullptr) return wispstats::Serve(listen, path);
  std::string text, why;
  if (!wispstats::ReadCounters(path, kTimeoutMs, &text, &why)) {
    std::cerr << "wisp-stats: " << why << "\n";
    return 1;
  }
  if (raw) {
    std::cout << text;
    return 0;
  }
  std::istringstream in(text);
  std::string line, name, value;
  std::vector<std::pair<std::string, std::string>> rows;
  size_t width = 0;
  while (std::getline(in, line)) {
    if (!TableRow(line, &name, &value)) continue;
    // 25 sources, most of them idle: the table shows those that were read.
    if (value == "0" && name.find("(source ") != std::string::npos) continue;
    rows.emplace_back(name, value);
    width = std::max(width, name.size());
  }
  // One column as wide as the longest name, so that a long agent name does
  // not push its own value out of line.
  for (const auto &row : rows)
    printf("%-*s %12s\n", static_cast<int>(width), row.first.c_str(), row.second.c_str());
  return 0;
}
