// What the daemon's listeners log about their accepts while descriptors run
// out (pelldan::AcceptPause): the failure that starts an episode, and the
// count of failed accepts once an accept succeeds again.
#pragma once

#include "pelldan/accept_pause.h"

// After one accept on the listener named listener ("Trace", "Counters"):
// fd is its result and err its errno. failFormat takes the error text;
// everyFailure logs failures other than running out of descriptors too.
void Accept_Note(pelldan::AcceptPause *pause, const char *listener, int fd, int err,
                 const char *failFormat, bool everyFailure);
