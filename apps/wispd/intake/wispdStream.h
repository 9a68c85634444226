// Observation streams: one pipe per agent, fed by the dispatcher with every
// raw record its filter accepts.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "pellibs/wisp.h"

enum { STREAM_FILTER_MAX = 10 };

struct StreamFilter {
  int32_t prefixCount;
  int32_t idCount;
  char *prefixes[STREAM_FILTER_MAX];  // "wisp." + group
  char *ids[STREAM_FILTER_MAX];
  // strlen of each prefix: every record is tested against every stream.
  size_t prefixLengths[STREAM_FILTER_MAX];
};

StreamFilter *StreamFilter_Create(void);
// 1 when full or out of memory, else 0.
int StreamFilter_AddGroup(StreamFilter *filter, const char *group);
int StreamFilter_AddId(StreamFilter *filter, const char *id);
int StreamFilter_Copy(const StreamFilter *filter, StreamFilter **copy);
void StreamFilter_Free(StreamFilter *filter);
// The id's length is its strlen, found once for all the streams.
bool StreamFilter_Accepts(const StreamFilter *filter, const char *id, size_t length);

struct Stream;

// Start-up: empty registry and its lock.
int Stream_RegistryInit(void);
// 0; 1 out of memory; 2 no pipe.
int Stream_Open(char **nameHolder, const StreamFilter *filter, Stream **stream);
// 1 when *count is below 1; otherwise the read end and *count = 1.
int Stream_GetReadFds(const Stream *stream, int *count, int *fds);
// 0 with *complete and a record; 0 with !*complete for a partial record; 1
// when the library builds nothing; 2 on a read error.
int Stream_Read(Stream *stream, Wisp **wisp, bool *complete);
// No whole record is held and the last read emptied the pipe: another read
// now would find nothing, so the caller polls first.
bool Stream_WaitFirst(const Stream *stream);
// Bytes read from the pipe that no record taken has used yet.
uint32_t Stream_Held(const Stream *stream);
int Stream_Close(Stream *stream);
// Fans a batch out; 0 or the errno of a failed pipe write.
int Stream_Dispatch(const uint8_t *batch, size_t length);
// The stop flag: once it is set, a pipe write interrupted by a signal gives
// up with EINTR instead of waiting on for an agent that may never read.
void Stream_SetStopFlag(const volatile sig_atomic_t *stop);
