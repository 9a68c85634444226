// Serves the daemon's counters over HTTP for Prometheus (wisp-stats --listen).
#pragma once

#include <string>

namespace wispstats {

// The page for GET /metrics: the daemon's snapshot (when up), which carries
// its own wispd_build_info, followed by wispd_up and the exporter's version.
std::string MetricsPage(bool up, const std::string &counters);

// Serves http://HOST:PORT/metrics until SIGTERM or SIGINT; reads the stats
// socket at statsPath on every scrape. Returns the exit status.
int Serve(const std::string &listen, const std::string &statsPath);

}  // namespace wispstats
