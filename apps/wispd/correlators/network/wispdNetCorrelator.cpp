// Network correlator: the kernel's network observations. Most map one to one
// onto a flare; uplink transitions feed redundancy tracking and link-downs
// the flapping check.

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "base/wispdLog.h"
#include "base/wispdTimer.h"
#include "correlators/network/wispdNetRedundancy.h"
#include "intake/wispdCorrelatorDef.h"
#include "mantlectl/mantlectl.h"
#include "pellibs/sysinfo.h"

namespace {

// Where the VM name starts in the kernel's VM group record.
enum { kVmNameOffset = 388 };

const FlareRow kRows[] = {
    WISPD_ROW(
        "wisp.net.migrate.bindtomantle.failed", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.migrate.bindtomantle)The Tarn advanced config option "
        "/Migrate/Mantlenic is set to an invalid mantlenic: '%s'.  /Migrate/Mantlenic specifies a "
        "mantlenic that Glide binds to for improved performance.  Please update the config option "
        "with a valid mantlenic or, if you don't want Glide to bind to a specific mantlenic, "
        "remove "
        "the invalid mantlenic and leave the option blank.",
        "0"),
    WISPD_ROW("wisp.net.migrate.unsupported.latency", "%u %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.migrate.unsupported.latency)Tarn has detected %ums "
              "round-trip Glide "
              "network latency between host %s and %s.  High latency Glide networks are only "
              "supported if "
              "both Tarn hosts have been configured for Glide latency tolerance.",
              "012"),
    WISPD_ROW(
        "wisp.net.uplink.mtu.failed", "%d %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.uplink.mtu.failed)Mantle failed to set the MTU value %d on the "
        "uplink %s.",
        "01"),
    WISPD_ROW(
        "wisp.net.mantlenic.ip.duplicate", "%p %p %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.mantlenic.ip.duplicate)Duplicate IP address detected for %s on "
        "interface %s, current owner being %s.",
        "012"),
    WISPD_ROW("wisp.net.firewall.config.changed", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.firewall.config.changed)Firewall configuration has changed. "
              "Operation "
              "'%s' for rule set %s succeeded.",
              "01"),
    WISPD_ROW(
        "wisp.net.firewall.config.failed", "%p %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.firewall.config.failed)Firewall configuration operation '%s' "
        "failed. The changes were not applied to rule set %s.",
        "01"),
    WISPD_ROW("wisp.net.firewall.port.hooked", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.firewall.port.hooked)Port %s is now protected by Firewall.",
              "0"),
    WISPD_ROW(
        "wisp.net.firewall.port.hookfailed", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.firewall.port.hookfailed)Adding port %s to Firewall failed.",
        "0"),
    WISPD_ROW(
        "wisp.net.firewall.port.removed", "%p", FLARE_AUDIT,
        "@&!*@*@(tarn.audit.net.firewall.port.removed)Port %s is not protected with Firewall now.",
        "0"),
    WISPD_ROW("wisp.net.firewall.disabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.firewall.disabled)Firewall has been disabled.", ""),
    WISPD_ROW("wisp.net.firewall.enabled", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.firewall.enabled)Firewall has been enabled for port %s", "0"),
    WISPD_ROW(
        "wisp.net.portset.port.full", "%p %d", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.portset.port.full)Portset %s has reached the maximum number of "
        "ports (%d). Cannot apply for any more free ports.",
        "01"),
    WISPD_ROW(
        "wisp.net.portset.port.connect.fail", "%p %p %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.proxyswitch.port.unavailable)Virtual NIC with hardware address "
        "%s "
        "failed to connect to distributed virtual port %s on switch %s. No more ports available on "
        "the host proxy switch",
        "210"),
    WISPD_ROW("wisp.net.portset.port.vlan.invalidid", "%p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.portset.port.vlan.invalidid)%s VLANID %d is invalid. VLAN "
              "ID has to "
              "be between 0 and 4095.",
              "01"),
    WISPD_ROW(
        "wisp.net.gateway.set.failed", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.gateway.set.failed)Cannot connect to the specified gateway %s. "
        "Failed to set it.",
        "0"),
    WISPD_ROW("wisp.net.heap.belowthreshold", "%p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.heap.belowthreshold)%s free size dropped below %d percent.",
              "01"),
    WISPD_ROW("wisp.net.lacp.enable", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.lacp.enable)LACP for Weave %s is enabled", "0"),
    WISPD_ROW("wisp.net.lacp.disable", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.lacp.disable)LACP for Weave %s is disabled", "0"),
    WISPD_ROW(
        "wisp.net.lacp.policy.incompatible", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.lacp.policy.incompatible)Current teaming policy for Weave: %s is "
        "incompatible, supported is IP hash only",
        "0"),
    WISPD_ROW(
        "wisp.net.lacp.policy.linkstatus", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.lacp.policy.linkstatus)Current teaming policy for Weave %s is "
        "incompatible, supported link failover detection is link status only.",
        "0"),
    WISPD_ROW(
        "wisp.net.lacp.uplink.inactive", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.lacp.uplink.inactive)All uplinks on Weave %s must be active for "
        "LACP",
        "0"),
    WISPD_ROW("wisp.net.lacp.uplink.transition.down", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.lacp.uplink.transition.down)uplink %s on Weave %s is moved "
              "out of "
              "link aggregation group.",
              "01"),
    WISPD_ROW(
        "wisp.net.lacp.uplink.transition.up", "%p %p", FLARE_CLEAR,
        "@&!*@*@(tarn.clear.net.lacp.uplink.transition.up)uplink %s on Weave %s is moved into link "
        "aggregation group",
        "01"),
    WISPD_ROW("wisp.net.lacp.uplink.fail.speed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.lacp.uplink.fail.speed)Speed across all uplink ports must "
              "be same, "
              "Weave %s uplink %s has different speed",
              "01"),
    WISPD_ROW("wisp.net.lacp.uplink.fail.duplex", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.lacp.uplink.fail.duplex)Duplex mode across all uplink "
              "ports must be "
              "full, Weave %s uplink %s has different mode",
              "01"),
    WISPD_ROW("wisp.net.lacp.uplink.blocked", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.lacp.uplink.blocked)uplink %s on Weave %s is blocked",
              "01"),
    WISPD_ROW("wisp.net.lacp.uplink.unblocked", "%p %p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.net.lacp.uplink.unblocked)uplink %s on Weave %s is unblocked",
              "01"),
    WISPD_ROW("wisp.net.lacp.uplink.connected", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.net.lacp.uplink.connected)uplink %s on Weave %s got connected",
              "01"),
    WISPD_ROW(
        "wisp.net.lacp.uplink.disconnected", "%p %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.lacp.uplink.disconnected)uplink %s on Weave %s got disconnected",
        "01"),
    WISPD_ROW("wisp.net.lacp.uplink.peer.noresponse", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.lacp.peer.noresponse.2)No peer response on Weave %s", "0"),
    WISPD_ROW("wisp.net.lacp.lag.transition.down", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.lacp.lag.transition.down)LAG %s on Weave %s is down.",
              "01"),
    WISPD_ROW("wisp.net.lacp.lag.transition.up", "%p %p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.net.lacp.lag.transition.up)LAG %s on Weave %s is up.", "01"),
    WISPD_ROW("wisp.net.portset.unsupported.psclass", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.portset.unsupported.psclass)%s is not a Pelldan supported "
              "portset "
              "class, the relevant module must be unloaded.",
              "0"),
    WISPD_ROW("wisp.net.teaming.policy.invalid.uplink", "%p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.net.teaming.policy.invalid.uplink)Failed to update teaming "
              "policy %s on "
              "portset %s due to an invalid uplink %s which disallows normal I/O.",
              "012"),
    WISPD_ROW(
        "wisp.net.rspan.teaming.uplink.io.conflict", "%p %p %p %p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.net.rspan.teaming.uplink.io.conflict)Failed to set RSPAN src session "
        "%s "
        "on portset %s due to it disallows uplink I/O which conflicts with %s teaming policy %s.",
        "0123"),
};

// The wake-up pipe: the timer thread writes, the correlator thread polls.
int gWakePipe[2] = {-1, -1};

void HandleFenceFailure(const Wisp *wisp) {
  const char *port = nullptr, *switchName = nullptr;
  int reason = 0, fenceId = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %d %d", &port, &switchName, &reason, &fenceId) != 0) return;
  if (reason == MANTLE_BAD_PARAM) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.fence.port.badfenceid)Mantle fails to set fenceId %d on "
        "distributed virtual port %s on switch %s, reason: invalid fenceId",
        fenceId, port, switchName);
  } else if (reason == MANTLE_WOULD_BLOCK) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.fence.switch.unavailable)Mantle fails to set fenceId %d on "
        "distributed virtual port %s on switch %s, reason: dvSwitch fence property is not set",
        fenceId, port, switchName);
  } else {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.fence.resource.limited)Mantle fails to set fenceId %d on "
        "distributed virtual port %s on switch %s, reason: maximum number of fence networks or "
        "ports have been reached",
        fenceId, port, switchName);
  }
}

void HandleE1000Tso6(const Wisp *wisp) {
  int32_t groupId = 0;
  if (Wisp_GetArgs(wisp, 0, "%d", &groupId) != 0) return;
  char record[SYSI_VMM_GROUP_INFO_SIZE] = {};
  try {
    MantleCtl::Util::Sysinfo info(Sysi_NODE_vm_vmmGroupInfo);
    info.SetInstance(static_cast<int64_t>(groupId));
    info.Get(record, sizeof record);
  } catch (const HostCtl::Lib::HostCtlException &) {
    return;  // no such VM group
  }
  record[sizeof record - 1] = '\0';  // the kernel's name, bounded all the same
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.net.e1000.tso6.notsupported)Guest-initiated IPv6 TCP Segmentation "
      "Offload (TSO) packets ignored. Manually disable TSO inside the guest operating system in "
      "Virtual Machine %s, or use a different virtual adapter.",
      record + kVmNameOffset);
}

// Timer thread: only wakes the correlator, whose thread owns the state.
void WakeCorrelator() {
  static const char kWake[] = "foo";
  ssize_t n = write(gWakePipe[1], kWake, sizeof kWake);
  (void)n;
}

const HandlerRow kHandlers[] = {
    {"wisp.net.pg.uplink.transition.down", NetRedundancy_PgDown},
    {"wisp.net.pg.uplink.transition.up", NetRedundancy_PgUp},
    {"wisp.net.dvport.uplink.transition.down", NetRedundancy_DvDown},
    {"wisp.net.dvport.uplink.transition.up", NetRedundancy_DvUp},
    {"wisp.net.pnic.linkstate.up", NetRedundancy_LinkUp},
    {"wisp.net.pnic.linkstate.down", NetRedundancy_LinkDown},
    {"wisp.net.uplink.watchdog.timeout", NetRedundancy_Watchdog},
    {"wisp.net.e1000.tso6.notsupported", HandleE1000Tso6},
    {"wisp.net.fence.port.fail", HandleFenceFailure},
};

// Without a timer the correlator does not run at all.
bool Start() {
  int timer = Timer_Create(WakeCorrelator);
  if (timer == -1) return false;
  NetRedundancy_SetTimer(timer);
  if (pipe(gWakePipe) != 0)
    Panic("Failed to initialize pipes for this thread: %s\n", strerror(errno));
  return true;
}

int WakeFd() {
  return gWakePipe[0];
}

const char *const kGroups[] = {"net", nullptr};

}  // namespace

extern const CorrelatorDef kNetCorrelator = {
    .name = "net",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
    .reset = NetRedundancy_Reset,
    .start = Start,
    .wakeFd = WakeFd,
    .wakeup = NetRedundancy_Timeout,
};
