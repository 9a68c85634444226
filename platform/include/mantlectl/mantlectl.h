// Kernel-control classes. Failures throw HostCtl::Lib::HostCtlException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mantlectl/hostctl_exception.h"
#include "pellibs/sysinfo.h"

namespace MantleCtl {
namespace Util {

// One sysinfo request: instance path, inputs, then Get or Set.
class Sysinfo {
 public:
  explicit Sysinfo(Sysi_Node node);
  ~Sysinfo();
  Sysinfo(const Sysinfo &) = delete;
  Sysinfo &operator=(const Sysinfo &) = delete;

  void AddInstancePath(const std::string &component);
  void AddInput(const std::string &value);
  void AddInput(int64_t value);
  void AddInput(uint64_t value);
  void SetInstance(int64_t value);
  void SetInstance(uint64_t value);
  void Get(void *buf, size_t size);
  void Set(void *buf, size_t size);
  void Set();

 private:
  Sysi_Node node_;
  Sysi_ParamList *instance_;
  Sysi_ParamList *input_;
};

}  // namespace Util

namespace Adv {

class AdvancedIntegerOptionImpl {
 public:
  AdvancedIntegerOptionImpl(std::vector<std::string> path, std::string name);
  int64_t GetValue() const;

 private:
  std::vector<std::string> path_;
  std::string name_;
};

}  // namespace Adv

namespace System {

class SwapInfoImpl {
 public:
  void ReconfigureSysSwap(bool first, bool second);
};

}  // namespace System

namespace Storage {

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::string GetVolumeName() const = 0;
  virtual std::string GetUuid() const = 0;
};

class StorageInfoImpl {
 public:
  std::vector<std::unique_ptr<FileSystem>> GetFileSystems() const;
};

}  // namespace Storage

namespace Resource {

class VirtualMachine {
 public:
  virtual ~VirtualMachine() = default;
  virtual std::string GetName() const = 0;
  virtual void Kill(int how) = 0;
};

class ResourceInfoImpl {
 public:
  // Owned by the caller; NULL when no machine has that world id.
  VirtualMachine *GetVirtualMachineByWorldId(int64_t worldId) const;
};

}  // namespace Resource
}  // namespace MantleCtl
