// Names for a flare's arguments, taken from the words of its message, so that
// an alert carries `device="naa.1"` rather than a position.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wispalert {

struct ArgName {
  std::string label;  // empty: the argument names no object (a count, a time, a text)
  char conversion;    // the message's conversion letter ('s', 'd', 'x' ...)
  bool alternate;     // '#' given ("%#x" prints 0x)
};

// One entry per conversion of the message. An object is named by the words
// just before its conversion ("on virtual switch %s" gives "switch"); the
// labels of one message are distinct.
std::vector<ArgName> NameArgs(std::string_view message);

// The names for a flare id: those its message gives, or the fixed ones of the
// few messages that are bare conversions ("%s %s"). Cached per id.
const std::vector<ArgName> &ArgNamesOf(const std::string &eventId);

}  // namespace wispalert
