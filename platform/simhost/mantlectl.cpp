// Kernel-control classes over the simulated sysinfo nodes and host model.
#include "mantlectl/mantlectl.h"

#include <cerrno>
#include <cstring>

#include "simhost/failures.h"
#include "simhost/hostmodel.h"
#include "simhost/json_release.h"
#include "simhost/packed.h"

using simhost::Json;

namespace simhost {

void ThrowIfFailing(const std::string &call) {
  std::optional<Json> f = Failure(call);
  if (!f) return;
  int err = EIO;
  std::string detail = "simulated failure of " + call;
  if (f->is_number_integer() && f->get<int64_t>() > 0 && f->get<int64_t>() < 4096) {
    err = f->get<int>();
  } else if (f->is_string()) {
    detail = f->get<std::string>();
  }
  throw HostCtl::Lib::HostCtlException(err, detail);
}

}  // namespace simhost

namespace {

void ThrowStatus(MANTLE_ReturnStatus status, const std::string &what) {
  if (status == MANTLE_OK) return;
  char hex[16];
  snprintf(hex, sizeof hex, "0x%x", status);
  throw HostCtl::Lib::HostCtlException(MANTLE_ReturnStatusToErrno(status),
                                       what + " failed with status " + hex);
}

Sysi_ParamList *NewList() {
  Sysi_ParamList *list = Sysi_ParamListCreate();
  if (list == nullptr) throw std::bad_alloc();
  return list;
}

}  // namespace

namespace MantleCtl {
namespace Util {

Sysinfo::Sysinfo(Sysi_Node node) : node_(node), instance_(NewList()), input_(nullptr) {
  input_ = Sysi_ParamListCreate();
  if (input_ == nullptr) {
    Sysi_ParamListDestroy(instance_);
    throw std::bad_alloc();
  }
}

Sysinfo::~Sysinfo() {
  Sysi_ParamListDestroy(instance_);
  Sysi_ParamListDestroy(input_);
}

void Sysinfo::AddInstancePath(const std::string &component) {
  Sysi_ParamListAddString(instance_, component.c_str());
}
void Sysinfo::AddInput(const std::string &value) {
  Sysi_ParamListAddString(input_, value.c_str());
}
void Sysinfo::AddInput(int64_t value) {
  Sysi_ParamListAddInt(input_, value);
}
void Sysinfo::AddInput(uint64_t value) {
  Sysi_ParamListAddInt(input_, static_cast<int64_t>(value));
}
void Sysinfo::SetInstance(int64_t value) {
  Sysi_ParamListAddInt(instance_, value);
}
void Sysinfo::SetInstance(uint64_t value) {
  Sysi_ParamListAddInt(instance_, static_cast<int64_t>(value));
}

void Sysinfo::Get(void *buf, size_t size) {
  ThrowStatus(Sysi_Get(node_, instance_, buf, size), "Sysinfo get");
}

void Sysinfo::Set(void *buf, size_t size) {
  ThrowStatus(Sysi_Set(node_, instance_, input_, buf, size), "Sysinfo set");
}

void Sysinfo::Set() {
  Set(nullptr, 0);
}

}  // namespace Util

namespace Adv {

AdvancedIntegerOptionImpl::AdvancedIntegerOptionImpl(std::vector<std::string> path,
                                                     std::string name)
    : path_(std::move(path)), name_(std::move(name)) {}

int64_t AdvancedIntegerOptionImpl::GetValue() const {
  std::string group;
  for (const std::string &part : path_) group += (group.empty() ? "" : "/") + part;
  Util::Sysinfo request(Sysi_NODE_config_intOpts);
  request.AddInstancePath(group);
  request.AddInstancePath(name_);
  uint8_t reply[SYSI_INTOPT_REPLY_SIZE];
  request.Get(reply, sizeof reply);
  return static_cast<int64_t>(simhost::LoadU64(reply + 24));
}

}  // namespace Adv

namespace System {

void SwapInfoImpl::ReconfigureSysSwap(bool first, bool second) {
  simhost::ThrowIfFailing("ReconfigureSysSwap");
  simhost::RecordAction({{"action", "swap_reconfigure"}, {"args", {first, second}}});
}

}  // namespace System

namespace Storage {
namespace {

class ModelFileSystem : public FileSystem {
 public:
  explicit ModelFileSystem(Json entry) : entry_(std::move(entry)) {}
  ~ModelFileSystem() override { simhost::EmptyForRelease(entry_); }
  std::string GetVolumeName() const override { return Text("volume"); }
  std::string GetUuid() const override { return Text("uuid"); }

 private:
  std::string Text(const char *key) const {
    auto it = entry_.find(key);
    if (it == entry_.end() || !it->is_string())
      throw HostCtl::Lib::HostCtlException(ENOENT, std::string("file system has no ") + key);
    return it->get<std::string>();
  }
  Json entry_;
};

}  // namespace

std::vector<std::unique_ptr<FileSystem>> StorageInfoImpl::GetFileSystems() const {
  simhost::ThrowIfFailing("GetFileSystems");
  std::vector<std::unique_ptr<FileSystem>> out;
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *list = simhost::Find(*doc, {"file_systems"});
  if (list != nullptr && list->is_array()) {
    for (const Json &entry : *list)
      if (entry.is_object()) out.push_back(std::make_unique<ModelFileSystem>(entry));
  }
  return out;
}

}  // namespace Storage

namespace Resource {
namespace {

class ModelVirtualMachine : public VirtualMachine {
 public:
  ModelVirtualMachine(int64_t worldId, std::string name) : worldId_(worldId), name_(name) {}
  std::string GetName() const override { return name_; }
  void Kill(int how) override {
    simhost::ThrowIfFailing("VirtualMachine.Kill");
    simhost::RecordAction(
        {{"action", "vm_kill"}, {"world_id", worldId_}, {"name", name_}, {"how", how}});
  }

 private:
  int64_t worldId_;
  std::string name_;
};

}  // namespace

VirtualMachine *ResourceInfoImpl::GetVirtualMachineByWorldId(int64_t worldId) const {
  simhost::ThrowIfFailing("GetVirtualMachineByWorldId");
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *name = simhost::Find(*doc, {"vms", std::to_string(worldId), "name"});
  if (name == nullptr || !name->is_string()) return nullptr;
  return new ModelVirtualMachine(worldId, name->get<std::string>());
}

}  // namespace Resource
}  // namespace MantleCtl
