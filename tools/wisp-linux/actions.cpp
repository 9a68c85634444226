#include "actions.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace wisplinux {

namespace {
// A journal line is a short JSON object; anything longer is not one.
constexpr size_t kLongestAction = 4096;
}  // namespace

ActionsFollower::ActionsFollower(std::string path) : path_(std::move(path)) {
  size_t slash = path_.rfind('/');
  std::string dir = slash == std::string::npos || slash == 0 ? "/" : path_.substr(0, slash);
  // The folder for a journal made or moved in, the file for what is added:
  // the other files of the folder (hubd's journal) change far more often.
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    close(inotify_);
    inotify_ = -1;
  }
  WatchFile();
  struct stat st;
  if (stat(path_.c_str(), &st) == 0) {
    inode_ = st.st_ino;
    offset_ = st.st_size;
  }
}

void ActionsFollower::WatchFile() {
  if (inotify_ < 0) return;
  // Watching the same file again keeps its watch; a new file gets its own.
  inotify_add_watch(inotify_, path_.c_str(), IN_MODIFY);
}

ActionsFollower::~ActionsFollower() {
  if (inotify_ >= 0) close(inotify_);
}

std::vector<HostAction> ActionsFollower::Read() {
  char events[4096];
  while (inotify_ >= 0 && read(inotify_, events, sizeof events) > 0) {
  }
  std::vector<HostAction> actions;
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return actions;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return actions;
  }
  if (st.st_ino != inode_ || st.st_size < offset_) {
    if (st.st_ino != inode_) WatchFile();
    inode_ = st.st_ino;
    offset_ = 0;
    partial_.clear();
  }
  char buf[65536];
  ssize_t n;
  while ((n = pread(fd, buf, sizeof buf, offset_)) > 0) {
    offset_ += n;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != '\n') {
        if (partial_.size() <= kLongestAction) partial_ += buf[i];
        continue;
      }
      Take(partial_, &actions);
      partial_.clear();
    }
  }
  close(fd);
  return actions;
}

void ActionsFollower::Take(const std::string &line, std::vector<HostAction> *actions) {
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (line.size() > kLongestAction || !j.is_object()) {
    ++bad_;
    problem_ = "a line of " + path_ + " that is no action";
    return;
  }
  static const struct {
    const char *action, *member;
    HostAction::Kind kind;
  } kKinds[] = {{"nic_down", "nic", HostAction::Kind::kNicDown},
                {"page_retire", "page", HostAction::Kind::kPageRetire},
                {"cpu_offline", "cpu", HostAction::Kind::kCpuOffline}};
  auto action = j.find("action");
  if (action == j.end()) return;
  for (const auto &k : kKinds) {
    if (*action != k.action) continue;
    auto member = j.find(k.member);
    HostAction a;
    a.kind = k.kind;
    bool ok =
        member != j.end() &&
        (k.kind == HostAction::Kind::kNicDown ? member->is_string() : member->is_number_unsigned());
    if (!ok) {
      ++bad_;
      problem_ = std::string("a ") + k.action + " in " + path_ + " without its " + k.member;
      return;
    }
    if (k.kind == HostAction::Kind::kNicDown) a.nic = member->get<std::string>();
    if (k.kind == HostAction::Kind::kPageRetire) a.page = member->get<uint64_t>();
    if (k.kind == HostAction::Kind::kCpuOffline) a.cpu = member->get<uint64_t>();
    actions->push_back(a);
  }
}

}  // namespace wisplinux
