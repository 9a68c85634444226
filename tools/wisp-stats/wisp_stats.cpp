// wisp-stats: prints the daemon's counters, as a table or as the daemon
// serves them (Prometheus text format).
#include <errno.h>
#include <getopt.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "../common/cli.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace {

constexpr char kStatsSocket[] = "/var/run/pelldan/wispd-stats.sock";

const tools::Tool kTool = {
    "wisp-stats", "wisp-stats [--raw]",
    "Prints the counters of the daemon running under WISPD_ROOT (sources that read\n"
    "nothing are left out of the table).\n"
    "  --raw        print them as served, in the Prometheus text format\n"
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
  if (metric.rfind("wispd_", 0) == 0) metric = metric.substr(6);
  if (metric.size() > 6 && metric.compare(metric.size() - 6, 6, "_total") == 0)
    metric.resize(metric.size() - 6);
  for (char &ch : metric)
    if (ch == '_') ch = ' ';
  for (char &ch : label)
    if (ch == '=') ch = ' ';
  label.erase(std::remove(label.begin(), label.end(), '"'), label.end());
  *name = label.empty() ? metric : metric + " (" + label + ")";
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-stats");
  bool raw = false;
  static const struct option longopts[] = {
      {"raw", no_argument, nullptr, 'r'}, TOOLS_COMMON_OPTIONS, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c != 'r') tools::CommonOption(kTool, c);
    raw = true;
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  tools::RequireRoot(kTool);
  std::string path = pelldan::RootPath(kStatsSocket);
  int fd = simhost::ConnectUnix(SOCK_STREAM, path);
  if (fd < 0) {
    std::cerr << "wisp-stats: cannot connect to " << path << ": " << strerror(-fd) << "\n";
    return 1;
  }
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (raw) {
    std::cout << text;
    return 0;
  }
  std::istringstream in(text);
  std::string line, name, value;
  while (std::getline(in, line)) {
    if (!TableRow(line, &name, &value)) continue;
    // 25 sources, most of them idle: the table shows those that were read.
    if (value == "0" && name.find("(source ") != std::string::npos) continue;
    printf("%-44s %12s\n", name.c_str(), value.c_str());
  }
  return 0;
}
