// Allocations that failed and that the daemon carried on from: each is
// counted; the first of an episode (no failure for a minute before it) is
// logged with where it happened and the count so far.
#pragma once

void Memory_Failed(const char *where);
