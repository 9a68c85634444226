// Reading an observation's arguments by a message format: input is the
// printf message, a NUL, then the raw record.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pellibs/wisp.h"
#include "wispdStorageLookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
  if (nul == nullptr) return 0;
  std::string message(reinterpret_cast<const char *>(data), static_cast<size_t>(nul - data));
  char derived[64];
  Storage_DeriveArgFormat(message.c_str(), derived, sizeof derived);
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
  Storage_ReadMessageArgs(w, message.c_str(), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                          p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  Wisp_Free(w);
  return 0;
}
