#include "correlators/wispdStorageLookup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <set>

#include "mantlectl/hostctl.h"
#include "mantlectl/mantlectl.h"
#include "pelldan/root.h"
#include "pellibs/volumes.h"

namespace {

const char kVolumesDir[] = "/cairn/volumes/";
enum { kDerivedMax = 1024 };

// The volumes directory, closed on every way out.
class Dir {
 public:
  Dir() : fd_(open(pelldan::RootPath(kVolumesDir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~Dir() {
    if (fd_ >= 0) close(fd_);
  }
  Dir(const Dir &) = delete;
  Dir &operator=(const Dir &) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::unique_ptr<HostCtl::Storage::StorageInfo> StorageInfo() {
  std::unique_ptr<HostCtl::Host> host(HostCtl::HostFactory::GetHost());
  if (!host) return nullptr;
  return std::unique_ptr<HostCtl::Storage::StorageInfo>(host->GetStorageInfo());
}

bool IsFlag(char c) {
  return c == ' ' || c == '#' || c == '+' || c == '-' || c == '0';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool Storage_AffectedDatastores(const std::string &device, std::string *list) {
  list->clear();
  Dir dir;
  if (dir.fd() < 0) return false;
  std::unique_ptr<HostCtl::Storage::StorageInfo> info = StorageInfo();
  if (!info) return false;
  std::unique_ptr<HostCtl::Storage::Lun> lun(info->GetLun(device, true));
  const auto *disk = dynamic_cast<const HostCtl::Storage::DiskLun *>(lun.get());
  if (disk == nullptr || disk->GetPartitions().empty()) return false;
  std::set<std::string> seen;
  std::string out;
  for (const HostCtl::Storage::DiskLunPartition *partition : disk->GetPartitions()) {
    unsigned number = 0;
    try {
      number = partition->GetNumber();
    } catch (const HostCtl::Lib::HostCtlException &) {
      continue;
    }
    if (number == 0) continue;
    VolumeNameRequest req;
    memset(&req, 0, sizeof req);
    snprintf(req.partition, sizeof req.partition, "%s:%d", device.c_str(), number);
    req.partition[sizeof req.partition - 1] = '\0';
    if (Volumes_Request(dir.fd(), VOLUMES_REQUEST_VOLUME_NAME, &req) != 0) {
      if (errno == ENOENT) continue;  // no datastore on this partition
      return false;
    }
    req.volume[sizeof req.volume - 1] = '\0';
    if (!seen.insert(req.volume).second) continue;
    if (!out.empty()) out += ", ";
    out += '"';
    out += req.volume;
    out += '"';
  }
  if (seen.empty()) return false;
  *list = out;
  return true;
}

std::string Storage_DatastoresOrUnknown(const char *device) {
  std::string list;
  if (device == nullptr || !Storage_AffectedDatastores(device, &list)) return "Unknown";
  return list;
}

bool Storage_DeviceOfPath(const std::string &path, std::string *device) {
  std::unique_ptr<HostCtl::Storage::StorageInfo> info = StorageInfo();
  if (!info) return false;
  std::unique_ptr<HostCtl::Storage::Path> p(info->GetPath(path));
  if (!p) return false;
  *device = p->GetDeviceName();
  return true;
}

bool Storage_RedundancyState(const std::string &device, uint32_t *state) {
  std::unique_ptr<HostCtl::Storage::StorageInfo> info = StorageInfo();
  if (!info) return false;
  std::unique_ptr<HostCtl::Storage::Lun> lun(info->GetLun(device, true));
  if (!lun) return false;
  *state = lun->GetRedundancyState();
  return true;
}

std::string Storage_VolumeName(const char *path) {
  size_t prefix = sizeof kVolumesDir - 1;
  if (path == nullptr || strncmp(path, kVolumesDir, prefix) != 0) return "(invalid)";
  const char *start = path + prefix;
  const char *end = strchr(start, '/');
  std::string component = end != nullptr ? std::string(start, end) : std::string(start);
  MantleCtl::Storage::StorageInfoImpl info;
  for (const auto &fs : info.GetFileSystems()) {
    try {
      if (component == fs->GetVolumeName() || component == fs->GetUuid()) return component;
    } catch (const std::exception &) {
      // This file system's names cannot be read; the next may match.
    }
  }
  return "(unknown)";
}

int Storage_DeriveArgFormat(const char *message, char *out, size_t size) {
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 >= size) return false;
    out[n++] = c;
    return true;
  };
  for (const char *p = message; *p != '\0';) {
    if (*p != '%') {
      ++p;
      continue;
    }
    if (p[1] == '%') {
      p += 2;
      continue;
    }
    ++p;
    if (!put('%')) return EINVAL;
    if (IsFlag(*p)) ++p;
    while (IsDigit(*p)) ++p;
    if (*p == '.') {
      ++p;
      while (IsDigit(*p)) ++p;
    }
    if (*p == 'h' || *p == 'l') {
      char m = *p++;
      if (!put(m)) return EINVAL;
      if (*p == m) {
        ++p;
        if (!put(m)) return EINVAL;
      }
    } else if (*p == 'L') {
      ++p;
      if (!put('L')) return EINVAL;
    }
    char c = *p;
    if (c == 's') {
      c = 'p';
    } else if (c == 'X') {
      c = 'x';
    } else if (c != 'd' && c != 'i' && c != 'o' && c != 'u' && c != 'x' && c != 'c') {
      return EINVAL;
    }
    if (!put(c)) return EINVAL;
    ++p;
  }
  if (size == 0) return EINVAL;
  out[n] = '\0';
  return 0;
}

int Storage_ReadMessageArgs(const Wisp *wisp, const char *message, ...) {
  char derived[kDerivedMax];
  int rc = Storage_DeriveArgFormat(message, derived, sizeof derived);
  if (rc != 0) return rc;
  va_list ap;
  va_start(ap, message);
  rc = Wisp_GetArgsVA(wisp, 0, derived, ap);
  va_end(ap);
  return rc;
}
