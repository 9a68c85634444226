// The system's block devices as the daemon's storage correlators see them:
// multipath maps are devices whose member disks are their paths, a SCSI disk
// outside a map is a device with one path (itself), and mounted file systems
// are the datastores of the partitions they are on.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "kmsg.h"
#include "observations.h"
#include "uevent.h"

namespace wisplinux {

struct Partition {
  int number = 0;
  std::string dev;  // "major:minor"
  bool operator==(const Partition &o) const { return number == o.number && dev == o.dev; }
};

struct Disk {
  std::string dev;                              // "major:minor"
  std::string scsi;                             // "host:channel:target:lun", or empty
  std::vector<std::string> paths;               // a multipath map's member disks
  std::map<std::string, Partition> partitions;  // by name
  bool operator==(const Disk &o) const {
    return dev == o.dev && scsi == o.scsi && paths == o.paths && partitions == o.partitions;
  }
};

// Read from sysfs by the live kernel, kept in captures as JSON.
struct StorageInventory {
  std::map<std::string, Disk> disks;          // by kernel name, maps by their own name
  std::map<std::string, std::string> mounts;  // "major:minor" -> mount point
  std::map<std::string, std::string> uuids;   // "major:minor" -> file system UUID
  bool operator==(const StorageInventory &o) const {
    return disks == o.disks && mounts == o.mounts && uuids == o.uuids;
  }
};

nlohmann::json InventoryToJson(const StorageInventory &inventory);
bool InventoryFromJson(const nlohmann::json &j, StorageInventory *out, std::string *why);

struct StorageConfig {
  // I/O error lines of one device within the window that make "too many".
  int ioErrorLines = 10;
  int ioErrorWindowS = 60;
};

class StorageTable {
 public:
  explicit StorageTable(StorageConfig config) : config_(config) {}

  void SetInventory(StorageInventory inventory);
  const StorageInventory &Inventory() const { return inventory_; }
  // A multipath map's path event; false when the event is none of those.
  bool Uevent(const Uevent &event, uint64_t atUs, std::vector<Observation> *out);
  // A kernel log record; false when no row matched it. ios: the requests
  // the named device had completed when the record was read (0: unknown).
  bool Kmsg(const KmsgRecord &record, uint64_t ios, uint64_t atUs, std::vector<Observation> *out);

  // The host model's "storage" and "file_systems" members.
  nlohmann::json ModelStorage() const;
  nlohmann::json ModelFileSystems() const;
  // Changes whenever what the two above say may have changed.
  uint64_t Generation() const { return generation_; }

 private:
  struct IoWindow {
    uint64_t startUs = 0, iosAtStart = 0;
    int lines = 0;
    bool told = false;
  };
  // The disk a kernel name, "major:minor" or SCSI address stands for.
  std::string DiskOf(const std::string &name) const;
  std::string MapOf(const std::string &disk) const;
  bool IsPath(const std::string &disk) const;
  void PathState(const std::string &path, const char *state, std::vector<Observation> *out);
  void IoError(const std::string &disk, uint64_t ios, uint64_t atUs, std::vector<Observation> *out);
  int ValidPaths(const std::string &device) const;

  StorageConfig config_;
  StorageInventory inventory_;
  std::map<std::string, std::string> pathState_;  // "on" or "dead"
  std::map<std::string, int> validPaths_;         // maps, as the kernel last said
  std::map<std::string, uint64_t> allPathsDownUs_;
  std::map<std::string, IoWindow> ioErrors_;
  uint64_t generation_ = 0;
};

// The device a block-layer error line names ("... error, dev sdb, sector
// ..."); false for other lines.
bool IoErrorDevice(const std::string &text, std::string *device);

}  // namespace wisplinux
