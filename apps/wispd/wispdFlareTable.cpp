#include "wispdFlareTable.h"

#include <stdint.h>
#include <string.h>

namespace {

struct Arg {
  char kind;  // 'p', 'd' or 'u'
  const char *str;
  int64_t num;
};

// Forwards the values as typed variadic arguments, in message order.
template <typename... T>
void PostTyped(const FlareRow &row, const Arg *args, size_t n, T... done) {
  constexpr size_t kDone = sizeof...(T);
  if constexpr (kDone < FLARE_ROW_MAX_ARGS) {
    if (kDone < n) {
      const Arg &a = args[row.order[kDone] - '0'];
      if (a.kind == 'p') {
        PostTyped(row, args, n, done..., a.str);
      } else if (a.kind == 'd') {
        PostTyped(row, args, n, done..., static_cast<int>(a.num));
      } else {
        PostTyped(row, args, n, done..., static_cast<unsigned>(a.num));
      }
      return;
    }
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  Flare_Post(false, row.kind, row.flare, done...);
#pragma GCC diagnostic pop
}

// Reads the row's arguments by index; false when one is missing or of the
// other type.
bool ReadArgs(const FlareRow &row, const Wisp *wisp, Arg *args, size_t *count) {
  size_t n = 0;
  for (const char *p = strchr(row.read, '%'); p != nullptr; p = strchr(p + 1, '%')) {
    if (n == FLARE_ROW_MAX_ARGS) return false;
    Arg &a = args[n];
    a.kind = p[1];
    if (a.kind == 'p') {
      if (Wisp_GetStringArg(wisp, static_cast<unsigned>(n), &a.str) != 0) return false;
    } else if (Wisp_GetIntArg(wisp, static_cast<unsigned>(n), &a.num) != 0) {
      return false;
    }
    ++n;
  }
  *count = n;
  return true;
}

}  // namespace

void FlareTable_Register(const FlareRow *rows, size_t count, WispHandler handler,
                         WispHandlerTable *table) {
  for (size_t i = 0; i < count; ++i) (*table)[rows[i].wispId] = handler;
}

void FlareTable_Handle(const FlareRow *rows, size_t count, const Wisp *wisp) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  for (size_t i = 0; i < count; ++i) {
    if (!Wisp_IsID(id, rows[i].wispId)) continue;
    Arg args[FLARE_ROW_MAX_ARGS] = {};
    size_t n = 0;
    if (!ReadArgs(rows[i], wisp, args, &n)) return;
    size_t shown = strlen(rows[i].order);
    for (size_t k = 0; k < shown; ++k) {
      if (static_cast<size_t>(rows[i].order[k] - '0') >= n) return;  // a faulty row
    }
    PostTyped(rows[i], args, shown);
    return;
  }
}
