// The forwarder's durable state: where it stands in the journal and the
// alerts it holds, written whole to a new file that then replaces the old
// one, so that a kill at any moment leaves one or the other. JSON lines: a
// head (the position and the Alertmanagers' URLs), then one line per alert,
// written and read a piece at a time, so that a large table is never held
// twice over, as text beside the alerts.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "journal.h"
#include "wispjson.h"

namespace wispalert {

// Writes FILE.new: Begin() the head, Write() the alert lines as they come,
// Commit() puts it in FILE's place. One not committed is removed.
class StateWriter {
 public:
  explicit StateWriter(std::string path);
  ~StateWriter();
  StateWriter(const StateWriter &) = delete;
  StateWriter &operator=(const StateWriter &) = delete;

  bool Begin(const JournalPosition &pos, const std::vector<std::string> &urls, std::string *why);
  // Writes out *text and empties it; false once a write failed (Commit
  // says why).
  bool Write(std::string *text);
  bool Commit(std::string *why);

 private:
  std::string path_, tmp_;
  int fd_ = -1;
  bool failed_ = false;
  int error_ = 0;  // errno of the write that failed
};

enum class StateLoad { NONE, LOADED, BAD };
// NONE when there is no file; BAD (with *why) for one whose head does not
// decode. Each alert line is handed to alertLine as it is, after the head
// has filled *pos and *urls.
StateLoad LoadState(const std::string &path, JournalPosition *pos, std::vector<std::string> *urls,
                    const std::function<void(std::string_view)> &alertLine, std::string *why);

}  // namespace wispalert
