#include "table_rows.h"

#include <cstring>

#include "correlator_kit.h"

namespace bench {
namespace {

// True when a hand-written handler takes the row's id instead.
bool Overridden(const CorrelatorSpec &def, const char *id) {
  for (size_t h = 0; h < def.handlerCount; ++h)
    if (std::strcmp(def.handlers[h].wispId, id) == 0) return true;
  return false;
}

}  // namespace

std::vector<tools::Json> TableMix() {
  std::vector<tools::Json> out;
  for (const CorrelatorSpec *const *def = kCorrelatorSpecs; *def != nullptr; ++def) {
    for (size_t r = 0; r < (*def)->rowCount; ++r) {
      const FlareRow &row = (*def)->rows[r];
      tools::Json args = tools::Json::array();
      for (const tools::Arg &a : testing_support::RowArguments(row))
        args.push_back(tools::Json::parse(tools::ArgToJson(a.type, a.bits, a.str.c_str()).dump()));
      out.push_back({{"id", row.wispId}, {"args", args}});
    }
  }
  return out;
}

std::vector<tools::Json> RowsThatPostNothing() {
  std::vector<tools::Json> out;
  for (const CorrelatorSpec *const *def = kCorrelatorSpecs; *def != nullptr; ++def) {
    for (size_t r = 0; r < (*def)->rowCount; ++r) {
      const FlareRow &row = (*def)->rows[r];
      if (std::strchr(row.read, '%') == nullptr || (row.flags & ROW_POST_ON_FAIL) != 0 ||
          Overridden(**def, row.wispId))
        continue;
      out.push_back({{"id", row.wispId}, {"args", tools::Json::array()}});
    }
  }
  return out;
}

}  // namespace bench
