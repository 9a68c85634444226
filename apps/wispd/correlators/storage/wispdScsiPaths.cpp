#include "correlators/storage/wispdScsiPaths.h"

#include <errno.h>
#include <stdint.h>

#include <map>
#include <string>

#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "correlators/wispdStorageLookup.h"
#include "output/wispdFlare.h"

namespace {

// Named in the panic of a redundancy state outside the library's contract.
const char kSource[] = "apps/wispd/wispdScsiCorrelator";

const int64_t kClearWindow = 600;
const int64_t kDecayWindow = 60;
// Only this exact count reports, so a name reports once until the clear.
const uint32_t kReportAt = 10;

// A counter table with its clear and decay windows.
struct Counts {
  std::map<std::string, uint32_t> count;
  int64_t clearStart = Clock_WallSeconds();
  int64_t decayStart = Clock_WallSeconds();

  void ClearIfDue(int64_t now) {
    if (now - clearStart > kClearWindow) {
      count.clear();
      clearStart = now;
    }
  }
  void DecayIfDue(int64_t now) {
    if (now - decayStart <= kDecayWindow) return;
    for (auto &entry : count)
      if (entry.second < kReportAt) entry.second = 0;
    decayStart = now;
  }
};

struct State {
  // Path name + device name: a loss was reported and not yet restored.
  std::map<std::string, bool> reportedLoss;
  Counts stateChanges;
  Counts powerOnResets;
};

State gState;

// String argument index; a missing or absent string fails.
bool ReadString(const Wisp *wisp, unsigned index, const char **out) {
  return Wisp_GetStringArg(wisp, index, out) == 0 && *out != nullptr;
}

bool ReadPathAndPrevious(const Wisp *wisp, std::string *path, std::string *previous) {
  const char *p = nullptr, *prev = nullptr;
  if (!ReadString(wisp, 0, &p) || !ReadString(wisp, 1, &prev)) return false;
  *path = p;
  *previous = prev;
  return true;
}

// The datastore list, or "Unknown" when the device has no redundancy to
// speak of or no datastores.
std::string ListFor(const std::string &device, uint32_t state) {
  return state == 0 ? std::string("Unknown") : Storage_DatastoresOrUnknown(device.c_str());
}

void CountStateChange(const std::string &path, bool added, bool removed) {
  Counts &t = gState.stateChanges;
  int64_t now = Clock_WallSeconds();
  t.ClearIfDue(now);
  auto it = t.count.find(path);
  if (it != t.count.end()) {
    if (removed) {
      t.count.erase(it);
    } else {
      ++it->second;
    }
  } else if (added) {
    t.count[path] = 0;
  } else if (!removed) {
    t.count[path] = 1;
  }
  t.DecayIfDue(now);
  // A removed path stays listed with 0, so adding it again counts.
  if (t.count[path] != kReportAt) return;
  std::string device;
  uint32_t state = 0;
  if (!Storage_DeviceOfPath(path, &device) || !Storage_RedundancyState(device, &state)) return;
  std::string list = ListFor(device, state);
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.storage.connectivity.pathstatechanges)Frequent path state changes "
      "are occurring for path %s. This may indicate a storage problem. Affected device: %s. "
      "Affected datastores: %s.",
      path.c_str(), device.c_str(), list.c_str());
}

}  // namespace

void ScsiPaths_Down(const Wisp *wisp) {
  std::string path, previous;
  if (!ReadPathAndPrevious(wisp, &path, &previous)) return;
  CountStateChange(path, false, false);
  if (previous != "on" && previous != "standby") return;
  std::string device;
  uint32_t state = 0;
  if (!Storage_DeviceOfPath(path, &device)) return;
  if (!Storage_RedundancyState(device, &state) || state == 0) return;
  std::string list = Storage_DatastoresOrUnknown(device.c_str());
  const char *d = device.c_str(), *p = path.c_str(), *l = list.c_str();
  if (state == 1) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.storage.connectivity.lost)Lost connectivity to storage device %s. "
        "Path %s is down. Affected datastores: %s.",
        d, p, l);
  } else if (state == 2) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.storage.redundancy.lost)Lost path redundancy to storage device %s. "
        "Path %s is down. Affected datastores: %s.",
        d, p, l);
  } else if (state == 3) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.storage.redundancy.degraded)Path redundancy to storage device %s "
        "degraded. Path %s is down. Affected datastores: %s.",
        d, p, l);
  }
  gState.reportedLoss[path + device] = true;
}

void ScsiPaths_Up(const Wisp *wisp) {
  std::string path, previous;
  if (!ReadPathAndPrevious(wisp, &path, &previous)) return;
  CountStateChange(path, false, false);
  if (previous != "off" && previous != "dead") return;
  std::string device;
  if (!Storage_DeviceOfPath(path, &device)) return;
  auto loss = gState.reportedLoss.find(path + device);
  if (loss == gState.reportedLoss.end() || !loss->second) return;
  gState.reportedLoss.erase(loss);  // handled, whatever follows
  uint32_t state = 0;
  if (!Storage_RedundancyState(device, &state) || state == 0) return;
  std::string list = Storage_DatastoresOrUnknown(device.c_str());
  const char *d = device.c_str(), *p = path.c_str(), *l = list.c_str();
  if (state == 2) {
    Flare_PostClear(
        "@&!*@*@(tarn.clear.storage.connectivity.restored)Connectivity to storage device %s "
        "(Datastores: %s) restored. Path %s is active again.",
        d, l, p);
  } else if (state == 3) {
    Flare_PostClear(
        "@&!*@*@(tarn.clear.storage.redundancy.restored)Path redundancy to storage device %s "
        "(Datastores: %s) restored. Path %s is active again.",
        d, l, p);
  } else if (state != 1) {
    Panic("NOT_REACHED %s:%d\n", kSource, __LINE__);
  }
}

void ScsiPaths_AddRemove(const Wisp *wisp) {
  const char *path = nullptr;
  int rc = Wisp_GetStringArg(wisp, 0, &path);
  if (rc == 0 && path == nullptr) rc = ENOENT;
  if (rc != 0) {
    Log("Failed to get path add remove path name: %d\n", rc);
    return;
  }
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
  if (id != nullptr && Wisp_IsID(id, "wisp.scsi.scsipath.add")) {
    CountStateChange(path, true, false);
  } else if (id != nullptr && Wisp_IsID(id, "wisp.scsi.scsipath.remove")) {
    CountStateChange(path, false, true);
  } else {
    Log("Unknown WISP ID: %s\n", id != nullptr ? id : "(null)");
  }
}

void ScsiPaths_PowerOnReset(const Wisp *wisp) {
  const char *name = nullptr;
  if (!ReadString(wisp, 0, &name)) return;
  Counts &t = gState.powerOnResets;
  int64_t now = Clock_WallSeconds();
  t.ClearIfDue(now);
  uint32_t &count = t.count[name];
  ++count;
  t.DecayIfDue(now);
  if (count != kReportAt) return;
  std::string device;
  bool isPath = Storage_DeviceOfPath(name, &device);
  if (!isPath) device = name;
  uint32_t state = 0;
  if (!Storage_RedundancyState(device, &state)) return;
  std::string list = ListFor(device, state);
  if (isPath) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.storage.connectivity.pathpor)Frequent PowerOn Reset Unit Attentions "
        "are occurring on path %s. This may indicate a storage problem. Affected device: %s. "
        "Affected datastores: %s.",
        name, device.c_str(), list.c_str());
  } else {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.storage.connectivity.devicepor)Frequent PowerOn Reset Unit "
        "Attentions are occurring on device %s. This may indicate a storage problem. Affected "
        "datastores: %s.",
        device.c_str(), list.c_str());
  }
}

void ScsiPaths_StartWindows(void) {
  int64_t now = Clock_WallSeconds();
  gState.stateChanges.clearStart = gState.stateChanges.decayStart = now;
  gState.powerOnResets.clearStart = gState.powerOnResets.decayStart = now;
}

void ScsiPaths_Reset(void) {
  gState = State();
}
