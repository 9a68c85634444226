// Corrected memory and machine-check errors, from the lines the kernel's
// mce:mce_record and ras:mc_event tracepoints write to a trace pipe.
#pragma once

#include <cstdint>
#include <string>

namespace wisplinux {

struct MachineCheck {
  uint64_t status = 0;   // the bank's status word
  uint64_t cpu = 0;      // the logical CPU that logged it
  uint64_t address = 0;  // the machine address
  uint64_t count = 1;    // corrected errors this record stands for
};

enum class TraceLine {
  kCorrected,  // *out holds a corrected error
  kOther,      // an uncorrected error or another event: read, not sent
  kBad,        // a record of ours that does not decode (*why)
};

TraceLine ParseTraceLine(const std::string &line, MachineCheck *out, std::string *why);

// Status bits of a machine-check bank.
constexpr uint64_t kMciValid = 1ull << 63;
constexpr uint64_t kMciUncorrected = 1ull << 61;
constexpr uint64_t kMciAddressValid = 1ull << 58;

}  // namespace wisplinux
