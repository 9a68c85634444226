// Correlators whose handlers are not written yet: each still consumes its
// groups. A correlator's own source file replaces its line here.
#include "wispdCorrelatorSpec.h"

#define WISPD_PENDING(spec, name, ...)                                                       \
  namespace {                                                                                \
  const char *const spec##Groups[] = {__VA_ARGS__, nullptr};                                 \
  }                                                                                          \
  extern const CorrelatorSpec spec = {                                                       \
      name,    spec##Groups, nullptr, WISPD_NO_TABLE, WISPD_NO_TABLE, Correlator_IgnoreWisp, \
      nullptr, nullptr,      nullptr, nullptr};

WISPD_PENDING(kScsiCorrelator, "scsi", "scsi")
WISPD_PENDING(kIscsiCorrelator, "iscsi", "iscsi")
WISPD_PENDING(kCairnCorrelator, "cairn", "cairn")
WISPD_PENDING(kUserLevelCorrelator, "UserLevel", "user")
WISPD_PENDING(kUserWorldCorrelator, "UserWorld", "uw")
WISPD_PENDING(kSwapCorrelator, "SWAP", "swap")
WISPD_PENDING(kVmCorrelator, "VM", "vm")
WISPD_PENDING(kGenericCorrelator, "Generic", "user", "external")
WISPD_PENDING(kMigrateCorrelator, "migrate", "migrate")
WISPD_PENDING(kStowfsCorrelator, "Stowfs", "stowfs")
WISPD_PENDING(kVfatCorrelator, "Vfat", "vfat")
WISPD_PENDING(kVscsiCorrelator, "vscsi", "vscsi")
WISPD_PENDING(kStrataCorrelator, "Strata", "strata")
WISPD_PENDING(kHcmCorrelator, "HCM", "hcm")
