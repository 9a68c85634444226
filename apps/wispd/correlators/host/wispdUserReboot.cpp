#include "correlators/host/wispdUserReboot.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "configstore/configstore.h"
#include "output/wispdFlareRow.h"
#include "pellibs/pldaudit.h"

namespace cs = TarnConfigStore;

namespace {

const char kUnknownUser[] = "UNKNOWN_USER";
const char kNoReplicate[] = "DONT_REPLICATE";

struct ReasonEntry {
  // The flare; 'L' shows the reason text taken from argument 0.
  FlareRow row;
  const char *type;
  // Fixed subsystem; null: argument 2.
  const char *subsystem;
  // Fixed reason of the console and shell reports; null: from argument 0.
  const char *reason;
  // The shell's generic stop report leaves a more specific earlier reason.
  bool keepRecorded;
};

const ReasonEntry kEntries[] = {
    {WISPD_ROW("wisp.user.subsystem.host.reboot.reason", "%p %p %p", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.subsystem.host.reboot.reason)The host is being rebooted. "
               "Reason for reboot: %s. User: %s. Subsystem: %s. Please consult Tarn Embedded and "
               "Keystone Server Setup Guide or follow the Ask Pelldan link for more information.",
               "L12"),
     "REBOOT", nullptr, nullptr, false},
    {WISPD_ROW("wisp.user.subsystem.host.poweroff.reason", "%p %p %p", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.subsystem.host.poweroff.reason)The host is being powered off. "
               "Reason for power off: %s. User: %s. Subsystem: %s. Please consult Tarn Embedded "
               "and Keystone Server Setup Guide or follow the Ask Pelldan link for more "
               "information.",
               "L12"),
     "POWEROFF", nullptr, nullptr, false},
    {WISPD_ROW("wisp.user.tarncli.host.reboot.reason", "%p %p", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.tarncli.host.reboot.reason)The host is being rebooted through "
               "tarncli. Reason for reboot: %s. User: %s. Please consult Tarn Embedded and "
               "Keystone Server Setup Guide or follow the Ask Pelldan link for more information.",
               "L1"),
     "REBOOT", "tarncli", nullptr, false},
    {WISPD_ROW("wisp.user.tarncli.host.poweroff.reason", "%p %p", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.tarncli.host.poweroff.reason)The host is being powered off "
               "through tarncli. Reason for power off: %s. User: %s. Please consult Tarn "
               "Embedded and Keystone Server Setup Guide or follow the Ask Pelldan link for more "
               "information.",
               "L1"),
     "POWEROFF", "tarncli", nullptr, false},
    {WISPD_ROW("wisp.user.hubd.host.reboot.reason", "%p %p", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.hubd.host.reboot.reason)The host is being rebooted through "
               "hubd. Reason for reboot: %s. User: %s. Please consult Tarn Embedded and Keystone "
               "Server Setup Guide or follow the Ask Pelldan link for more information.",
               "L1"),
     "REBOOT", kNoReplicate, nullptr, false},
    {WISPD_ROW("wisp.user.hubd.host.poweroff.reason", "%p %p", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.hubd.host.poweroff.reason)The host is being powered off "
               "through hubd. Reason for power off: %s. User: %s. Please consult Tarn Embedded "
               "and Keystone Server Setup Guide or follow the Ask Pelldan link for more "
               "information.",
               "L1"),
     "POWEROFF", kNoReplicate, nullptr, false},
    {WISPD_ROW("wisp.user.helm.reboot.host", "", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.helm.host.reboot)The host is being rebooted through Helm "
               "Console Interface (HELM). Please consult Tarn Embedded and Keystone Server Setup "
               "Guide or follow the Ask Pelldan link for more information.",
               ""),
     "REBOOT", kNoReplicate, "The host is being rebooted through Helm Console Interface (HELM).",
     false},
    {WISPD_ROW("wisp.user.helm.shutdown.host", "", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.helm.host.shutdown)The host is being shutdown through Helm "
               "Console Interface (HELM). Please consult Tarn Embedded and Keystone Server Setup "
               "Guide or follow the Ask Pelldan link for more information.",
               ""),
     "POWEROFF", kNoReplicate, "The host is being shutdown through Helm Console Interface (HELM).",
     false},
    {WISPD_ROW("wisp.user.host.stop.reboot", "", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.host.stop.reboot)Host is rebooting.", ""),
     "REBOOT", kNoReplicate, "The host is being rebooted through Shell Console User Interface.",
     true},
    {WISPD_ROW("wisp.user.host.stop.shutdown", "", FLARE_AUDIT,
               "@&!*@*@(tarn.audit.host.stop.shutdown)Host is shutting down.", ""),
     "POWEROFF", kNoReplicate,
     "The host is being powered off through Shell Console User Interface.", true},
};

const FlareRow kAccountLocked = WISPD_ROW(
    "wisp.user.account.locked", "%p %d %d", FLARE_AUDIT,
    "@&!*@*@(tarn.audit.account.locked)Remote access for Tarn local user account '%s' has been "
    "locked for %d seconds after %d failed login attempts.",
    "012");

const char kObjType[] = "reboot_reason";
const char kObjComponent[] = "mantle";
const char kObjGroup[] = "tarn";
const char kObjInstance[] = "";

// A reason counts as recorded only when store, object and value all read.
bool ReasonRecorded() {
  cs::Store *store = nullptr;
  cs::Object *object = nullptr;
  char *text = nullptr;
  bool recorded = cs::GetStore(0, &store) == cs::CSErrorCodes::CS_OK &&
                  cs::Get(store, kObjType, kObjComponent, kObjGroup, kObjInstance, &object) ==
                      cs::CSErrorCodes::CS_OK &&
                  cs::GetValueStr(object, "reason", &text) == cs::CSErrorCodes::CS_OK;
  if (text != nullptr) free(text);
  if (object != nullptr) cs::DestroyConfigStoreObject(object);
  if (store != nullptr) cs::DestroyStore(store);
  return recorded;
}

void WriteRecord(const char *type, const char *user, const char *subsystem, const char *stamp,
                 const char *reason) {
  cs::Object *object = nullptr;
  cs::Store *store = nullptr;
  cs::CSErrorCodes rc =
      cs::CreateObject(kObjType, kObjComponent, kObjGroup, kObjInstance, "{}", &object);
  const char *const keys[] = {"type", "user", "subsystem", "timestamp", "reason"};
  const char *const values[] = {type, user, subsystem, stamp, reason};
  for (size_t i = 0; i < 5 && rc == cs::CSErrorCodes::CS_OK; ++i)
    rc = cs::SetValueStr(object, keys[i], values[i]);
  if (rc == cs::CSErrorCodes::CS_OK) rc = cs::GetStore(0, &store);
  if (rc == cs::CSErrorCodes::CS_OK) rc = cs::SetCachedData(store, object);
  // A store that fails costs only the record: the flare went out already
  // and nothing is logged.
  (void)rc;
  if (object != nullptr) cs::DestroyConfigStoreObject(object);
  if (store != nullptr) cs::DestroyStore(store);
}

// Local time of the handler run, as the reason tool shows it.
void FormatStamp(char (&stamp)[128]) {
  memset(stamp, 0, sizeof stamp);
  time_t now = static_cast<time_t>(Clock_WallSeconds());
  struct tm local;
  if (localtime_r(&now, &local) != nullptr)
    strftime(stamp, sizeof stamp, "%a, %d %b %y %T %z", &local);
}

}  // namespace

bool UserReboot_ReasonText(const char *text, std::string *reason) {
  const char *colon = text != nullptr ? strchr(text, ':') : nullptr;
  if (colon == nullptr) return false;
  const char *p = colon + 1;
  while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) ++p;
  reason->assign(p);
  return true;
}

void UserReboot_Handle(const Wisp *wisp) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  const ReasonEntry *entry = nullptr;
  for (const ReasonEntry &e : kEntries)
    if (strcmp(e.row.wispId, id) == 0) entry = &e;
  if (entry == nullptr) return;

  RowValues values;
  if (FlareRow_Read(entry->row, wisp, &values) != 0) return;
  const char *user = kUnknownUser, *subsystem = entry->subsystem, *reason = entry->reason;
  if (reason == nullptr) {
    if (!UserReboot_ReasonText(values.str[0], &values.lookup)) return;
    reason = values.lookup.c_str();
    user = values.str[1];
    if (subsystem == nullptr) subsystem = values.str[2];
  }
  entry->row.post(entry->row, values);
  if (entry->keepRecorded && ReasonRecorded()) return;
  char stamp[128];
  FormatStamp(stamp);
  WriteRecord(entry->type, user, subsystem, stamp, reason);
}

void UserReboot_AccountLocked(const Wisp *wisp) {
  RowValues values;
  if (FlareRow_Read(kAccountLocked, wisp, &values) != 0) return;
  kAccountLocked.post(kAccountLocked, values);
  PldAudit_LogList("account.locked", values.str[0], "account", 1, nullptr);
}
