// Hardware correlator: fabric notifications, NVDIMM health, TPM, BMC and
// interrupt-routing problems, each one observation to one flare.

#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"hardware", nullptr};

const FlareRow kRows[] = {
    WISPD_ROW("wisp.hardware.fpin.fc.peercongestion.devicespecific", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.peercongestion.devicespecific)FPIN FC device "
              "specific peer congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.peercongestion.oversubscription", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.peercongestion.oversubscription)FPIN FC "
              "oversubscription peer congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.peercongestion.creditstall", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.peercongestion.creditstall)FPIN FC credit "
              "stall peer congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.peercongestion.lostcredit", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.peercongestion.lostcredit)FPIN FC lost credit "
              "peer congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.peercongestion.clear", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.peercongestion.clear)FPIN FC peer congestion "
              "clear: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.congestion.devicespecific", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.congestion.devicespecific)FPIN FC device "
              "specific congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.congestion.oversubscription", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.congestion.oversubscription)FPIN FC "
              "oversubscription congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.congestion.creditstall", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.congestion.creditstall)FPIN FC credit stall "
              "congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.congestion.lostcredit", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.congestion.lostcredit)FPIN FC lost credit "
              "congestion: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.congestion.clear", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.congestion.clear)FPIN FC congestion clear: "
              "Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.delivery.devicespecific", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.delivery.devicespecific)FPIN FC device "
              "specific delivery notification: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.delivery.unabletoroute", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.delivery.unabletoroute)FPIN FC delivery "
              "unable to route: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.delivery.timeout", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.delivery.timeout)FPIN FC delivery time out: "
              "Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.delivery.unknown", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.delivery.unknown)FPIN FC unknown delivery "
              "notification: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.devicespecific", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.devicespecific)FPIN FC device "
              "specific link integrity notification: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.uncorrectableFECerror", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.uncorrectableFECerror)FPIN FC "
              "link uncorrectable FEC error: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.invalidCRC", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.invalidCRC)FPIN FC link invalid "
              "CRC: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.invalidtransmissionword", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.invalidtransmissionword)FPIN FC "
              "link invalid transmission word: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.primitivesequenceprotocolerror", "%p %p",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.primitivesequenceprotocolerror)"
              "FPIN FC link primitive sequence protocol error: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.lossofsignal", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.lossofsignal)FPIN FC link loss "
              "of signal: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.lossofsynchronization", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.lossofsynchronization)FPIN FC "
              "link loss of synchronization: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.linkfailure", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.linkfailure)FPIN FC link "
              "failure: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.fpin.fc.linkintegrity.unknown", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.fpin.fc.linkintegrity.unknown)FPIN FC unknown link "
              "integrity notification: Host WWPN %s, target WWPN %s.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.vendor.error", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.vendor.error)NVDIMM (handle %#x, "
              "idString %s): Vendor specific error.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.uce", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.uce)NVDIMM (handle %#x, idString "
              "%s): Count of DRAM uncorrectable ECC errors above threshold.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ops.flush.fail", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.ops.flush.fail)NVDIMM (handle %#x, "
              "idString %s): The Platform flush failed. The restored data may be inconsistent.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ops.save.fail", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.ops.save.fail)NVDIMM (handle %#x, "
              "idString %s): Previous SAVE operation failed.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ops.restore.fail", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.ops.restore.fail)NVDIMM (handle "
              "%#x, idString %s): Last RESTORE operation failed.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ops.erase.fail", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.ops.erase.fail)NVDIMM (handle %#x, "
              "idString %s): Previous ERASE operation failed.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ops.arm.fail", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.ops.arm.fail)NVDIMM (handle %#x, "
              "idString %s): Previous ARM operation failed.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.es.fail", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.es.fail)NVDIMM (handle %#x, "
              "idString %s): Energy Source failure detected. Persistency is lost for the device.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.es.charging", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.es.charging)NVDIMM (handle %#x, "
              "idString %s): Energy Source still charging but does not have sufficient charge to "
              "support\ta backup. Persistency is temporarily lost for the device.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.es.charged", "%u %p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.hardware.nvd.health.module.es.charged)NVDIMM (handle %#x, "
              "idString %s): Energy Source is sufficiently charged.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ctlr.fw.error", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.ctlr.fw.error)NVDIMM (handle %#x, "
              "idString %s): Controller firmware error detected.",
              "01"),
    WISPD_ROW(
        "wisp.hardware.nvd.health.module.ctlr.fail", "%u %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.hardware.nvd.health.module.ctlr.fail)NVDIMM (handle %#x, idString "
        "%s): Controller failure detected. Access to the device and its capabilities are lost.",
        "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.config.error", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.module.config.error)NVDIMM (handle %#x, "
              "idString %s): Configuration error detected.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.module.ce", "%u %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.module.ce)NVDIMM (handle %#x, idString %s): "
              "Count of DRAM correctable ECC errors above threshold.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.es.temperature.error", "%u %p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.alarms.es.temperature.error)NVDIMM (handle "
              "%#x, idString %s): Energy Source Temperature (%d C) Error tripped.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.es.temperature.warning", "%u %p %d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.alarms.es.temperature.warning)NVDIMM (handle "
              "%#x, idString %s): Energy Source Temperature (%d C) Warning tripped.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.es.lifetime.error", "%u %p %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.alarms.es.lifetime.error)NVDIMM (handle "
              "%#x, idString %s): Energy Source Lifetime (%u) Error tripped.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.es.lifetime.warning", "%u %p %u", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.alarms.es.lifetime.warning)NVDIMM (handle "
              "%#x, idString %s): Energy Source Lifetime (%u) Warning tripped.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.lifetime.error", "%u %p %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.alarms.lifetime.error)NVDIMM (handle %#x, "
              "idString %s): Lifetime (%u) Error tripped.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.lifetime.warning", "%u %p %u", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.alarms.lifetime.warning)NVDIMM (handle %#x, "
              "idString %s): Lifetime (%u) Warning tripped.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.spareblocks", "%u %p %u", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.alarms.spareblocks)NVDIMM (handle %#x, "
              "idString %s): SpareBlocksPct (%u) has reached the pre-programmed threshold limit.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.alarms.temperature", "%u %p %d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.alarms.temperature)NVDIMM (handle %#x, "
              "idString %s): Temperature (%d C) has reached the pre-programmed threshold limit.",
              "012"),
    WISPD_ROW("wisp.hardware.nvd.health.life.pctused", "%u %p %u %u", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.life.pctused)NVDIMM (handle %#x, idString "
              "%s): Life Percentage Used (%u) has reached the threshold limit (%u).",
              "0123"),
    WISPD_ROW(
        "wisp.hardware.nvd.health.lastshutdownstatus", "%u %p %u", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.hardware.nvd.health.lastshutdownstatus)NVDIMM (handle %#x, idString "
        "%s): Last Shutdown Status (%u) Not a clean Shutdown, there was either a platform or "
        "memory device-related failure while saving data targeted for this memory device.",
        "012"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.perfDegraded", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.perfDegraded)NVDIMM "
              "(handle %#x, idString %s): Performance degraded.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.maintNeeded", "%u %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.pld.statusflags.maintNeeded)NVDIMM (handle "
              "%#x, idString %s): Maintenance needed.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.wpLossNow", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.wpLossNow)NVDIMM (handle "
              "%#x, idString %s): Subsequent writes may not persist.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.wpLossInShutdown", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.wpLossInShutdown)NVDIMM "
              "(handle %#x, idString %s): Write persistency loss may happen in event of shutdown.",
              "01"),
    WISPD_ROW(
        "wisp.hardware.nvd.health.pld.statusflags.wpLossInPowerLoss", "%u %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.wpLossInPowerLoss)NVDIMM (handle "
        "%#x, idString %s): Write persistency loss may happen in event of power loss.",
        "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.allDataLossNow", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.allDataLossNow)NVDIMM "
              "(handle %#x, idString %s): Subsequent reads may fail or return invalid data and "
              "subsequent writes may not persist.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.allDataLossInShutdown", "%u %p",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.allDataLossInShutdown)"
              "NVDIMM (handle %#x, idString %s): All data may be lost in the event of shutdown.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.statusflags.allDataLossInPowerLoss", "%u %p",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.statusflags.allDataLossInPowerLoss)"
              "NVDIMM (handle %#x, idString %s): All data may be lost in the event of power loss.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.module.temperature.warning", "%u %p",
              FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.pld.alarms.module.temperature.warning)NVDIMM "
              "(handle %#x, idString %s): Module Temperature Warning tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.module.temperature.error", "%u %p",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.alarms.module.temperature.error)NVDIMM "
              "(handle %#x, idString %s): Module Temperature Error tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.module.lifetime.warning", "%u %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.pld.alarms.module.lifetime.warning)NVDIMM "
              "(handle %#x, idString %s): Module Lifetime Warning tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.module.lifetime.error", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.alarms.module.lifetime.error)NVDIMM "
              "(handle %#x, idString %s): Module Lifetime Error tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.es.temperature.warning", "%u %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.pld.alarms.es.temperature.warning)NVDIMM "
              "(handle %#x, idString %s): Energy Source Temperature Warning tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.es.temperature.error", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.alarms.es.temperature.error)NVDIMM "
              "(handle %#x, idString %s): Energy Source Temperature Error tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.es.lifetime.warning", "%u %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hardware.nvd.health.pld.alarms.es.lifetime.warning)NVDIMM "
              "(handle %#x, idString %s): Energy Source Lifetime Warning tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.nvd.health.pld.alarms.es.lifetime.error", "%u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.nvd.health.pld.alarms.es.lifetime.error)NVDIMM "
              "(handle %#x, idString %s): Energy Source Lifetime Error tripped.",
              "01"),
    WISPD_ROW("wisp.hardware.tpm2.notis", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.tpm2.notis)TPM 2 TIS interface is not active. Please "
              "reboot and activate it in the BIOS.",
              ""),
    WISPD_ROW("wisp.hardware.tpm2.nosha256", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.tpm2.nosha256)TPM 2 SHA-256 PCR bank not found to be "
              "active. Please activate it in the BIOS.",
              ""),
    WISPD_ROW("wisp.hardware.ipmi.bmc.bad", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.ipmi.bmc.bad)Failed to communicate with the BMC. IPMI "
              "functionality will be unavailable on this system.",
              ""),
    WISPD_ROW("wisp.hardware.ioapic.missing", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.ioapic.missing)IOAPIC Num %d is missing. Please check "
              "BIOS settings to enable this IOAPIC.",
              "0"),
    WISPD_ROW("wisp.hardware.acpi.interrupt.routing.pin.invalid", "%u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.acpi.interrupt.routing.pin.invalid)Skipping interrupt "
              "routing entry with bad device pin: %u. This is a BIOS bug.",
              "0"),
    WISPD_ROW("wisp.hardware.acpi.interrupt.routing.device.invalid", "%u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hardware.acpi.interrupt.routing.device.invalid)Skipping "
              "interrupt routing entry with bad device number: %u. This is a BIOS bug.",
              "0"),
};

}  // namespace

extern const CorrelatorDef kHardwareCorrelator = {
    .name = "Hardware",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    .fallback = Correlator_IgnoreWisp,
};
