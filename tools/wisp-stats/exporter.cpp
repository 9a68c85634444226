#include "exporter.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include "counters.h"
#include "pelldan/version.h"

namespace wispstats {

namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// A scrape waits this long for the daemon, well inside Prometheus's own
// default scrape time-out (10 s).
constexpr int kDaemonTimeoutMs = 2000;
// Connections served at once; one more than a stalled client or two needs.
constexpr size_t kThreads = 4;
// A client that sends no complete request in this time is dropped.
constexpr time_t kReadTimeoutS = 2;

// "HOST:PORT" or "[V6]:PORT"; false when it is neither.
bool SplitListen(const std::string &listen, std::string *host, int *port) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = listen.substr(0, colon);
  if (host->front() == '[') {
    if (host->size() < 3 || host->back() != ']') return false;
    *host = host->substr(1, host->size() - 2);
  }
  std::string digits = listen.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *port = atoi(digits.c_str());
  return *port <= 65535;
}

}  // namespace

std::string MetricsPage(bool up, const std::string &counters) {
  std::string page = up ? counters : "";
  if (!page.empty() && page.back() != '\n') page += '\n';
  page +=
      "# HELP wispd_up Whether the daemon's stats socket answered this scrape.\n"
      "# TYPE wispd_up gauge\n";
  page += up ? "wispd_up 1\n" : "wispd_up 0\n";
  page +=
      "# HELP wispd_build_info The version of the programs serving these counters.\n"
      "# TYPE wispd_build_info gauge\n"
      "wispd_build_info{version=\"" WISPD_VERSION "\"} 1\n";
  return page;
}

int Serve(const std::string &listen, const std::string &statsPath) {
  std::string host;
  int port = 0;
  if (!SplitListen(listen, &host, &port)) {
    std::cerr << "wisp-stats: --listen takes HOST:PORT, not \"" << listen << "\"\n";
    return 2;
  }
  // The server's threads inherit the blocked signals; this thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server.set_read_timeout(kReadTimeoutS, 0);
  server.set_write_timeout(kReadTimeoutS, 0);
  server.set_keep_alive_timeout(kReadTimeoutS);
  server.Get("/metrics", [&statsPath](const httplib::Request &, httplib::Response &res) {
    std::string counters, why;
    bool up = ReadCounters(statsPath, kDaemonTimeoutMs, &counters, &why);
    res.set_content(MetricsPage(up, counters), kContentType);
  });
  int bound = port;
  bool ok =
      port == 0 ? (bound = server.bind_to_any_port(host)) > 0 : server.bind_to_port(host, port);
  if (!ok) {
    std::cerr << "wisp-stats: cannot listen on " << listen << "\n";
    return 1;
  }
  std::cerr << "wisp-stats: serving the counters at http://" << listen.substr(0, listen.rfind(':'))
            << ":" << bound << "/metrics\n";
  std::thread loop([&server] { server.listen_after_bind(); });
  // stop() before the loop runs would leave it running.
  for (int i = 0; i < 1000 && !server.is_running(); ++i) usleep(1000);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  server.stop();
  loop.join();
  return 0;
}

}  // namespace wispstats
