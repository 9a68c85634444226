// Generic correlator: events that components of other vendors report, in
// the "external" group and as user-level twins. Every other observation of
// its groups is only logged (the user-level correlator posts those).

#include <string.h>

#include "intake/wispdCorrelatorDef.h"

namespace {

// Component, knowledge-base link, component again, message.
const FlareRow kExternal[] = {
    WISPD_ROW("wisp.external.warning", "%p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.3rdParty.warning)A 3rd party component, %s, running on Tarn "
              "has reported a warning related to a problem. Please follow the knowledge base link "
              "(%s) to see the steps to remedy the problem as reported by %s. The message "
              "reported is: %s.",
              "0102"),
    WISPD_ROW("wisp.external.error", "%p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.3rdParty.error)A 3rd party component, %s, running on Tarn has "
              "reported an error. Please follow the knowledge base link (%s) to see the steps to "
              "remedy the problem as reported by %s. The message reported is: %s.",
              "0102"),
    WISPD_ROW("wisp.external.info", "%p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.3rdParty.information)A 3rd party component, %s, running on "
              "Tarn has reported an informational event. If needed, please follow the knowledge "
              "base link (%s) to see the steps to remedythe problem as reported by %s. The "
              "message reported is: %s.",
              "0102"),
};

// A report missing any of its three texts is not passed on.
void Post(const FlareRow &row, const Wisp *wisp) {
  RowValues values;
  if (FlareRow_Read(row, wisp, &values) != 0) return;
  for (size_t i = 0; i < values.count; ++i)
    if (values.str[i] == nullptr) return;
  row.post(row, values);
}

void HandleWarning(const Wisp *wisp) {
  Post(kExternal[0], wisp);
}
void HandleError(const Wisp *wisp) {
  Post(kExternal[1], wisp);
}
void HandleInfo(const Wisp *wisp) {
  Post(kExternal[2], wisp);
}

const HandlerRow kHandlers[] = {
    {"wisp.external.warning", HandleWarning},  {"wisp.external.error", HandleError},
    {"wisp.external.info", HandleInfo},        {"wisp.user.external.warning", HandleWarning},
    {"wisp.user.external.error", HandleError}, {"wisp.user.external.info", HandleInfo},
};

const char *const kGroups[] = {"user", "external", nullptr};

}  // namespace

extern const CorrelatorDef kGenericCorrelator = {
    .name = "Generic",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_LogWisp,
};
