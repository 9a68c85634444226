// Platform audit log: one JSON line per record.
#include "pellibs/pldaudit.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "pelldan/files.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/hostmodel.h"

extern "C" int PldAudit_LogList(const char *event, const char *value, const char *field, int count,
                                const char *const *more) {
  if (event == nullptr || count < 0) return EINVAL;
  if (simhost::Failure("PldAudit_LogList")) return EIO;
  // Built as text from JSON strings alone: no JSON container is made (its
  // destructor allocates, which must not fail).
  auto text = [](const char *s) {
    return s != nullptr
               ? simhost::Json(s).dump(-1, ' ', false, simhost::Json::error_handler_t::replace)
               : std::string("null");
  };
  std::string line = "{\"event\":" + text(event) + ",\"fields\":{";
  for (int i = 0; i < count; ++i) {
    const char *v = i == 0 ? value : (more != nullptr ? more[2 * (i - 1)] : nullptr);
    const char *f = i == 0 ? field : (more != nullptr ? more[2 * (i - 1) + 1] : nullptr);
    if (f == nullptr) return EINVAL;
    // Appended piece by piece: GCC 12 at -O3 misreads a literal prepended to
    // a temporary string as an overflowing copy (-Wstringop-overflow).
    if (i > 0) line += ',';
    line += text(f);
    line += ':';
    line += text(v);
  }
  line += "}}\n";
  std::string path = pelldan::RootPath(pelldan::kAuditLog);
  int fd = pelldan::OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return -fd;
  int rc = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : EIO;
  close(fd);
  return rc;
}
