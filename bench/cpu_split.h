// Where CPU time goes during a run: each thread of a process by its name,
// and the machine as a whole, read from /proc before and after.
#pragma once

#include <map>
#include <string>

namespace bench {

// A thread's name (its comm), its user plus system CPU time so far, and how
// often it gave up the processor to wait (voluntary context switches).
struct ThreadCpu {
  std::string name;
  double seconds = 0;
  double sleeps = 0;
};

// Every thread of pid now, by thread id.
std::map<int, ThreadCpu> ThreadsCpu(int pid);

// What the scheduler counted for all threads of pid so far, in
// nanoseconds: time on a CPU, and time runnable but waiting for one. Finer
// than the clock ticks of /proc/PID/stat, for runs of a fraction of a
// second.
struct SchedNs {
  double onCpu = 0, waiting = 0;
};
SchedNs ProcessSchedNs(int pid);

// The machine's CPU time in clock ticks, all cores together, from the first
// line of /proc/stat: what it spent idle (or waiting on I/O) and what the
// hypervisor gave to others (steal).
struct MachineTicks {
  double total = 0, idle = 0, steal = 0;
};
MachineTicks ReadMachineTicks();

}  // namespace bench
