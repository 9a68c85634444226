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

StateWriter::StateWriter(std::string path) : path_(std::move(path)), tmp_(path_ + ".new") {}

StateWriter::~StateWriter() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(tmp_.c_str());
}

bool StateWriter::Begin(const JournalPosition &pos, const std::vector<std::string> &urls,
                        std::string *why) {
  fd_ = open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    *why = "cannot write " + tmp_ + ": " + strerror(errno);
    return false;
  }
  tools::Json head = {{"journal",
                       {{"dev", pos.dev},
                        {"ino", pos.ino},
                        {"offset", pos.offset},
                        {"tail_bytes", pos.tailBytes},
                        {"tail_hash", pos.tailHash}}},
                      {"alertmanagers", urls}};
  std::string text = head.dump(-1, ' ', false, tools::Json::error_handler_t::replace) + "\n";
  Write(&text);
  return true;
}

bool StateWriter::Write(std::string *text) {
  if (!failed_ && !WriteAll(fd_, *text)) {
    failed_ = true;
    error_ = errno;
  }
  text->clear();
  return !failed_;
}

bool StateWriter::Commit(std::string *why) {
  if (!failed_ && fsync(fd_) != 0) {
    failed_ = true;
    error_ = errno;
  }
  close(fd_);
  fd_ = -1;
  if (failed_ || rename(tmp_.c_str(), path_.c_str()) != 0) {
    *why = "cannot write " + path_ + ": " + strerror(failed_ ? error_ : errno);
    unlink(tmp_.c_str());
    return false;
  }
  // The rename itself survives a power loss only once the directory is on disk.
  int dir = open(DirOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

StateLoad LoadState(const std::string &path, JournalPosition *pos, std::vector<std::string> *urls,
                    const std::function<void(std::string_view)> &alertLine, std::string *why) {
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
  text.reserve(static_cast<size_t>(st.st_size));  // one buffer, not a copy at each doubling
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  size_t end = text.find('\n');
  tools::Json head = tools::Json::parse(text.substr(0, end), nullptr, false);
  const tools::Json journal =
      head.is_object() ? head.value("journal", tools::Json()) : tools::Json();
  const tools::Json managers =
      head.is_object() ? head.value("alertmanagers", tools::Json()) : tools::Json();
  if (end == std::string::npos || !journal.is_object() || !managers.is_array()) {
    *why = "its first line is not a head of the expected shape";
    return StateLoad::BAD;
  }
  for (const char *key : {"dev", "ino", "offset"}) {
    if (!journal.contains(key) || !journal[key].is_number_unsigned()) {
      *why = std::string("no journal ") + key;
      return StateLoad::BAD;
    }
  }
  // A state written before the tail was kept has none: nothing to compare.
  for (const char *key : {"tail_bytes", "tail_hash"}) {
    if (journal.contains(key) && !journal[key].is_number_unsigned()) {
      *why = std::string("journal ") + key + " is not a count";
      return StateLoad::BAD;
    }
  }
  pos->tailBytes = journal.value("tail_bytes", uint64_t{0});
  pos->tailHash = journal.value("tail_hash", uint64_t{0});
  pos->dev = journal["dev"].get<uint64_t>();
  pos->ino = journal["ino"].get<uint64_t>();
  pos->offset = journal["offset"].get<uint64_t>();
  urls->clear();
  for (const tools::Json &u : managers)
    if (u.is_string()) urls->push_back(u.get<std::string>());
  std::string_view rest(text);
  for (size_t from = end + 1; from < rest.size();) {
    size_t nl = rest.find('\n', from);
    if (nl == std::string::npos) nl = rest.size();
    if (nl > from) alertLine(rest.substr(from, nl - from));
    from = nl + 1;
  }
  return StateLoad::LOADED;
}

}  // namespace wispalert
