// One correlator in process against a simulated host: observations in by id
// and arguments, the flares it posted out as records an in-process hubd
// decoded, time through a fake clock and the daemon's own timer service.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "intake/wispdCorrelatorDef.h"
#include "records.h"
#include "sandbox.h"
#include "wispjson.h"

namespace testing_support {

typedef std::vector<std::string> Texts;

struct PostedFlare {
  std::string id;
  tools::OrderedJson args;  // as hubd shows them: [{"s": "pnic0"}, {"i32": 3}]
  std::string message;      // rendered from the daemon's own flare text
  // "[event id] message", the form the daemon logs.
  std::string Text() const { return "[" + id + "] " + message; }
};

class CorrelatorKit {
 public:
  explicit CorrelatorKit(const CorrelatorDef &def, const std::string &model = "");
  ~CorrelatorKit();

  // Replaces the host model.
  void Model(const std::string &json);
  // Dispatches one observation through the correlator's table and fallback.
  void Send(const std::string &id, const std::vector<tools::Arg> &args = {},
            const std::string &fmt = "");
  // Flares posted since the last call, in order.
  std::vector<PostedFlare> Flares();
  // Their "[event id] message" texts.
  std::vector<std::string> Texts();
  // Log messages since the last call.
  std::vector<std::string> Logs();
  // Host actions journalled since the last call.
  std::vector<std::string> Actions();
  // Moves the clock, then runs every timer that fell due.
  void Advance(double seconds);
  // Forgets the correlator's state.
  void Reset();
  const WispHandlerTable &Table() const { return table_; }

  Root root;
  LogCapture log{root};
  std::unique_ptr<FakeClock> clock;

 private:
  const CorrelatorDef &def_;
  WispHandlerTable table_;
  int hubd_ = -1;
  size_t logsSeen_ = 0, actionsSeen_ = 0;
  int syncs_ = 0;
};

inline tools::Arg U32(uint32_t v) {
  return Int(MSGFMT_UINT32, v);
}
inline tools::Arg I64(int64_t v) {
  return Int(MSGFMT_INT64, static_cast<uint64_t>(v));
}
inline tools::Arg U64(uint64_t v) {
  return Int(MSGFMT_UINT64, v);
}

// The read conversions of a row, e.g. {"%p", "%lu"}.
std::vector<std::string> RowConversions(const FlareRow &row);
// Arguments that fit a row's reads: strings "s<k>", integers 100 + k, each
// of the width its conversion reads.
std::vector<tools::Arg> RowArguments(const FlareRow &row);

}  // namespace testing_support
