// One line of hubd's journal, decoded into the flare it records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wispjson.h"

namespace wispalert {

struct Flare {
  uint64_t timeUs = 0;
  std::string id;
  tools::Json args = tools::Json::array();  // hubd's argument items, checked
  std::string message;                      // empty when hubd knew no text
};

enum class LineKind {
  FLARE,
  HUBD_ERROR,  // hubd's own line for a record that did not decode
  BAD,         // not a line hubd writes
};

// Decodes one line (without its line feed); for BAD, *why says what is wrong.
LineKind DecodeLine(std::string_view line, Flare *flare, std::string *why);

// The value of argument i as text: a string as it is, a number in decimal;
// "" for an absent string or a missing argument.
std::string ArgText(const tools::Json &args, size_t i);

// An argument as an alert keeps it to match clears against: a string (or an
// absent one), or a number by sign and magnitude whatever its width, so that
// i32 7 and u64 7 agree and i32 -1 and u64 2^64-1 do not.
struct ArgValue {
  bool isString = false;
  bool absent = false;
  std::string text;
  bool negative = false;
  uint64_t magnitude = 0;
  bool operator==(const ArgValue &) const = default;
};
std::vector<ArgValue> ArgValues(const tools::Json &args);
// Back to hubd's argument items (numbers as i64 or u64).
tools::Json ArgItems(const std::vector<ArgValue> &values);

// Whether argument i of a and argument j of b are the same value.
bool SameArg(const std::vector<ArgValue> &a, size_t i, const std::vector<ArgValue> &b, size_t j);

}  // namespace wispalert
