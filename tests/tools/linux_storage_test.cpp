// The Linux source's storage and hardware logic on records made here: what
// a multipath event, a kernel log line or a trace line becomes, what the
// host model then says, and what is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "kmsg.h"
#include "machinecheck.h"
#include "pellibs/msgfmt.h"
#include "storage.h"
#include "sysfs_scan.h"
#include "uevent.h"

using namespace wisplinux;

namespace {

std::string Bytes(std::initializer_list<const char *> items) {
  std::string out;
  for (const char *item : items) {
    out += item;
    out += '\0';
  }
  return out;
}

// id(arg, arg, ...) of each observation, in order.
std::vector<std::string> Lines(const std::vector<Observation> &obs) {
  std::vector<std::string> lines;
  for (const Observation &o : obs) {
    std::string line = RowOf(o.kind).id;
    line += "(";
    for (size_t i = 0; i < o.args.size(); ++i) {
      if (i > 0) line += ", ";
      line += o.args[i].type == MSGFMT_STRING ? o.args[i].str : std::to_string(o.args[i].bits);
    }
    lines.push_back(line + ")");
  }
  return lines;
}

using Texts = std::vector<std::string>;

Uevent PathEvent(const char *action, const char *path, const char *valid) {
  std::string bytes = "change@/devices/virtual/block/dm-0";
  bytes += '\0';
  for (std::string var : {std::string("SUBSYSTEM=block"), std::string("DM_TARGET=multipath"),
                          std::string("DM_ACTION=") + action, std::string("DM_PATH=") + path,
                          std::string("DM_NR_VALID_PATHS=") + valid, std::string("DM_NAME=mpatha")})
    bytes += var + '\0';
  Uevent e;
  std::string why;
  EXPECT_TRUE(ParseUevent(bytes.data(), bytes.size(), &e, &why)) << why;
  return e;
}

KmsgRecord Record(const std::string &text, int priority = 4) {
  std::string bytes = std::to_string(priority) + ",17,123456,-;" + text + "\n";
  KmsgRecord r;
  std::string why;
  EXPECT_TRUE(ParseKmsg(bytes.data(), bytes.size(), &r, &why)) << why;
  return r;
}

StorageInventory TwoPathMap() {
  StorageInventory inv;
  inv.disks["mpatha"].dev = "253:0";
  inv.disks["mpatha"].paths = {"sdb", "sdc"};
  inv.disks["mpatha"].partitions["mpatha-part1"] = {1, "253:1"};
  inv.disks["sdb"] = {"8:16", "2:0:0:1", {}, {}};
  inv.disks["sdc"] = {"8:32", "3:0:0:1", {}, {}};
  inv.disks["sdd"] = {"8:48", "4:0:0:0", {}, {}};
  inv.disks["loop0"] = {"7:0", "", {}, {}};
  inv.mounts = {{"253:1", "/srv/data"}, {"7:0", "/mnt/scratch"}};
  inv.uuids = {{"253:1", "5f1a"}};
  return inv;
}

int RedundancyOf(const StorageTable &t, const std::string &device) {
  return t.ModelStorage()["luns"][device]["redundancy"].get<int>();
}

TEST(LinuxKernelText, RecordsAndEventsDecodeAndWhatIsNotOneIsRefused) {
  std::string rec =
      "4,812,98765,-,caller=T1;sd 2:0:0:1: Power-on or device reset occurred\n"
      " SUBSYSTEM=scsi\n DEVICE=+scsi:2:0:0:1\n";
  KmsgRecord r;
  std::string why;
  ASSERT_TRUE(ParseKmsg(rec.data(), rec.size(), &r, &why)) << why;
  EXPECT_EQ(r.facility, 0);
  EXPECT_EQ(r.level, 4);
  EXPECT_EQ(r.seq, 812u);
  EXPECT_EQ(r.usec, 98765u);
  EXPECT_EQ(r.text, "sd 2:0:0:1: Power-on or device reset occurred");
  EXPECT_EQ(r.device, "+scsi:2:0:0:1");
  EXPECT_EQ(Record("hello", 14).facility, 1);  // a program's line
  for (std::string bad : {"", "no prefix at all", "4,1;text", "x,1,2,-;text", "4,,2,-;text",
                          "4,1,99999999999999999999,-;text", "-4,1,2,-;text"})
    EXPECT_FALSE(ParseKmsg(bad.data(), bad.size(), &r, &why)) << bad;
  std::string huge(20000, 'a');
  EXPECT_FALSE(ParseKmsg(huge.data(), huge.size(), &r, &why));

  std::string ev = Bytes({"change@/devices/virtual/block/dm-0", "DM_NAME=mpatha", "EMPTY="});
  Uevent u;
  ASSERT_TRUE(ParseUevent(ev.data(), ev.size(), &u, &why)) << why;
  EXPECT_EQ(u.action, "change");
  EXPECT_EQ(u.devpath, "/devices/virtual/block/dm-0");
  EXPECT_EQ(u.Get("DM_NAME"), "mpatha");
  EXPECT_EQ(u.Get("EMPTY"), "");
  EXPECT_EQ(u.Get("MISSING"), "");
  for (std::string bad : {Bytes({"libudev", "x=1"}), Bytes({"change@/x", "novalue"}),
                          Bytes({"@/x"}), Bytes({"change@/x", "=1"}), std::string(9000, 'a')})
    EXPECT_FALSE(ParseUevent(bad.data(), bad.size(), &u, &why)) << bad;
}

TEST(LinuxMachineChecks, CorrectedErrorsAreTakenAndTheRestReadOnly) {
  MachineCheck mc;
  std::string why;
  ASSERT_EQ(ParseTraceLine("  kworker/1:2-118 [001] d..1. 5000.1: mc_event: 3 Corrected error: "
                           "memory read error on DIMM_A1 (mc:0 location:0:0:-1 "
                           "address:0x12345040 grain:32 syndrome:0x0)",
                           &mc, &why),
            TraceLine::kCorrected);
  EXPECT_EQ(mc.address, 0x12345040u);
  EXPECT_EQ(mc.count, 3u);
  EXPECT_EQ(mc.status, (1ull << 63) | (1ull << 58));
  EXPECT_EQ(
      ParseTraceLine("x: mc_event: 1 Uncorrected error: on DIMM_A1 (address:0x1000)", &mc, &why),
      TraceLine::kOther);
  ASSERT_EQ(ParseTraceLine("<idle>-0 [002] 5005.1: mce_record: CPU: 2, MCGc/s: 1c09/0, MC8: "
                           "8c00004000010090, IPID: 0, ADDR/MISC/SYND: "
                           "0000000056789000/0000000000000086/0, RIP: 00:<0>",
                           &mc, &why),
            TraceLine::kCorrected);
  EXPECT_EQ(mc.cpu, 2u);
  EXPECT_EQ(mc.status, 0x8c00004000010090u);
  EXPECT_EQ(mc.address, 0x56789000u);
  EXPECT_EQ(ParseTraceLine("y: mce_record: CPU: 0, MCGc/s: 0/0, MC1: bc00000000000000", &mc, &why),
            TraceLine::kOther)
      << "uncorrected";
  EXPECT_EQ(ParseTraceLine("y: mce_record: CPU: -1, MC1: zz", &mc, &why), TraceLine::kBad);
  EXPECT_EQ(ParseTraceLine("y: mc_event: Corrected error: no count", &mc, &why), TraceLine::kBad);
  EXPECT_EQ(ParseTraceLine("y: sched_switch: prev_comm=a", &mc, &why), TraceLine::kOther);
}

TEST(LinuxStorage, AMapsPathsGoingAndComingTellTheRedundancyLeftAndAllPathsDown) {
  StorageTable t({});
  t.SetInventory(TwoPathMap());
  std::vector<Observation> obs;
  EXPECT_EQ(RedundancyOf(t, "mpatha"), 3);
  ASSERT_TRUE(t.Uevent(PathEvent("PATH_FAILED", "8:16", "1"), 1000000, &obs));
  EXPECT_EQ(RedundancyOf(t, "mpatha"), 2);
  ASSERT_TRUE(t.Uevent(PathEvent("PATH_FAILED", "8:32", "0"), 2000000, &obs));
  EXPECT_EQ(RedundancyOf(t, "mpatha"), 1);
  ASSERT_TRUE(t.Kmsg(Record("device-mapper: multipath: queue_if_no_path timeout on 253:0, "
                            "failing queued IO"),
                     0, 32500000, &obs));
  ASSERT_TRUE(t.Uevent(PathEvent("PATH_REINSTATED", "8:16", "1"), 40000000, &obs));
  EXPECT_EQ(RedundancyOf(t, "mpatha"), 2);
  ASSERT_TRUE(t.Uevent(PathEvent("PATH_REINSTATED", "8:32", "2"), 41000000, &obs));
  EXPECT_EQ(RedundancyOf(t, "mpatha"), 3);
  EXPECT_EQ(Lines(obs),
            (Texts{"wisp.scsi.scsipath.pathstate.dead(sdb, on)",
                   "wisp.scsi.scsipath.pathstate.dead(sdc, on)", "wisp.storage.apd.start(mpatha)",
                   "wisp.storage.apd.timeout(mpatha, 30)", "wisp.storage.apd.exit(mpatha)",
                   "wisp.scsi.scsipath.pathstate.on(sdb, dead)",
                   "wisp.scsi.scsipath.pathstate.on(sdc, dead)"}));
  // Not a map's path event; a count that is no number.
  obs.clear();
  Uevent other = PathEvent("PATH_FAILED", "8:16", "1");
  other.vars["DM_TARGET"] = "linear";
  EXPECT_FALSE(t.Uevent(other, 0, &obs));
  EXPECT_FALSE(t.Uevent(PathEvent("PATH_FAILED", "8:16", "-1"), 0, &obs));
  EXPECT_FALSE(t.Uevent(PathEvent("PATH_FAILED", "8:16", "99999"), 0, &obs));
  EXPECT_TRUE(obs.empty());
}

TEST(LinuxStorage, KernelLogLinesBecomeResetsOfflinePathsAndTooManyErrors) {
  StorageTable t({3, 60});
  t.SetInventory(TwoPathMap());
  std::vector<Observation> obs;
  EXPECT_TRUE(t.Kmsg(Record("sd 2:0:0:1: Power-on or device reset occurred"), 0, 1, &obs));
  EXPECT_TRUE(t.Kmsg(Record("sd 9:0:0:9: Power-on or device reset occurred"), 0, 1, &obs));
  // A map's member is told by the map's events, a lone disk by the log.
  EXPECT_TRUE(
      t.Kmsg(Record("sd 3:0:0:1: Device offlined - not ready after error recovery"), 0, 1, &obs));
  EXPECT_TRUE(
      t.Kmsg(Record("sd 4:0:0:0: Device offlined - not ready after error recovery"), 0, 1, &obs));
  EXPECT_EQ(RedundancyOf(t, "sdd"), 1);
  EXPECT_TRUE(t.Kmsg(Record("sd 4:0:0:0: [sdd] Attached SCSI disk"), 0, 1, &obs));
  EXPECT_EQ(RedundancyOf(t, "sdd"), 2);
  // Three error lines of loop0 within the window: 3 of the 12 requests
  // it completed since the first failed.
  for (uint64_t ios : {101, 105, 112, 130})
    EXPECT_TRUE(t.Kmsg(Record("critical space allocation error, dev loop0, sector 4096 op 0x1"),
                       ios, 2000000 + ios, &obs));
  // A program's line is no kernel record; other lines match nothing.
  EXPECT_FALSE(t.Kmsg(Record("sd 2:0:0:1: Power-on or device reset occurred", 12), 0, 1, &obs));
  EXPECT_FALSE(t.Kmsg(Record("EXT4-fs (vda): mounted filesystem"), 0, 1, &obs));
  EXPECT_EQ(Lines(obs), (Texts{"wisp.scsi.scsipath.por(sdb)", "wisp.scsi.scsipath.por(9:0:0:9)",
                               "wisp.scsi.scsipath.pathstate.dead(sdd, on)",
                               "wisp.scsi.scsipath.pathstate.on(sdd, dead)",
                               "wisp.scsi.device.too.many.io.error(loop0, 25)"}));
  // A new window after a quiet one counts afresh; no counters: all failed.
  obs.clear();
  for (int i = 0; i < 3; ++i)
    t.Kmsg(Record("I/O error, dev loop0, sector 8"), 0, 90000000 + i, &obs);
  EXPECT_EQ(Lines(obs), (Texts{"wisp.scsi.device.too.many.io.error(loop0, 100)"}));
}

TEST(LinuxStorage, TheModelNamesMapsAsDevicesTheirPathsAndTheirFileSystems) {
  StorageTable t({});
  t.SetInventory(TwoPathMap());
  EXPECT_EQ(t.ModelStorage(), nlohmann::json::parse(R"({
    "luns": {
      "mpatha": {"disk": true, "redundancy": 3, "partitions": [1], "datastores": {"1": "/srv/data"}},
      "sdd": {"disk": true, "redundancy": 2, "partitions": []},
      "loop0": {"disk": true, "partitions": [1], "datastores": {"1": "/mnt/scratch"}}},
    "paths": {"sdb": {"device": "mpatha"}, "sdc": {"device": "mpatha"}, "sdd": {"device": "sdd"}}
  })"));
  EXPECT_EQ(t.ModelFileSystems(), nlohmann::json::parse(R"([
    {"volume": "/srv/data", "uuid": "5f1a"}, {"volume": "/mnt/scratch", "uuid": ""}])"));
  StorageInventory back;
  std::string why;
  ASSERT_TRUE(InventoryFromJson(InventoryToJson(TwoPathMap()), &back, &why)) << why;
  EXPECT_TRUE(back == TwoPathMap());
  for (const char *bad : {R"([])", R"({"disks": {"a": {}}})", R"({"disks": {"a": {"dev": 1}}})",
                          R"({"disks": {"a": {"dev": "1:1", "partitions": {"a1": {"number": 0,
                              "dev": "1:2"}}}}})",
                          R"({"disks": {}, "mounts": {"1:1": 5}})"})
    EXPECT_FALSE(InventoryFromJson(nlohmann::json::parse(bad), &back, &why)) << bad;
}

// A sysfs tree made here the way the kernel lays it out.
TEST(LinuxStorage, TheBlockDevicesAreReadFromSysfsAndTheMountTable) {
  char dir[] = "/tmp/wisp-sysfs-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string root = dir;
  auto file = [&](const std::string &path, const std::string &text) {
    std::string cmd = "mkdir -p \"$(dirname " + root + path + ")\"";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::ofstream(root + path) << text << "\n";
  };
  auto link = [&](const std::string &target, const std::string &path) {
    ASSERT_EQ(symlink(target.c_str(), (root + path).c_str()), 0) << path;
  };
  const std::string host = "/sys/devices/pci0/host2/target2:0:0/2:0:0:1";
  file(host + "/block/sdb/dev", "8:16");
  file(host + "/block/sdb/size", "2048");
  file(host + "/block/sdb/sdb1/dev", "8:17");
  file(host + "/block/sdb/sdb1/partition", "1");
  link("../../../2:0:0:1", host + "/block/sdb/device");
  file("/sys/devices/virtual/block/dm-0/dev", "253:0");
  file("/sys/devices/virtual/block/dm-0/size", "2048");
  file("/sys/devices/virtual/block/dm-0/dm/name", "mpatha");
  file("/sys/devices/virtual/block/dm-0/dm/uuid", "mpath-3600508");
  file("/sys/devices/virtual/block/dm-0/slaves/.keep", "");
  link("../../../pci0/host2/target2:0:0/2:0:0:1/block/sdb",
       "/sys/devices/virtual/block/dm-0/slaves/sdb");
  file("/sys/devices/virtual/block/loop1/size", "0");
  file("/sys/class/block/.keep", "");
  link("../../devices/pci0/host2/target2:0:0/2:0:0:1/block/sdb", "/sys/class/block/sdb");
  link("../../devices/pci0/host2/target2:0:0/2:0:0:1/block/sdb/sdb1", "/sys/class/block/sdb1");
  link("../../devices/virtual/block/dm-0", "/sys/class/block/dm-0");
  link("../../devices/virtual/block/loop1", "/sys/class/block/loop1");
  file("/proc/self/mountinfo",
       "22 1 8:17 / /srv/my\\040data rw - ext4 /dev/sdb1 rw\n"
       "23 1 8:17 / /bind rw - ext4 /dev/sdb1 rw\n24 1 0:21 / /proc rw - proc proc rw");
  file("/sys/class/block/sdb1/stat", "10 0 0 0 7 0 0 0 0 0 0");
  StorageInventory inv = ScanStorage(root);
  EXPECT_EQ(InventoryToJson(inv), nlohmann::json::parse(R"({
    "disks": {"mpatha": {"dev": "253:0", "paths": ["sdb"]},
              "sdb": {"dev": "8:16", "scsi": "2:0:0:1",
                      "partitions": {"sdb1": {"number": 1, "dev": "8:17"}}}},
    "mounts": {"8:17": "/srv/my data"}, "uuids": {}})"));
  EXPECT_EQ(CompletedRequests(root, "sdb1"), 17u);
  EXPECT_EQ(CompletedRequests(root, "../sdb1"), 0u);
  EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
}

TEST(LinuxStorage, TheMachineUuidIsTheFirmwaresOrTheMachineIdInGroups) {
  char dir[] = "/tmp/wisp-uuid-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string root = dir;
  ASSERT_EQ(system(("mkdir -p " + root + "/sys/class/dmi/id " + root + "/etc").c_str()), 0);
  auto firmware = [&](const std::string &text) {
    std::ofstream(root + "/sys/class/dmi/id/product_uuid") << text;
  };
  auto machineId = [&](const std::string &text) {
    std::ofstream(root + "/etc/machine-id") << text;
  };
  EXPECT_EQ(ReadSystemUuid(root), "");
  machineId("0123456789ABCDEF0123456789abcdef\n");
  EXPECT_EQ(ReadSystemUuid(root), "01234567-89ab-cdef-0123-456789abcdef");
  firmware("4C4C4544-0042-3010-8052-B4C04F4E4D32\n");
  EXPECT_EQ(ReadSystemUuid(root), "4c4c4544-0042-3010-8052-b4c04f4e4d32");
  // What is not one is passed over: the machine id is taken instead.
  firmware("Not-Settable-Not-Settable-Not-Settab\n");
  EXPECT_EQ(ReadSystemUuid(root), "01234567-89ab-cdef-0123-456789abcdef");
  machineId("0123456789abcdef0123456789abcdeg");
  EXPECT_EQ(ReadSystemUuid(root), "");
  EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
}

}  // namespace
