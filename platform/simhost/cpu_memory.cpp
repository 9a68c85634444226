// Processor and memory nodes answered from the host model's "cpu" and
// "memory" members; offlining and retirement are journalled.
#include "simhost/cpu_memory.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/hostmodel.h"
#include "simhost/packed.h"
#include "simhost/sysi_params.h"

namespace simhost {
namespace {

enum : size_t {
  kCpuInfoSize = 40,
  kCpuInfoCores = 24,
  kCpuInfoPcpus = 28,
  kCpuListSize = 120,
  kCpuListVendor = 24,
};

// What the kernel answers when the model does not say.
constexpr uint64_t kDefaultSelectionThreshold = 1000;
struct DefaultOption {
  const char *group;
  const char *name;
  int64_t value;
};
const DefaultOption kDefaultOptions[] = {
    {"PageRetire", "ThresholdInterval", 10},
    {"PageRetire", "ApeiLoggingEnabled", 0},
};

// A non-negative integer member that fits 32 bits, else nothing.
bool Count(const Json *v, uint32_t *out) {
  if (v == nullptr || !v->is_number_integer()) return false;
  int64_t n = v->get<int64_t>();
  if (n < 0 || n > 0xffffffffLL) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

bool IntAt(const Sysi_ParamList *list, size_t i, int64_t *out) {
  if (list == nullptr || i >= list->params.size()) return false;
  const int64_t *v = std::get_if<int64_t>(&list->params[i]);
  if (v == nullptr) return false;
  *out = *v;
  return true;
}

bool StringAt(const Sysi_ParamList *list, size_t i, std::string *out) {
  if (list == nullptr || i >= list->params.size()) return false;
  const std::string *v = std::get_if<std::string>(&list->params[i]);
  if (v == nullptr) return false;
  *out = *v;
  return true;
}

void Fill(void *out, size_t size, const void *data, size_t len) {
  if (out == nullptr) return;
  memset(out, 0, size);
  memcpy(out, data, len < size ? len : size);
}

// Pages retired during this run, per root, so one process can serve
// several private roots.
std::mutex gRetiredLock;
std::map<std::string, std::set<uint64_t>> gRetired;

std::string RootKey() {
  return pelldan::RootPath(pelldan::kHostActions);
}

bool ModelRetired(uint64_t page) {
  std::shared_ptr<const Json> doc = Model();
  const Json *list = Find(*doc, {"memory", "retired_pages"});
  if (list == nullptr || !list->is_array()) return false;
  for (const Json &p : *list)
    if (p.is_number_unsigned() && p.get<uint64_t>() == page) return true;
  return false;
}

MANTLE_ReturnStatus GetCpuInfo(void *out, size_t size) {
  std::shared_ptr<const Json> doc = Model();
  uint32_t cores, pcpus;
  if (!Count(Find(*doc, {"cpu", "cores"}), &cores) || !Count(Find(*doc, {"cpu", "pcpus"}), &pcpus))
    return MANTLE_NOT_FOUND;
  uint8_t record[kCpuInfoSize] = {};
  StoreU32(record + kCpuInfoCores, cores);
  StoreU32(record + kCpuInfoPcpus, pcpus);
  Fill(out, size, record, sizeof record);
  return MANTLE_OK;
}

MANTLE_ReturnStatus GetCpuList(const Sysi_ParamList *instance, void *out, size_t size) {
  int64_t cpu;
  if (!IntAt(instance, 0, &cpu)) return MANTLE_BAD_PARAM;
  std::shared_ptr<const Json> doc = Model();
  const Json *vendor = Find(*doc, {"cpu", "vendor"});
  uint32_t pcpus = 1;
  Count(Find(*doc, {"cpu", "pcpus"}), &pcpus);
  if (vendor == nullptr || !vendor->is_string() || cpu < 0 || cpu >= pcpus) return MANTLE_NOT_FOUND;
  std::string text = vendor->get<std::string>();
  uint8_t entry[kCpuListSize] = {};
  StoreU32(entry, static_cast<uint32_t>(cpu));
  memcpy(entry + kCpuListVendor, text.data(),
         text.size() < kCpuListSize - kCpuListVendor - 1 ? text.size()
                                                         : kCpuListSize - kCpuListVendor - 1);
  Fill(out, size, entry, sizeof entry);
  return MANTLE_OK;
}

MANTLE_ReturnStatus GetOfflineEnabled(void *out, size_t size) {
  std::shared_ptr<const Json> doc = Model();
  const Json *v = Find(*doc, {"cpu", "offline_enabled"});
  uint8_t flag;
  if (v != nullptr && v->is_boolean()) {
    flag = v->get<bool>() ? 1 : 0;
  } else if (v != nullptr && v->is_number_integer()) {
    flag = v->get<int64_t>() != 0 ? 1 : 0;
  } else {
    return MANTLE_NOT_FOUND;
  }
  Fill(out, size, &flag, sizeof flag);
  return MANTLE_OK;
}

MANTLE_ReturnStatus GetSelectionThreshold(void *out, size_t size) {
  std::shared_ptr<const Json> doc = Model();
  const Json *v = Find(*doc, {"memory", "selection_threshold"});
  uint64_t threshold =
      v != nullptr && v->is_number_unsigned() ? v->get<uint64_t>() : kDefaultSelectionThreshold;
  Fill(out, size, &threshold, sizeof threshold);
  return MANTLE_OK;
}

MANTLE_ReturnStatus OfflineCpu(const Sysi_ParamList *instance) {
  int64_t cpu;
  if (!IntAt(instance, 0, &cpu) || cpu < 0) return MANTLE_BAD_PARAM;
  std::shared_ptr<const Json> doc = Model();
  uint32_t pcpus;
  if (Count(Find(*doc, {"cpu", "pcpus"}), &pcpus) && cpu >= pcpus) return MANTLE_NOT_FOUND;
  RecordAction({{"action", "cpu_offline"}, {"cpu", cpu}});
  return MANTLE_OK;
}

// 16-bit status: 1 once the page is retired, 0 before.
MANTLE_ReturnStatus PageStatus(const Sysi_ParamList *input, void *out, size_t size) {
  int64_t page;
  if (!IntAt(input, 0, &page)) return MANTLE_BAD_PARAM;
  uint16_t status = ModelRetired(static_cast<uint64_t>(page)) ? 1 : 0;
  {
    std::lock_guard<std::mutex> lock(gRetiredLock);
    auto it = gRetired.find(RootKey());
    if (it != gRetired.end() && it->second.count(static_cast<uint64_t>(page)) != 0) status = 1;
  }
  uint8_t reply[4] = {};
  memcpy(reply, &status, sizeof status);
  Fill(out, size, reply, sizeof reply);
  return MANTLE_OK;
}

MANTLE_ReturnStatus RetirePage(const Sysi_ParamList *input) {
  int64_t page, count;
  std::string mode;
  if (!IntAt(input, 0, &page) || !IntAt(input, 1, &count) || !StringAt(input, 2, &mode))
    return MANTLE_BAD_PARAM;
  {
    std::lock_guard<std::mutex> lock(gRetiredLock);
    gRetired[RootKey()].insert(static_cast<uint64_t>(page));
  }
  RecordAction({{"action", "page_retire"},
                {"page", static_cast<uint64_t>(page)},
                {"count", count},
                {"mode", mode}});
  return MANTLE_OK;
}

}  // namespace

std::optional<int64_t> KernelDefaultOption(const std::string &group, const std::string &name) {
  for (const DefaultOption &d : kDefaultOptions)
    if (group == d.group && name == d.name) return d.value;
  return std::nullopt;
}

bool CpuMemoryGet(Sysi_Node node, const Sysi_ParamList *instance, void *out, size_t size,
                  MANTLE_ReturnStatus *status) {
  if (node == Sysi_NODE_hardware_cpu_cpuInfo) {
    *status = GetCpuInfo(out, size);
  } else if (node == Sysi_NODE_hardware_cpu_cpuList) {
    *status = GetCpuList(instance, out, size);
  } else if (node == Sysi_NODE_sched_offline_enabled) {
    *status = GetOfflineEnabled(out, size);
  } else if (node == Sysi_NODE_system_pageRetire_threshold) {
    *status = GetSelectionThreshold(out, size);
  } else {
    return false;
  }
  return true;
}

bool CpuMemorySet(Sysi_Node node, const Sysi_ParamList *instance, const Sysi_ParamList *input,
                  void *out, size_t size, MANTLE_ReturnStatus *status) {
  if (node == Sysi_NODE_sched_pcpus_offline) {
    *status = OfflineCpu(instance);
  } else if (node == Sysi_NODE_system_pageRetire_MPNStatus) {
    *status = PageStatus(input, out, size);
  } else if (node == Sysi_NODE_system_pageRetire_retireMPNs) {
    *status = RetirePage(input);
  } else {
    return false;
  }
  return true;
}

}  // namespace simhost
