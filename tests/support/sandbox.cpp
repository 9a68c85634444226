#include "sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "pelldan/syslog.h"
#include "simhost/sockets.h"

extern char **environ;

namespace testing_support {

Root::Root() {
  char tmpl[] = "/tmp/wispd-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
  for (const char *dir :
       {"/var", "/var/run", "/var/run/pelldan", "/dev", "/etc", "/etc/pelldan", "/var/log",
        "/var/log/pelldan", "/var/lib", "/var/lib/pelldan", "/cairn", "/cairn/volumes"})
    mkdir((path_ + dir).c_str(), 0755);
  setenv("WISPD_ROOT", path_.c_str(), 1);
}

Root::~Root() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
    // Leftovers in /tmp are harmless.
  }
  unsetenv("WISPD_ROOT");
}

void Root::WriteFile(const std::string &abs, const std::string &text) const {
  std::string tmp = Under(abs) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary);
    out << text;
  }
  rename(tmp.c_str(), Under(abs).c_str());
}

int InChild(const std::function<int()> &body) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void Say(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Syslog_VWrite(LOG_INFO, format, ap);
  va_end(ap);
}

LogCapture::LogCapture(const Root &root) : path_(root.Under("/dev/log")) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  unlink(path_.c_str());
  if (bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
    throw std::runtime_error("bind /dev/log");
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  thread_ = std::thread([this] { Run(); });
}

LogCapture::~LogCapture() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  thread_.join();
  close(fd_);
  unlink(path_.c_str());
}

void LogCapture::Run() {
  static thread_local char buf[1 << 17];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) continue;
    std::string record(buf, static_cast<size_t>(n));
    size_t body = record.find("]: ");
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(body == std::string::npos ? record : record.substr(body + 3));
    cond_.notify_all();
  }
}

std::vector<std::string> LogCapture::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

size_t LogCapture::Count(const std::string &text) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const std::string &m : messages_) n += m.find(text) != std::string::npos;
  return n;
}

bool LogCapture::WaitForCount(const std::string &text, size_t count,
                              std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t n = 0;
  cond_.wait_for(lock, timeout, [&] {
    n = 0;
    for (const std::string &m : messages_) n += m.find(text) != std::string::npos;
    return n >= count;
  });
  return n == count;
}

bool LogCapture::WaitFor(const std::string &text, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, timeout, [&] {
    for (const std::string &m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  });
}

Process::Process(const std::string &binary, const std::vector<std::string> &args,
                 const std::vector<std::string> &extraEnv, const std::string &stdinFile) {
  char outT[] = "/tmp/wispd-out-XXXXXX", errT[] = "/tmp/wispd-err-XXXXXX";
  int outFd = mkstemp(outT), errFd = mkstemp(errT);
  out_ = outT;
  err_ = errT;
  // extraEnv entries replace inherited ones of the same name.
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string &x : extraEnv) replaced = replaced || x.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const std::string &e : extraEnv) env.push_back(e);
  // Everything the child needs is built before fork.
  std::vector<char *> argv = {const_cast<char *>(binary.c_str())};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  const char *in = stdinFile.empty() ? "/dev/null" : stdinFile.c_str();
  pid_ = fork();
  if (pid_ == 0) {
    int inFd = open(in, O_RDONLY);
    dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
}

Process::~Process() {
  if (Running()) {
    kill(pid_, SIGKILL);
    Wait();
  }
  unlink(out_.c_str());
  unlink(err_.c_str());
}

void Process::Signal(int sig) {
  kill(pid_, sig);
}

bool Process::Running() {
  if (status_ != -1 || pid_ <= 0) return false;
  int st;
  if (waitpid(pid_, &st, WNOHANG) == pid_) {
    status_ = st;
    return false;
  }
  return true;
}

int Process::Wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    usleep(5000);
  }
  return status_;
}

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

long ResidentKiB(pid_t pid) {
  std::string status = Slurp("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : strtol(status.c_str() + at + 6, nullptr, 10);
}

std::string Process::Stdout() const {
  return Slurp(out_);
}
std::string Process::Stderr() const {
  return Slurp(err_);
}

std::string Bin(const std::string &name) {
  return std::string(WISPD_BIN_DIR) + "/" + name;
}

int ExitCode(int status) {
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Run(const std::string &binary, const std::vector<std::string> &args,
        const std::string &stdinText, std::string *stderrText, std::chrono::milliseconds limit) {
  char inT[] = "/tmp/wispd-in-XXXXXX";
  int inFd = mkstemp(inT);
  if (write(inFd, stdinText.data(), stdinText.size()) < 0) return -1;
  close(inFd);
  Process p(binary, args, {}, inT);
  int status = p.Wait(limit);
  if (stderrText != nullptr) *stderrText = p.Stderr();
  unlink(inT);
  return status;
}

bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(5000);
  }
  return true;
}

std::vector<std::string> Lines(const std::string &path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return text;
}

bool SendDatagram(const std::string &path, const std::string &bytes) {
  struct sockaddr_un addr;
  if (!simhost::MakeUnixAddress(path, &addr)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<struct sockaddr *>(&addr),
                     sizeof addr);
  close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

std::string Snapshot(const Root &root) {
  int fd = simhost::ConnectUnix(SOCK_STREAM, root.Under("/var/run/pelldan/wispd-stats.sock"));
  return fd >= 0 ? ReadAll(fd) : "";
}

long long Sample(const std::string &snapshot, const std::string &sample) {
  std::istringstream in(snapshot);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(sample + " ", 0) == 0) return std::stoll(line.substr(sample.size() + 1));
  return -1;
}

std::string ApdLine(const std::string &device) {
  return R"({"id": "wisp.storage.apd.start", "args": [{"s": ")" + device + "\"}]}\n";
}

Host::Host(const std::string &model, const std::vector<std::string> &daemonArgs, bool startHubd,
           const std::vector<std::string> &daemonEnv) {
  if (!model.empty()) root.WriteFile("/etc/pelldan/simhost.json", model);
  if (startHubd) {
    hubd = std::make_unique<Process>(Bin("hubd"),
                                     std::vector<std::string>{"--out", root.Under("/hubd.jsonl")});
    struct stat st;
    WaitUntil(
        [&] { return stat(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), &st) == 0; });
  }
  wispd = std::make_unique<Process>(Bin("wispd"), daemonArgs, daemonEnv);
  if (!log.WaitFor("wispd setup completed. Start polling loop.\n", 10000ms))
    ADD_FAILURE() << "the daemon did not complete its setup";
}

int Host::Emit(const std::string &lines, const std::vector<std::string> &args,
               std::chrono::milliseconds limit) {
  std::vector<std::string> all = {"--wait", "5"};
  all.insert(all.end(), args.begin(), args.end());
  return Run(Bin("wisp-emit"), all, lines, nullptr, limit);
}

std::vector<std::string> Host::Flares() const {
  return Lines(root.Under("/hubd.jsonl"));
}

bool Host::WaitForFlares(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Flares().size() >= count; }, timeout);
}

void Host::ExpectServing(const std::string &device, const std::vector<std::string> &emitArgs) {
  size_t before = Flares().size();
  ASSERT_EQ(Emit(ApdLine(device), emitArgs), 0);
  ASSERT_TRUE(WaitForFlares(before + 1));
  EXPECT_NE(Flares().back().find(device), std::string::npos) << Flares().back();
}

void Host::ExpectStops(std::chrono::milliseconds limit, int sig) {
  wispd->Signal(sig);
  int status = wispd->Wait(limit);
  ASSERT_NE(status, -1) << "still running " << limit.count() << " ms after signal " << sig;
  ASSERT_TRUE(WIFEXITED(status)) << wispd->Stderr();
  EXPECT_EQ(WEXITSTATUS(status), 0) << wispd->Stderr();
  EXPECT_TRUE(log.WaitFor("Exiting due to signal.\n"));
  EXPECT_TRUE(log.WaitFor("Exiting. rc:0\n"));
}

}  // namespace testing_support
