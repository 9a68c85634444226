#include "base/wispdAcceptNote.h"

#include <string.h>

#include "base/wispdLog.h"

void Accept_Note(pelldan::AcceptPause *pause, const char *listener, int fd, int err,
                 const char *failFormat, bool everyFailure) {
  if (fd >= 0) {
    if (uint64_t failed = pause->Succeeded())
      Log("%s accept() failed %llu times while descriptors ran out; accepting again\n", listener,
          static_cast<unsigned long long>(failed));
    return;
  }
  bool starts = false;
  bool exhausted = pause->Failed(err, pelldan::AcceptPause::NowMs(), &starts);
  if (exhausted ? starts : everyFailure) Log(failFormat, strerror(err));
}
