// Storage answers of the simulated kernel: the volume-name request on the
// volumes directory, and the storage members a model must get right.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>

#include "pelldan/root.h"
#include "pellibs/volumes.h"
#include "simhost/hostmodel.h"

namespace simhost {

// Why the model's storage members make it a bad model; nullptr when fine.
// A redundancy state outside 0..3 is no state the host-control library has.
const char *StorageModelProblem(const Json &doc) {
  const Json *luns = Find(doc, {"storage", "luns"});
  if (luns == nullptr) return nullptr;
  for (const Json &lun : *luns) {
    if (!lun.is_object()) continue;
    auto r = lun.find("redundancy");
    if (r == lun.end() || !r->is_number()) continue;
    if (!r->is_number_unsigned() || r->get<uint64_t>() > 3)
      return "gives a redundancy state other than 0 to 3";
  }
  return nullptr;
}

}  // namespace simhost

namespace {

bool IsVolumesDirectory(int fd) {
  struct stat a, b;
  std::string dir = pelldan::RootPath("/cairn/volumes");
  return fstat(fd, &a) == 0 && stat(dir.c_str(), &b) == 0 && S_ISDIR(a.st_mode) &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int Fail(int error) {
  errno = error;
  return -1;
}

}  // namespace

extern "C" int Volumes_Request(int fd, unsigned long request, void *arg) {
  if (request != VOLUMES_REQUEST_VOLUME_NAME || arg == nullptr) return Fail(ENOTTY);
  if (!IsVolumesDirectory(fd)) return Fail(ENOTTY);
  if (std::optional<simhost::Json> f = simhost::Failure("Volumes_Request")) {
    int error = f->is_number_unsigned() && f->get<uint64_t>() > 0 && f->get<uint64_t>() < 4096
                    ? static_cast<int>(f->get<uint64_t>())
                    : EIO;
    return Fail(error);
  }
  VolumeNameRequest *req = static_cast<VolumeNameRequest *>(arg);
  std::string partition(req->partition, strnlen(req->partition, sizeof req->partition));
  size_t colon = partition.rfind(':');
  if (colon == std::string::npos) return Fail(EINVAL);
  std::string device = partition.substr(0, colon), number = partition.substr(colon + 1);
  std::shared_ptr<const simhost::Json> doc = simhost::Model();
  const simhost::Json *stores = simhost::Find(*doc, {"storage", "luns", device, "datastores"});
  if (stores == nullptr) return Fail(ENOENT);
  auto it = stores->find(number);
  if (it == stores->end() || !it->is_string()) return Fail(ENOENT);
  const std::string &name = it->get_ref<const std::string &>();
  size_t n = std::min(name.size(), sizeof req->volume - 1);
  memcpy(req->volume, name.data(), n);
  req->volume[n] = '\0';
  return 0;
}
