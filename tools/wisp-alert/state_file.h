// The forwarder's durable state: where it stands in the journal and the
// alerts it holds, written whole to a new file that then replaces the old
// one, so that a kill at any moment leaves one or the other.
#pragma once

#include <string>

#include "journal.h"
#include "wispjson.h"

namespace wispalert {

bool SaveState(const std::string &path, const JournalPosition &pos, const tools::Json &alerts,
               std::string *why);

enum class StateLoad { NONE, LOADED, BAD };
// NONE when there is no file; BAD (with *why) for one that does not decode.
StateLoad LoadState(const std::string &path, JournalPosition *pos, tools::Json *alerts,
                    std::string *why);

}  // namespace wispalert
