// wisp-alert-sink: a webhook receiver that records every notification an
// Alertmanager sends, one JSON line each, for the fleet and the tests.
#include <getopt.h>
#include <signal.h>

#include <iostream>
#include <mutex>
#include <string>

#include "../common/cli.h"
#include "../common/outfile.h"
#include "../common/signals.h"
#include "http_server.h"
#include "wispjson.h"

namespace {

const tools::Tool kTool = {
    "wisp-alert-sink", "wisp-alert-sink --listen HOST:PORT [--out FILE]",
    "Receives webhook notifications (POST, any path) and writes each as one JSON\n"
    "line to standard output, or appends it to FILE.\n"
    "  --listen HOST:PORT  where to listen (port 0: any free port, printed on\n"
    "                      standard error)\n"
    "  --out FILE          append to FILE\n"
    "  --help              show this text\n"
    "  --version           show the version\n"};

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-alert-sink");
  std::string listen, outPath;
  static const struct option longopts[] = {{"listen", required_argument, nullptr, 'l'},
                                           {"out", required_argument, nullptr, 'o'},
                                           TOOLS_COMMON_OPTIONS,
                                           {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    if (c == 'l')
      listen = optarg;
    else if (c == 'o')
      outPath = optarg;
    else
      tools::CommonOption(kTool, c);
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  if (listen.empty()) tools::Reject(kTool, "--listen is needed");
  tools::OutFile out;
  std::string why;
  if (!out.Open(outPath, &why)) {
    std::cerr << "wisp-alert-sink: " << why << "\n";
    return 1;
  }
  // The server's thread inherits the blocked signals; this one waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::mutex lock;
  size_t received = 0;
  wispalert::HttpServer server;
  bool ok = server.Start(
      listen,
      [&](const std::string &method, const std::string &, const std::string &body) {
        if (method != "POST") return wispalert::HttpReply{405, "text/plain", "POST only\n"};
        tools::Json doc = tools::Json::parse(body, nullptr, false);
        if (doc.is_discarded()) return wispalert::HttpReply{400, "text/plain", "not JSON\n"};
        std::lock_guard<std::mutex> hold(lock);
        if (!out.Write(doc.dump(-1, ' ', false, tools::Json::error_handler_t::replace) + "\n"))
          return wispalert::HttpReply{500, "text/plain", "cannot record it\n"};
        ++received;
        return wispalert::HttpReply{200, "text/plain", "ok\n"};
      },
      &why);
  if (!ok) {
    std::cerr << "wisp-alert-sink: " << why << "\n";
    return 1;
  }
  std::cerr << "wisp-alert-sink: receiving at " << server.Url() << "/" << std::endl;
  int sig = 0;
  sigwait(&stopSignals, &sig);
  std::lock_guard<std::mutex> hold(lock);
  std::cerr << "wisp-alert-sink: " << received << " notifications\n";
  return 0;
}
