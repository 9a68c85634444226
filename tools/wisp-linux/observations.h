// The observations the Linux source sends: one row per kind, with the id the
// daemon's correlators take, the kernel context of its family and the message
// format the record carries.
#pragma once

#include <string>
#include <vector>

#include "../common/wispjson.h"

namespace wisplinux {

enum class Family { kNet, kClock, kStorage, kHardware };
constexpr int kFamilies = 4;
const char *FamilyName(Family family);

enum class ObsKind {
  kLinkDown,
  kLinkUp,
  kUplinkDown,
  kUplinkUp,
  kClockStep,
  kClockStepUnsync,
  kSyncGained,
  kSyncLost,
  kSyncDoubtful,
  kPathDead,
  kPathOn,
  kPathPor,
  kApdStart,
  kApdExit,
  kApdTimeout,
  kTooManyIoErrors,
  kCorrectedError,
  kCount,
};

struct ObsRow {
  ObsKind kind;
  Family family;
  const char *id;
  const char *format;  // what the record's arguments say, in order
};

const ObsRow &RowOf(ObsKind kind);

// One observation ready to send.
struct Observation {
  ObsKind kind;
  std::vector<tools::Arg> args;
};

tools::Arg Str(const std::string &text);
tools::Arg I32(int32_t value);
tools::Arg U32(uint32_t value);
tools::Arg U64(uint64_t value);

// The kernel context each family's observations go to; the order within a
// family is kept because one context is one ordered stream.
struct Contexts {
  int of[kFamilies] = {1, 2, 3, 4};
};

}  // namespace wisplinux
