#include "simhost/hostmodel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "pelldan/files.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/cpu_memory.h"
#include "simhost/json_release.h"
#include "simhost/report.h"

namespace simhost {
namespace {

constexpr off_t kMaxModelSize = 16 << 20;

// Every member the simulated host reads (docs/simhost.md, "The schema").
const char *const kMembers[] = {
    "kernel.build_date",
    "system.uuid",
    "advanced_options.GROUP.NAME",
    "nics.NAME",
    "port_groups.NAME.switch",
    "vm_groups.ID.name",
    "vms.WORLDID.name",
    "file_systems[].volume",
    "file_systems[].uuid",
    "storage.luns.NAME.disk",
    "storage.luns.NAME.redundancy",
    "storage.luns.NAME.partitions",
    "storage.luns.NAME.datastores.N",
    "storage.paths.NAME.device",
    "clock.wisp_report_interval",
    "cpu.cores",
    "cpu.pcpus",
    "cpu.vendor",
    "cpu.offline_enabled",
    "memory.selection_threshold",
    "memory.retired_pages",
    "fail.CALL",
};

// The names the simulated calls ask Failure() about.
const char *const kFailureCalls[] = {
    "Sysi_Get:NODE",
    "Sysi_Set:NODE",
    "GetPortGroupByName",
    "PortGroup.GetVirtualSwitchName",
    "GetHost",
    "GetStorageInfo",
    "GetLun",
    "GetPath",
    "GetFileSystems",
    "GetVirtualMachineByWorldId",
    "VirtualMachine.Kill",
    "ReconfigureSysSwap",
    "Mantle_Syscall:2240",
    "ConfigStore",
    "PldAudit_LogList",
    "Volumes_Request",
};

bool IsFailureCall(const std::string &key) {
  for (const char *call : kFailureCalls) {
    std::string name = call;
    size_t node = name.find(":NODE");
    if (node == std::string::npos) {
      if (key == name) return true;
      continue;
    }
    std::string prefix = name.substr(0, node + 1);
    if (key.compare(0, prefix.size(), prefix) != 0) continue;
    for (uint16_t n = 1; *SysiNodeName(n) != '\0'; ++n)
      if (key.compare(prefix.size(), std::string::npos, SysiNodeName(n)) == 0) return true;
  }
  return false;
}

// One step of the schema: its named members, and what any other key or a
// list's items hold.
struct Member {
  std::map<std::string, Member> named;
  std::unique_ptr<Member> any;   // "NAME", "ID" ...: every key
  bool calls = false;            // "CALL": a failure call's name
  std::unique_ptr<Member> item;  // "[]": each item of a list
};

const Member &Schema() {
  static const Member *root = [] {
    Member *top = new Member;  // lives as long as the process
    for (const std::string member : kMembers) {
      Member *at = top;
      size_t from = 0;
      while (from <= member.size()) {
        size_t dot = member.find('.', from);
        std::string word = member.substr(from, dot == std::string::npos ? dot : dot - from);
        from = dot == std::string::npos ? member.size() + 1 : dot + 1;
        bool list = word.size() > 2 && word.compare(word.size() - 2, 2, "[]") == 0;
        if (list) word.resize(word.size() - 2);
        bool wildcard = word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
        if (!wildcard) {
          at = &at->named[word];
        } else {
          if (!at->any) at->any = std::make_unique<Member>();
          at->calls = at->calls || word == "CALL";
          at = at->any.get();
        }
        if (list) {
          if (!at->item) at->item = std::make_unique<Member>();
          at = at->item.get();
        }
      }
    }
    return top;
  }();
  return *root;
}

// The first unknown key under an object, "" when none; members of another
// type are not looked into (they count as missing).
std::string Unknown(const Json &object, const Member &schema, const std::string &path) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string &key = it.key();
    std::string at = path.empty() ? key : path + "." + key;
    const Member *m = nullptr;
    auto named = schema.named.find(key);
    if (named != schema.named.end())
      m = &named->second;
    else if (schema.any && (!schema.calls || IsFailureCall(key)))
      m = schema.any.get();
    if (m == nullptr) return at + ": unknown key";
    std::string problem;
    if (it->is_object()) {
      problem = Unknown(*it, *m, at);
    } else if (it->is_array() && m->item) {
      for (size_t i = 0; i < it->size() && problem.empty(); ++i)
        if ((*it)[i].is_object())
          problem = Unknown((*it)[i], *m->item, at + "[" + std::to_string(i) + "]");
    }
    if (!problem.empty()) return problem;
  }
  return "";
}

struct Cache {
  std::mutex mutex;
  bool loaded = false;
  struct stat seen {};
  bool existed = false;
  std::shared_ptr<const Json> doc = ShareReleasing(Json::object());
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
    if (!c.loaded || c.existed) c.doc = ShareReleasing(Json::object());
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
  Releasing<Json> parsed(Json::parse(text.str(), nullptr, false));
  Json &doc = *parsed;
  if (doc.is_discarded() || !doc.is_object()) {
    Report("host model %s is not a JSON object; keeping the last good model\n", path.c_str());
    return;
  }
  std::string unknown = UnknownModelKey(doc);
  if (!unknown.empty()) {
    Report("host model %s: %s; keeping the last good model\n", path.c_str(), unknown.c_str());
    return;
  }
  if (const char *problem = StorageModelProblem(doc)) {
    Report("host model %s %s; keeping the last good model\n", path.c_str(), problem);
    return;
  }
  c.doc = ShareReleasing(std::move(doc));
}

}  // namespace

std::string UnknownModelKey(const Json &doc) {
  return doc.is_object() ? Unknown(doc, Schema(), "") : "";
}

std::vector<std::string> ModelMembers() {
  return {std::begin(kMembers), std::end(kMembers)};
}

std::vector<std::string> FailureCalls() {
  return {std::begin(kFailureCalls), std::end(kFailureCalls)};
}

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
  Releasing<nlohmann::ordered_json> owned(std::move(action));
  nlohmann::ordered_json &record = *owned;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  record["time_us"] = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
  std::string line =
      record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
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
