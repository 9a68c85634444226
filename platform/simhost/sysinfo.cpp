// Sysinfo nodes answered from the host model.
#include "pellibs/sysinfo.h"

#include <errno.h>
#include <string.h>

#include <cstdio>
#include <new>

#include "simhost/cpu_memory.h"
#include "simhost/hostmodel.h"
#include "simhost/packed.h"
#include "simhost/sysi_params.h"

using simhost::Json;

extern "C" {
const Sysi_Node Sysi_NODE_config_intOpts = 1;
const Sysi_Node Sysi_NODE_system_systemUuid = 2;
const Sysi_Node Sysi_NODE_hardware_cpu_cpuInfo = 3;
const Sysi_Node Sysi_NODE_hardware_cpu_cpuList = 4;
const Sysi_Node Sysi_NODE_net_pNics_linkFlapping = 5;
const Sysi_Node Sysi_NODE_sched_offline_enabled = 6;
const Sysi_Node Sysi_NODE_sched_pcpus_offline = 7;
const Sysi_Node Sysi_NODE_system_ntpclock_wispReportInterval = 8;
const Sysi_Node Sysi_NODE_system_pageRetire_MPNStatus = 9;
const Sysi_Node Sysi_NODE_system_pageRetire_retireMPNs = 10;
const Sysi_Node Sysi_NODE_system_pageRetire_threshold = 11;
const Sysi_Node Sysi_NODE_vm_vmmGroupInfo = 12;
}

namespace simhost {

const char *SysiNodeName(Sysi_Node node) {
  static const char *const names[] = {
      "",
      "config_intOpts",
      "system_systemUuid",
      "hardware_cpu_cpuInfo",
      "hardware_cpu_cpuList",
      "net_pNics_linkFlapping",
      "sched_offline_enabled",
      "sched_pcpus_offline",
      "system_ntpclock_wispReportInterval",
      "system_pageRetire_MPNStatus",
      "system_pageRetire_retireMPNs",
      "system_pageRetire_threshold",
      "vm_vmmGroupInfo",
  };
  return node < sizeof names / sizeof names[0] ? names[node] : "";
}

}  // namespace simhost

namespace {

// The build date this daemon's sysinfo interface was made for.
constexpr char kOwnBuildDate[] = "2026-11-30 08:00:00";

// A failure asked for by the model: its status, or 0.
MANTLE_ReturnStatus FailStatus(const char *call, Sysi_Node node) {
  std::optional<Json> f = simhost::Failure(std::string(call) + ":" + simhost::SysiNodeName(node));
  if (!f) return MANTLE_OK;
  if (f->is_number_unsigned() || f->is_number_integer()) {
    uint64_t v = f->get<uint64_t>();
    if (v != 0 && v <= 0xffffffffu) return static_cast<MANTLE_ReturnStatus>(v);
  }
  return MANTLE_FAILURE;
}

bool StringParam(const Sysi_ParamList *list, size_t i, std::string *out) {
  if (list == nullptr || i >= list->params.size()) return false;
  const std::string *s = std::get_if<std::string>(&list->params[i]);
  if (s == nullptr) return false;
  *out = *s;
  return true;
}

bool IntParam(const Sysi_ParamList *list, size_t i, int64_t *out) {
  if (list == nullptr || i >= list->params.size()) return false;
  const int64_t *v = std::get_if<int64_t>(&list->params[i]);
  if (v == nullptr) return false;
  *out = *v;
  return true;
}

void Fill(void *out, size_t size, const void *data, size_t len) {
  if (out == nullptr) return;
  memset(out, 0, size);
  memcpy(out, data, len < size ? len : size);
}

// Reply layout: min, max, default, current (int64 each), then the name.
MANTLE_ReturnStatus GetIntOpt(const Sysi_ParamList *inst, void *out, size_t size) {
  std::string group, name;
  if (!StringParam(inst, 0, &group) || !StringParam(inst, 1, &name)) return MANTLE_BAD_PARAM;
  std::optional<int64_t> v = simhost::Option(group, name);
  if (!v) return MANTLE_NOT_FOUND;
  uint8_t reply[SYSI_INTOPT_REPLY_SIZE] = {};
  simhost::StoreU64(reply + 8, static_cast<uint64_t>(INT64_MAX));
  simhost::StoreU64(reply + 16, static_cast<uint64_t>(*v));
  simhost::StoreU64(reply + 24, static_cast<uint64_t>(*v));
  snprintf(reinterpret_cast<char *>(reply + 32), 256, "/%s/%s", group.c_str(), name.c_str());
  Fill(out, size, reply, sizeof reply);
  return MANTLE_OK;
}

MANTLE_ReturnStatus SetIntOpt(const Sysi_ParamList *inst, const Sysi_ParamList *input) {
  std::string group, name;
  int64_t value;
  if (!StringParam(inst, 0, &group) || !StringParam(inst, 1, &name) || !IntParam(input, 0, &value))
    return MANTLE_BAD_PARAM;
  simhost::SetOption(group, name, value);
  simhost::RecordAction(
      {{"action", "set_option"}, {"group", group}, {"name", name}, {"value", value}});
  return MANTLE_OK;
}

// Bytes 0-15 the binary UUID, 16-53 its text, NUL-padded.
MANTLE_ReturnStatus GetUuid(void *out, size_t size) {
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *u = simhost::Find(*doc, {"system", "uuid"});
  if (u == nullptr || !u->is_string()) return MANTLE_NOT_FOUND;
  std::string text = u->get<std::string>();
  uint8_t value[SYSI_UUID_SIZE] = {};
  size_t b = 0;
  for (size_t i = 0; i + 1 < text.size() && b < 16; ++i) {
    if (text[i] == '-') continue;
    unsigned byte;
    if (sscanf(text.c_str() + i, "%2x", &byte) != 1) break;
    value[b++] = static_cast<uint8_t>(byte);
    ++i;
  }
  memcpy(value + 16, text.data(), text.size() < 37 ? text.size() : 37);
  Fill(out, size, value, sizeof value);
  return MANTLE_OK;
}

MANTLE_ReturnStatus SetLinkFlapping(const Sysi_ParamList *inst, const Sysi_ParamList *input) {
  std::string nic;
  int64_t value;
  if (!StringParam(inst, 0, &nic) || !IntParam(input, 0, &value)) return MANTLE_BAD_PARAM;
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *nics = simhost::Find(*doc, {"nics"});
  if (nics != nullptr && nics->is_object() && !nics->contains(nic)) return MANTLE_NOT_FOUND;
  simhost::RecordAction({{"action", "nic_down"}, {"nic", nic}, {"value", value}});
  return MANTLE_OK;
}

// The VM's display name at offset 388 of a 3396-byte record.
MANTLE_ReturnStatus GetVmmGroup(const Sysi_ParamList *inst, void *out, size_t size) {
  int64_t group;
  if (!IntParam(inst, 0, &group)) return MANTLE_BAD_PARAM;
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *name = simhost::Find(*doc, {"vm_groups", std::to_string(group), "name"});
  if (name == nullptr || !name->is_string()) return MANTLE_NOT_FOUND;
  std::string text = name->get<std::string>();
  uint8_t record[SYSI_VMM_GROUP_INFO_SIZE] = {};
  simhost::StoreU64(record, static_cast<uint64_t>(group));
  memcpy(record + 388, text.data(), text.size() < 255 ? text.size() : 255);
  Fill(out, size, record, sizeof record);
  return MANTLE_OK;
}

MANTLE_ReturnStatus GetReportInterval(void *out, size_t size) {
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *v = simhost::Find(*doc, {"clock", "wisp_report_interval"});
  if (v == nullptr || !v->is_number_integer()) return MANTLE_NOT_FOUND;
  int32_t seconds = v->get<int32_t>();
  Fill(out, size, &seconds, sizeof seconds);
  return MANTLE_OK;
}

}  // namespace

extern "C" int MANTLE_ReturnStatusToErrno(MANTLE_ReturnStatus status) {
  switch (status) {
    case MANTLE_OK:
      return 0;
    case MANTLE_WOULD_BLOCK:
      return EAGAIN;
    case MANTLE_NOT_FOUND:
      return ENOENT;
    case MANTLE_BUSY:
      return EBUSY;
    case MANTLE_EXISTS:
      return EEXIST;
    case MANTLE_LIMIT_EXCEEDED:
      return ENOSPC;
    case MANTLE_BAD_PARAM:
      return EINVAL;
    case MANTLE_NO_PERMISSION:
      return EPERM;
    case MANTLE_NO_MEMORY:
      return ENOMEM;
    case MANTLE_NOT_SUPPORTED:
      return ENOTSUP;
    default:
      return EIO;
  }
}

extern "C" Sysi_ParamList *Sysi_ParamListCreate(void) {
  return new (std::nothrow) Sysi_ParamList;
}

extern "C" MANTLE_ReturnStatus Sysi_ParamListAddString(Sysi_ParamList *list, const char *value) {
  if (list == nullptr || value == nullptr) return MANTLE_BAD_PARAM;
  list->params.emplace_back(std::string(value));
  return MANTLE_OK;
}

extern "C" MANTLE_ReturnStatus Sysi_ParamListAddInt(Sysi_ParamList *list, int64_t value) {
  if (list == nullptr) return MANTLE_BAD_PARAM;
  list->params.emplace_back(value);
  return MANTLE_OK;
}

extern "C" int Sysi_ParamListNumInstances(const Sysi_ParamList *list) {
  return list != nullptr ? static_cast<int>(list->params.size()) : 0;
}

extern "C" void Sysi_ParamListRemoveLastParam(Sysi_ParamList *list) {
  if (list != nullptr && !list->params.empty()) list->params.pop_back();
}

extern "C" void Sysi_ParamListDestroy(Sysi_ParamList *list) {
  delete list;
}

extern "C" MANTLE_ReturnStatus Sysi_Get(Sysi_Node node, const Sysi_ParamList *instance, void *out,
                                        size_t size) {
  if (MANTLE_ReturnStatus f = FailStatus("Sysi_Get", node)) return f;
  if (node == Sysi_NODE_config_intOpts) return GetIntOpt(instance, out, size);
  if (node == Sysi_NODE_system_systemUuid) return GetUuid(out, size);
  if (node == Sysi_NODE_vm_vmmGroupInfo) return GetVmmGroup(instance, out, size);
  if (node == Sysi_NODE_system_ntpclock_wispReportInterval) return GetReportInterval(out, size);
  MANTLE_ReturnStatus status;
  if (simhost::CpuMemoryGet(node, instance, out, size, &status)) return status;
  return MANTLE_NOT_SUPPORTED;
}

extern "C" MANTLE_ReturnStatus Sysi_Set(Sysi_Node node, const Sysi_ParamList *instance,
                                        const Sysi_ParamList *input, void *out, size_t size) {
  if (MANTLE_ReturnStatus f = FailStatus("Sysi_Set", node)) return f;
  if (out != nullptr) memset(out, 0, size);
  if (node == Sysi_NODE_config_intOpts) return SetIntOpt(instance, input);
  if (node == Sysi_NODE_net_pNics_linkFlapping) return SetLinkFlapping(instance, input);
  MANTLE_ReturnStatus status;
  if (simhost::CpuMemorySet(node, instance, input, out, size, &status)) return status;
  return MANTLE_NOT_SUPPORTED;
}

extern "C" int Sysi_CheckSig(char *kernelDate, size_t size, const char **ownDate) {
  if (ownDate != nullptr) *ownDate = kOwnBuildDate;
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *d = simhost::Find(*doc, {"kernel", "build_date"});
  std::string kernel = d != nullptr && d->is_string() ? d->get<std::string>() : kOwnBuildDate;
  if (kernelDate != nullptr && size > 0) {
    size_t n = kernel.size() < size ? kernel.size() : size;
    memcpy(kernelDate, kernel.data(), n);
    if (n < size) kernelDate[n] = '\0';
  }
  return kernel == kOwnBuildDate ? 0 : 1;
}
