// iSCSI correlator: the software initiator's discovery, login and target
// failures; its connection and session observations are absorbed.
#include <stdio.h>

#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"iscsi", nullptr};

// The login error code as four hex digits; a wider code keeps its first four.
std::string LoginError(const RowValues &v) {
  char text[5];
  snprintf(text, sizeof text, "%04x", static_cast<unsigned>(v.bits[2]));
  return text;
}

const FlareRow kRows[] = {
    WISPD_ROW("wisp.iscsi.target.connect.error", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.iscsi.target.connect.error)Login to iSCSI target %s "
              "on %s failed. The iSCSI initiator could not establish a network connection to the "
              "target.",
              "10"),
    WISPD_ROW("wisp.iscsi.target.login.error", "%p %p %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.iscsi.target.login.error)Login to iSCSI target %s on "
              "%s failed. Target returned login error of: %s.",
              "10L")
        .Lookup(LoginError),
    WISPD_ROW("wisp.iscsi.target.permanently.removed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.iscsi.target.permanently.removed)The target %s was "
              "permanently removed from %s.",
              "01"),
    WISPD_ROW("wisp.iscsi.discovery.connect.error", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.iscsi.discovery.connect.error)iSCSI discovery to %s "
              "on %s failed. The iSCSI Initiator could not establish a network connection to the "
              "discovery address.",
              "10"),
    WISPD_ROW("wisp.iscsi.discovery.login.error", "%p %p %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.iscsi.discovery.login.error)iSCSI discovery to %s on "
              "%s failed. The Discovery target returned a login error of: %s.",
              "10L")
        .Lookup(LoginError),
    WISPD_ROW("wisp.iscsi.isns.discovery.error", "%p %p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.iscsi.isns.discovery.error)iSns discovery to %s on %s "
              "failed. (%s : %s).",
              "1023"),
};

// Absorbed: in the table so that they reach no fallback, but they post nothing.
const HandlerRow kHandlers[] = {
    {"wisp.iscsi.connection.started", Correlator_IgnoreWisp},
    {"wisp.iscsi.connection.stopped", Correlator_IgnoreWisp},
    {"wisp.iscsi.connection.error", Correlator_IgnoreWisp},
    {"wisp.iscsi.session.recovery.timeout", Correlator_IgnoreWisp},
    {"wisp.iscsi.target.async.event", Correlator_IgnoreWisp},
};

}  // namespace

extern const CorrelatorDef kIscsiCorrelator = {
    .name = "iscsi",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
};
