// The counters socket: each connection receives one snapshot, then the
// daemon closes it. Served on a thread of its own, so a slow reader never
// holds up the poll loop.
#pragma once

#include "pelldan/paths.h"

constexpr const char *STATS_SOCKET = pelldan::kStatsSocket;

// Binds the socket (mode 0600) and starts the thread; 0 or an errno. path
// NULL means the default under the root.
int StatsServer_Start(const char *path);
// Stops the thread and removes the socket; harmless when never started.
void StatsServer_Stop(void);
