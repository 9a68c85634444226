#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include "counters.h"
#include "pelldan/paths.h"
#include "simhost/sockets.h"

extern char **environ;

namespace scenario {

namespace {

using Clock = std::chrono::steady_clock;

// The daemon's line once its sources are open.
constexpr char kSetupDone[] = "wispd setup completed. Start polling loop.";

void Pause(long micros) {
  std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

volatile sig_atomic_t gInterrupted = 0;

void OnStopSignal(int) {
  gInterrupted = 1;
}

// What the counters say of one agent.
struct AgentView {
  uint64_t took = 0, wakeups = 0, backlog = 0;
  bool waiting = false, running = false;
};

struct Counters {
  std::map<std::string, uint64_t> plain;  // samples without labels
  std::map<std::string, AgentView> agents;
  uint64_t Get(const std::string &name) const {
    auto it = plain.find(name);
    return it != plain.end() ? it->second : 0;
  }
};

// The samples of a snapshot in the text exposition format that the runner
// reads: those without labels, and those of one agent.
Counters ParseCounters(const std::string &text) {
  Counters c;
  const std::string agentLabel = "{agent=\"";
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    size_t space = line.rfind(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    uint64_t value = strtoull(line.c_str() + space + 1, nullptr, 10);
    std::string key = line.substr(0, space);
    size_t brace = key.find(agentLabel);
    if (brace == std::string::npos) {
      if (key.find('{') == std::string::npos) c.plain[key] = value;
      continue;
    }
    size_t from = brace + agentLabel.size();
    size_t quote = key.find('"', from);
    if (quote == std::string::npos) continue;
    AgentView &a = c.agents[key.substr(from, quote - from)];
    std::string metric = key.substr(0, brace);
    if (metric == "wispd_agent_observations_total") a.took = value;
    if (metric == "wispd_agent_wakeups_total") a.wakeups = value;
    if (metric == "wispd_agent_backlog_bytes") a.backlog = value;
    if (metric == "wispd_agent_waiting") a.waiting = value != 0;
    if (metric == "wispd_agent_running") a.running = value != 0;
  }
  return c;
}

// "UserWorld correlator" for the agent "UserWorldCorrelator": correlators
// are registered as "%sCorrelator"; other agents keep their names.
std::string Display(const std::string &agent) {
  const std::string suffix = "Correlator";
  if (agent.size() > suffix.size() &&
      agent.compare(agent.size() - suffix.size(), suffix.size(), suffix) == 0)
    return agent.substr(0, agent.size() - suffix.size()) + " correlator";
  return agent;
}

// One look at the timer thread's wait.
struct TimerLook {
  int32_t tid = 0, waiting = 0;
  int64_t seen = 0, deadline = 0, returns = 0;
  // Waiting, unsignalled, on the clock at now (or with no deadline).
  bool Settled(int64_t now) const {
    return tid == 0 || (waiting == 1 && (deadline == 0 || seen >= now));
  }
  bool Same(const TimerLook &o) const {
    return tid == o.tid && waiting == o.waiting && returns == o.returns;
  }
};

TimerLook Look(const StepWaitState *w) {
  TimerLook t;
  if (w == nullptr) return t;
  t.tid = w->tid.load();
  t.waiting = w->waiting.load();
  t.seen = w->seen.load();
  t.deadline = w->deadline.load();
  t.returns = w->returns.load();
  return t;
}

// Waits for pid's exit up to timeout; the wait status, or -1.
int Reap(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) return st;
    if (r < 0) return -1;
    if (Clock::now() > deadline) return -1;
    Pause(2000);
  }
}

void Stop(pid_t *pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  if (Reap(*pid, std::chrono::milliseconds(3000)) == -1) {
    kill(*pid, SIGKILL);
    Reap(*pid, std::chrono::milliseconds(3000));
  }
  *pid = -1;
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("was killed by ") + strsignal(WTERMSIG(status));
  return "stopped";
}

// The first line of a /proc file, or "".
std::string FirstLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Each of pid's threads: its id and its /proc directory.
template <typename Visit>
void ForEachThread(pid_t pid, Visit visit) {
  std::string task = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(task.c_str());
  if (d == nullptr) return;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') visit(atol(e->d_name), task + "/" + e->d_name);
  closedir(d);
}

// Where each of pid's threads waits ("name in wchan, ..."), for a stop that
// never ends.
std::string Threads(pid_t pid) {
  std::string text;
  ForEachThread(pid, [&](long, const std::string &dir) {
    std::string where = FirstLine(dir + "/wchan");
    if (!text.empty()) text.append(", ");
    text.append(FirstLine(dir + "/comm")).append(" in ").append(where.empty() ? "?" : where);
  });
  return text;
}

}  // namespace

void StopOnSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

bool Interrupted() {
  return gInterrupted != 0;
}

Sandbox::Sandbox(const std::string &binDir, const std::string &faketimeLib, int64_t start)
    : bin_(binDir), faketime_(faketimeLib), start_(start) {
  char tmpl[] = "/tmp/wisp-scenario-XXXXXX";
  if (mkdtemp(tmpl) != nullptr) root_ = tmpl;
  for (const char *dir :
       {"/var", "/var/run", "/var/run/pelldan", "/dev", "/etc", "/etc/pelldan", "/var/log",
        "/var/log/pelldan", "/var/lib", "/var/lib/pelldan", "/cairn", "/cairn/volumes"})
    mkdir((root_ + dir).c_str(), 0755);
  std::string state = Under("/stepwait.state");
  int fd = open(state.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0 && ftruncate(fd, sizeof(StepWaitState)) == 0) {
    void *map = mmap(nullptr, sizeof(StepWaitState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) wait_ = static_cast<StepWaitState *>(map);
  }
  if (fd >= 0) close(fd);
  SetClock(0);
}

Sandbox::~Sandbox() {
  if (user_ >= 0) close(user_);
  if (dgram_ >= 0) close(dgram_);
  Stop(&daemon_);
  Stop(&hubd_);
  Stop(&syslog_);
  if (wait_ != nullptr) munmap(wait_, sizeof(StepWaitState));
  if (!keep_ && !root_.empty()) {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) {
      // A leftover under /tmp is harmless.
    }
  }
}

void Sandbox::WriteFile(const std::string &abs, const std::string &text) const {
  std::string tmp = Under(abs) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary);
    out << text;
  }
  rename(tmp.c_str(), Under(abs).c_str());
}

pid_t Sandbox::Spawn(const std::string &binary, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, const std::string &out) {
  std::vector<std::string> envs;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("WISPD_ROOT=", 0) == 0 || entry.rfind("LD_PRELOAD=", 0) == 0) continue;
    envs.push_back(entry);
  }
  envs.push_back("WISPD_ROOT=" + root_);
  envs.insert(envs.end(), env.begin(), env.end());
  std::string path = bin_ + "/" + binary;
  std::vector<char *> argv = {const_cast<char *>(path.c_str())};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &e : envs) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_t pid = fork();
  if (pid == 0) {
    // A runner killed outright takes its host with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(outFd, 1);
    dup2(outFd, 2);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (outFd >= 0) close(outFd);
  return pid;
}

// The host's listeners appear only once they work (bound under another
// name, then renamed into place), so finding the path is finding a socket
// that takes connections; connecting to make sure would cost hubd a line.
bool Sandbox::WaitForSocket(const std::string &abs) {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  struct stat st;
  while (Clock::now() < deadline && !Interrupted()) {
    if (stat(Under(abs).c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
    Pause(2000);
  }
  return false;
}

bool Sandbox::StartSyslog(std::string *why) {
  syslog_ = Spawn("wisp-syslog", {"--out", Under("/syslog.log")}, {}, Under("/tools.out"));
  if (WaitForSocket("/dev/log")) return true;
  *why = "the syslog collector did not come up";
  return false;
}

bool Sandbox::StartHubd(std::string *why) {
  hubd_ = Spawn("hubd", {"--out", Under("/hubd.jsonl")}, {}, Under("/tools.out"));
  if (WaitForSocket(pelldan::kFlareSocket)) return true;
  *why = "hubd did not come up";
  return false;
}

void Sandbox::StopHubd() {
  Stop(&hubd_);
  unlink(Under(pelldan::kFlareSocket).c_str());
}

size_t Sandbox::LogSize() const {
  struct stat st;
  return stat(Under("/syslog.log").c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

bool Sandbox::WaitForLog(size_t offset, const char *text, std::chrono::seconds limit) {
  auto deadline = Clock::now() + limit;
  std::string line;
  while (Clock::now() < deadline && !Interrupted()) {
    std::ifstream in(Under("/syslog.log"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    while (std::getline(in, line))
      if (line.find(text) != std::string::npos) return true;
    if (daemon_ > 0 && !DaemonAlive()) return false;
    Pause(2000);
  }
  return false;
}

bool Sandbox::StartDaemon(std::string *why) {
  logAtStart_ = LogSize();
  batchesSent_ = 0;
  hubdBase_ = HubdLines();
  took_.clear();
  // The last daemon's timer thread is gone: nothing is known of the new one.
  if (wait_ != nullptr) {
    wait_->tid = 0;
    wait_->waiting = 0;
    wait_->seen = 0;
    wait_->deadline = 0;
    wait_->returns = 0;
  }
  std::string preload = "LD_PRELOAD=" + bin_ + "/libwisp-stepwait.so:" + faketime_;
  // Appended, not added: gcc 12 sees a false bound overrun in the sum.
  std::string state = kStepWaitStateEnv;
  state.append("=").append(Under("/stepwait.state"));
  daemon_ =
      Spawn("wispd", {},
            {preload, "FAKETIME_TIMESTAMP_FILE=" + Under("/clock"), "FAKETIME_NO_CACHE=1", state},
            Under("/wispd.out"));
  if (!WaitForLog(logAtStart_, kSetupDone, std::chrono::seconds(20))) {
    *why = DaemonAlive() ? "wispd did not finish its start-up"
                         : "wispd " + daemonExit_ + " during start-up";
    return false;
  }
  // The CPU correlator arms its periodic refresh at start, so the timer
  // thread soon waits on a deadline: only then are the timers known.
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (wait_ != nullptr && wait_->tid.load() == 0) {
    if (Clock::now() > deadline || Interrupted() || !DaemonAlive()) {
      *why = "wispd's timer thread never waited on a deadline";
      return false;
    }
    Pause(200);
  }
  return true;
}

bool Sandbox::DaemonAlive() {
  if (daemon_ <= 0) return false;
  int st;
  if (waitpid(daemon_, &st, WNOHANG) == daemon_) {
    daemonExit_ = Describe(st);
    daemon_ = -1;
    return false;
  }
  return true;
}

bool Sandbox::StopDaemon(std::string *why) {
  if (user_ >= 0) close(user_);
  user_ = -1;
  if (!DaemonAlive()) {
    *why = "wispd " + daemonExit_;
    return false;
  }
  // The signal may land on a thread other than the main one, which then
  // sleeps on in its poll until something wakes it: ask again until it
  // goes.
  int st = -1;
  for (int i = 0; i < 50 && st == -1; ++i) {
    kill(daemon_, SIGTERM);
    st = Reap(daemon_, std::chrono::milliseconds(200));
  }
  if (st == -1) {
    std::string threads = Threads(daemon_);
    kill(daemon_, SIGKILL);
    Reap(daemon_, std::chrono::milliseconds(3000));
    daemon_ = -1;
    *why = "wispd did not stop on SIGTERM (threads: " + threads + ")";
    return false;
  }
  daemon_ = -1;
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    *why = "wispd " + Describe(st) + " when stopped";
    return false;
  }
  // Its last line says the collector has all the others.
  if (!WaitForLog(logAtStart_, "Exiting. rc:", std::chrono::seconds(10))) {
    *why = "wispd's last log line never reached the collector";
    return false;
  }
  return true;
}

void Sandbox::SetClock(int64_t seconds) {
  clock_ = seconds;
  time_t t = static_cast<time_t>(start_ + seconds);
  struct tm tm;
  localtime_r(&t, &tm);
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S\n", &tm);
  WriteFile("/clock", text);
}

int64_t Sandbox::TimerDue() const {
  if (wait_ == nullptr || wait_->tid.load() == 0 || wait_->deadline.load() == 0) return 0;
  return wait_->deadline.load() - start_;
}

size_t Sandbox::HubdLines() {
  std::ifstream in(Under("/hubd.jsonl"), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(hubdOffset_));
  char buf[65536];
  while (in.read(buf, sizeof buf), in.gcount() > 0) {
    size_t n = static_cast<size_t>(in.gcount());
    // Only complete lines: a line being written is counted once it ends.
    for (size_t i = 0; i < n; ++i)
      if (buf[i] == '\n') {
        ++hubdLines_;
        hubdOffset_ += i + 1;
        in.clear();
        in.seekg(static_cast<std::streamoff>(hubdOffset_));
        break;
      }
  }
  return hubdLines_;
}

// Two snapshots: in the first the main thread has handed out every batch
// and every agent waits with nothing unread; only then are the flare counts
// final, so they are taken from the second, which must find the agents as
// they were, neither having taken an observation nor woken.
bool Sandbox::Done() {
  Counters c[2];
  for (Counters &snapshot : c) {
    std::string text, why;
    if (!wispstats::ReadCounters(Under(pelldan::kStatsSocket), 2000, &text, &why)) return false;
    snapshot = ParseCounters(text);
  }
  // Batches too large to read are reset, not handed out.
  if (c[0].Get("wispd_batches_read_total") + c[0].Get("wispd_batches_too_large_total") <
      batchesSent_)
    return false;
  taking_.clear();
  for (const auto &agent : c[0].agents) {
    const AgentView &a = agent.second;
    if (a.running && (!a.waiting || a.backlog > 0)) return false;
    // Woken between the two (a timer's wake-up takes no observation): not
    // done yet.
    auto later = c[1].agents.find(agent.first);
    if (later == c[1].agents.end() || later->second.took != a.took ||
        later->second.wakeups != a.wakeups)
      return false;
    taking_[agent.first] = a.took;
  }
  uint64_t sent = c[1].Get("wispd_flares_sent_total") + c[1].Get("wispd_flares_resent_total");
  return HubdLines() - hubdBase_ >= sent;
}

bool Sandbox::WaitIdle() {
  auto deadline = Clock::now() + std::chrono::seconds(20);
  int64_t now = start_ + clock_;
  while (Clock::now() < deadline && !Interrupted()) {
    if (!DaemonAlive()) return false;
    TimerLook before = Look(wait_);
    // The timer thread first: once it waits on the current clock it adds
    // no work until the clock moves, and the counters tell the rest. It
    // must still wait, unsignalled, after the counters were read.
    if (before.Settled(now) && Done() && Look(wait_).Same(before)) {
      woken_.clear();
      for (const auto &t : taking_) {
        auto b = took_.find(t.first);
        if (b == took_.end() || b->second != t.second) woken_.push_back(Display(t.first));
      }
      took_ = taking_;
      return true;
    }
    Pause(200);
  }
  return false;
}

bool Sandbox::Send(int ctx, const std::string &batch, std::string *why) {
  std::string path;
  if (ctx < 0) {
    path = Under(pelldan::kUserContextSocket);
  } else {
    char name[128];
    snprintf(name, sizeof name, pelldan::kKernelContextFormat, ctx);
    path = Under(name);
  }
  for (int attempt = 0; attempt < 200; ++attempt) {
    int err = 0;
    if (ctx < 0) {
      if (user_ < 0) {
        int fd = simhost::ConnectUnix(SOCK_SEQPACKET, path);
        if (fd < 0)
          err = -fd;
        else
          user_ = fd;
      }
      if (err == 0 && send(user_, batch.data(), batch.size(), MSG_NOSIGNAL) < 0) err = errno;
    } else {
      if (dgram_ < 0) dgram_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      struct sockaddr_un addr;
      if (!simhost::MakeUnixAddress(path, &addr))
        err = ENAMETOOLONG;
      else if (sendto(dgram_, batch.data(), batch.size(), 0,
                      reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0)
        err = errno;
    }
    if (err == 0) {
      ++batchesSent_;
      return true;
    }
    if (err != EAGAIN && err != ENOBUFS) {
      *why = "cannot send to " + path + ": " + strerror(err);
      return false;
    }
    Pause(5000);
  }
  *why = "cannot send to " + path + ": the source stays full";
  return false;
}

}  // namespace scenario
