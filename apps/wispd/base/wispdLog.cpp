#include "base/wispdLog.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <charconv>
#include <string_view>

#include "base/wispdClock.h"
#include "base/wispdKeptDigits.h"
#include "pelldan/syslog.h"
#include "pellibs/str.h"
#include "pellibs/zthread.h"

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

namespace {

// The prefix, formatted once a second per thread:
// localtime_r takes a process-wide lock that every agent would queue on.
size_t PrefixNow(char *buf) {
  thread_local time_t lastSec = -1;
  thread_local char whole[32];
  thread_local size_t wholeLen = 0;
  struct timespec now = Clock_Get().Realtime();
  struct timeval tv = {now.tv_sec, static_cast<suseconds_t>(now.tv_nsec / 1000)};
  if (tv.tv_sec != lastSec) {
    wholeLen = Log_Prefix(&tv, whole);
    lastSec = tv.tv_sec;
  }
  memcpy(buf, whole, wholeLen + 1);
  // Only the milliseconds differ within the second: ".mmmZ: " ends it.
  if (wholeLen >= 7 && buf[wholeLen - 7] == '.') {
    int ms = static_cast<int>(tv.tv_usec / 1000);
    buf[wholeLen - 6] = static_cast<char>('0' + ms / 100);
    buf[wholeLen - 5] = static_cast<char>('0' + ms / 10 % 10);
    buf[wholeLen - 4] = static_cast<char>('0' + ms % 10);
  }
  return wholeLen;
}

}  // namespace

void LogV(const char *format, va_list ap) {
  // Prefix and format side by side; the prefix holds no per cent sign, so
  // the arguments keep their places. Formats too long for the buffer go
  // through the heap.
  char combined[512];
  size_t prefixLen = PrefixNow(combined);
  size_t formatLen = strlen(format);
  if (prefixLen + formatLen < sizeof combined) {
    memcpy(combined + prefixLen, format, formatLen + 1);
    Syslog_VWrite(LOG_INFO, combined, ap);
    return;
  }
  char *heap = Str_Asprintf(nullptr, "%s%s", combined, format);
  Syslog_VWrite(LOG_INFO, heap != nullptr ? heap : format, ap);
  free(heap);
}

void Log(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  LogV(format, ap);
  va_end(ap);
}

namespace {

// The timestamp in decimal. Microseconds of one second share all but their
// last six digits: those are kept per thread, and only six are written.
size_t TimestampDigits(uint64_t timestamp, char *digits) {
  constexpr uint64_t kMicros = 1000000;
  thread_local KeptDigits tSecond;
  if (timestamp < kMicros)
    return static_cast<size_t>(std::to_chars(digits, digits + 20, timestamp).ptr - digits);
  size_t secondLen = tSecond.Write(static_cast<int64_t>(timestamp / kMicros), digits);
  uint32_t micros = static_cast<uint32_t>(timestamp % kMicros);
  for (size_t i = secondLen + 6; i > secondLen; --i, micros /= 10)
    digits[i - 1] = static_cast<char>('0' + micros % 10);
  return secondLen + 6;
}

// kLogLineShape after the prefix, its parts put side by side rather than
// through printf: every observation an agent dispatches is logged, and the
// line costs a third less this way. Lines too long for the stack go
// through the heap, and without memory through Log.
void LogShape(uint64_t timestamp, const char *id, const char *text) {
  const char *thread = ZThreadBase_CurName();
  if (thread == nullptr) thread = "(null)";  // as printf's %s
  char digits[24];
  size_t digitsLen = TimestampDigits(timestamp, digits);
  const std::string_view parts[] = {"[",  thread, "] ", {digits, digitsLen}, "us: [", id,
                                    "] ", text,   "\n"};
  char small[1024];
  size_t length = PrefixNow(small);
  size_t whole = length;
  for (const std::string_view &part : parts) whole += part.size();
  char *line = small;
  if (whole > sizeof small) {
    line = static_cast<char *>(malloc(whole));
    if (line == nullptr) {
      Log(kLogLineShape, thread, timestamp, id, text);
      return;
    }
    memcpy(line, small, length);
  }
  for (const std::string_view &part : parts) {
    memcpy(line + length, part.data(), part.size());
    length += part.size();
  }
  Syslog_Write(LOG_INFO, line, length);
  if (line != small) free(line);
}

}  // namespace

void LogWisp(const Wisp *wisp) {
  uint64_t ts = 0;
  const char *id = nullptr;
  char *msg = nullptr;
  Wisp_GetTimestamp(wisp, &ts);
  Wisp_GetID(wisp, &id);
  Wisp_GetMsg(wisp, &msg, nullptr);
  LogShape(ts, id != nullptr ? id : "(null)", msg != nullptr ? msg : "");
  free(msg);
}

void LogFlare(const char *eventId, const char *message, uint64_t timestampUs) {
  LogShape(timestampUs, eventId != nullptr ? eventId : "(null)", message != nullptr ? message : "");
}

void Log_Hold(void) {
  Syslog_Hold();
}

void Log_Release(void) {
  Syslog_Release();
}

void Log_Flush(void) {
  Syslog_Flush();
}

// The sanitizers keep their own handlers, which report the fault.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// The held records tell what the thread was doing.
void OnFatalSignal(int sig) {
  int saved = errno;
  Syslog_ReleaseInSignal();
  errno = saved;
  raise(sig);  // reset to the default on entry: it ends the process on return
}

}  // namespace

void Log_InstallFatalSignals(void) {
  const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
  for (int sig : signals) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnFatalSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    sigaction(sig, &sa, nullptr);
  }
}
#else
void Log_InstallFatalSignals(void) {}
#endif

void Panic(const char *format, ...) {
  va_list ap, again;
  va_start(ap, format);
  va_copy(again, ap);
  fputs("Wispd - Panic: ", stderr);
  vfprintf(stderr, format, ap);
  fflush(stderr);
  Log("%s", "Wispd - Panic: ");
  LogV(format, again);
  Log_Release();  // what this thread held, and the panic itself
  Log_Flush();    // abort skips the exit's wait for records still queued
  va_end(again);
  va_end(ap);
  abort();
}
