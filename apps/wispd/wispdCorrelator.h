// Correlator framework: handler tables and dispatch on the agent thread.
#pragma once

#include <map>
#include <string>

#include "pellibs/wisp.h"

typedef void (*WispHandler)(const Wisp *wisp);
typedef std::map<std::string, WispHandler> WispHandlerTable;
typedef void (*WakeupCallback)(void);

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
