// What the source reads from the kernel, one event at a time; a capture
// file holds them as JSON lines so that a replay runs the same code.
#pragma once

#include <cstdint>
#include <string>

#include "clockwatch.h"

namespace wisplinux {

struct Event {
  enum class Kind { kLinks, kOverrun, kStep, kSync };
  Kind kind = Kind::kLinks;
  uint64_t atUs = 0;                           // since the source started (monotonic)
  std::string bytes;                           // kLinks: one read of the route socket
  int64_t deltaNs = 0, toSec = 0, toNsec = 0;  // kStep
  SyncSample sync;                             // kSync
};

// The first line of a capture.
std::string CaptureHeader(const std::string &systemUuid);
// The UUID a header names; false when the line is no capture header.
bool ReadCaptureHeader(const std::string &line, std::string *systemUuid, std::string *why);

std::string EventToLine(const Event &event);
bool EventFromLine(const std::string &line, Event *event, std::string *why);

}  // namespace wisplinux
