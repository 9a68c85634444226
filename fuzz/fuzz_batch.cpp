// A batch from a producer: the dispatcher's walk and checks, then every
// record that passes built as a Wisp record and read through.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "intake/wispdStream.h"
#include "pellibs/wisp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (Stream_RegistryInit(), true);
  (void)ready;
  Stream_Dispatch(data, size);
  // The records of the batch, as the library would see each one.
  size_t offset = 0;
  while (size - offset >= WISP_RAW_HEADER_SIZE) {
    uint32_t len;
    memcpy(&len, data + offset + 16, sizeof len);
    if (len <= WISP_RAW_HEADER_SIZE || len > size - offset) break;
    void *raw = malloc(len);
    memcpy(raw, data + offset, len);
    Wisp *w = nullptr;
    Wisp_MakeWisp(raw, len, &w);
    if (w == nullptr) {
      free(raw);
    } else {
      char *msg = nullptr;
      if (Wisp_GetMsg(w, &msg, nullptr) == 0) free(msg);
      const char *s;
      int64_t v;
      for (unsigned i = 0; i < Wisp_GetArgCount(w) && i < 64; ++i) {
        Wisp_GetStringArg(w, i, &s);
        Wisp_GetIntArg(w, i, &v);
      }
      Wisp_Free(w);
    }
    offset += len;
  }
  return 0;
}
