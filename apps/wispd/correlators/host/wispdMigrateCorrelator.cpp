// Migration correlator: failures of the live-migration server.

#include "intake/wispdCorrelatorDef.h"

namespace {

const FlareRow kRows[] = {
    WISPD_ROW("wisp.migrate.glide.default.heap.create.failed", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.migrate.glide.default.heap.create.failed)Failed to create "
              "default migration heap. This may be a result of severe host memory pressure, or "
              "virtual address space exhaustion. Migration may still be possible, but will be "
              "unreliable in cases of extreme host memory pressure.",
              ""),
};

void HandleListenerShutdown(const Wisp *wisp) {
  const char *status = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p", &status) != 0) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.migrate.glide.server.pending.cnx.listen.socket.shutdown)The Tarn "
      "host's Glide network server encountered an error while monitoring incoming network "
      "connections. Shutting down listener socket. Glides may no longer be possible with this "
      "host until Glide is manually re-enabled. Failure status: %s",
      status != nullptr ? status : "unknown");
}

const HandlerRow kHandlers[] = {
    {"wisp.migrate.glide.server.pending.cnx.listen.socket.shutdown", HandleListenerShutdown},
};

const char *const kGroups[] = {"migrate", nullptr};

}  // namespace

extern const CorrelatorDef kMigrateCorrelator = {
    .name = "migrate",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
};
