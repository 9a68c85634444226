// Argument names for the messages that are bare conversions ("%s %s"), whose
// words name nothing; checked against the catalogue while they compile.
#pragma once

#include <initializer_list>
#include <string_view>

#include "catalogue.h"

namespace wispalert {

struct ArgOverride {
  const char *id;
  const char *names[4];  // "" for an argument that names no object
  unsigned count;
};

constexpr ArgOverride MakeOverride(const char *id, std::initializer_list<const char *> names) {
  ArgOverride o{id, {"", "", "", ""}, 0};
  for (const char *n : names)
    if (o.count < 4) o.names[o.count++] = n;
  return o;
}

// OK, or why the override does not fit the catalogue.
enum class OverrideFault { OK, UNKNOWN_ID, WRONG_COUNT };
constexpr OverrideFault CheckOverride(const ArgOverride &o) {
  int f = FlareIndex(o.id);
  if (f < 0) return OverrideFault::UNKNOWN_ID;
  if (flarecat::kFlares[f].args != o.count) return OverrideFault::WRONG_COUNT;
  return OverrideFault::OK;
}

// A row naming an id the daemon does not post, or with another number of
// names than its message has arguments, fails the build.
#define WISP_ARG_NAMES(id, ...)                                                       \
  [] {                                                                                \
    constexpr wispalert::ArgOverride o_ = wispalert::MakeOverride(id, {__VA_ARGS__}); \
    static_assert(wispalert::CheckOverride(o_) == wispalert::OverrideFault::OK,       \
                  "faulty names " id);                                                \
    return o_;                                                                        \
  }()

inline constexpr ArgOverride kArgOverrides[] = {
    // Volume UUID, then the device the file system reported.
    WISP_ARG_NAMES("tarn.problem.cairn.heartbeat.timedout", "volume_uuid", "device"),
    WISP_ARG_NAMES("tarn.problem.cairn.heartbeat.recovered", "volume_uuid", "device"),
    WISP_ARG_NAMES("tarn.problem.cairn.heartbeat.unrecoverable", "volume_uuid", "device"),
    WISP_ARG_NAMES("tarn.problem.cairn.heartbeat.corruptondisk", "volume_uuid", "device"),
    WISP_ARG_NAMES("tarn.problem.cairn.journal.createfailed", "volume_uuid", "device"),
    WISP_ARG_NAMES("tarn.problem.cairn.lock.corruptondisk.v2", "volume_uuid", "device"),
    WISP_ARG_NAMES("tarn.problem.cairn.resource.corruptondisk", "volume_uuid", "device"),
    // Server, share, volume UUID, datastore.
    WISP_ARG_NAMES("tarn.problem.cairn.nfs.server.disconnect", "nfs_server", "nfs_share",
                   "volume_uuid", "datastore"),
    WISP_ARG_NAMES("tarn.clear.cairn.nfs.server.restored", "nfs_server", "nfs_share", "volume_uuid",
                   "datastore"),
    // The datastore, then latencies and counts.
    WISP_ARG_NAMES("tarn.problem.cairn.nfs.volume.io.latency.high", "datastore", "", ""),
    WISP_ARG_NAMES("tarn.clear.cairn.nfs.volume.io.latency.improved", "datastore", "", ""),
    WISP_ARG_NAMES("tarn.problem.cairn.nfs.volume.io.latency.high.exceed.threshold", "datastore",
                   "", "", ""),
    WISP_ARG_NAMES("tarn.problem.cairn.nfs.volume.io.latency.exceed.threshold.period", "datastore",
                   "", "", ""),
    WISP_ARG_NAMES("tarn.problem.cairn.nfs.volume.no.space", "datastore"),
    // "A physical disk has been removed (%s)."
    WISP_ARG_NAMES("tarn.audit.hcm.event.disk.insertion", "disk"),
    WISP_ARG_NAMES("tarn.audit.hcm.event.disk.removal", "disk"),
    WISP_ARG_NAMES("tarn.problem.hcm.event.disk.predictive.failure", "disk"),
};

}  // namespace wispalert
