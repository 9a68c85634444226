// Root file system correlator: full ramdisks and file tables, and any other
// failure of the in-memory root file system, each after its quiet period.

#include <string>

#include "base/wispdLog.h"
#include "base/wispdQuietPeriod.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

struct State {
  QuietPeriod failure;     // one slot for every other failure
  QuietPeriod ramdisks;    // by the file that could not be written
  QuietPeriod fileTables;  // by the joined path that could not be created
};
State gState;

void Reset() {
  gState = State();
}

void HandleRamdiskFull(const Wisp *wisp) {
  const char *file = nullptr, *ramdisk = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p %p", &file, &ramdisk) != 0) return;
  if (!gState.ramdisks.Allows(file != nullptr ? file : "")) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.stowfs.ramdisk.full)The ramdisk '%s' is full.  As a result, the file "
      "%s could not be written.",
      ramdisk, file);
}

void HandleFileTableFull(const Wisp *wisp) {
  const char *dir = nullptr, *name = nullptr, *app = nullptr, *ramdisk = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p %p %p %p", &dir, &name, &app, &ramdisk) != 0) return;
  std::string path = std::string(dir != nullptr ? dir : "") + "/" + (name != nullptr ? name : "");
  if (!gState.fileTables.Allows(path)) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.stowfs.ramdisk.inodetable.full)The file table of the ramdisk '%s' is "
      "full.  As a result, the file %s could not be created by the application '%s'.",
      ramdisk, path.c_str(), app);
}

void HandleOtherFailure(const Wisp *wisp) {
  LogWisp(wisp);
  if (!gState.failure.Allows("")) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.stowfs.failure)An operation on the root filesystem has failed.");
}

const HandlerRow kHandlers[] = {
    {"wisp.stowfs.tardisk.readonlyfile", Correlator_IgnoreWisp},
    {"wisp.stowfs.ramdisk.full", HandleRamdiskFull},
    {"wisp.stowfs.ramdisk.inodetable.full", HandleFileTableFull},
};

const char *const kGroups[] = {"stowfs", nullptr};

}  // namespace

extern const CorrelatorDef kStowfsCorrelator = {
    .name = "Stowfs",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = HandleOtherFailure,
    .fallbackHandles = true,
    .reset = Reset,
};
