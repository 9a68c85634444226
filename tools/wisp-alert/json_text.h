// JSON written straight into a string, byte for byte as nlohmann's
// dump(-1, ' ', false, replace) writes the same values: a post or a state
// file of many alerts without a document built for each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wispalert {

// The text in quotes, escaped.
void AppendJsonString(std::string *out, std::string_view text);
void AppendJsonUint(std::string *out, uint64_t n);
void AppendJsonInt(std::string *out, int64_t n);

}  // namespace wispalert
