// Message formatting of an outside format with outside arguments: input is
// the format, a NUL, then an argument area (descriptors and strings).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simhost/packed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
  if (nul == nullptr) return 0;
  std::string format(reinterpret_cast<const char *>(data), static_cast<size_t>(nul - data));
  std::vector<uint8_t> area(nul + 1, data + size);
  std::vector<simhost::Value> values;
  const char *why = nullptr;
  const uint8_t *base = area.data();
  uint64_t count = area.size() / MSGFMT_ARG_SIZE;
  // Try every descriptor count the area could hold, so that string data is
  // found after fewer descriptors too.
  for (uint64_t n = 0; n <= count && n <= 16; ++n) {
    if (simhost::ResolveSwizzled(base, n, base + area.size(), &values, &why)) {
      std::string text = simhost::FormatMessage(format.c_str(), values.data(), values.size());
      (void)text;
    }
  }
  return 0;
}
