// Test support: a private host root, a syslog collector, and the real
// binaries started and stopped by process id.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

using namespace std::chrono_literals;

// A temporary WISPD_ROOT with the directories the host provides, set in the
// environment for as long as it lives.
class Root {
 public:
  Root();
  ~Root();
  const std::string &Path() const { return path_; }
  std::string Under(const std::string &abs) const { return path_ + abs; }
  void WriteFile(const std::string &abs, const std::string &text) const;

 private:
  std::string path_;
};

// Runs body in a child process of its own (its threads and its log link
// ending with it); the status it returned, or -1 when it did not exit.
int InChild(const std::function<int()> &body);

// Writes one record to the log, at info, as the daemon's threads do.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Collects the syslog datagrams sent to $WISPD_ROOT/dev/log.
class LogCapture {
 public:
  explicit LogCapture(const Root &root);
  ~LogCapture();
  // Messages (the text after "]: ") received so far.
  std::vector<std::string> Messages();
  // Waits until a message contains text; true when one does.
  bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 5000ms);
  // Waits until exactly count messages contain text (more fail at once).
  bool WaitForCount(const std::string &text, size_t count,
                    std::chrono::milliseconds timeout = 5000ms);
  // Messages containing text.
  size_t Count(const std::string &text);

 private:
  void Run();
  int fd_;
  std::string path_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::string> messages_;
  bool stop_ = false;
  std::thread thread_;
};

// A child process of one of our binaries, killed and reaped on destruction.
class Process {
 public:
  // extraEnv: "NAME=value" entries added to the environment.
  Process(const std::string &binary, const std::vector<std::string> &args,
          const std::vector<std::string> &extraEnv = {}, const std::string &stdinFile = "");
  ~Process();
  pid_t Pid() const { return pid_; }
  void Signal(int sig);
  // Waits for the exit; the wait status, or -1 on time-out.
  int Wait(std::chrono::milliseconds timeout = 10000ms);
  bool Running();
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

std::string Bin(const std::string &name);
// The exit code of a wait status; -1 when the process did not exit.
int ExitCode(int status);
// Runs a binary to completion; returns its wait status.
int Run(const std::string &binary, const std::vector<std::string> &args,
        const std::string &stdinText = "", std::string *stderrText = nullptr,
        std::chrono::milliseconds limit = 60000ms);
bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 5000ms);
// Lines of a file (empty when missing).
std::vector<std::string> Lines(const std::string &path);
std::string Slurp(const std::string &path);
// A process's resident memory in KiB (-1 when it is gone).
long ResidentKiB(pid_t pid);
// Everything a connection sends until it closes; closes fd.
std::string ReadAll(int fd);
// Sends one datagram to a Unix socket; true when all of it went.
bool SendDatagram(const std::string &path, const std::string &bytes);
// One snapshot of the daemon's counters under root ("" when it does not answer).
std::string Snapshot(const Root &root);
// The value of one sample line ("name{labels}") of a snapshot; -1 when absent.
long long Sample(const std::string &snapshot, const std::string &sample);
// A wisp-emit line: an all-paths-down start for device.
std::string ApdLine(const std::string &device);

// The daemon with hubd and a log collector under a private root.
class Host {
 public:
  explicit Host(const std::string &model = "", const std::vector<std::string> &daemonArgs = {},
                bool startHubd = true, const std::vector<std::string> &daemonEnv = {});
  ~Host() = default;
  Root root;
  LogCapture log{root};
  std::unique_ptr<Process> hubd;
  std::unique_ptr<Process> wispd;
  // Feeds JSON lines to wisp-emit; returns its wait status.
  // A flood under a sanitizer and load may need longer than the default limit.
  int Emit(const std::string &lines, const std::vector<std::string> &args = {},
           std::chrono::milliseconds limit = 60000ms);
  // hubd's JSON lines so far.
  std::vector<std::string> Flares() const;
  bool WaitForFlares(size_t count, std::chrono::milliseconds timeout = 5000ms) const;
  // An all-paths-down start for device, sent with emitArgs, reaches hubd.
  void ExpectServing(const std::string &device, const std::vector<std::string> &emitArgs = {});
  // The signal ends the daemon within limit, with status 0 and both closing lines.
  void ExpectStops(std::chrono::milliseconds limit = 5000ms, int sig = SIGTERM);
};

}  // namespace testing_support
