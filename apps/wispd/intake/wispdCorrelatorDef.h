// A correlator described as data: what it subscribes to, its table rows, its
// hand-written handlers, its fallback, its state and what it needs at start.
#pragma once

#include <stddef.h>

#include <iterator>

#include "intake/wispdCorrelator.h"
#include "output/wispdFlareRow.h"

struct HandlerRow {
  const char *wispId;
  WispHandler handler;
};

struct CorrelatorDef {
  // Display name; the thread is named "%sCorrelator" from it.
  const char *name;
  // Groups and exact ids, each list ending with NULL; ids may be NULL.
  const char *const *groups;
  const char *const *ids;
  const FlareRow *rows;
  size_t rowCount;
  // Registered after the rows, so a handler overrides a row of its id.
  const HandlerRow *handlers;
  size_t handlerCount;
  WispHandler fallback;
  // The fallback handles the ids of its groups (it posts, not only
  // reports): every id of the groups counts as this correlator's.
  bool fallbackHandles;
  // Forgets every piece of state the correlator keeps (NULL: none). Run
  // before the correlator starts and by tests between cases.
  void (*reset)(void);
  // Registration work once the table is built: timers, window start times.
  // Runs once per process; NULL: none. false: the correlator does not run.
  bool (*start)(void);
  // An extra descriptor that wakes the agent, with its callback: the
  // correlator then runs with Correlator_RunWithFds on its first group.
  int (*wakeFd)(void);
  WakeupCallback wakeup;
};

// Designated members of a definition: .rows with .rowCount, .handlers with
// .handlerCount, each from one array.
#define WISPD_ROWS(array) .rows = array, .rowCount = std::size(array)
#define WISPD_HANDLERS(array) .handlers = array, .handlerCount = std::size(array)

// Fills table with the correlator's rows, then its handlers.
void Correlator_BuildTable(const CorrelatorDef &def, WispHandlerTable *table);
// The agent entry for a definition: reset, table, start, then the run routine.
void Correlator_RunDef(const CorrelatorDef &def);

// Every correlator the daemon starts, in start order, ending with NULL.
extern const CorrelatorDef *const kCorrelatorDefs[];
