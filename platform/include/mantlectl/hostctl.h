// Host-control object model. Objects returned by pointer belong to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mantlectl/hostctl_exception.h"

namespace HostCtl {
namespace Storage {

class Lun {
 public:
  virtual ~Lun() = default;
  virtual std::string GetName() const = 0;
  virtual uint32_t GetRedundancyState() const = 0;
};

class DiskLunPartition {
 public:
  virtual ~DiskLunPartition() = default;
  virtual uint8_t GetNumber() const = 0;
};

class DiskLun : public Lun {
 public:
  // The list owns its partitions.
  virtual const std::vector<DiskLunPartition *> &GetPartitions() const = 0;
};

class Path {
 public:
  virtual ~Path() = default;
  virtual std::string GetName() const = 0;
  virtual std::string GetDeviceName() const = 0;
};

class StorageInfo {
 public:
  virtual ~StorageInfo() = default;
  virtual Lun *GetLun(const std::string &name, bool includeDetails) const = 0;
  virtual Path *GetPath(const std::string &name) const = 0;
};

}  // namespace Storage

class Host {
 public:
  virtual ~Host() = default;
  virtual Storage::StorageInfo *GetStorageInfo() const = 0;
};

class HostFactory {
 public:
  static Host *GetHost();
};

namespace Network {

class PortGroup {
 public:
  virtual ~PortGroup() = default;
  virtual std::string GetName() const = 0;
  virtual std::string GetVirtualSwitchName() const = 0;
};

class NetworkFactory {
 public:
  // NULL when no port group has that name.
  static PortGroup *GetPortGroupByName(const std::string &name);
};

}  // namespace Network
}  // namespace HostCtl
