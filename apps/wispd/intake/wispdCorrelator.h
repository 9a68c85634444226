// Correlator framework: handler tables and dispatch on the agent thread.
#pragma once

#include <map>
#include <string>

#include "pellibs/wisp.h"

struct FlareRow;

typedef void (*WispHandler)(const Wisp *wisp);
typedef void (*WakeupCallback)(void);

// What an id maps to: a handler, or a table row that reaches the generic
// row handler directly.
struct WispHandlerSlot {
  WispHandler handler = nullptr;
  const FlareRow *row = nullptr;
  WispHandlerSlot() = default;
  WispHandlerSlot(WispHandler h) : handler(h) {}  // NOLINT: assigned like a handler
  explicit WispHandlerSlot(const FlareRow *r) : row(r) {}
  bool Empty() const { return handler == nullptr && row == nullptr; }
};
// Looked up by the observation's id as it is: no string is built per lookup.
typedef std::map<std::string, WispHandlerSlot, std::less<>> WispHandlerTable;

// Each returns only when the agent ends. groups and ids end with NULL.
void Correlator_RunGroups(const char *name, const char *const *groups, const char *const *ids,
                          WispHandler fallback, const WispHandlerTable &table);
void Correlator_Run(const char *name, const char *group, WispHandler fallback,
                    const WispHandlerTable &table);
void Correlator_RunWithFds(const char *name, const char *group, WispHandler fallback,
                           const WispHandlerTable &table, WakeupCallback wakeup, const int *fds,
                           int count);
void Correlator_Dispatch(WispHandler fallback, const WispHandlerTable &table, const Wisp *wisp);

// A fallback handler that does nothing.
void Correlator_IgnoreWisp(const Wisp *wisp);
// The fallback of the scsi, APD and VM correlators.
void Correlator_ReportUnhandled(const Wisp *wisp);
// A fallback that logs the observation.
void Correlator_LogWisp(const Wisp *wisp);
