// Flare posting: builds the binary flare record, rate-limits, logs, traces
// and sends it to hubd, queueing it for retry when that fails.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

enum FlareKind { FLARE_PROBLEM = 0, FLARE_AUDIT = 1, FLARE_CLEAR = 2 };

#define FLARE_MARKER "@&!*@*@("

enum {
  FLARE_RECORD_SIZE = 1171,
  FLARE_ID_MAX = 129,
  FLARE_RATE_MAX = 1000,
  FLARE_RATE_WINDOW = 60,
  FLARE_RETRY_SECONDS = 180,
  FLARE_RETRY_MAX = 5,
};

// Record layout.
enum {
  FLARE_OFF_TIMESTAMP = 0,
  FLARE_OFF_UUID = 16,
  FLARE_UUID_BYTES = 38,
  FLARE_OFF_LENGTH = 56,
  FLARE_OFF_ARGCOUNT = 60,
  FLARE_OFF_IDLEN = 64,
  FLARE_OFF_ID = 68,
  FLARE_TRAILER = 4,
};

// Start-up: the retry timer and the host UUID.
void Flare_Init(void);
void Flare_Post(bool deferSend, FlareKind kind, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void Flare_PostV(bool deferSend, FlareKind kind, const char *format, va_list ap)
    __attribute__((format(printf, 3, 0)));
void Flare_PostProblem(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Flare_PostAudit(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Flare_PostClear(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Discouraged: a Problem flare from an id suffix and a format without marker.
void Wispd_PostProblem(const char *suffix, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The retry timer's callback: one pass over the queue.
void Flare_RetryPass(void);
// Entries waiting in the retry queue.
size_t Flare_QueueLength(void);
// Calls visit with the event id of every flare still queued, in order.
void Flare_ForEachQueued(void (*visit)(const char *eventId));
