#include "kmsg.h"

#include <cstring>

namespace wisplinux {

namespace {
// A record is at most about 1 KiB of text plus its device lines; /dev/kmsg
// refuses reads shorter than a record, and the source reads 8 KiB.
constexpr size_t kLargestRecord = 16384;

// A decimal number ending at one of the stop characters; false on anything
// else, an empty number or one past 64 bits.
bool Number(const std::string &s, size_t *pos, const char *stops, uint64_t *out) {
  uint64_t v = 0;
  size_t start = *pos;
  while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9') {
    uint64_t d = static_cast<uint64_t>(s[*pos] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
    ++*pos;
  }
  if (*pos == start || *pos >= s.size() || strchr(stops, s[*pos]) == nullptr) return false;
  *out = v;
  return true;
}
}  // namespace

bool ParseKmsg(const char *data, size_t size, KmsgRecord *out, std::string *why) {
  *out = KmsgRecord();
  if (size == 0 || size > kLargestRecord) {
    *why = "a kernel log record of " + std::to_string(size) + " bytes";
    return false;
  }
  std::string rec(data, size);
  size_t semi = rec.find(';');
  if (semi == std::string::npos) {
    *why = "no \";\" after the record's prefix";
    return false;
  }
  std::string prefix = rec.substr(0, semi) + ";";
  size_t pos = 0;
  uint64_t priority = 0;
  if (!Number(prefix, &pos, ",", &priority) || !Number(prefix, &++pos, ",", &out->seq) ||
      !Number(prefix, &++pos, ",;", &out->usec) || priority > 0xffffff) {
    *why = "a prefix other than priority,sequence,microseconds";
    return false;
  }
  out->facility = static_cast<int>(priority >> 3);
  out->level = static_cast<int>(priority & 7);
  size_t end = rec.find('\n', semi + 1);
  out->text = rec.substr(semi + 1, end == std::string::npos ? std::string::npos : end - semi - 1);
  while (end != std::string::npos && end + 1 < rec.size()) {
    size_t next = rec.find('\n', end + 1);
    std::string line = rec.substr(end + 1, next == std::string::npos ? next : next - end - 1);
    end = next;
    if (line.size() < 2 || line[0] != ' ') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(1, eq - 1), value = line.substr(eq + 1);
    if (key == "SUBSYSTEM") out->subsystem = value;
    if (key == "DEVICE") out->device = value;
  }
  return true;
}

}  // namespace wisplinux
