// One line of hubd's journal, decoded into the flare it records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// Whether argument i of a and argument j of b are the same value (an absent
// string equals only an absent string; numbers compare by value).
bool SameArg(const tools::Json &a, size_t i, const tools::Json &b, size_t j);

}  // namespace wispalert
