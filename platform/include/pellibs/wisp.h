// Observation library: observation sources and Wisp records.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Returned by WispLib_ReadFromFd when the pending batch does not fit the buffer.
enum { WISPLIB_TOO_LARGE = 27 };
// Largest batch a source ever delivers.
enum { WISPLIB_MAX_BATCH = 131071 };
// Fixed part of a raw observation record.
enum { WISP_RAW_HEADER_SIZE = 32 };

typedef struct WispLibHandle WispLibHandle;
typedef struct Wisp Wisp;

// Sources. All return 0 or an errno value.
int WispLib_AsyncContextOpen(int context, WispLibHandle **handle);
int WispLib_UserContextOpen(int context, WispLibHandle **handle);
int WispLib_HandleToFd(const WispLibHandle *handle, int *fd);
// One batch into buf; WISPLIB_TOO_LARGE leaves a kernel batch pending.
int WispLib_ReadFromFd(int fd, void *buf, size_t size, size_t *length);
// Drops the batch a kernel context holds pending.
int WispLib_Reset(WispLibHandle *handle);
int WispLib_UserContextNewCnx(WispLibHandle *handle, int *fd);
// Negative on failure.
int WispLib_UserContextCloseCnx(int fd);
int WispLib_Close(WispLibHandle *handle);

// Checks a whole raw record: 0 when Wisp_MakeWisp would build it, else EINVAL
// with *why (optional) naming the first fault.
int Wisp_CheckRaw(const void *raw, size_t length, const char **why);
// Builds a record that owns raw (a malloc'd buffer) on success; *wisp is NULL
// on failure and raw stays with the caller.
void Wisp_MakeWisp(void *raw, size_t length, Wisp **wisp);
void Wisp_Free(Wisp *wisp);

int Wisp_GetID(const Wisp *wisp, const char **id);
int Wisp_IsID(const char *a, const char *b);
// *msg is malloc'd; *length (optional) receives its length.
int Wisp_GetMsg(const Wisp *wisp, char **msg, size_t *length);
int Wisp_GetTimestamp(const Wisp *wisp, uint64_t *us);
// What the argument readers return for an argument the record lacks.
enum { WISP_MISSING_ARGUMENT = 75 };

// scanf-like over the typed arguments from index first; 0,
// WISP_MISSING_ARGUMENT when an argument is missing, EINVAL for a type
// mismatch or a bad format.
int Wisp_GetArgs(const Wisp *wisp, unsigned first, const char *format, ...);
int Wisp_GetArgsVA(const Wisp *wisp, unsigned first, const char *format, va_list ap);
// *str may be NULL for an absent string argument.
int Wisp_GetStringArg(const Wisp *wisp, unsigned index, const char **str);
int Wisp_GetIntArg(const Wisp *wisp, unsigned index, int64_t *value);
unsigned Wisp_GetArgCount(const Wisp *wisp);

#ifdef __cplusplus
}
#endif
