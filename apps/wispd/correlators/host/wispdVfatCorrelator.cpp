// VFAT correlator: full VFAT file systems after their quiet period, the
// scratch volume told apart by where /scratch points.

#include <string.h>
#include <unistd.h>

#include <string>

#include "base/wispdQuietPeriod.h"
#include "intake/wispdCorrelatorDef.h"
#include "pelldan/root.h"

namespace {

const char kScratchLink[] = "/scratch";

struct State {
  QuietPeriod full;  // by file system UUID
};
State gState;

void Reset() {
  gState = State();
}

// The volume /scratch points at: the link target's last component, or that
// of the link's own path when it cannot be read.
std::string ScratchVolume() {
  char target[4096];
  std::string link = pelldan::RootPath(kScratchLink);
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  std::string path = kScratchLink;
  if (n >= 0) path.assign(target, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void HandleFull(const Wisp *wisp) {
  const char *name = nullptr, *uuid = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p %p", &name, &uuid) != 0) return;
  std::string key = uuid != nullptr ? uuid : "";
  if (!gState.full.Allows(key)) return;
  if (uuid != nullptr && ScratchVolume() == key) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.vfat.filesystem.full.scratch)The host's scratch partition, which is "
        "the VFAT filesystem %s (UUID %s), is full.",
        name, uuid);
  } else {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.vfat.filesystem.full.other)The VFAT filesystem %s (UUID %s) is "
        "full.",
        name, uuid);
  }
}

const HandlerRow kHandlers[] = {
    {"wisp.vfat.filesystem.full", HandleFull},
};

const char *const kGroups[] = {"vfat", nullptr};

}  // namespace

extern const CorrelatorDef kVfatCorrelator = {
    .name = "Vfat",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
    .reset = Reset,
};
