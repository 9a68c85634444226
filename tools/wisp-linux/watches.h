// The live kernel's storage and hardware sources: device events and the
// kernel log for storage, the machine-check tracepoints for hardware.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event.h"
#include "kernel.h"
#include "storage.h"

namespace wisplinux {

class StorageWatch {
 public:
  explicit StorageWatch(uint64_t startUs);
  ~StorageWatch();
  StorageWatch(const StorageWatch &) = delete;
  StorageWatch &operator=(const StorageWatch &) = delete;

  // The block devices as they are at start.
  void Initial(std::vector<Event> *out);
  std::vector<int> Fds() const;
  void Read(int fd, std::vector<Event> *out);
  FamilyStatus Status() const { return status_; }
  uint64_t KmsgLost() const { return kmsgLost_; }

 private:
  void ReadUevents(std::vector<Event> *out);
  void ReadKmsg(std::vector<Event> *out);
  void Rescan(std::vector<Event> *out, bool always);
  Event Make(Event::Kind kind) const;

  uint64_t start_;
  int uevents_ = -1, kmsg_ = -1;
  uint64_t kmsgLost_ = 0;
  StorageInventory last_;
  FamilyStatus status_;
};

class HardwareWatch {
 public:
  explicit HardwareWatch(uint64_t startUs);
  ~HardwareWatch();
  HardwareWatch(const HardwareWatch &) = delete;
  HardwareWatch &operator=(const HardwareWatch &) = delete;

  std::vector<int> Fds() const;
  void Read(int fd, std::vector<Event> *out);
  FamilyStatus Status() const { return status_; }

 private:
  uint64_t start_;
  std::string instance_;  // our own tracing instance, removed at the end
  int pipe_ = -1;
  std::string partial_;
  FamilyStatus status_;
};

}  // namespace wisplinux
