#include "correlators/storage/wispdStrataNetwork.h"

#include <stdint.h>

#include <iterator>
#include <map>
#include <string>

#include "base/wispdClock.h"
#include "output/wispdFlare.h"
#include "output/wispdFlareRow.h"

namespace {

enum Condition : int32_t {
  // Present once the loss of all connectivity was reported.
  kNoConnectivity = 0,
  // Its flag: the clustering service was disabled.
  kClusteringDisabled = 1,
};

// One medium-error report per disk within this many seconds.
const int64_t kMediumErrorHoldSeconds = 3600;

// Owned by the Strata correlator thread.
struct State {
  std::map<std::string, bool> hasIp;  // mantlenic -> has an address
  std::map<int32_t, bool> conditions;
  std::map<std::string, int64_t> lastMediumError;  // disk or disk group -> wall second
};
State gState;

struct Count {
  unsigned withIp = 0, withoutIp = 0;
};

// One interface, or the whole table when name is null.
Count CountInterfaces(const char *name) {
  Count c;
  if (name != nullptr) {
    auto it = gState.hasIp.find(name);
    if (it != gState.hasIp.end()) ++(it->second ? c.withIp : c.withoutIp);
    return c;
  }
  for (const auto &entry : gState.hasIp) ++(entry.second ? c.withIp : c.withoutIp);
  return c;
}

const char *ReadName(const Wisp *wisp) {
  const char *name = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p", &name) != 0) return nullptr;
  return name;
}

const FlareRow kMediumErrorRows[] = {
    WISPD_ROW("wisp.strata.dom.singlediskerrorfixed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.singlediskerrorfixed)Strata detected and "
              "fixed a medium or checksum error for component %s on disk %s.",
              "01"),
    WISPD_ROW("wisp.strata.dom.errorfixed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.errorfixed)Strata detected and fixed a medium "
              "or checksum error for component %s on disk group %s.",
              "01"),
    WISPD_ROW("wisp.strata.dom.singlediskunrecoverableerror", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.singlediskunrecoverableerror)Strata detected "
              "an unrecoverable medium or checksum error for component %s on disk %s.",
              "01"),
    WISPD_ROW("wisp.strata.dom.unrecoverableerror", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.unrecoverableerror)Strata detected an "
              "unrecoverable medium or checksum error for component %s on disk group %s.",
              "01"),
};

}  // namespace

void StrataNet_GotIp(const Wisp *wisp) {
  const char *name = ReadName(wisp);
  if (name == nullptr || CountInterfaces(name).withoutIp != 1) return;
  gState.hasIp[name] = true;
  Flare_PostClear(
      "@&!*@*@(tarn.clear.strata.mantlenic.ready)mantlenic %s now has an IP address. Earlier "
      "reported connectivity problems, if any, can now be ignored as it is resolved.",
      name);
}

void StrataNet_NoIp(const Wisp *wisp) {
  const char *name = ReadName(wisp);
  if (name == nullptr) return;
  gState.hasIp[name] = false;
  if (CountInterfaces(nullptr).withIp == 0) {
    // Queued for the retry pass, not sent at once.
    Flare_Post(true, FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.strata.net.not.ready)mantlenic %s that is currently "
               "configured to be used with Strata doesn't have an IP address yet. There are no "
               "other active network configuration and therefore the Strata node doesn't have "
               "network connectivity.",
               name);
  } else {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.strata.mantlenic.not.ready)mantlenic %s that is currently "
        "configured to be used with Strata doesn't have an IP address yet. However, there are "
        "other network configuration which are active. If those configurations are removed that "
        "may cause problems.",
        name);
  }
}

void StrataNet_Configured(const Wisp *wisp) {
  const char *name = ReadName(wisp);
  if (name == nullptr) return;
  Count c = CountInterfaces(name);
  bool clear = gState.conditions.erase(kNoConnectivity) != 0 || c.withoutIp == 1;
  if (clear) {
    Flare_PostClear(
        "@&!*@*@(tarn.clear.strata.network.available)Strata now has usable network "
        "configuration. Earlier reported connectivity problems, if any, can now be ignored as it "
        "is resolved.");
  }
  gState.hasIp[name] = true;
  Flare_PostAudit("@&!*@*@(tarn.audit.strata.net.vnic.added)Strata vnic added");
}

namespace {

void PostVnicDeleted() {
  Flare_PostAudit("@&!*@*@(tarn.audit.strata.net.vnic.deleted)Strata vnic deleted");
}

}  // namespace

void StrataNet_Removed(const Wisp *wisp) {
  const char *name = ReadName(wisp);
  if (name == nullptr) return;
  gState.hasIp.erase(name);
  if (gState.hasIp.size() < 2) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.strata.net.redundancy.lost)Strata network configuration doesn't "
        "have any redundancy. This may be a problem if further network configuration is "
        "removed.");
  } else {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.strata.net.redundancy.reduced)Strata network configuration "
        "redundancy has reduced. This may be a problem if further network configuration is "
        "removed.");
  }
  PostVnicDeleted();
}

void StrataNet_LastRemoved(const Wisp *wisp) {
  const char *name = ReadName(wisp);
  if (name == nullptr) return;
  gState.hasIp.erase(name);
  gState.conditions[kNoConnectivity] = true;
  PostVnicDeleted();
  Flare_Post(true, FLARE_PROBLEM,
             "@&!*@*@(tarn.problem.strata.no.network.connectivity)Strata doesn't have any network "
             "configuration. This can severly impact several objects in the Strata datastore.");
}

void StrataNet_ClusteringDisabled(const Wisp *) {
  gState.conditions[kClusteringDisabled] = true;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.strata.clustering.disabled)Strata clustering and directory services "
      "have been disabled thus will be no longer available.");
}

// The flag stays: every enable after a disable clears, until the unload.
void StrataNet_ClusteringEnabled(const Wisp *) {
  if (gState.conditions[kClusteringDisabled]) {
    Flare_PostClear(
        "@&!*@*@(tarn.clear.strata.clustering.enabled)Strata clustering and directory services "
        "have now been enabled.");
  } else {
    Flare_PostAudit(
        "@&!*@*@(tarn.audit.strata.clustering.enabled)Strata clustering and directory services "
        "have been enabled.");
  }
}

void StrataNet_Unloaded(const Wisp *) {
  StrataNet_Reset();
}

// The four kinds share one time per disk: any report holds back all four.
void StrataNet_MediumError(const Wisp *wisp) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  const FlareRow *row = nullptr;
  for (const FlareRow &r : kMediumErrorRows)
    if (Wisp_IsID(id, r.wispId)) row = &r;
  if (row == nullptr) return;
  RowValues values;
  if (FlareRow_Read(*row, wisp, &values) != 0) return;
  if (values.str[1] == nullptr) return;
  int64_t now = Clock_WallSeconds();
  const std::string disk = values.str[1];
  auto it = gState.lastMediumError.find(disk);
  if (it != gState.lastMediumError.end() && it->second + kMediumErrorHoldSeconds > now) return;
  gState.lastMediumError[disk] = now;
  row->post(*row, values);
}

void StrataNet_Reset(void) {
  gState = State();
}
