// Observation records and flare records as the tools read and write them.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tools {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// One typed argument.
struct Arg {
  uint32_t type = 0;
  uint64_t bits = 0;
  bool absent = false;  // strings only
  std::string str;
};

// {"i32": n}, {"i64": n}, {"u32": n}, {"u64": n}, {"s": text|null}.
bool ArgFromJson(const Json &item, Arg *arg, std::string *error);
OrderedJson ArgToJson(uint32_t type, uint64_t bits, const char *str);

// The argument area: descriptors, then string data, offsets from its start.
std::string PackArgs(const std::vector<Arg> &args);
// A raw observation record; fmt may be NULL (no format).
std::string BuildRawRecord(const std::string &id, const std::string *fmt,
                           const std::vector<Arg> &args, uint64_t timestampUs);
// A raw record from a JSON observation {"id", "fmt", "args", "ts"}.
bool RawRecordFromJson(const Json &obs, uint64_t nowUs, std::string *record, std::string *error);

// Decodes one flare record into hubd's JSON line; false with *error when it
// does not decode.
bool DecodeFlare(const uint8_t *data, size_t size, OrderedJson *line, std::string *error);

// The flare formats of the daemon's sources, by event id; NULL if unknown.
const char *FlareMessageFormat(const std::string &eventId);

uint64_t NowMicros();

}  // namespace tools
