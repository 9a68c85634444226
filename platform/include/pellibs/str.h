// Text helpers.
#pragma once

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

char *Str_Asprintf(size_t *length, const char *format, ...) __attribute__((format(printf, 2, 3)));
char *Str_Vasprintf(size_t *length, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));
int Str_Sprintf(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
char *Str_Strcpy(char *dst, const char *src, size_t size);

#ifdef __cplusplus
}
#endif
