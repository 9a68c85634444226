#include "storage.h"

#include <cstring>

namespace wisplinux {

namespace {

using nlohmann::json;

// What a kernel log line means here, by a text it holds. The first row
// whose text the line holds decides.
enum class Meaning { kPowerOnReset, kOffline, kAttached, kQueueTimeout, kIoError };
constexpr char kQueueTimeoutText[] = "queue_if_no_path timeout on ";
const struct {
  const char *text;
  Meaning meaning;
} kKmsgRows[] = {
    {"Power-on or device reset occurred", Meaning::kPowerOnReset},
    {"Device offlined - not ready after error recovery", Meaning::kOffline},
    {"Attached SCSI disk", Meaning::kAttached},
    {kQueueTimeoutText, Meaning::kQueueTimeout},
    {" error, dev ", Meaning::kIoError},
};

// The daemon's redundancy state of a device with this many working paths:
// the last one gone is connectivity, one left is redundancy lost, more is
// redundancy degraded (and their restorations on the way back).
int Redundancy(int valid) {
  return valid <= 0 ? 1 : valid == 1 ? 2 : 3;
}

// "sd 2:0:0:0: ..." or the record's DEVICE=+scsi:2:0:0:0.
std::string ScsiAddress(const KmsgRecord &r) {
  if (r.device.rfind("+scsi:", 0) == 0) return r.device.substr(6);
  size_t space = r.text.find(' ');
  size_t colon = space == std::string::npos ? space : r.text.find(": ", space + 1);
  if (colon == std::string::npos) return "";
  return r.text.substr(space + 1, colon - space - 1);
}

// The text between the first "[" and "]" ("[sdb]"), or "".
std::string Bracketed(const std::string &text) {
  size_t open = text.find('['), close = text.find(']');
  if (open == std::string::npos || close == std::string::npos || close < open) return "";
  return text.substr(open + 1, close - open - 1);
}

bool Strings(const json &j, std::vector<std::string> *out) {
  if (!j.is_array()) return false;
  for (const json &item : j) {
    if (!item.is_string()) return false;
    out->push_back(item.get<std::string>());
  }
  return true;
}

bool StringMap(const json &j, std::map<std::string, std::string> *out) {
  if (!j.is_object()) return false;
  for (const auto &item : j.items()) {
    if (!item.value().is_string()) return false;
    (*out)[item.key()] = item.value().get<std::string>();
  }
  return true;
}

}  // namespace

bool IoErrorDevice(const std::string &text, std::string *device) {
  const char marker[] = " error, dev ";
  size_t at = text.find(marker);
  if (at == std::string::npos) return false;
  size_t start = at + strlen(marker);
  size_t end = text.find_first_of(", ", start);
  *device = text.substr(start, end == std::string::npos ? end : end - start);
  return !device->empty();
}

json InventoryToJson(const StorageInventory &inv) {
  json disks = json::object();
  for (const auto &[name, d] : inv.disks) {
    json disk = {{"dev", d.dev}};
    if (!d.scsi.empty()) disk["scsi"] = d.scsi;
    if (!d.paths.empty()) disk["paths"] = d.paths;
    for (const auto &[partName, part] : d.partitions)
      disk["partitions"][partName] = {{"number", part.number}, {"dev", part.dev}};
    disks[name] = disk;
  }
  return {{"disks", disks}, {"mounts", inv.mounts}, {"uuids", inv.uuids}};
}

bool InventoryFromJson(const json &j, StorageInventory *out, std::string *why) {
  *out = StorageInventory();
  *why = "a storage inventory takes disks, mounts and uuids";
  if (!j.is_object() || !j.contains("disks") || !j["disks"].is_object()) return false;
  if (!StringMap(j.value("mounts", json::object()), &out->mounts) ||
      !StringMap(j.value("uuids", json::object()), &out->uuids))
    return false;
  for (const auto &item : j["disks"].items()) {
    const json &d = item.value();
    Disk disk;
    if (!d.is_object() || !d.contains("dev") || !d["dev"].is_string()) return false;
    disk.dev = d["dev"].get<std::string>();
    if (d.contains("scsi") && !d["scsi"].is_string()) return false;
    disk.scsi = d.value("scsi", "");
    if (d.contains("paths") && !Strings(d["paths"], &disk.paths)) return false;
    const json partitions = d.value("partitions", json::object());
    if (!partitions.is_object()) return false;
    for (const auto &p : partitions.items()) {
      const json &part = p.value();
      if (!part.is_object() || !part.contains("number") || !part["number"].is_number_integer() ||
          !part.contains("dev") || !part["dev"].is_string())
        return false;
      int64_t number = part["number"].get<int64_t>();
      if (number < 1 || number > 255) return false;
      disk.partitions[p.key()] = {static_cast<int>(number), part["dev"].get<std::string>()};
    }
    out->disks[item.key()] = disk;
  }
  why->clear();
  return true;
}

void StorageTable::SetInventory(StorageInventory inventory) {
  inventory_ = std::move(inventory);
  ++generation_;
}

std::string StorageTable::DiskOf(const std::string &name) const {
  if (name.empty()) return "";
  if (inventory_.disks.count(name) != 0) return name;
  for (const auto &[disk, d] : inventory_.disks) {
    if (d.dev == name || d.scsi == name || d.partitions.count(name) != 0) return disk;
    for (const auto &part : d.partitions)
      if (part.second.dev == name) return disk;
  }
  return "";
}

std::string StorageTable::MapOf(const std::string &disk) const {
  for (const auto &[map, d] : inventory_.disks)
    for (const std::string &path : d.paths)
      if (path == disk) return map;
  return "";
}

bool StorageTable::IsPath(const std::string &disk) const {
  auto it = inventory_.disks.find(disk);
  return it != inventory_.disks.end() && (!it->second.scsi.empty() || !MapOf(disk).empty());
}

int StorageTable::ValidPaths(const std::string &device) const {
  auto it = inventory_.disks.find(device);
  if (it == inventory_.disks.end()) return -1;
  if (!it->second.paths.empty()) {
    auto valid = validPaths_.find(device);
    return valid != validPaths_.end() ? valid->second : static_cast<int>(it->second.paths.size());
  }
  if (it->second.scsi.empty()) return -1;
  auto state = pathState_.find(device);
  return state != pathState_.end() && state->second == "dead" ? 0 : 1;
}

void StorageTable::PathState(const std::string &path, const char *state,
                             std::vector<Observation> *out) {
  auto it = pathState_.find(path);
  std::string was = it == pathState_.end() ? "on" : it->second;
  pathState_[path] = state;
  ++generation_;
  out->push_back(
      {strcmp(state, "dead") == 0 ? ObsKind::kPathDead : ObsKind::kPathOn, {Str(path), Str(was)}});
}

bool StorageTable::Uevent(const wisplinux::Uevent &e, uint64_t atUs,
                          std::vector<Observation> *out) {
  std::string action = e.Get("DM_ACTION");
  if (e.Get("DM_TARGET") != "multipath" || (action != "PATH_FAILED" && action != "PATH_REINSTATED"))
    return false;
  std::string map = e.Get("DM_NAME"), path = DiskOf(e.Get("DM_PATH"));
  if (path.empty()) path = e.Get("DM_PATH");
  const std::string validText = e.Get("DM_NR_VALID_PATHS");
  if (map.empty() || path.empty() || validText.empty() || validText.size() > 4 ||
      validText.find_first_not_of("0123456789") != std::string::npos)
    return false;
  int valid = std::stoi(validText);
  validPaths_[map] = valid;
  ++generation_;
  bool down = allPathsDownUs_.count(map) != 0;
  if (action == "PATH_FAILED") {
    PathState(path, "dead", out);
    if (valid == 0 && !down) {
      allPathsDownUs_[map] = atUs;
      out->push_back({ObsKind::kApdStart, {Str(map)}});
    }
  } else {
    if (valid > 0 && down) {
      allPathsDownUs_.erase(map);
      out->push_back({ObsKind::kApdExit, {Str(map)}});
    }
    PathState(path, "on", out);
  }
  return true;
}

void StorageTable::IoError(const std::string &disk, uint64_t ios, uint64_t atUs,
                           std::vector<Observation> *out) {
  IoWindow &w = ioErrors_[disk];
  if (w.lines == 0 || atUs - w.startUs > static_cast<uint64_t>(config_.ioErrorWindowS) * 1000000) {
    w = IoWindow();
    w.startUs = atUs;
    // The failed request is among those completed when its line was read.
    w.iosAtStart = ios > 0 ? ios - 1 : 0;
  }
  if (++w.lines < config_.ioErrorLines || w.told) return;
  w.told = true;
  // The failed share of the requests the device completed in the window;
  // all of them when the kernel gave no counts.
  uint64_t done = ios > w.iosAtStart ? ios - w.iosAtStart : 0;
  uint64_t lines = static_cast<uint64_t>(w.lines);
  uint64_t percent = done < lines ? 100 : lines * 100 / done;
  out->push_back({ObsKind::kTooManyIoErrors, {Str(disk), U32(static_cast<uint32_t>(percent))}});
}

bool StorageTable::Kmsg(const KmsgRecord &r, uint64_t ios, uint64_t atUs,
                        std::vector<Observation> *out) {
  if (r.facility != kKernelFacility) return false;
  const Meaning *meaning = nullptr;
  for (const auto &row : kKmsgRows) {
    if (r.text.find(row.text) != std::string::npos) {
      meaning = &row.meaning;
      break;
    }
  }
  if (meaning == nullptr) return false;
  switch (*meaning) {
    case Meaning::kPowerOnReset: {
      std::string address = ScsiAddress(r), disk = DiskOf(address);
      std::string name = disk.empty() ? address : disk;
      if (name.empty()) return false;
      out->push_back({ObsKind::kPathPor, {Str(name)}});
      return true;
    }
    case Meaning::kOffline: {
      std::string disk = DiskOf(ScsiAddress(r));
      if (disk.empty()) return false;
      // A map's member is told by the map's own events.
      if (MapOf(disk).empty()) PathState(disk, "dead", out);
      return true;
    }
    case Meaning::kAttached: {
      std::string disk = DiskOf(Bracketed(r.text));
      if (disk.empty()) disk = DiskOf(ScsiAddress(r));
      if (disk.empty()) return false;
      auto state = pathState_.find(disk);
      if (state != pathState_.end() && state->second == "dead" && MapOf(disk).empty())
        PathState(disk, "on", out);
      return true;
    }
    case Meaning::kQueueTimeout: {
      size_t at = r.text.find(kQueueTimeoutText) + strlen(kQueueTimeoutText);
      std::string map = DiskOf(r.text.substr(at, r.text.find_first_of(", ", at) - at));
      auto down = allPathsDownUs_.find(map);
      if (down == allPathsDownUs_.end()) return !map.empty();
      int32_t seconds = static_cast<int32_t>((atUs - down->second) / 1000000);
      out->push_back({ObsKind::kApdTimeout, {Str(map), I32(seconds)}});
      return true;
    }
    case Meaning::kIoError: {
      std::string named, disk;
      if (!IoErrorDevice(r.text, &named) || (disk = DiskOf(named)).empty()) disk = named;
      if (disk.empty()) return false;
      IoError(disk, ios, atUs, out);
      return true;
    }
  }
  return false;
}

json StorageTable::ModelStorage() const {
  json luns = json::object(), paths = json::object();
  for (const auto &[name, d] : inventory_.disks) {
    if (!MapOf(name).empty()) continue;  // a path, not a device
    json lun = {{"disk", true}};
    int valid = ValidPaths(name);
    if (valid >= 0) lun["redundancy"] = Redundancy(valid);
    std::vector<int> numbers;
    for (const auto &[partName, part] : d.partitions) {
      auto mount = inventory_.mounts.find(part.dev);
      if (mount == inventory_.mounts.end()) continue;
      numbers.push_back(part.number);
      lun["datastores"][std::to_string(part.number)] = mount->second;
    }
    // A file system on the whole device stands as its partition 1.
    auto whole = inventory_.mounts.find(d.dev);
    if (whole != inventory_.mounts.end() && d.partitions.empty()) {
      numbers.push_back(1);
      lun["datastores"]["1"] = whole->second;
    }
    lun["partitions"] = numbers;
    luns[name] = lun;
    for (const std::string &path : d.paths) paths[path] = {{"device", name}};
    if (d.paths.empty() && !d.scsi.empty()) paths[name] = {{"device", name}};
  }
  return {{"luns", luns}, {"paths", paths}};
}

json StorageTable::ModelFileSystems() const {
  json list = json::array();
  for (const auto &[dev, mount] : inventory_.mounts) {
    auto uuid = inventory_.uuids.find(dev);
    list.push_back({{"volume", mount},
                    {"uuid", uuid == inventory_.uuids.end() ? std::string() : uuid->second}});
  }
  return list;
}

}  // namespace wisplinux
