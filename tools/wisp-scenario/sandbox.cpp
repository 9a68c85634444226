#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>

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

void Snapshot(pid_t pid, std::map<long, Mark> *out) {
  ForEachThread(pid, [&](long tid, const std::string &dir) {
    std::string text = FirstLine(dir + "/stat");
    size_t paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 >= text.size()) return;
    (*out)[tid] = Mark{text[paren + 2], FirstLine(dir + "/schedstat"), pid};
  });
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

bool Sandbox::WaitForSocket(const std::string &abs) {
  struct stat st;
  for (int i = 0; i < 1000; ++i) {
    if (stat(Under(abs).c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
    Pause(5000);
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

bool Sandbox::StartDaemon(std::string *why) {
  size_t logSize = 0;
  {
    struct stat st;
    if (stat(Under("/syslog.log").c_str(), &st) == 0) logSize = static_cast<size_t>(st.st_size);
  }
  std::string preload = "LD_PRELOAD=" + bin_ + "/libwisp-stepwait.so:" + faketime_;
  // Appended, not added: gcc 12 sees a false bound overrun in the sum.
  std::string state = kStepWaitStateEnv;
  state.append("=").append(Under("/stepwait.state"));
  daemon_ =
      Spawn("wispd", {},
            {preload, "FAKETIME_TIMESTAMP_FILE=" + Under("/clock"), "FAKETIME_NO_CACHE=1", state},
            Under("/wispd.out"));
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    std::ifstream in(Under("/syslog.log"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(logSize));
    std::string line;
    while (std::getline(in, line))
      if (line.find(kSetupDone) != std::string::npos) return true;
    if (!DaemonAlive()) {
      *why = "wispd " + daemonExit_ + " during start-up";
      return false;
    }
    Pause(5000);
  }
  *why = "wispd did not finish its start-up";
  return false;
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
  if (wait_ == nullptr || wait_->tid.load() == 0) return 0;
  return wait_->deadline.load() - start_;
}

void Sandbox::NoteWoken(const std::map<long, Mark> &marks) {
  woken_.clear();
  for (const auto &m : marks) {
    if (m.second.pid != daemon_) continue;
    auto b = settled_.find(m.first);
    if (b != settled_.end() && b->second.switches == m.second.switches) continue;
    std::string name = FirstLine("/proc/" + std::to_string(daemon_) + "/task/" +
                                 std::to_string(m.first) + "/comm");
    // Threads are named "%sCorrelator", cut to 15 characters.
    size_t cut = name.find("Correlat");
    if (cut != std::string::npos) woken_.push_back(name.substr(0, cut) + " correlator");
  }
  settled_ = marks;
}

bool Sandbox::WaitIdle() {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  int64_t now = start_ + clock_;
  std::map<long, Mark> before;
  while (Clock::now() < deadline) {
    if (!DaemonAlive()) return false;
    bool timerSettled = wait_ == nullptr || wait_->tid.load() == 0 ||
                        (wait_->waiting.load() == 1 && wait_->seen.load() >= now);
    std::map<long, Mark> marks;
    for (pid_t p : {daemon_, hubd_, syslog_})
      if (p > 0) Snapshot(p, &marks);
    if (long timer = wait_ != nullptr ? wait_->tid.load() : 0; timer != 0) {
      // Signalled but not yet run, the timer thread still reads as waiting
      // with its old deadline: only asleep in the kernel has it taken the
      // new one. Its own wake-ups (the slices) do not count as work.
      auto t = marks.find(timer);
      timerSettled = timerSettled && (t == marks.end() || t->second.state == 'S');
      marks.erase(timer);
    }
    bool asleep = timerSettled;
    for (const auto &m : marks) asleep = asleep && (m.second.state == 'S' || m.second.state == 'Z');
    if (asleep && !before.empty() && marks.size() == before.size()) {
      bool same = true;
      for (const auto &m : marks) {
        auto b = before.find(m.first);
        same = same && b != before.end() && b->second.switches == m.second.switches;
      }
      if (same) {
        NoteWoken(marks);
        return true;
      }
    }
    before = asleep ? marks : std::map<long, Mark>();
    Pause(asleep ? 300 : 200);
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
    if (err == 0) return true;
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
