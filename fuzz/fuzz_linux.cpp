// The Linux source's readers of the kernel's bytes: link messages through
// the link table, and capture lines.
#include <cstdint>
#include <string>
#include <vector>

#include "event.h"
#include "linkmsg.h"
#include "links.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static wisplinux::LinkTable table([] {
    wisplinux::LinkConfig c;
    c.nicKinds = {"veth"};
    c.portGroups = {{"frontend", "switch0"}};
    return c;
  }());
  wisplinux::LinkBatch batch = wisplinux::DecodeLinkMessages(data, size);
  std::vector<wisplinux::Observation> obs;
  for (const wisplinux::LinkMsg &link : batch.links) table.Apply(link, &obs);
  table.Current();
  wisplinux::Event event;
  std::string why;
  wisplinux::EventFromLine(std::string(reinterpret_cast<const char *>(data), size), &event, &why);
  return 0;
}
