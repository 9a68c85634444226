#include "simhost/report.h"

#include <stdarg.h>
#include <stdio.h>

extern "C" char *program_invocation_short_name;

namespace simhost {

void Report(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  fprintf(stderr, "%s: ", program_invocation_short_name);
  vfprintf(stderr, format, ap);
  fflush(stderr);
  va_end(ap);
}

}  // namespace simhost
