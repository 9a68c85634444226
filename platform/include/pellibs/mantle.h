// Kernel calls made directly by the daemon.
#pragma once

#include <stdint.h>

#include "pellibs/sysinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

// Kernel call that stamps a flare record: the time in microseconds at offset
// 0 and a kernel sequence number at offset 8.
enum { MANTLE_SYSCALL_STAMP_FLARE = 2240 };

MANTLE_ReturnStatus Mantle_Syscall(int number, void *arg, long extra);

#ifdef __cplusplus
}
#endif
