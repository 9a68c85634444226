#include "known_ids.h"

#include <set>

#include "intake/wispdCorrelatorDef.h"
#include "wispjson.h"

namespace scenario {

bool KnownFlare(const std::string &id) {
  return tools::FlareMessageFormat(id) != nullptr;
}

bool HandledObservation(const std::string &id) {
  static const std::set<std::string> handled = [] {
    std::set<std::string> ids;
    for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
      for (size_t i = 0; i < (*def)->rowCount; ++i) ids.insert((*def)->rows[i].wispId);
      for (size_t i = 0; i < (*def)->handlerCount; ++i) ids.insert((*def)->handlers[i].wispId);
    }
    return ids;
  }();
  if (handled.count(id) > 0) return true;
  // A fallback that handles takes every id of its correlator's groups.
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    if (!(*def)->fallbackHandles) continue;
    for (const char *const *g = (*def)->groups; g != nullptr && *g != nullptr; ++g) {
      std::string prefix = std::string("wisp.") + *g + ".";
      if (id.compare(0, prefix.size(), prefix) == 0) return true;
    }
  }
  return false;
}

}  // namespace scenario
