#include "intake/wispdCorrelatorDef.h"

void Correlator_BuildTable(const CorrelatorDef &def, WispHandlerTable *table) {
  for (size_t i = 0; i < def.rowCount; ++i)
    (*table)[def.rows[i].wispId] = WispHandlerSlot(&def.rows[i]);
  for (size_t i = 0; i < def.handlerCount; ++i)
    (*table)[def.handlers[i].wispId] = def.handlers[i].handler;
}

void Correlator_RunDef(const CorrelatorDef &def) {
  if (def.reset != nullptr) def.reset();
  WispHandlerTable table;
  Correlator_BuildTable(def, &table);
  if (def.start != nullptr && !def.start()) return;
  if (def.wakeFd != nullptr) {
    int fd = def.wakeFd();
    Correlator_RunWithFds(def.name, def.groups[0], def.fallback, table, def.wakeup, &fd, 1);
    return;
  }
  static const char *const kNoIds[] = {nullptr};
  Correlator_RunGroups(def.name, def.groups, def.ids != nullptr ? def.ids : kNoIds, def.fallback,
                       table);
}
