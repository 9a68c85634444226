// The kernel's log records as /dev/kmsg gives them, one per read:
// "priority,sequence,microseconds,flags[,...];text" and then lines of
// " KEY=VALUE" naming the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wisplinux {

struct KmsgRecord {
  int facility = 0, level = 0;
  uint64_t seq = 0, usec = 0;
  std::string text;
  std::string subsystem, device;  // SUBSYSTEM= and DEVICE=, when given
};

// The kernel's own records have facility 0; a line a program wrote into
// /dev/kmsg has the user facility (1) or what it chose.
constexpr int kKernelFacility = 0;

bool ParseKmsg(const char *data, size_t size, KmsgRecord *out, std::string *why);

}  // namespace wisplinux
