// Raw observation records for tests.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pellibs/msgfmt.h"
#include "pellibs/wisp.h"
#include "wispjson.h"

namespace testing_support {

inline tools::Arg Str(const std::string &s) {
  tools::Arg a;
  a.type = MSGFMT_STRING;
  a.str = s;
  return a;
}
inline tools::Arg NullStr() {
  tools::Arg a;
  a.type = MSGFMT_STRING;
  a.absent = true;
  return a;
}
inline tools::Arg Int(uint32_t type, uint64_t bits) {
  tools::Arg a;
  a.type = type;
  a.bits = bits;
  return a;
}
inline tools::Arg I32(int32_t v) {
  return Int(MSGFMT_INT32, static_cast<uint64_t>(static_cast<int64_t>(v)));
}

inline std::string Record(const std::string &id, const std::vector<tools::Arg> &args = {},
                          const std::string &fmt = "", uint64_t ts = 1733400000000000) {
  return tools::BuildRawRecord(id, fmt.empty() ? nullptr : &fmt, args, ts);
}

// The library's observation of a raw record, which it takes over as a copy;
// null when the library rejects the record. Wisp_Free releases it.
inline Wisp *MakeWisp(const std::string &raw) {
  void *copy = malloc(raw.size());
  memcpy(copy, raw.data(), raw.size());
  Wisp *wisp = nullptr;
  Wisp_MakeWisp(copy, raw.size(), &wisp);
  if (wisp == nullptr) free(copy);
  return wisp;
}

}  // namespace testing_support
