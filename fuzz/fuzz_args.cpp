// Both argument readers against an arbitrary record: Wisp_GetArgs with the
// text as a scanf-like format, and the read by a printf message format
// derived from the same text. Input is the text, a NUL, then the raw record.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "correlators/wispdStorageLookup.h"
#include "pellibs/wisp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
  if (nul == nullptr) return 0;
  std::string format(reinterpret_cast<const char *>(data), static_cast<size_t>(nul - data));
  size_t len = size - static_cast<size_t>(nul - data) - 1;
  void *raw = malloc(len > 0 ? len : 1);
  memcpy(raw, nul + 1, len);
  Wisp *w = nullptr;
  Wisp_MakeWisp(raw, len, &w);
  if (w == nullptr) {
    free(raw);
    return 0;
  }
  // Room for any conversion: the widest output is 8 bytes.
  uint64_t out[16][2] = {};
  void *p[16];
  for (int i = 0; i < 16; ++i) p[i] = &out[i];
  Wisp_GetArgs(w, 0, format.c_str(), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9],
               p[10], p[11], p[12], p[13], p[14], p[15]);
  Wisp_GetArgs(w, 1, format.c_str(), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9],
               p[10], p[11], p[12], p[13], p[14], p[15]);
  char derived[64];
  Storage_DeriveArgFormat(format.c_str(), derived, sizeof derived);
  Storage_ReadMessageArgs(w, format.c_str(), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                          p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  Wisp_Free(w);
  return 0;
}
