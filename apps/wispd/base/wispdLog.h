// Diagnostics: one syslog record per call, with a wall-clock prefix.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#include "pellibs/wisp.h"

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogV(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
// "[thread] <ts>us: [id] message"
void LogWisp(const Wisp *wisp);
void LogFlare(const char *eventId, const char *message, uint64_t timestampUs);
[[noreturn]] void Panic(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes the prefix for tv into buf (32 bytes); returns its length.
size_t Log_Prefix(const struct timeval *tv, char *buf);
