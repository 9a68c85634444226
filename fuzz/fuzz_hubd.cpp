// hubd's decoding of a flare record from its socket.
#include <cstdint>
#include <string>

#include "wispjson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tools::OrderedJson line;
  std::string error;
  if (tools::DecodeFlare(data, size, &line, &error)) {
    std::string text = line.dump(-1, ' ', false, tools::OrderedJson::error_handler_t::replace);
    (void)text;
  }
  return 0;
}
