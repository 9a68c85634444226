#include "pellibs/str.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" char *Str_Vasprintf(size_t *length, const char *format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int need = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (need < 0) return nullptr;
  char *out = static_cast<char *>(malloc(static_cast<size_t>(need) + 1));
  if (out == nullptr) return nullptr;
  vsnprintf(out, static_cast<size_t>(need) + 1, format, ap);
  if (length != nullptr) *length = static_cast<size_t>(need);
  return out;
}

extern "C" char *Str_Asprintf(size_t *length, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *out = Str_Vasprintf(length, format, ap);
  va_end(ap);
  return out;
}

extern "C" int Str_Sprintf(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, size, format, ap);
  va_end(ap);
  return n;
}

extern "C" char *Str_Strcpy(char *dst, const char *src, size_t size) {
  if (size == 0) return dst;
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
  return dst;
}
