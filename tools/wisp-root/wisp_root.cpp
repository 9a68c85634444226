// wisp-root: creates a private host root with the directories the host
// provides, and prints the line that points the programs at it.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>
#include <string>

#include "../common/cli.h"
#include "simhost/sockets.h"

namespace {

const tools::Tool kTool = {
    "wisp-root", "wisp-root init DIR",
    "Creates DIR (if needed) with the directories a host root provides and prints\n"
    "  export WISPD_ROOT=/absolute/DIR\n"
    "for the shell, e.g.  eval \"$(wisp-root init /tmp/host1)\"\n"
    "  --help       show this text\n"
    "  --version    show the version\n"};

const char *const kDirs[] = {"/var/run/pelldan", "/dev",
                             "/etc/pelldan",     "/var/log/pelldan",
                             "/var/lib/pelldan", "/cairn/volumes"};

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-root");
  static const struct option longopts[] = {TOOLS_COMMON_OPTIONS, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) tools::CommonOption(kTool, c);
  if (argc - optind != 2 || std::string(argv[optind]) != "init")
    tools::Reject(kTool,
                  argc - optind == 0 ? "a command is needed" : "the command is \"init DIR\"");
  // The one program that may name a root still to be created.
  tools::RequireRoot(kTool, false);
  std::string dir = argv[optind + 1];
  if (dir.empty()) tools::Reject(kTool, "DIR is empty");
  if (!simhost::MakeDirs(dir)) {
    std::cerr << "wisp-root: cannot create " << dir << ": " << strerror(errno) << "\n";
    return 1;
  }
  char full[PATH_MAX];
  if (realpath(dir.c_str(), full) == nullptr) {
    std::cerr << "wisp-root: cannot resolve " << dir << ": " << strerror(errno) << "\n";
    return 1;
  }
  for (const char *sub : kDirs) {
    std::string path = std::string(full) + sub;
    if (!simhost::MakeDirs(path)) {
      std::cerr << "wisp-root: cannot create " << path << ": " << strerror(errno) << "\n";
      return 1;
    }
  }
  std::cout << "export WISPD_ROOT=" << full << "\n";
  return 0;
}
