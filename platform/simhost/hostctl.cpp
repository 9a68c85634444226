// Host-control object model answered from the host model.
#include "mantlectl/hostctl.h"

#include <cerrno>

#include "simhost/failures.h"
#include "simhost/hostmodel.h"

using simhost::Json;

namespace HostCtl {
namespace {

std::string TextOr(const Json &obj, const char *key, const std::string &fallback) {
  auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : fallback;
}

class ModelPartition : public Storage::DiskLunPartition {
 public:
  explicit ModelPartition(uint8_t number) : number_(number) {}
  uint8_t GetNumber() const override { return number_; }

 private:
  uint8_t number_;
};

class ModelDiskLun : public Storage::DiskLun {
 public:
  ModelDiskLun(std::string name, uint32_t redundancy, const std::vector<uint8_t> &numbers)
      : name_(std::move(name)), redundancy_(redundancy) {
    for (uint8_t n : numbers) partitions_.push_back(new ModelPartition(n));
  }
  ~ModelDiskLun() override {
    for (Storage::DiskLunPartition *p : partitions_) delete p;
  }
  std::string GetName() const override { return name_; }
  uint32_t GetRedundancyState() const override { return redundancy_; }
  const std::vector<Storage::DiskLunPartition *> &GetPartitions() const override {
    return partitions_;
  }

 private:
  std::string name_;
  uint32_t redundancy_;
  std::vector<Storage::DiskLunPartition *> partitions_;
};

class ModelLun : public Storage::Lun {
 public:
  ModelLun(std::string name, uint32_t redundancy)
      : name_(std::move(name)), redundancy_(redundancy) {}
  std::string GetName() const override { return name_; }
  uint32_t GetRedundancyState() const override { return redundancy_; }

 private:
  std::string name_;
  uint32_t redundancy_;
};

class ModelPath : public Storage::Path {
 public:
  ModelPath(std::string name, std::string device)
      : name_(std::move(name)), device_(std::move(device)) {}
  std::string GetName() const override { return name_; }
  std::string GetDeviceName() const override { return device_; }

 private:
  std::string name_;
  std::string device_;
};

class ModelStorageInfo : public Storage::StorageInfo {
 public:
  Storage::Lun *GetLun(const std::string &name, bool) const override {
    simhost::ThrowIfFailing("GetLun");
    std::shared_ptr<const Json> doc = simhost::Model();
    const Json *lun = simhost::Find(*doc, {"storage", "luns", name});
    if (lun == nullptr || !lun->is_object()) return nullptr;
    uint32_t redundancy = 0;
    auto r = lun->find("redundancy");
    if (r != lun->end() && r->is_number_unsigned()) redundancy = r->get<uint32_t>();
    auto disk = lun->find("disk");
    if (disk == lun->end() || !disk->is_boolean() || !disk->get<bool>())
      return new ModelLun(name, redundancy);
    std::vector<uint8_t> numbers;
    auto parts = lun->find("partitions");
    if (parts != lun->end() && parts->is_array()) {
      for (const Json &p : *parts)
        if (p.is_number_unsigned()) numbers.push_back(p.get<uint8_t>());
    }
    return new ModelDiskLun(name, redundancy, numbers);
  }

  Storage::Path *GetPath(const std::string &name) const override {
    simhost::ThrowIfFailing("GetPath");
    std::shared_ptr<const Json> doc = simhost::Model();
    const Json *path = simhost::Find(*doc, {"storage", "paths", name});
    if (path == nullptr || !path->is_object()) return nullptr;
    return new ModelPath(name, TextOr(*path, "device", ""));
  }
};

class ModelHost : public Host {
 public:
  Storage::StorageInfo *GetStorageInfo() const override {
    simhost::ThrowIfFailing("GetStorageInfo");
    return new ModelStorageInfo;
  }
};

class ModelPortGroup : public Network::PortGroup {
 public:
  ModelPortGroup(std::string name, std::string switchName)
      : name_(std::move(name)), switch_(std::move(switchName)) {}
  std::string GetName() const override { return name_; }
  std::string GetVirtualSwitchName() const override {
    simhost::ThrowIfFailing("PortGroup.GetVirtualSwitchName");
    return switch_;
  }

 private:
  std::string name_;
  std::string switch_;
};

}  // namespace

Host *HostFactory::GetHost() {
  simhost::ThrowIfFailing("GetHost");
  return new ModelHost;
}

namespace Network {

PortGroup *NetworkFactory::GetPortGroupByName(const std::string &name) {
  simhost::ThrowIfFailing("GetPortGroupByName");
  std::shared_ptr<const Json> doc = simhost::Model();
  const Json *pg = simhost::Find(*doc, {"port_groups", name});
  if (pg == nullptr || !pg->is_object()) return nullptr;
  return new ModelPortGroup(name, TextOr(*pg, "switch", ""));
}

}  // namespace Network
}  // namespace HostCtl
