// Observations that map one to one onto a flare, written as table rows and
// served by one generic handler.
#pragma once

#include <stddef.h>

#include "wispdCorrelator.h"
#include "wispdFlare.h"

enum { FLARE_ROW_MAX_ARGS = 4 };

struct FlareRow {
  const char *wispId;
  // Arguments read from index 0: "%p" a string, "%d" an int, "%u" an
  // unsigned, blank-separated; "" reads none.
  const char *read;
  FlareKind kind;
  // The flare: marker, event id, ')' and the message.
  const char *flare;
  // Observation argument index of each message conversion, e.g. "210".
  const char *order;
};

// Maps every row's observation id to handler.
void FlareTable_Register(const FlareRow *rows, size_t count, WispHandler handler,
                         WispHandlerTable *table);
// Finds the observation's row, reads its arguments and posts its flare; a
// failed read posts nothing.
void FlareTable_Handle(const FlareRow *rows, size_t count, const Wisp *wisp);
