// Strata correlator: the distributed storage layer's device health, disk
// group limits, resynchronisation and initialisation reports, one flare
// each; its network, clustering and medium-error reports keep state
// (wispdStrataNetwork).
#include "correlators/storage/wispdStrataNetwork.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"strata", nullptr};

// One-string rows post even without their string, a null name in its place;
// the two without PostOnFail and every row of more arguments post nothing.
const FlareRow kRows[] = {
    WISPD_ROW("wisp.strata.dom.init.failed.status", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.strata.dom.init.failed.status)Strata Distributed Object "
              "Manager failed to initialize. While the Tarn host might still be part of the "
              "Strata cluster, some of the Strata related services might fail until this problem "
              "is resolved. Failure Status: %s.",
              "0"),
    WISPD_ROW("wisp.strata.pdl.online", "%p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.wisp.strata.pdl.online)Strata device %s has come online.", "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.pdl.offline", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.pdl.offline)Strata device %s has gone offline.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.diskerror", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.diskerror)Strata device %s is under "
              "permanent error.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.diskpropagatedpermerror", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.diskpropagatedpermerror)Strata device %s is "
              "under propagated permanent error.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.diskunhealthy", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.diskunhealthy)Strata device %s is unhealthy.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.diskgrouplogcongested", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.diskgrouplogcongested)Strata diskgroup %s "
              "log is congested.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.diskpropagatederror", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.diskpropagatederror)Strata device %s is "
              "under propagated error.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.congestionthreshold", "%p %p %u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.strata.kesk.congestionthreshold)KESK %s Congestion State: %s. "
              "Congestion Threshold: %u Current Congestion: %u.",
              "0123"),
    // Read unsigned, shown signed, as the module reports them.
    WISPD_ROW("wisp.strata.kesk.disklimit2", "%p %u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.disklimit2)Failed to add disk %s to disk "
              "group. The system has reached the maximum amount of disks allowed (%d) for the "
              "current amount of memory (%d GB). Add more memory.",
              "012"),
    WISPD_ROW("wisp.strata.kesk.diskgrouplimit", "%p %u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.diskgrouplimit)Failed to create new disk "
              "group %s. The system has reached the maximum amount of disks groups allowed (%d) "
              "for the current amount of memory (%d GB). Add more memory.",
              "012"),
    WISPD_ROW("wisp.strata.kesk.componentthreshold", "%p %u %u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.componentthreshold)Strata Node: %s reached "
              "threshold of %u %% opened components (%u of %u).",
              "0123"),
    WISPD_ROW("wisp.strata.dom.nospaceduringresync", "%p %p %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.nospaceduringresync)Resync encountered no "
              "space error for component %s on disk %s. Resync will resume once space is freed up "
              "on this disk. Need around %uMB to resync the component on this disk",
              "012"),
    WISPD_ROW("wisp.strata.dom.resynctimeout", "%u %p %p %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.resynctimeout)Resync timed out as no progress "
              "was made in %u minute(s) for component %s on disk %s. Resync will be tried again "
              "for this component. The remaining resync is around %uMB.",
              "0123"),
    WISPD_ROW("wisp.strata.dom.resyncdecisiondelayed", "%p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.dom.resyncdecisiondelayed)Resync is delayed for "
              "component %s on disk %s until data availability is regained for object %s on the "
              "remote site.",
              "012"),
    WISPD_ROW("wisp.strata.dom.component.datacomponent.on.witness.host", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.strata.dom.component.datacomponent.on.witness.host)Data "
              "component %s found on witness host is ignored.",
              "0"),
    WISPD_ROW("wisp.strata.kesk.stuckio", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.stuckio)Suspended I/Os detected on disk %s",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.rdt.rdma.change", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.strata.rdma.changed)Strata RDMA changed for mantlenic %s.", "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.devicerepair", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.devicerepair)Device %s is in offline state "
              "and is getting repaired.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.metadataURE", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.metadataURE)Device %s encountered an "
              "unrecoverable read error. It is in an unhealthy state and will get evacuated and "
              "rebuilt. If this device is part of a dedup diskgroup, the entire disk group will be "
              "evacuated and rebuilt.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.UREEvacuationFailed", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.UREEvacuationFailed)Evacuation has failed "
              "for device %s due to insufficient resources, rebuild will be skipped. Please make "
              "resource available for evacuation.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.devicerebuild", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.wisp.strata.kesk.devicerebuild)Device %s is added back "
              "successfully after MEDIUM error. Old UUID %s New UUID %s.",
              "012"),
    WISPD_ROW("wisp.strata.kesk.diskgrouprebuild", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.wisp.strata.kesk.diskgrouprebuild)Diskgroup %s is rebuilt "
              "successfully after MEDIUM error. Old UUID %s New UUID %s.",
              "012"),
    WISPD_ROW("wisp.strata.kesk.stuckiotimeout", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.stuckiotimeout)Strata device %s detected I/O "
              "timeout error. This may lead to stuck I/O.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.stuckiooffline", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.stuckiooffline)Strata device %s detected "
              "stuck I/O error. Marking the device as offline",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.stuckiopropagated", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.stuckiopropagated)Strata device %s is under "
              "propagated stuck I/O error. Marking the device as offline.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.storagepoolrepair", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.storagepoolrepair)Device %s is currently "
              "offline and is being repaired.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.storagepoolURE", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.storagepoolURE)Device %s encountered an "
              "unrecoverable read error. It is in an unhealthy state and will be rebuilt.",
              "0")
        .PostOnFail(),
    WISPD_ROW("wisp.strata.kesk.storagepoolrebuild", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.wisp.strata.kesk.storagepoolrebuild)Device %s is added back "
              "successfully after MEDIUM error. Old UUID %s New UUID %s.",
              "012"),
    WISPD_ROW("wisp.strata.kesk.storagepoolstuckio", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.wisp.strata.kesk.storagepoolstuckio)No response for I/O on "
              "Strata device %s.",
              "0")
        .PostOnFail(),
};

const HandlerRow kHandlers[] = {
    {"wisp.strata.net.gotip", StrataNet_GotIp},
    {"wisp.strata.net.noip", StrataNet_NoIp},
    {"wisp.strata.rdt.noip", StrataNet_NoIp},
    {"wisp.strata.net.no.connectivity", StrataNet_LastRemoved},
    {"wisp.strata.net.created", StrataNet_Configured},
    {"wisp.strata.net.reconfigured", StrataNet_Configured},
    {"wisp.strata.net.redundancy.reduced", StrataNet_Removed},
    {"wisp.strata.quorin.disabled", StrataNet_ClusteringDisabled},
    {"wisp.strata.quorin.unloaded", StrataNet_Unloaded},
    {"wisp.strata.quorin.enabled", StrataNet_ClusteringEnabled},
    {"wisp.strata.dom.errorfixed", StrataNet_MediumError},
    {"wisp.strata.dom.singlediskerrorfixed", StrataNet_MediumError},
    {"wisp.strata.dom.singlediskunrecoverableerror", StrataNet_MediumError},
    {"wisp.strata.dom.unrecoverableerror", StrataNet_MediumError},
};

}  // namespace

extern const CorrelatorDef kStrataCorrelator = {
    .name = "Strata",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
    .reset = StrataNet_Reset,
};
