// Kernel contexts have one reader per host. On the simulated host a lock
// file under the root stands in for the kernel's ownership: the first
// context a process opens takes it, the last one it closes gives it back.
#pragma once

#include <string>

namespace simhost {

constexpr const char kContextLock[] = "/var/run/pelldan/wispd.lock";

// 0, or EBUSY when another process holds the root's contexts (reported with
// its pid), or the errno of a lock file that cannot be made. *lockPath is
// what to hand back to ContextLockRelease.
int ContextLockAcquire(std::string *lockPath);
void ContextLockRelease(const std::string &lockPath);

}  // namespace simhost
