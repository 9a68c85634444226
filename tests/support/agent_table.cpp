#include "agent_table.h"

#include <algorithm>

#include "intake/wispdCorrelatorDef.h"

namespace testing_support {

size_t CorrelatorCount() {
  size_t n = 0;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) ++n;
  return n;
}

std::vector<std::string> CorrelatorThreadNames() {
  std::vector<std::string> names;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def)
    names.push_back((std::string((*def)->name) + "Correlator").substr(0, 15));
  return names;
}

std::vector<std::string> CorrelatorGroups() {
  std::vector<std::string> groups;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def)
    for (const char *const *g = (*def)->groups; *g != nullptr; ++g)
      if (std::find(groups.begin(), groups.end(), *g) == groups.end()) groups.push_back(*g);
  return groups;
}

}  // namespace testing_support
