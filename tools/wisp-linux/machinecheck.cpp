#include "machinecheck.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace wisplinux {

namespace {

// The number after label in text (base 16 or 10), up to the first character
// that is not a digit; false when the label is absent or no digit follows.
bool After(const std::string &text, const std::string &label, int base, uint64_t *out) {
  size_t at = text.find(label);
  if (at == std::string::npos) return false;
  std::string rest = text.substr(at + label.size(), 24);
  if (base == 16 && rest.compare(0, 2, "0x") == 0) rest.erase(0, 2);
  const char *start = rest.c_str();
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(start, &end, base);
  if (end == start || errno != 0 || *start == '-' || *start == '+' || *start == ' ') return false;
  *out = v;
  return true;
}

// "CPU: 1, MCGc/s: 0/0, MC8: 8c00004000010090, ..., ADDR/MISC: 0000000012345000/..."
TraceLine McePayload(const std::string &p, MachineCheck *out, std::string *why) {
  // The bank: ", MC8: ", not ", MCGc/s: ".
  size_t bank = p.find(", MC");
  while (bank != std::string::npos &&
         (bank + 4 >= p.size() || !isdigit(static_cast<unsigned char>(p[bank + 4]))))
    bank = p.find(", MC", bank + 4);
  size_t colon = bank == std::string::npos ? bank : p.find(": ", bank + 4);
  if (!After(p, "CPU: ", 10, &out->cpu) || colon == std::string::npos ||
      !After(p.substr(colon), ": ", 16, &out->status)) {
    *why = "a machine check without its CPU and status";
    return TraceLine::kBad;
  }
  size_t addr = p.find("ADDR");
  size_t addrColon = addr == std::string::npos ? addr : p.find(": ", addr);
  if (addrColon == std::string::npos || !After(p.substr(addrColon), ": ", 16, &out->address))
    out->address = 0;
  out->count = 1;
  return (out->status & kMciUncorrected) != 0 ? TraceLine::kOther : TraceLine::kCorrected;
}

// "1 Corrected error: memory read error on DIMM_A1 (mc:0 location:0:0:-1
// address:0x12345000 grain:32 syndrome:0x0 ...)"
TraceLine MemoryPayload(const std::string &p, MachineCheck *out, std::string *why) {
  uint64_t count = 0;
  if (!After(" " + p, " ", 10, &count) || p.find(" error") == std::string::npos) {
    *why = "a memory error without its count";
    return TraceLine::kBad;
  }
  if (p.find(" Corrected error") == std::string::npos) return TraceLine::kOther;
  if (!After(p, "address:", 16, &out->address)) {
    *why = "a corrected memory error without its address";
    return TraceLine::kBad;
  }
  // The memory controller gives no bank status: valid with an address, and
  // an error code of 0, which no processor core is blamed for.
  out->status = kMciValid | kMciAddressValid;
  out->cpu = 0;
  out->count = count == 0 ? 1 : count;
  return TraceLine::kCorrected;
}

}  // namespace

TraceLine ParseTraceLine(const std::string &line, MachineCheck *out, std::string *why) {
  using Payload = TraceLine (*)(const std::string &, MachineCheck *, std::string *);
  static const struct {
    const char *marker;
    Payload parse;
  } kEvents[] = {{": mce_record: ", McePayload}, {": mc_event: ", MemoryPayload}};
  *out = MachineCheck();
  for (const auto &event : kEvents) {
    size_t at = line.find(event.marker);
    if (at != std::string::npos)
      return event.parse(line.substr(at + strlen(event.marker)), out, why);
  }
  return TraceLine::kOther;
}

}  // namespace wisplinux
