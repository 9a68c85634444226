// Correlator framework: handler tables and dispatch on the agent thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

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
// Looked up by the observation's id as it is, once per observation: no
// string is built, and one hash replaces a walk of compares of ids that
// mostly share their first words.
struct WispIdHash {
  using is_transparent = void;
  size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
};
typedef std::unordered_map<std::string, WispHandlerSlot, WispIdHash, std::equal_to<>>
    WispHandlerTable;

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
