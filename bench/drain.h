// Telling when a running daemon has consumed everything it was sent.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace bench {

// True once the daemon's main thread has been idle in poll and all of its
// pipes have been empty for a few consecutive samples.
bool WaitDrained(pid_t pid, int timeoutMs = 60000);
// Resident set size of a process in KiB.
int64_t ResidentKiB(pid_t pid);

}  // namespace bench
