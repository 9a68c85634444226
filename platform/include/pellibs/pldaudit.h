// Platform audit log.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// One audit record: the event, then count (value, field) pairs; the first
// pair is given directly, further pairs in more as value, field, ...
int PldAudit_LogList(const char *event, const char *value, const char *field, int count,
                     const char *const *more);

#ifdef __cplusplus
}
#endif
