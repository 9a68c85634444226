#include "wispdCorrelatorSpec.h"

void Correlator_BuildTable(const CorrelatorSpec &spec, WispHandlerTable *table) {
  for (size_t i = 0; i < spec.rowCount; ++i)
    (*table)[spec.rows[i].wispId] = WispHandlerSlot(&spec.rows[i]);
  for (size_t i = 0; i < spec.handlerCount; ++i)
    (*table)[spec.handlers[i].wispId] = spec.handlers[i].handler;
}

void Correlator_RunSpec(const CorrelatorSpec &spec) {
  if (spec.reset != nullptr) spec.reset();
  WispHandlerTable table;
  Correlator_BuildTable(spec, &table);
  if (spec.start != nullptr && !spec.start()) return;
  if (spec.wakeFd != nullptr) {
    int fd = spec.wakeFd();
    Correlator_RunWithFds(spec.name, spec.groups[0], spec.fallback, table, spec.wakeup, &fd, 1);
    return;
  }
  static const char *const kNoIds[] = {nullptr};
  Correlator_RunGroups(spec.name, spec.groups, spec.ids != nullptr ? spec.ids : kNoIds,
                       spec.fallback, table);
}
