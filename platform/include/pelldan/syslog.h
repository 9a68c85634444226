// The host's syslog: one record per call in the C library's format.
#pragma once

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

void Syslog_VWrite(int priority, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));

#ifdef __cplusplus
}
#endif
