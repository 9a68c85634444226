// Trace server: a text line for every observation dispatched ("IN") and
// every flare built ("OUT"), streamed to local clients.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

enum { TRACE_HISTORY_MAX = 131072 };
// Clients served at once; further connections are closed at once.
enum { TRACE_CLIENTS_MAX = 32 };
// A client may fall this far behind before it is dropped, so that a reader
// pausing through a burst loses nothing; all clients together may hold at
// most the total, beyond which the one furthest behind is dropped.
enum : size_t {
  TRACE_PENDING_MAX = size_t{64} << 20,
  TRACE_PENDING_TOTAL_MAX = size_t{256} << 20,
};

// Listening socket at path (NULL: the default path); -1 on failure.
int Trace_Listen(const char *path);
void Trace_Accept(int listenFd);
// Milliseconds the listener rests after descriptors ran out (0: poll it).
int Trace_AcceptRestMs(void);
void Trace_Emit(const char *direction, uint64_t timestampUs, const char *id, const void *args,
                int count, const void *recordEnd);

// The line for one record, wall-clock field included; false when a string
// argument lies outside the record.
bool Trace_BuildLine(const struct timespec &now, const char *direction, uint64_t timestampUs,
                     const char *id, const void *args, int count, const void *recordEnd,
                     std::string *line);
