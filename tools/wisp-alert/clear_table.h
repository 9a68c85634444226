// Which flare ends which problems, and which of their arguments must match:
// data checked against the daemon's flare catalogue while it compiles.
#pragma once

#include <initializer_list>
#include <string_view>

#include "catalogue.h"

namespace wispalert {

// Argument `ender` of the ending flare equals argument `ended` of the problem.
struct ArgMatch {
  unsigned ender;
  unsigned ended;
};

struct ClearRow {
  const char *ender;  // a clear, or a recovery the daemon posts as a problem or audit
  const char *ended;  // a problem
  ArgMatch match[3];
  unsigned matches;  // 0: it ends every such problem on the host
};

constexpr ClearRow MakeClearRow(const char *ender, const char *ended,
                                std::initializer_list<ArgMatch> match) {
  ClearRow row{ender, ended, {}, 0};
  for (ArgMatch m : match) {
    if (row.matches == 3) {
      row.matches = 4;  // too many: the check below refuses it
      break;
    }
    row.match[row.matches++] = m;
  }
  return row;
}

enum class ClearFault {
  OK,
  UNKNOWN_ENDER,
  UNKNOWN_ENDED,
  ENDED_NOT_A_PROBLEM,
  ENDS_ITSELF,
  TOO_MANY_MATCHES,
  ENDER_INDEX_OUT_OF_RANGE,
  ENDED_INDEX_OUT_OF_RANGE,
};

constexpr ClearFault CheckClearRow(const ClearRow &row) {
  int ender = FlareIndex(row.ender);
  int ended = FlareIndex(row.ended);
  if (ender < 0) return ClearFault::UNKNOWN_ENDER;
  if (ended < 0) return ClearFault::UNKNOWN_ENDED;
  if (!std::string_view(row.ended).starts_with(kProblemPrefix))
    return ClearFault::ENDED_NOT_A_PROBLEM;
  if (ender == ended) return ClearFault::ENDS_ITSELF;
  if (row.matches > 3) return ClearFault::TOO_MANY_MATCHES;
  for (unsigned i = 0; i < row.matches; ++i) {
    if (row.match[i].ender >= flarecat::kFlares[ender].args)
      return ClearFault::ENDER_INDEX_OUT_OF_RANGE;
    if (row.match[i].ended >= flarecat::kFlares[ended].args)
      return ClearFault::ENDED_INDEX_OUT_OF_RANGE;
  }
  return ClearFault::OK;
}

// One row: WISP_ENDS(ender, ended, {ender arg, ended arg}...). A row whose
// ids the daemon does not post, or whose argument indexes its messages do not
// have, fails the build naming the row.
#define WISP_ENDS(ender, ended, ...)                                                         \
  [] {                                                                                       \
    constexpr wispalert::ClearRow r_ = wispalert::MakeClearRow(ender, ended, {__VA_ARGS__}); \
    static_assert(wispalert::CheckClearRow(r_) == wispalert::ClearFault::OK,                 \
                  "faulty clear row " ender " ends " ended);                                 \
    return r_;                                                                               \
  }()

// The table itself (clear_table.cpp).
extern const ClearRow kClearRows[];
extern const unsigned kClearRowCount;

// Whether id ends problems (a recovery posted as a problem is then not
// raised as an alert of its own).
bool EndsProblems(std::string_view id);

}  // namespace wispalert
