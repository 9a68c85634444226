// What the source reads from the kernel, one event at a time; a capture
// file holds them as JSON lines so that a replay runs the same code.
#pragma once

#include <cstdint>
#include <string>

#include "clockwatch.h"

namespace wisplinux {

struct Event {
  enum class Kind { kLinks, kOverrun, kStep, kSync, kUevent, kKmsg, kTrace, kStorage };
  Kind kind = Kind::kLinks;
  uint64_t atUs = 0;  // since the source started (monotonic)
  // kLinks: one read of the route socket; kUevent: one device event;
  // kKmsg: one kernel log record; kTrace: one trace line; kStorage: the
  // block devices and mounts, as JSON.
  std::string bytes;
  uint64_t ios = 0;                            // kKmsg: the named device's completed requests
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
