#include "pellibs/mantle.h"

#include <sys/time.h>

#include <atomic>

#include "simhost/hostmodel.h"
#include "simhost/packed.h"

extern "C" MANTLE_ReturnStatus Mantle_Syscall(int number, void *arg, long extra) {
  static std::atomic<uint64_t> sequence{0};
  (void)extra;
  if (number != MANTLE_SYSCALL_STAMP_FLARE || arg == nullptr) return MANTLE_NOT_SUPPORTED;
  if (simhost::Failure("Mantle_Syscall:2240")) return MANTLE_FAILURE;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  uint8_t *rec = static_cast<uint8_t *>(arg);
  simhost::StoreU64(
      rec, static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec));
  simhost::StoreU64(rec + 8, ++sequence);
  return MANTLE_OK;
}
