#include "simhost/hostmodel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "pelldan/files.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/cpu_memory.h"
#include "simhost/report.h"

namespace simhost {
namespace {

constexpr off_t kMaxModelSize = 16 << 20;

struct Cache {
  std::mutex mutex;
  bool loaded = false;
  struct stat seen {};
  bool existed = false;
  std::shared_ptr<const Json> doc = std::make_shared<const Json>(Json::object());
  std::map<std::string, int64_t> options;
};

Cache &TheCache() {
  static Cache *cache = new Cache;  // lives as long as the process
  return *cache;
}

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Called with the cache locked.
void Refresh(Cache &c) {
  std::string path = pelldan::RootPath(pelldan::kHostModel);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (!c.loaded || c.existed) c.doc = std::make_shared<const Json>(Json::object());
    c.loaded = true;
    c.existed = false;
    return;
  }
  if (c.loaded && c.existed && SameFile(st, c.seen)) return;
  c.loaded = true;
  c.existed = true;
  c.seen = st;
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxModelSize) {
    Report(
        "host model %s is not a regular file of at most %ld bytes; keeping the "
        "last good model\n",
        path.c_str(), static_cast<long>(kMaxModelSize));
    return;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in.good() && !in.eof()) {
    Report("cannot read host model %s; keeping the last good model\n", path.c_str());
    return;
  }
  Json doc = Json::parse(text.str(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    Report("host model %s is not a JSON object; keeping the last good model\n", path.c_str());
    return;
  }
  if (const char *problem = StorageModelProblem(doc)) {
    Report("host model %s %s; keeping the last good model\n", path.c_str(), problem);
    return;
  }
  c.doc = std::make_shared<const Json>(std::move(doc));
}

}  // namespace

std::shared_ptr<const Json> Model() {
  Cache &c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  Refresh(c);
  return c.doc;
}

const Json *Find(const Json &doc, std::initializer_list<std::string> path) {
  const Json *at = &doc;
  for (const std::string &key : path) {
    if (!at->is_object()) return nullptr;
    auto it = at->find(key);
    if (it == at->end()) return nullptr;
    at = &*it;
  }
  return at;
}

std::optional<Json> Failure(const std::string &call) {
  std::shared_ptr<const Json> doc = Model();
  const Json *f = Find(*doc, {"fail", call});
  if (f == nullptr || f->is_null() || (f->is_boolean() && !f->get<bool>())) return std::nullopt;
  return *f;
}

std::optional<int64_t> Option(const std::string &group, const std::string &name) {
  Cache &c = TheCache();
  std::shared_ptr<const Json> doc;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    auto it = c.options.find(group + "/" + name);
    if (it != c.options.end()) return it->second;
    Refresh(c);
    doc = c.doc;
  }
  const Json *v = Find(*doc, {"advanced_options", group, name});
  if (v == nullptr || !v->is_number_integer()) return KernelDefaultOption(group, name);
  return v->get<int64_t>();
}

void SetOption(const std::string &group, const std::string &name, int64_t value) {
  Cache &c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.options[group + "/" + name] = value;
}

void RecordAction(nlohmann::ordered_json action) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  action["time_us"] = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
  std::string line =
      action.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::string path = pelldan::RootPath(pelldan::kHostActions);
  int fd = pelldan::OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) {
    Report("cannot append to actions journal %s\n", path.c_str());
    return;
  }
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    Report("short write to actions journal %s\n", path.c_str());
  }
  close(fd);
}

}  // namespace simhost
