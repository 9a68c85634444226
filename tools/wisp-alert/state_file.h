// The forwarder's durable state: where it stands in the journal and the
// alerts it holds, written whole to a new file that then replaces the old
// one, so that a kill at any moment leaves one or the other. JSON lines: a
// head (the position and the Alertmanagers' URLs), then one line per alert,
// so that neither writing nor reading holds more than one alert's document.
#pragma once

#include <string>
#include <vector>

#include "journal.h"
#include "wispjson.h"

namespace wispalert {

bool SaveState(const std::string &path, const JournalPosition &pos,
               const std::vector<std::string> &urls, const std::string &alertLines,
               std::string *why);

enum class StateLoad { NONE, LOADED, BAD };
// NONE when there is no file; BAD (with *why) for one whose head does not
// decode. The alert lines are handed to *alertLines as they are.
StateLoad LoadState(const std::string &path, JournalPosition *pos, std::vector<std::string> *urls,
                    std::vector<std::string> *alertLines, std::string *why);

}  // namespace wispalert
