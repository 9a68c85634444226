#include "pellibs/zthread.h"

#include <pthread.h>
#include <string.h>

namespace {
thread_local char tName[64] = "";
}

extern "C" void ZThreadBase_SetName(const char *name) {
  if (name == nullptr) name = "";
  size_t n = strnlen(name, sizeof tName - 1);
  memcpy(tName, name, n);
  tName[n] = '\0';
  // The kernel keeps 15 characters; enough to tell threads apart in ps.
  char shortName[16];
  size_t k = n < 15 ? n : 15;
  memcpy(shortName, name, k);
  shortName[k] = '\0';
  pthread_setname_np(pthread_self(), shortName);
}

extern "C" const char *ZThreadBase_CurName(void) {
  return tName;
}
