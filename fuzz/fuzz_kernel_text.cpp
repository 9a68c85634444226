// The Linux source's readers of the kernel's text: a kernel log record, a
// device event and a trace line, each through the storage table or the
// machine-check reader, and a block device inventory as JSON.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kmsg.h"
#include "machinecheck.h"
#include "storage.h"
#include "uevent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  wisplinux::StorageTable table({2, 60});
  wisplinux::StorageInventory inventory;
  inventory.disks["mpatha"] = {"253:0", "", {"sdb", "sdc"}, {{"mpatha-part1", {1, "253:1"}}}};
  inventory.disks["sdb"] = {"8:16", "2:0:0:1", {}, {}};
  inventory.disks["sdc"] = {"8:32", "3:0:0:1", {}, {}};
  inventory.mounts = {{"253:1", "/srv/data"}};
  table.SetInventory(inventory);
  std::vector<wisplinux::Observation> obs;
  std::string why;
  wisplinux::KmsgRecord record;
  // Twice: the second meets what the first left (a window, a path state).
  for (int i = 0; i < 2; ++i)
    if (wisplinux::ParseKmsg(text, size, &record, &why))
      table.Kmsg(record, static_cast<uint64_t>(size) * i, 1000000u * i, &obs);
  wisplinux::Uevent event;
  for (int i = 0; i < 2; ++i)
    if (wisplinux::ParseUevent(text, size, &event, &why)) table.Uevent(event, 1000000u * i, &obs);
  wisplinux::MachineCheck mc;
  wisplinux::ParseTraceLine(std::string(text, size), &mc, &why);
  if (wisplinux::InventoryFromJson(nlohmann::json::parse(text, text + size, nullptr, false),
                                   &inventory, &why))
    table.SetInventory(inventory);
  table.ModelStorage();
  table.ModelFileSystems();
  return 0;
}
