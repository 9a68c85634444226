#include "sysfs_scan.h"

#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <set>
#include <sstream>

namespace wisplinux {

namespace {

std::string ReadLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::vector<std::string> Entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  return names;
}

bool IsUuid(const std::string &text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

std::string Base(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Resolved(const std::string &path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

bool IsScsiAddress(const std::string &s) {
  int colons = 0;
  for (char c : s) {
    if (c == ':')
      ++colons;
    else if (c < '0' || c > '9')
      return false;
  }
  return colons == 3 && !s.empty() && s.front() != ':' && s.back() != ':';
}

// mountinfo escapes blanks and the like as \ooo.
std::string Unescaped(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

StorageInventory ScanStorage(const std::string &root) {
  StorageInventory inv;
  const std::string block = root + "/sys/class/block/";
  std::map<std::string, std::string> nameOf;  // kernel name -> name in the inventory
  std::vector<std::string> partitions;
  for (const std::string &kname : Entries(block)) {
    const std::string dir = block + kname;
    if (!ReadLine(dir + "/partition").empty()) {
      partitions.push_back(kname);
      continue;
    }
    std::string size = ReadLine(dir + "/size");
    if (size.empty() || size == "0") continue;  // an unused loop device and the like
    Disk disk;
    disk.dev = ReadLine(dir + "/dev");
    std::string name = kname, dmUuid = ReadLine(dir + "/dm/uuid");
    if (!ReadLine(dir + "/dm/name").empty()) name = ReadLine(dir + "/dm/name");
    std::string scsi = Base(Resolved(dir + "/device"));
    if (IsScsiAddress(scsi)) disk.scsi = scsi;
    if (dmUuid.rfind("part", 0) == 0) {
      partitions.push_back(kname);  // a map's partition (kpartx)
      nameOf[kname] = name;
      continue;
    }
    if (dmUuid.rfind("mpath-", 0) == 0)
      for (const std::string &slave : Entries(dir + "/slaves")) disk.paths.push_back(slave);
    nameOf[kname] = name;
    inv.disks[name] = disk;
  }
  for (const std::string &kname : partitions) {
    const std::string dir = block + kname;
    std::string parent, number = ReadLine(dir + "/partition");
    if (!number.empty()) {
      parent = Base(Resolved(dir + "/.."));
    } else {
      // "part3-mpath-..." on top of its map
      std::vector<std::string> slaves = Entries(dir + "/slaves");
      std::string uuid = ReadLine(dir + "/dm/uuid");
      number = uuid.substr(4, uuid.find('-') == std::string::npos ? 0 : uuid.find('-') - 4);
      if (slaves.size() == 1) parent = slaves[0];
    }
    auto p = nameOf.find(parent);
    auto disk = p == nameOf.end() ? inv.disks.end() : inv.disks.find(p->second);
    int n = atoi(number.c_str());
    if (disk == inv.disks.end() || n < 1 || n > 255) continue;
    std::string name = nameOf.count(kname) != 0 ? nameOf[kname] : kname;
    disk->second.partitions[name] = {n, ReadLine(dir + "/dev")};
  }
  std::set<std::string> devs;
  for (const auto &[name, d] : inv.disks) {
    devs.insert(d.dev);
    for (const auto &part : d.partitions) devs.insert(part.second.dev);
  }
  std::ifstream mountinfo(root + "/proc/self/mountinfo");
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, dev, fsroot, point;
    if (!(fields >> id >> parent >> dev >> fsroot >> point) || devs.count(dev) == 0) continue;
    // The first mount of a device names it (later ones are binds).
    inv.mounts.emplace(dev, Unescaped(point));
  }
  const std::string byUuid = root + "/dev/disk/by-uuid/";
  for (const std::string &uuid : Entries(byUuid)) {
    std::string dev = ReadLine(block + Base(Resolved(byUuid + uuid)) + "/dev");
    if (devs.count(dev) != 0) inv.uuids[dev] = uuid;
  }
  return inv;
}

uint64_t CompletedRequests(const std::string &root, const std::string &device) {
  if (device.empty() || device.find('/') != std::string::npos || device[0] == '.') return 0;
  std::istringstream stat(ReadLine(root + "/sys/class/block/" + device + "/stat"));
  uint64_t f[5] = {};
  for (uint64_t &v : f)
    if (!(stat >> v)) return 0;
  return f[0] + f[4];
}

std::string ReadSystemUuid(const std::string &root) {
  for (const char *path : {"/sys/class/dmi/id/product_uuid", "/etc/machine-id"}) {
    std::ifstream in(root + path);
    std::string text;
    if (!(in >> text)) continue;
    for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    // Dashes placed from the back, so the earlier offsets still hold.
    if (text.size() == 32)
      for (size_t at : {20, 16, 12, 8}) text.insert(at, 1, '-');
    // A copy: moving a string of a length it knows out of a loop makes
    // GCC 12 warn of a short-string copy the move never makes.
    if (IsUuid(text)) return std::string(text.data(), text.size());
  }
  return "";
}

}  // namespace wisplinux
