// Link-flapping detection: a NIC whose link goes down too often within a
// minute is taken down.
#pragma once

#include <string>

// Counts one link-down of nic and takes the NIC down when the count within
// the window exceeds the "Net" option LinkFlappingThreshold.
void NetFlapping_Check(const std::string &nic);
// Forgets every NIC's history.
void NetFlapping_Reset(void);
