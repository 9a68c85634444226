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

std::vector<std::string> ActionsFollower::Read() {
  char events[4096];
  while (inotify_ >= 0 && read(inotify_, events, sizeof events) > 0) {
  }
  std::vector<std::string> nics;
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nics;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nics;
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
      Take(partial_, &nics);
      partial_.clear();
    }
  }
  close(fd);
  return nics;
}

void ActionsFollower::Take(const std::string &line, std::vector<std::string> *nics) {
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (line.size() > kLongestAction || !j.is_object()) {
    ++bad_;
    problem_ = "a line of " + path_ + " that is no action";
    return;
  }
  auto action = j.find("action");
  auto nic = j.find("nic");
  if (action == j.end() || *action != "nic_down") return;
  if (nic == j.end() || !nic->is_string()) {
    ++bad_;
    problem_ = "a take-down in " + path_ + " without a NIC";
    return;
  }
  nics->push_back(nic->get<std::string>());
}

}  // namespace wisplinux
