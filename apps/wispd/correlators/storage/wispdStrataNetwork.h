// Strata's network and clustering configuration as its module reports it,
// so that a loss is told apart from a loss of redundancy and a recovery
// clears the earlier problem; and repeated medium errors per disk held back.
#pragma once

#include "pellibs/wisp.h"

// Handlers of the Strata correlator's table.
void StrataNet_GotIp(const Wisp *wisp);
void StrataNet_NoIp(const Wisp *wisp);
void StrataNet_Configured(const Wisp *wisp);
void StrataNet_Removed(const Wisp *wisp);
void StrataNet_LastRemoved(const Wisp *wisp);
void StrataNet_ClusteringDisabled(const Wisp *wisp);
void StrataNet_ClusteringEnabled(const Wisp *wisp);
void StrataNet_Unloaded(const Wisp *wisp);
void StrataNet_MediumError(const Wisp *wisp);

// Forgets every interface, condition and medium-error time.
void StrataNet_Reset(void);
