// UserWorld correlator: the host's own processes. Policy changes that leave
// the enforcing level, executions of non-installed files (named until too
// many distinct files were seen) and crashes, at most one report per process
// in ten hours.

#include <errno.h>
#include <string.h>

#include <map>
#include <set>
#include <string>

#include "base/wispdClock.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

enum {
  // Level number of the enforcing security level.
  kEnforcing = 1,
  // Distinct non-installed files named before they are summed up.
  kNamedFiles = 9,
  // Seconds between two crash reports of one process.
  kCrashHoldBack = 36000,
};

const FlareRow kRows[] = {
    WISPD_ROW("wisp.uw.exec.installonly.enabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.uw.security.User.ExecInstalledOnly.enabled)ExecInstalledOnly "
              "has been enabled. This prevents the execution of non-installed binaries on the "
              "host.",
              ""),
    WISPD_ROW("wisp.uw.exec.installonly.disabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.uw.security.User.ExecInstalledOnly.disabled)ExecInstalledOnly "
              "has been disabled. This allows the execution of non-installed binaries on the "
              "host. Unknown content can cause malware attacks similar to Ransomware.",
              ""),
};

struct CrashRecord {
  int64_t lastReport;
  int64_t firstCrash;
  uint32_t count;
};
typedef std::map<std::string, CrashRecord> CrashTable;

struct State {
  std::set<std::string> nonInstalled;
  bool manyFiles = false;
  CrashTable failedDumps;
  CrashTable writtenDumps;
};
State gState;

void Reset() {
  gState = State();
}

void HandleDomainLevel(const Wisp *wisp) {
  const char *level = nullptr, *domain = nullptr;
  int number = 0;
  unsigned unused = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %d %p %u", &level, &number, &domain, &unused) != 0) return;
  if (number == kEnforcing) return;
  Flare_PostAudit(
      "@&!*@*@(tarn.audit.uw.secpolicy.domain.level.changed)The enforcement level for security "
      "domain %s has been changed to %s. The enforcement level must always be set to enforcing.",
      domain, level);
}

void HandleAllDomainsLevel(const Wisp *wisp) {
  const char *level = nullptr;
  int number = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %d", &level, &number) != 0) return;
  if (number == kEnforcing) return;
  Flare_PostAudit(
      "@&!*@*@(tarn.audit.uw.secpolicy.alldomains.level.changed)The enforcement level for all "
      "security domains has been changed to %s. The enforcement level must always be set to "
      "enforcing.",
      level);
}

// The name to report for a newly seen file; null when nothing is reported.
const char *NonInstalledName(const Wisp *wisp) {
  const char *path = nullptr;
  if (Wisp_GetStringArg(wisp, 0, &path) != 0 || gState.manyFiles) return nullptr;
  if (!gState.nonInstalled.insert(path != nullptr ? path : "").second) return nullptr;
  if (gState.nonInstalled.size() > kNamedFiles) {
    gState.manyFiles = true;
    return "Multiple files";
  }
  return path;
}

void HandleExecWarning(const Wisp *wisp) {
  const char *name = NonInstalledName(wisp);
  if (name == nullptr) return;
  Flare_PostAudit(
      "@&!*@*@(tarn.audit.uw.security.execInstalledOnly.warning)Execution of non-installed "
      "file: %s",
      name);
}

void HandleExecViolation(const Wisp *wisp) {
  const char *name = NonInstalledName(wisp);
  if (name == nullptr) return;
  Flare_PostAudit(
      "@&!*@*@(tarn.audit.uw.security.execInstalledOnly.violation)Execution of non-installed "
      "file prevented: %s",
      name);
}

// Counts the crash; the record when it is to be reported, else null.
const CrashRecord *CountCrash(CrashTable *table, const char *name, int64_t now) {
  auto it = table->find(name);
  if (it == table->end()) {
    auto added = table->emplace(name, CrashRecord{now, now, 1});
    return &added.first->second;
  }
  CrashRecord &record = it->second;
  ++record.count;
  if (now - record.lastReport < kCrashHoldBack) return nullptr;
  record.lastReport = now;
  return &record;
}

void HandleDumpFailed(const Wisp *wisp) {
  const char *name = nullptr, *unusedText = nullptr;
  int unused = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %d %p", &name, &unused, &unusedText) != 0 || name == nullptr)
    return;
  const CrashRecord *record = CountCrash(&gState.failedDumps, name, Clock_WallSeconds());
  if (record == nullptr) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.application.core.dumpFailed)An application (%s) running on Tarn host "
      "has crashed (%d time(s) so far), but core dump creation failed.",
      name, static_cast<int>(record->count));
}

void HandleDumped(const Wisp *wisp) {
  const char *name = nullptr, *path = nullptr, *keyId = nullptr;
  int unused = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %d %p", &name, &unused, &path) != 0 || name == nullptr) return;
  int rc = Wisp_GetStringArg(wisp, 3, &keyId);
  if (rc != 0 && rc != WISP_MISSING_ARGUMENT) return;
  bool encrypted = rc == 0;
  const CrashRecord *record = CountCrash(&gState.writtenDumps, name, Clock_WallSeconds());
  if (record == nullptr) return;
  int count = static_cast<int>(record->count);
  // hubd and quayd may be the ones that crashed: queue for the retry path.
  if (strstr(name, "hubd") != nullptr) {
    if (encrypted)
      Flare_Post(true, FLARE_PROBLEM,
                 "@&!*@*@(tarn.problem.hubd.core.dumped.encrypted)%s crashed (%d time(s) so far) "
                 "and an encrypted core file using keyId %s may have been created at %s. This may "
                 "have caused connections to the host to be dropped.",
                 name, count, keyId, path);
    else
      Flare_Post(true, FLARE_PROBLEM,
                 "@&!*@*@(tarn.problem.hubd.core.dumped)%s crashed (%d time(s) so far) and a core "
                 "file may have been created at %s. This may have caused connections to the host "
                 "to be dropped.",
                 name, count, path);
  } else if (strstr(name, "quayd") != nullptr) {
    if (encrypted)
      Flare_Post(true, FLARE_PROBLEM,
                 "@&!*@*@(tarn.problem.quayd.core.dumped.encrypted)%s crashed (%d time(s) so far) "
                 "and an encrypted core file using keyId %s may have been created at %s. This may "
                 "have caused connections to the host to be dropped.",
                 name, count, keyId, path);
    else
      Flare_Post(true, FLARE_PROBLEM,
                 "@&!*@*@(tarn.problem.quayd.core.dumped)%s crashed (%d time(s) so far) and a "
                 "core file may have been created at %s. This may have caused connections to the "
                 "host to be dropped.",
                 name, count, path);
  } else if (encrypted) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.application.core.dumped.encrypted)An application (%s) running on "
        "Tarn host has crashed (%d time(s) so far). An encrypted core file using keyId %s may "
        "have been created at %s.",
        name, count, keyId, path);
  } else {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.application.core.dumped)An application (%s) running on Tarn host "
        "has crashed (%d time(s) so far). A core file may have been created at %s.",
        name, count, path);
  }
}

const HandlerRow kHandlers[] = {
    {"wisp.uw.secpolicy.domain.level.changed", HandleDomainLevel},
    {"wisp.uw.secpolicy.alldomains.level.changed", HandleAllDomainsLevel},
    {"wisp.uw.exec.installonly.warning", HandleExecWarning},
    {"wisp.uw.exec.installonly.violation", HandleExecViolation},
    {"wisp.uw.core.dumpFailed", HandleDumpFailed},
    {"wisp.uw.core.dumped", HandleDumped},
    {"wisp.uw.core.dumped.encrypted", HandleDumped},
};

const char *const kGroups[] = {"uw", nullptr};

}  // namespace

extern const CorrelatorDef kUserWorldCorrelator = {
    .name = "UserWorld",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
    .reset = Reset,
};
