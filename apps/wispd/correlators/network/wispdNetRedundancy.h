// Uplink redundancy tracking: transitions of one uplink are gathered for a
// short settling delay, then summarised per outcome in one flare each.
#pragma once

#include <stdint.h>

#include "pellibs/wisp.h"

// The network correlator's timer, armed for the earliest deadline.
void NetRedundancy_SetTimer(int timerId);

void NetRedundancy_PgDown(const Wisp *wisp);
void NetRedundancy_PgUp(const Wisp *wisp);
void NetRedundancy_DvDown(const Wisp *wisp);
void NetRedundancy_DvUp(const Wisp *wisp);
void NetRedundancy_LinkUp(const Wisp *wisp);
// Runs the link-flapping check first.
void NetRedundancy_LinkDown(const Wisp *wisp);
void NetRedundancy_Watchdog(const Wisp *wisp);

// The wake-up callback: runs every evaluation due within the coming second
// and re-arms the timer for the rest.
void NetRedundancy_Timeout(void);

// Forgets all state, link-flapping history included.
void NetRedundancy_Reset(void);
