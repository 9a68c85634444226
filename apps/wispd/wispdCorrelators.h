// Entry functions of the correlator agents.
#pragma once

void ApdCorrelator_Main(void);
void NetCorrelator_Main(void);
