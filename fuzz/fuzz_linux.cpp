// The Linux source's readers of the kernel's bytes: link messages through
// the link table, and capture lines.
#include <cstdint>
#include <string>
#include <vector>

#include "event.h"
#include "linkmsg.h"
#include "links.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One table per input: an input holds as many messages as it likes.
  wisplinux::LinkConfig config;
  config.nicKinds = {"veth"};
  config.portGroups = {{"frontend", "switch0"}};
  wisplinux::LinkTable table(config);
  wisplinux::LinkBatch batch = wisplinux::DecodeLinkMessages(data, size);
  std::vector<wisplinux::Observation> obs;
  for (const wisplinux::LinkMsg &link : batch.links) table.Apply(link, &obs);
  table.Current();
  wisplinux::Event event;
  std::string why;
  wisplinux::EventFromLine(std::string(reinterpret_cast<const char *>(data), size), &event, &why);
  return 0;
}
