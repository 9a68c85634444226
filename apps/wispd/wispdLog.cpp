#include "wispdLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include "pelldan/syslog.h"
#include "pellibs/str.h"
#include "pellibs/zthread.h"
#include "wispdClock.h"

size_t Log_Prefix(const struct timeval *tv, char *buf) {
  buf[0] = '\0';
  struct tm tmv;
  time_t secs = tv->tv_sec;
  if (localtime_r(&secs, &tmv) == nullptr) return 0;
  // Local time, even though the text ends in Z.
  size_t len = strftime(buf, 32, "%Y-%m-%dT%H:%M:%SZ: ", &tmv);
  if (len > 2) {
    int n =
        snprintf(buf + len - 3, 32 - (len - 3), ".%03dZ: ", static_cast<int>(tv->tv_usec / 1000));
    if (n > 0) len = strnlen(buf, 31);
  }
  return len;
}

void LogV(const char *format, va_list ap) {
  char prefix[32] = "";
  struct timespec now = Clock_Get().Realtime();
  struct timeval tv = {now.tv_sec, static_cast<suseconds_t>(now.tv_nsec / 1000)};
  Log_Prefix(&tv, prefix);
  // The prefix holds no per cent sign, so the arguments keep their places.
  char *combined = Str_Asprintf(nullptr, "%s%s", prefix, format);
  if (combined == nullptr) {
    Syslog_VWrite(LOG_INFO, format, ap);
    return;
  }
  Syslog_VWrite(LOG_INFO, combined, ap);
  free(combined);
}

void Log(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  LogV(format, ap);
  va_end(ap);
}

void LogWisp(const Wisp *wisp) {
  uint64_t ts = 0;
  const char *id = nullptr;
  char *msg = nullptr;
  Wisp_GetTimestamp(wisp, &ts);
  Wisp_GetID(wisp, &id);
  Wisp_GetMsg(wisp, &msg, nullptr);
  Log("[%s] %luus: [%s] %s\n", ZThreadBase_CurName(), ts, id != nullptr ? id : "(null)",
      msg != nullptr ? msg : "");
  free(msg);
}

void LogFlare(const char *eventId, const char *message, uint64_t timestampUs) {
  Log("[%s] %luus: [%s] %s\n", ZThreadBase_CurName(), timestampUs, eventId,
      message != nullptr ? message : "");
}

void Panic(const char *format, ...) {
  va_list ap, again;
  va_start(ap, format);
  va_copy(again, ap);
  fputs("Wispd - Panic: ", stderr);
  vfprintf(stderr, format, ap);
  fflush(stderr);
  Log("%s", "Wispd - Panic: ");
  LogV(format, again);
  va_end(again);
  va_end(ap);
  abort();
}
