// The host's syslog: one record per call in the C library's format.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A record waits a few milliseconds at most for room in the collector's
// queue; one it did not take is dropped and counted.
void Syslog_VWrite(int priority, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));
// Records the collector never took (none there, or its queue stayed full).
uint64_t Syslog_DroppedRecords(void);

#ifdef __cplusplus
}
#endif
