#include "state_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wispalert {

namespace {

// A state file larger than this is not one we wrote for a bounded table.
constexpr off_t kMaxState = 512 << 20;

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool SaveState(const std::string &path, const JournalPosition &pos, const tools::Json &alerts,
               std::string *why) {
  tools::Json doc = {{"journal", {{"dev", pos.dev}, {"ino", pos.ino}, {"offset", pos.offset}}},
                     {"table", alerts}};
  std::string text = doc.dump(-1, ' ', false, tools::Json::error_handler_t::replace) + "\n";
  std::string tmp = path + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *why = "cannot write " + tmp + ": " + strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  int err = errno;
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path + ": " + strerror(ok ? errno : err);
    unlink(tmp.c_str());
    return false;
  }
  // The rename itself survives a power loss only once the directory is on disk.
  int dir = open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

StateLoad LoadState(const std::string &path, JournalPosition *pos, tools::Json *alerts,
                    std::string *why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return StateLoad::NONE;
    *why = std::string("cannot read it: ") + strerror(errno);
    return StateLoad::BAD;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxState) {
    close(fd);
    *why = "not a regular file of a sensible size";
    return StateLoad::BAD;
  }
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  tools::Json doc = tools::Json::parse(text, nullptr, false);
  const tools::Json *j = doc.is_object() ? &doc : nullptr;
  if (j == nullptr || !j->contains("journal") || !(*j)["journal"].is_object() ||
      !j->contains("table")) {
    *why = "not JSON of the expected shape";
    return StateLoad::BAD;
  }
  const tools::Json &jp = (*j)["journal"];
  for (const char *key : {"dev", "ino", "offset"}) {
    if (!jp.contains(key) || !jp[key].is_number_unsigned()) {
      *why = std::string("no journal ") + key;
      return StateLoad::BAD;
    }
  }
  pos->dev = jp["dev"].get<uint64_t>();
  pos->ino = jp["ino"].get<uint64_t>();
  pos->offset = jp["offset"].get<uint64_t>();
  *alerts = (*j)["table"];
  return StateLoad::LOADED;
}

}  // namespace wispalert
