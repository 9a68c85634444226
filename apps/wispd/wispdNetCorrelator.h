// The network correlator's handler table, apart from its agent so that tests
// can dispatch to it directly.
#pragma once

#include "wispdCorrelator.h"

// Inserts all 44 network observation ids.
void NetCorrelator_AddHandlers(WispHandlerTable *table);
