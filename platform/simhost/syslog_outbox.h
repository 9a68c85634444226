// Records that could not go at once, sent by a thread of their own as the
// collector makes room.
#pragma once

#include <sys/uio.h>

#include <atomic>

namespace simhost::logsend {

// Records in the outbox, sent or not: while any are, records that could go
// at once queue behind them instead.
extern std::atomic<int> gQueued;

// Adds records to the outbox in their order; each one that finds no room
// in the time a record may wait for the collector is dropped and counted.
void Enqueue(const struct iovec *records, int n);

// Waits until the outbox is empty, at most a second.
void FlushOutbox();

}  // namespace simhost::logsend
