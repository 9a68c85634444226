// The host model file as the simulated host reads it, then the lookups the
// daemon makes through it.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "correlators/wispdStorageLookup.h"
#include "mantlectl/hostctl.h"
#include "mantlectl/mantlectl.h"
#include "pellibs/sysinfo.h"

namespace {

std::string Root() {
  static std::string root = [] {
    char tmpl[] = "/tmp/wispd-fuzz-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    for (const char *d : {"/etc", "/etc/pelldan", "/var", "/var/log", "/var/log/pelldan", "/cairn",
                          "/cairn/volumes"})
      mkdir((dir + d).c_str(), 0755);
    setenv("WISPD_ROOT", dir.c_str(), 1);
    return dir;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string path = Root() + "/etc/pelldan/simhost.json";
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  rename(tmp.c_str(), path.c_str());

  char date[21];
  const char *own = nullptr;
  Sysi_CheckSig(date, sizeof date, &own);
  uint8_t uuid[SYSI_UUID_SIZE];
  Sysi_Get(Sysi_NODE_system_systemUuid, nullptr, uuid, sizeof uuid);
  try {
    MantleCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "LinkFlappingThreshold").GetValue();
  } catch (const HostCtl::Lib::HostCtlException &) {
  }
  try {
    std::unique_ptr<HostCtl::Network::PortGroup> pg(
        HostCtl::Network::NetworkFactory::GetPortGroupByName("frontend"));
    if (pg) pg->GetVirtualSwitchName();
    MantleCtl::Util::Sysinfo vm(Sysi_NODE_vm_vmmGroupInfo);
    vm.SetInstance(int64_t{4242});
    char record[SYSI_VMM_GROUP_INFO_SIZE];
    vm.Get(record, sizeof record);
  } catch (const HostCtl::Lib::HostCtlException &) {
  }
  try {
    std::unique_ptr<HostCtl::Host> host(HostCtl::HostFactory::GetHost());
    std::unique_ptr<HostCtl::Storage::StorageInfo> info(host->GetStorageInfo());
    std::unique_ptr<HostCtl::Storage::Lun> lun(info->GetLun("naa.600508b1001c2d3e", true));
    if (auto *disk = dynamic_cast<HostCtl::Storage::DiskLun *>(lun.get()))
      for (auto *p : disk->GetPartitions()) p->GetNumber();
    for (auto &fs : MantleCtl::Storage::StorageInfoImpl().GetFileSystems()) {
      try {
        fs->GetVolumeName();
        fs->GetUuid();
      } catch (const HostCtl::Lib::HostCtlException &) {
      }
    }
  } catch (const HostCtl::Lib::HostCtlException &) {
  }
  // The storage lookups: datastores by the volume request, paths, states.
  try {
    std::string list, device;
    uint32_t state = 0;
    Storage_AffectedDatastores("naa.600508b1001c2d3e", &list);
    if (Storage_DeviceOfPath("hba1:C0:T0:L0", &device)) Storage_RedundancyState(device, &state);
    Storage_VolumeName("/cairn/volumes/ds-main/x");
  } catch (const HostCtl::Lib::HostCtlException &) {
  }
  return 0;
}
