#include "listing.h"

#include <cctype>
#include <string>

#include "intake/wispdCorrelatorDef.h"

namespace scenario {

namespace {

// A row's read formats as a scenario writes the arguments: "%p %d" -> "s, i32".
std::string ArgKinds(const char *read) {
  std::string out;
  for (const char *c = read; *c != '\0'; ++c) {
    if (*c != '%') continue;
    const char *p = c + 1;
    while (*p != '\0' && !isalpha(static_cast<unsigned char>(*p))) ++p;  // a width
    bool wide = false;
    for (; *p == 'l' || *p == 'h'; ++p) wide = wide || *p == 'l';
    if (*p == '\0') break;
    const char *kind = *p == 'p' || *p == 's'   ? "s"
                       : *p == 'd' || *p == 'i' ? (wide ? "i64" : "i32")
                                                : (wide ? "u64" : "u32");
    if (!out.empty()) out.append(", ");
    out.append(kind);
    c = p;
  }
  return out.empty() ? std::string("none") : out;
}

// "tarn.problem.x.y" of a row's flare text.
std::string FlareId(const char *flare) {
  std::string text = flare;
  size_t open = text.find('('), close = text.find(')');
  return open == std::string::npos || close == std::string::npos
             ? text
             : text.substr(open + 1, close - open - 1);
}

}  // namespace

void ListObservations(std::ostream &out) {
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    const CorrelatorDef &d = **def;
    out << d.name << "Correlator: groups";
    for (const char *const *g = d.groups; g != nullptr && *g != nullptr; ++g) out << " " << *g;
    if (d.fallbackHandles) out << " (every id of them is taken)";
    out << "\n";
    for (size_t i = 0; i < d.rowCount; ++i)
      out << "  " << d.rows[i].wispId << "  args: " << ArgKinds(d.rows[i].read) << "  -> "
          << FlareId(d.rows[i].flare) << "\n";
    for (size_t i = 0; i < d.handlerCount; ++i)
      out << "  " << d.handlers[i].wispId << "  args: read in code (see the correlator's source)\n";
    for (const char *const *id = d.ids; id != nullptr && *id != nullptr; ++id)
      out << "  " << *id << "  (taken by id)\n";
  }
}

}  // namespace scenario
