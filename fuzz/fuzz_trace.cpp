// Trace line building from an arbitrary argument area: input is the id, a
// NUL, a count byte, then the area.
#include <time.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "output/wispdTrace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
  if (nul == nullptr || nul + 1 >= data + size) return 0;
  std::string id(reinterpret_cast<const char *>(data), static_cast<size_t>(nul - data));
  int count = nul[1];
  std::vector<uint8_t> area(nul + 2, data + size);
  std::string line;
  struct timespec at = {1733400000, 1};
  Trace_BuildLine(at, "IN", 1, id.c_str(), area.data(), count, area.data() + area.size(), &line);
  return 0;
}
