#include "simhost/report.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include "pelldan/syslog.h"

extern "C" char *program_invocation_short_name;

namespace simhost {

void Report(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  fprintf(stderr, "%s: ", program_invocation_short_name);
  vfprintf(stderr, format, ap);
  fflush(stderr);
  Syslog_VWrite(LOG_ERR | LOG_DAEMON, format, again);
  va_end(again);
  va_end(ap);
}

}  // namespace simhost
