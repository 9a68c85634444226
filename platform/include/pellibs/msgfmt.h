// Packed message arguments: see docs/packed-arguments.md for the layout.
#pragma once

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  MSGFMT_INT32 = 1,
  MSGFMT_INT64 = 2,
  MSGFMT_UINT32 = 3,
  MSGFMT_UINT64 = 4,
  MSGFMT_STRING = 6,
};
enum { MSGFMT_ARG_SIZE = 32 };

// Packs the arguments of format into buf: descriptors, then string data.
// On entry *size is the room in buf; on return the bytes used (or needed,
// when false is returned because they did not fit). *error (optional) names
// a format the packer cannot handle; false is then returned too.
bool MsgFmt_GetArgsWithBuf(const char *format, va_list ap, void **args, int *count,
                           const char **error, void *buf, size_t *size);
// Formats with packed arguments as MsgFmt_GetArgsWithBuf left them.
char *MsgFmt_Asprintf(size_t *length, const char *format, const void *args, int count);
// Turns string pointers into offsets from args.
void MsgFmt_SwizzleArgs(void *args, int count);
// A string of a swizzled set, checked against recordEnd; *str is NULL for an
// absent string. Non-zero when the argument is no string or lies outside.
int MsgFmt_GetSwizzledString(const void *args, int count, int index, const void *recordEnd,
                             const char **str);

#ifdef __cplusplus
}
#endif
