// The described path with no logic in it: what the daemon's work costs in
// system calls alone, to read the daemon's figures against.
#pragma once

#include <string>

namespace bench {

struct FloorRun {
  double seconds = 0;     // wall time of the run
  double cpuSeconds = 0;  // CPU time of the dispatcher and the agent
};

// A producer sends `batches` datagrams of `perBatch` copies of record; one
// dispatcher receives each and writes every record into an agent's pipe;
// the agent polls, reads the 32-byte header, then the body, and sends two
// syslog-sized datagrams to a thread that reads them, or, given
// logSocket, to the collector listening there (connected, as the daemon's
// log socket is).
FloorRun DescribedFloor(const std::string &record, int perBatch, int batches,
                        const std::string &logSocket = "");

// User plus system CPU time of a process so far, in seconds.
double ProcessCpuSeconds(int pid);
// utime plus stime, in seconds, of a /proc stat file (a process's or a
// thread's); 0 when it cannot be read.
double StatCpuSeconds(const std::string &statPath);
// The two apart: time in the program's own code, and in the kernel's on
// its behalf (system calls, wake-ups); zeros when it cannot be read.
struct CpuSplit {
  double user = 0, system = 0;
};
CpuSplit StatCpuSplit(const std::string &statPath);

}  // namespace bench
