#include "cpu_split.h"

#include <dirent.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "floor.h"

namespace bench {
namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Calls each(tid, directory) for every thread of pid now.
template <typename Each>
void EachThread(int pid, Each each) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(tasks.c_str());
  if (dir == nullptr) return;
  while (struct dirent *e = readdir(dir)) {
    char *end = nullptr;
    long tid = strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0') continue;
    each(static_cast<int>(tid), tasks + "/" + e->d_name);
  }
  closedir(dir);
}

}  // namespace

std::map<int, ThreadCpu> ThreadsCpu(int pid) {
  std::map<int, ThreadCpu> out;
  EachThread(pid, [&](int tid, const std::string &task) {
    ThreadCpu t;
    t.name = ReadAll(task + "/comm");
    if (!t.name.empty() && t.name.back() == '\n') t.name.pop_back();
    t.seconds = StatCpuSeconds(task + "/stat");
    std::istringstream status(ReadAll(task + "/status"));
    std::string key;
    while (status >> key)
      if (key == "voluntary_ctxt_switches:") status >> t.sleeps;
    out[tid] = t;
  });
  return out;
}

SchedNs ProcessSchedNs(int pid) {
  SchedNs sum;
  EachThread(pid, [&](int, const std::string &task) {
    std::ifstream in(task + "/schedstat");
    double onCpu = 0, waiting = 0;
    if (in >> onCpu >> waiting) {
      sum.onCpu += onCpu;
      sum.waiting += waiting;
    }
  });
  return sum;
}

MachineTicks ReadMachineTicks() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  MachineTicks m;
  if (!(in >> cpu) || cpu != "cpu") return m;
  // user nice system idle iowait irq softirq steal (guest time is in user)
  for (int i = 0; i < 8; ++i) {
    double v = 0;
    if (!(in >> v)) break;
    m.total += v;
    if (i == 3 || i == 4) m.idle += v;
    if (i == 7) m.steal += v;
  }
  return m;
}

}  // namespace bench
