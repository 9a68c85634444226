#include "uevent.h"

#include <cstring>

namespace wisplinux {

namespace {
// The kernel builds an event in a 2 KiB buffer with at most 64 variables;
// a little room beyond that, and nothing larger is taken.
constexpr size_t kLargestEvent = 8192;
constexpr size_t kMostEventVars = 128;
}  // namespace

std::string Uevent::Get(const std::string &key) const {
  auto it = vars.find(key);
  return it == vars.end() ? std::string() : it->second;
}

bool ParseUevent(const char *data, size_t size, Uevent *out, std::string *why) {
  *out = Uevent();
  if (size == 0 || size > kLargestEvent) {
    *why = "a device event of " + std::to_string(size) + " bytes";
    return false;
  }
  size_t pos = 0;
  bool first = true;
  while (pos < size) {
    const char *start = data + pos;
    const void *nul = memchr(start, '\0', size - pos);
    size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - start) : size - pos;
    std::string item(start, len);
    pos += len + 1;
    if (first) {
      first = false;
      size_t at = item.find('@');
      if (at == std::string::npos || at == 0 || at + 1 == item.size()) {
        *why = "no \"action@device\" header";
        return false;
      }
      out->action = item.substr(0, at);
      out->devpath = item.substr(at + 1);
      continue;
    }
    if (item.empty()) continue;
    size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) {
      *why = "a variable without a name and a value";
      return false;
    }
    if (out->vars.size() >= kMostEventVars) {
      *why = "more than " + std::to_string(kMostEventVars) + " variables";
      return false;
    }
    out->vars[item.substr(0, eq)] = item.substr(eq + 1);
  }
  return true;
}

}  // namespace wisplinux
