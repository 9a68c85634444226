// Diagnostics: one syslog record per call, with a wall-clock prefix.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#include "pellibs/wisp.h"

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogV(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
// The line of an observation or a flare, after the prefix: thread name,
// timestamp in microseconds, id and message.
inline constexpr char kLogLineShape[] = "[%s] %luus: [%s] %s\n";
void LogWisp(const Wisp *wisp);
void LogFlare(const char *eventId, const char *message, uint64_t timestampUs);
// The calling thread's records of one turn of work (an agent's, between two
// waits) go out together at its end: Log_Hold when the turn starts,
// Log_Release before the thread waits again. Order and content are kept.
void Log_Hold(void);
void Log_Release(void);
// Waits (at most a second) until every record logged so far has gone to
// the collector or been dropped: before ending without the exit's handlers.
void Log_Flush(void);
// A thread that dies of a fault or an abort first sends the records it
// held, with one send that neither waits nor locks; then the signal ends
// the process as it would have.
void Log_InstallFatalSignals(void);
[[noreturn]] void Panic(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes the prefix for tv into buf (32 bytes); returns its length.
size_t Log_Prefix(const struct timeval *tv, char *buf);
