// Path state and connectivity of storage devices: losses reported on a path
// going down and restored when it comes back, frequent path state changes
// and frequent power-on resets. Runs on the scsi correlator's thread only.
#pragma once

#include "pellibs/wisp.h"

// "dead" / "off": connectivity or redundancy lost.
void ScsiPaths_Down(const Wisp *wisp);
// "on" / "standby": a recorded loss restored.
void ScsiPaths_Up(const Wisp *wisp);
void ScsiPaths_AddRemove(const Wisp *wisp);
void ScsiPaths_PowerOnReset(const Wisp *wisp);

// Starts the four counting windows now.
void ScsiPaths_StartWindows(void);
// Forgets every table; the windows start now.
void ScsiPaths_Reset(void);
