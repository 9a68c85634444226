// Which flare ends which problems. Argument indexes count from 0 in each
// flare's own message. A row without matches ends every such problem of the
// host: the daemon posts those restorations only once nothing is lost any more.
#include "clear_table.h"

namespace wispalert {

const ClearRow kClearRows[] = {
    // All paths down: the exit ends the start and the time-out of the device.
    WISP_ENDS("tarn.clear.storage.apd.exit", "tarn.problem.storage.apd.start", {0, 0}),
    WISP_ENDS("tarn.clear.storage.apd.exit", "tarn.problem.storage.apd.timeout", {0, 0}),

    // Paths. Connectivity to a device is back whichever path brought it back.
    // A degraded redundancy names the path that went; it ends when that path
    // is active again. Redundancy back means connectivity is back too.
    WISP_ENDS("tarn.clear.storage.connectivity.restored", "tarn.problem.storage.connectivity.lost",
              {0, 0}),
    WISP_ENDS("tarn.clear.storage.redundancy.restored", "tarn.problem.storage.redundancy.lost",
              {0, 0}),
    WISP_ENDS("tarn.clear.storage.redundancy.restored", "tarn.problem.storage.redundancy.degraded",
              {0, 0}, {2, 1}),
    WISP_ENDS("tarn.clear.storage.redundancy.restored", "tarn.problem.storage.connectivity.lost",
              {0, 0}),

    // SCSI devices.
    WISP_ENDS("tarn.clear.scsi.device.state.on", "tarn.problem.scsi.device.state.off", {0, 0}),
    WISP_ENDS("tarn.clear.scsi.device.state.permanentloss.deviceonline",
              "tarn.problem.scsi.device.state.permanentloss", {0, 0}),
    WISP_ENDS("tarn.clear.scsi.device.state.permanentloss.deviceonline",
              "tarn.problem.scsi.device.state.permanentloss.withreservationheld", {0, 0}),
    WISP_ENDS("tarn.clear.scsi.device.state.permanentloss.deviceonline",
              "tarn.problem.scsi.device.state.permanentloss.noopens", {0, 0}),
    WISP_ENDS("tarn.clear.scsi.device.io.latency.improved",
              "tarn.problem.scsi.device.io.latency.high", {0, 0}),

    // Cairn. An extent coming online and a heartbeat recovering are posted as
    // problems; they end the offline extent and the timed-out heartbeat.
    WISP_ENDS("tarn.clear.cairn.nfs.server.restored", "tarn.problem.cairn.nfs.server.disconnect",
              {0, 0}, {1, 1}, {2, 2}),
    WISP_ENDS("tarn.clear.cairn.nfs.volume.io.latency.improved",
              "tarn.problem.cairn.nfs.volume.io.latency.high", {0, 0}),
    WISP_ENDS("tarn.clear.cairn.nfs.volume.io.latency.improved",
              "tarn.problem.cairn.nfs.volume.io.latency.high.exceed.threshold", {0, 0}),
    WISP_ENDS("tarn.clear.cairn.nfs.volume.io.latency.improved",
              "tarn.problem.cairn.nfs.volume.io.latency.exceed.threshold.period", {0, 0}),
    WISP_ENDS("tarn.problem.cairn.extent.online", "tarn.problem.cairn.extent.offline", {0, 0},
              {1, 1}),
    WISP_ENDS("tarn.problem.cairn.heartbeat.recovered", "tarn.problem.cairn.heartbeat.timedout",
              {0, 0}),

    // Physical NICs. A link-up ends the link-down of the NIC, its flapping
    // take-down, and every loss reported because that NIC was down (the
    // correlator drops the NIC's outstanding losses on a link-up).
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.pnic.linkstate.down", {0, 0}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.pnic.linkstate.flapping",
              {0, 0}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.connectivity.lost", {0, 1}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.redundancy.lost", {0, 1}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.redundancy.degraded", {0, 1}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.dvport.connectivity.lost",
              {0, 1}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.dvport.redundancy.lost",
              {0, 1}),
    WISP_ENDS("tarn.clear.net.pnic.linkstate.up", "tarn.problem.net.dvport.redundancy.degraded",
              {0, 1}),

    // Uplink redundancy. A restoration is posted only when no port group and
    // no distributed port of the host lacks connectivity (or redundancy) any
    // more, and it names only the switch and groups of its own evaluation
    // (none after a link-up): it ends every such loss of the host. A
    // degradation is not tracked that way; it ends when its NIC is up again.
    WISP_ENDS("tarn.clear.net.connectivity.restored", "tarn.problem.net.connectivity.lost"),
    WISP_ENDS("tarn.clear.net.connectivity.restored", "tarn.problem.net.dvport.connectivity.lost"),
    WISP_ENDS("tarn.clear.net.dvport.connectivity.restored",
              "tarn.problem.net.dvport.connectivity.lost"),
    WISP_ENDS("tarn.clear.net.dvport.connectivity.restored", "tarn.problem.net.connectivity.lost"),
    WISP_ENDS("tarn.clear.net.redundancy.restored", "tarn.problem.net.redundancy.lost"),
    WISP_ENDS("tarn.clear.net.redundancy.restored", "tarn.problem.net.dvport.redundancy.lost"),
    WISP_ENDS("tarn.clear.net.redundancy.restored", "tarn.problem.net.redundancy.degraded", {2, 1}),
    WISP_ENDS("tarn.clear.net.dvport.redundancy.restored",
              "tarn.problem.net.dvport.redundancy.lost"),
    WISP_ENDS("tarn.clear.net.dvport.redundancy.restored", "tarn.problem.net.redundancy.lost"),
    WISP_ENDS("tarn.clear.net.dvport.redundancy.restored",
              "tarn.problem.net.dvport.redundancy.degraded", {1, 1}),

    // Link aggregation: the same uplink (or LAG) on the same switch.
    WISP_ENDS("tarn.clear.net.lacp.lag.transition.up", "tarn.problem.net.lacp.lag.transition.down",
              {0, 0}, {1, 1}),
    WISP_ENDS("tarn.clear.net.lacp.uplink.transition.up",
              "tarn.problem.net.lacp.uplink.transition.down", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.clear.net.lacp.uplink.unblocked", "tarn.problem.net.lacp.uplink.blocked",
              {0, 0}, {1, 1}),
    WISP_ENDS("tarn.audit.net.lacp.uplink.connected", "tarn.problem.net.lacp.uplink.disconnected",
              {0, 0}, {1, 1}),

    // Hardware: the same NVDIMM (handle and id); the same pair of FC ports.
    WISP_ENDS("tarn.clear.hardware.nvd.health.module.es.charged",
              "tarn.problem.hardware.nvd.health.module.es.charging", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.congestion.clear",
              "tarn.problem.hardware.fpin.fc.congestion.devicespecific", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.congestion.clear",
              "tarn.problem.hardware.fpin.fc.congestion.oversubscription", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.congestion.clear",
              "tarn.problem.hardware.fpin.fc.congestion.creditstall", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.congestion.clear",
              "tarn.problem.hardware.fpin.fc.congestion.lostcredit", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.peercongestion.clear",
              "tarn.problem.hardware.fpin.fc.peercongestion.devicespecific", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.peercongestion.clear",
              "tarn.problem.hardware.fpin.fc.peercongestion.oversubscription", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.peercongestion.clear",
              "tarn.problem.hardware.fpin.fc.peercongestion.creditstall", {0, 0}, {1, 1}),
    WISP_ENDS("tarn.problem.hardware.fpin.fc.peercongestion.clear",
              "tarn.problem.hardware.fpin.fc.peercongestion.lostcredit", {0, 0}, {1, 1}),
    // A disk taken out no longer predicts its failure.
    WISP_ENDS("tarn.audit.hcm.event.disk.removal", "tarn.problem.hcm.event.disk.predictive.failure",
              {0, 0}),

    // The clock synchronised again ends every report of lost synchronisation.
    WISP_ENDS("tarn.problem.clock.correction.adjtime.sync",
              "tarn.problem.clock.correction.adjtime.unsync"),
    WISP_ENDS("tarn.problem.clock.correction.adjtime.sync",
              "tarn.problem.clock.correction.adjtime.lostsync"),
    WISP_ENDS("tarn.problem.clock.correction.adjtime.sync",
              "tarn.problem.clock.correction.changed"),
    WISP_ENDS("tarn.problem.clock.correction.adjtime.sync",
              "tarn.problem.clock.correction.step.unsync"),

    // User-level tools.
    WISP_ENDS("tarn.clear.coredump.configured", "tarn.problem.coredump.unconfigured"),
    WISP_ENDS("tarn.clear.coredump.configured2", "tarn.problem.coredump.unconfigured2"),
    WISP_ENDS("tarn.problem.metadatastore.healthy", "tarn.problem.metadatastore.degraded"),

    // Distributed storage: an interface with an address again; a usable
    // network again (after the last interface went, or one without address
    // was configured anew); clustering back; a device online again.
    WISP_ENDS("tarn.clear.strata.mantlenic.ready", "tarn.problem.strata.mantlenic.not.ready",
              {0, 0}),
    WISP_ENDS("tarn.clear.strata.mantlenic.ready", "tarn.problem.strata.net.not.ready", {0, 0}),
    WISP_ENDS("tarn.clear.strata.network.available", "tarn.problem.strata.no.network.connectivity"),
    WISP_ENDS("tarn.clear.strata.network.available", "tarn.problem.strata.net.not.ready"),
    WISP_ENDS("tarn.clear.strata.clustering.enabled", "tarn.problem.strata.clustering.disabled"),
    WISP_ENDS("tarn.clear.wisp.strata.pdl.online", "tarn.problem.wisp.strata.pdl.offline", {0, 0}),
};

const unsigned kClearRowCount = sizeof kClearRows / sizeof kClearRows[0];

bool EndsProblems(std::string_view id) {
  for (const ClearRow &row : kClearRows)
    if (id == row.ender) return true;
  return false;
}

}  // namespace wispalert
