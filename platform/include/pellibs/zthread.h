// Per-thread names, read back by the log lines.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void ZThreadBase_SetName(const char *name);
const char *ZThreadBase_CurName(void);

#ifdef __cplusplus
}
#endif
