// User-level correlator: what the host's own tools report (image manager,
// console, SSH and shell services, log and entropy daemons, DHCP client,
// configuration store, reboot tooling). Nearly every observation maps one to
// one onto a flare; a few repeat often and are held back by a window, and
// the reboot, power-off and account reports also write host state.

#include <map>
#include <string>
#include <utility>

#include "base/wispdClock.h"
#include "correlators/host/wispdUserReboot.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const FlareRow kRows[] = {
    // Maintenance, lockdown, shell and access switches.
    WISPD_ROW("wisp.user.shell.enabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.shell.enabled)The shell has been enabled on the host.", ""),
    WISPD_ROW("wisp.user.shell.disabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.shell.disabled)The shell has been disabled on the host.", ""),
    WISPD_ROW("wisp.user.ssh.enabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.ssh.enabled)SSH access has been enabled on the host.", ""),
    WISPD_ROW("wisp.user.ssh.disabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.ssh.disabled)SSH access has been disabled on the host.", ""),
    WISPD_ROW("wisp.user.helm.enabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.enabled)The Helm Console Interface has been enabled. Please "
              "consult Tarn Embedded and Keystone Server Setup Guide or follow the Ask Pelldan "
              "link for more information.",
              ""),
    WISPD_ROW("wisp.user.helm.disabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.disabled)The Helm Console Interface has been disabled. "
              "Please consult Tarn Embedded and Keystone Server Setup Guide or follow the Ask "
              "Pelldan link for more information.",
              ""),
    WISPD_ROW("wisp.user.lockdownmode.enabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.lockdownmode.enabled)Lockdown mode has been enabled.", ""),
    WISPD_ROW("wisp.user.lockdownmode.disabled", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.lockdownmode.disabled)Lockdown mode has been disabled.", ""),
    WISPD_ROW("wisp.user.maintenancemode.entering", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.maintenancemode.entering)The host is entering maintenance mode.",
              ""),
    WISPD_ROW(
        "wisp.user.maintenancemode.canceled", "", FLARE_AUDIT,
        "@&!*@*@(tarn.audit.maintenancemode.canceled)Entering maintenance mode was called off.",
        ""),
    WISPD_ROW("wisp.user.maintenancemode.entered", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.maintenancemode.entered)The host has entered maintenance mode.",
              ""),
    WISPD_ROW("wisp.user.maintenancemode.exited", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.maintenancemode.exited)The host has exited maintenance mode.",
              ""),
    WISPD_ROW("wisp.user.maintenancemode.failed", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.maintenancemode.failed)The host has failed to enter "
              "maintenance mode.",
              ""),
    WISPD_ROW("wisp.user.partialmaintenancemode.entering", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.partialmaintenancemode.entering)The host is entering partial "
              "maintenance mode %s.",
              "0"),
    WISPD_ROW("wisp.user.partialmaintenancemode.canceled", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.partialmaintenancemode.canceled)Entering partial maintenance "
              "mode %s was called off.",
              "0"),
    WISPD_ROW("wisp.user.partialmaintenancemode.entered", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.partialmaintenancemode.entered)The host has entered the "
              "partial maintenance mode %s.",
              "0"),
    WISPD_ROW("wisp.user.partialmaintenancemode.exited", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.partialmaintenancemode.exited)The host has exited the partial "
              "maintenance mode %s.",
              "0"),
    WISPD_ROW("wisp.user.partialmaintenancemode.failed", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.partialmaintenancemode.failed)The host has failed to enter the "
              "partial maintenance mode %s.",
              "0"),

    // Logins and remote access.
    WISPD_ROW("wisp.user.helm.login.passwd.changed", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.login.passwd.changed)The password of user %s has been "
              "changed. Please consult Tarn Embedded and Keystone Server Setup Guide or follow "
              "the Ask Pelldan link for more information.",
              "0"),
    WISPD_ROW("wisp.user.helm.login.failed", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.login.failed)Authentication of user %s has failed. Please "
              "consult Tarn Embedded and Keystone Server Setup Guide or follow the Ask Pelldan "
              "link for more information.",
              "0"),
    WISPD_ROW("wisp.user.account.loginfailures", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.account.loginfailures)Repeated login failures for user %s.", "0"),
    WISPD_ROW("wisp.user.ssh.session.failed", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.ssh.session.failed)SSH login failed for %s from %s.", "01"),
    WISPD_ROW(
        "wisp.user.ssh.session.opened", "%p %p", FLARE_AUDIT,
        "@&!*@*@(tarn.audit.ssh.session.opened)An SSH session for %s from %s has been opened.",
        "01"),
    WISPD_ROW(
        "wisp.user.ssh.session.closed", "%p %p", FLARE_AUDIT,
        "@&!*@*@(tarn.audit.ssh.session.closed)The SSH session for %s from %s has been closed.",
        "01"),

    // Direct console actions.
    WISPD_ROW("wisp.user.helm.factory.network.restored", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.network.factoryrestore)The network settings have been "
              "restored to factory defaults through the Helm Console Interface. Please consult "
              "Tarn Embedded and Keystone Server Setup Guide or follow the Ask Pelldan link for "
              "more information.",
              ""),
    WISPD_ROW("wisp.user.helm.restarting.hostagents", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.hostagents.restart)The management agents on the host are "
              "being restarted through the Helm Console Interface. Please consult Tarn Embedded "
              "and Keystone Server Setup Guide or follow the Ask Pelldan link for more "
              "information.",
              ""),
    WISPD_ROW("wisp.user.helm.network.restart", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.network.restart)A management network restart on %s has "
              "been requested through the Helm Console Interface. Please consult Tarn Embedded "
              "and Keystone Server Setup Guide or follow the Ask Pelldan link for more "
              "information.",
              "0"),
    WISPD_ROW("wisp.user.helm.restore.factory.defaults", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.helm.defaults.factoryrestore)The host configuration has been "
              "restored to factory defaults through the Helm Console Interface. Please consult "
              "Tarn Embedded and Keystone Server Setup Guide or follow the Ask Pelldan link for "
              "more information.",
              ""),

    // Image and package management.
    WISPD_ROW("wisp.user.tarnimage.install.invalidhardware", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.tarnimage.install.invalidhardware)Host doesn't meet image "
              "profile '%s' hardware requirements:\n%s",
              "01"),
    WISPD_ROW("wisp.user.tarnimage.install.stage.error", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.tarnimage.install.stage.error)Could not stage image profile "
              "'%s': %s",
              "01"),
    WISPD_ROW("wisp.user.tarnimage.install.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.tarnimage.install.error)Could not install image profile: %s",
              "0"),
    WISPD_ROW(
        "wisp.user.tarnimage.hostacceptance.changed", "%p %p", FLARE_AUDIT,
        "@&!*@*@(tarn.audit.tarnimage.hostacceptance.changed)The host's acceptance level went "
        "from '%s' to '%s'.",
        "01"),
    WISPD_ROW("wisp.user.tarnimage.install.securityalert", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.install.securityalert)Security warning: image profile "
              "'%s' is being installed with %s.",
              "01"),
    WISPD_ROW("wisp.user.tarnimage.kit.install.successful", "%d %d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.kit.install.successful)Successfully installed %d "
              "KIT(s), removed %d KIT(s)",
              "01"),
    WISPD_ROW("wisp.user.tarnimage.kit.remove.successful", "%d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.kit.remove.successful)Successfully removed %d KIT(s)",
              "0"),
    WISPD_ROW("wisp.user.tarnimage.install.novalidation", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.install.novalidation)An image profile is being "
              "installed with validation turned off.",
              ""),
    WISPD_ROW("wisp.user.tarnimage.install.nobypasssigcheck", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.install.nobypasssigcheck)Installing an image profile "
              "without its signing and acceptance level checks is refused.",
              ""),
    WISPD_ROW("wisp.user.tarnimage.install.nosigcheck", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.install.nosigcheck)An image profile is being installed "
              "with its signing check turned off.",
              ""),
    WISPD_ROW("wisp.user.tarnimage.profile.install.successful", "%p %d %d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.profile.install.successful)Successfully installed "
              "image profile '%s'. Installed %d KIT(s), removed %d KIT(s)",
              "012"),
    WISPD_ROW("wisp.user.tarnimage.profile.update.successful", "%p %d %d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.profile.update.successful)Successfully updated host "
              "to image profile '%s'. Installed %d KIT(s), removed %d KIT(s)",
              "012"),
    WISPD_ROW("wisp.user.tarnimage.software.apply.succeeded", "%d %d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarnimage.software.apply.succeeded)Software was applied to the "
              "host. Installed %d KIT(s), removed %d KIT(s)",
              "01"),

    // Boot, crash, reboot, power-off and Quick Boot reasons: the reason tool's reports.
    WISPD_ROW("wisp.user.host.reboot.reason.available", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.reboot.reason.available)%s", "0"),
    WISPD_ROW("wisp.user.host.quickboot.reason.available", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.quickboot.reason.available)%s", "0"),
    WISPD_ROW("wisp.user.host.poweroff.reason.available", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.poweroff.reason.available)%s", "0"),
    WISPD_ROW("wisp.user.host.crash.reason.available", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.crash.reason.available)%s", "0"),
    WISPD_ROW("wisp.user.host.reboot.reason.management", "%p %p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.reboot.reason.management)The reboot at %s was requested "
              "by %s by user/entity %s due to: \"%s\"",
              "0123"),
    WISPD_ROW("wisp.user.host.quickboot.reason.management", "%p %p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.quickboot.reason.management)The Quick Boot at %s was "
              "requested by %s by user/entity %s due to: \"%s\"",
              "0123"),
    WISPD_ROW("wisp.user.host.poweroff.reason.management", "%p %p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.poweroff.reason.management)The power off at %s was "
              "requested by %s by user/entity %s due to: \"%s\"",
              "0123"),
    WISPD_ROW("wisp.user.host.reboot.reason.subsystem", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.reboot.reason.subsystem)The reboot at %s was requested by "
              "%s due to: \"%s\"",
              "012"),
    WISPD_ROW("wisp.user.host.quickboot.reason.subsystem", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.quickboot.reason.subsystem)The Quick Boot at %s was "
              "requested by %s due to: \"%s\"",
              "012"),
    WISPD_ROW("wisp.user.host.poweroff.reason.subsystem", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.poweroff.reason.subsystem)The power off at %s was "
              "requested by %s due to: \"%s\"",
              "012"),
    WISPD_ROW("wisp.user.host.reboot.reason.timestamp", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.reboot.reason.timestamp)The reboot at %s was requested "
              "due to: \"%s\"",
              "01"),
    WISPD_ROW("wisp.user.host.quickboot.reason.timestamp", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.quickboot.reason.timestamp)The Quick Boot at %s was "
              "requested due to: \"%s\"",
              "01"),
    WISPD_ROW("wisp.user.host.poweroff.reason.timestamp", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.poweroff.reason.timestamp)The power off at %s was "
              "requested due to: \"%s\"",
              "01"),
    WISPD_ROW("wisp.user.host.reboot.reason.user", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.reboot.reason.user)The reboot at %s was requested by "
              "user/entity %s due to: \"%s\"",
              "012"),
    WISPD_ROW("wisp.user.host.quickboot.reason.user", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.quickboot.reason.user)The Quick Boot at %s was requested "
              "by user/entity %s due to: \"%s\"",
              "012"),
    WISPD_ROW("wisp.user.host.poweroff.reason.user", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.poweroff.reason.user)The power off at %s was requested by "
              "user/entity %s due to: \"%s\"",
              "012"),
    WISPD_ROW("wisp.user.host.crash.reason", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.crash.reason)The crash at %s occurred due to: \"%s\"More "
              "details will be available in the generated mantle-zdump.",
              "01"),
    WISPD_ROW("wisp.user.host.reboot.reason.unavailable", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.reboot.reason.unavailable)The reason for the last reboot "
              "of the host is not available.",
              ""),
    WISPD_ROW("wisp.user.host.quickboot.reason.unavailable", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.quickboot.reason.unavailable)The reason for the last "
              "Quick Boot of the host is not available.",
              ""),
    WISPD_ROW("wisp.user.host.poweroff.reason.unavailable", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.poweroff.reason.unavailable)The reason for the last power "
              "off of the host is not available.",
              ""),
    WISPD_ROW("wisp.user.host.crash.reason.unavailable", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.crash.reason.unavailable)The reason for the last crash of "
              "the host is not available.",
              ""),
    WISPD_ROW("wisp.user.host.boot", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.host.boot)Host has booted.", ""),

    // Core dumps, scratch and OSData.
    WISPD_ROW("wisp.user.host.coredump", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.host.coredump)A host kernel core dump is waiting to be read.",
              ""),
    WISPD_ROW("wisp.user.coredump.unconfigured", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.coredump.unconfigured)Neither a mantle core-dump partition nor "
              "a network core-dump server is configured, so host core dumps cannot be saved.",
              ""),
    WISPD_ROW("wisp.user.coredump.unconfigured2", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.coredump.unconfigured2)No core-dump target is configured, so "
              "host core dumps cannot be saved.",
              ""),
    WISPD_ROW("wisp.user.coredump.configured", "", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.coredump.configured)A core-dump partition is now configured.",
              ""),
    WISPD_ROW("wisp.user.coredump.configured2", "", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.coredump.configured2)A core-dump target is now configured, so "
              "host core dumps can be saved.",
              ""),
    WISPD_ROW("wisp.user.coredump.extraction.failed.nospace", "%lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.coredump.extraction.failed.nospace)No coredump has been "
              "extracted. The target partition has insufficient amount of free space. At least "
              "%lu MIB is required.",
              "0"),
    WISPD_ROW("wisp.user.coredump.capacity.insufficient", "%lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.coredump.capacity.insufficient)The storage capacity of the "
              "coredump targets is insufficient to capture a complete coredump. Recommended "
              "coredump capacity is %lu MiB.",
              "0"),
    WISPD_ROW("wisp.user.coredump.copyspace", "%lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.coredump.copyspace)The default place for copies of core dumps "
              "has too little free space for new copies. Recommended free space is %lu MiB.",
              "0"),
    WISPD_ROW("wisp.user.scratch.partition.size.small", "%p %lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scratch.partition.size.small)Size of scratch partition %s is "
              "too small. Recommended scratch partition size is %lu MiB.",
              "01"),
    WISPD_ROW("wisp.user.scratch.partition.unconfigured", "%lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scratch.partition.unconfigured)No scratch partition has been "
              "configured. Recommended scratch partition size is %lu MiB.",
              "0"),
    WISPD_ROW("wisp.user.scratch.on.usb", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scratch.on.usb)The scratch partition is on a USB device, "
              "which is not recommended.",
              ""),
    WISPD_ROW("wisp.user.osdata.path.notfound", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.osdata.path.notfound)The OSData path could not be found. "
              "System logs and data may not be persisted.",
              ""),

    // Configuration store and metadata store.
    WISPD_ROW("wisp.user.metadatastore.degraded", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.metadatastore.degraded)The metadata store is degraded on "
              "%s.",
              "0"),
    // A problem flare, as the tool reports it, although it announces health.
    WISPD_ROW("wisp.user.metadatastore.healthy", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.metadatastore.healthy)The metadata store is healthy.", ""),
    WISPD_ROW("wisp.user.cs.createstore.copy.backup.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.createstore.copy.backup.error)Could not copy the "
              "configuration store backup: %s",
              "0"),
    WISPD_ROW("wisp.user.cs.db.operation.error", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.db.operation.error)A configuration store database "
              "operation failed.",
              ""),
    WISPD_ROW("wisp.user.cs.schema.file.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.schema.file.error)Configuration store schema file error: "
              "%s",
              "0"),
    WISPD_ROW("wisp.user.cs.schema.metadata.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.schema.metadata.error)Configuration store schema metadata "
              "error: %s",
              "0"),
    WISPD_ROW("wisp.user.cs.schema.validation.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.schema.validation.error)Configuration store schema "
              "validation error: %s",
              "0"),
    WISPD_ROW("wisp.user.cs.dfs.restore.error", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.dfs.restore.error)Could not restore the configuration "
              "store from the distributed file system.",
              ""),
    WISPD_ROW("wisp.user.cs.dfs.cleanup.error", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.dfs.cleanup.error)Could not clean up the configuration "
              "store on the distributed file system.",
              ""),
    WISPD_ROW("wisp.user.cs.desired.config.error", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.desired.config.error)Could not apply the desired "
              "configuration of the host.",
              ""),
    WISPD_ROW("wisp.user.cs.upgrade.config.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cs.upgrade.config.error)Could not upgrade the host "
              "configuration: %s",
              "0"),
    WISPD_ROW("wisp.user.unsupported.tls.protocols", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.unsupported.tls.protocols)Upgrade detected unsupported TLS "
              "protocols, resetting option /UserVars/TarnVPsDisabledProtocols to default. From "
              "Orbis 8.0 onwards, protocols prior to tlsv1.2 are no longer supported and must "
              "remain disabled.",
              ""),

    // Logging daemon.
    WISPD_ROW("wisp.user.lognestd.remote.failure", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.lognestd.remote.failure)The host \"%s\" has become "
              "unreachable.  Remote logging to this host has stopped.",
              "0"),
    WISPD_ROW("wisp.user.lognestd.storage.failure", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.lognestd.storage.failure)The log daemon can no longer write to "
              "storage, so this host's logs are not kept locally.",
              ""),
    WISPD_ROW("wisp.user.lognestd.unexpected", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.lognestd.unexpected)The log daemon stopped for an unexpected "
              "reason: %s",
              "0"),

    // Entropy.
    WISPD_ROW("wisp.user.entropy.inmemory.empty", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.entropy.inmemory.empty)The in-memory entropy cache of the "
              "host is empty.",
              ""),
    WISPD_ROW("wisp.user.entropy.empty", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.entropy.empty)The host has run out of entropy.", ""),
    WISPD_ROW("wisp.user.entropy.external.source.disconnected", "", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.entropy.external.source.disconnected)The external entropy "
              "source of the host has been disconnected.",
              ""),
    WISPD_ROW("wisp.user.entropy.config.error", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.entropy.config.error)The entropy configuration is invalid: "
              "%s",
              "0"),

    // Network time and DHCP.
    WISPD_ROW(
        "wisp.user.dhclient.lease.none", "%p", FLARE_PROBLEM,
        "@&!*@*@(tarn.problem.dhclient.lease.none)No DHCP lease could be obtained on interface %s.",
        "0"),
    WISPD_ROW("wisp.user.ntpd.clock.correction.error", "%d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.ntpd.clock.correction.error)NTP daemon stopped.  Time "
              "correction %d > %d seconds.   Manually set the time and restart ntpd.",
              "01"),

    // Drivers, modules, IO filters, storage IO.
    WISPD_ROW("wisp.user.iorm.nonviworkload", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.iorm.nonviworkload)An external IO activity is detected on "
              "datastore %s, this is an unsupported configuration. Please consult IO Resource "
              "Management Documentation or follow the Ask Pelldan link for more information.",
              "0"),
    WISPD_ROW("wisp.user.iorm.badversion", "%p %p %d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.iorm.badversion)Host %s cannot participate in Queue "
              "Balancer(QBAL) on datastore %s because the version number %d of the QBAL agent on "
              "this host is incompatible with the version number %d of its counterparts on other "
              "hosts connected to this datastore.",
              "0123"),
    WISPD_ROW("wisp.user.iofilter.disabled", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.iofilter.disabled)The IO filter %s has been disabled: %s",
              "01"),
    WISPD_ROW("wisp.user.driver.abnormal", "%p %p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.driver.abnormal)Driver for device %s is %s. Please refer to "
              "KB article: %d.",
              "012"),
    WISPD_ROW("wisp.user.module.maxvfs.set", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.module.maxvfs.set)The module parameter max_vfs is set for "
              "module %s; it is no longer supported.",
              "0"),

    // Token daemon.
    WISPD_ROW("wisp.user.tarntokend.dputrust.succeeded", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarntokend.dputrust.succeeded)Trust with the data processing "
              "unit %s has been established.",
              "0"),
    WISPD_ROW("wisp.user.tarntokend.dputrust.failed", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarntokend.dputrust.failed)Trust with the data processing unit "
              "%s could not be established.",
              "0"),
    WISPD_ROW("wisp.user.tarntokend.dputrust.removed", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.tarntokend.dputrust.removed)Trust with the data processing "
              "unit %s has been removed.",
              "0"),

    // Self-test: one row per argument shape.
    WISPD_ROW("wisp.user.test.test0", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.test0)Test with no arguments.", ""),
    WISPD_ROW("wisp.user.test.test1d", "%d", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.test.test1d)Test with one integer argument, %d.", "0"),
    WISPD_ROW("wisp.user.test.test1s", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.test.test1s)Test with one string argument, %s.", "0"),
    WISPD_ROW("wisp.user.test.test2", "%d %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.test2)Test with both %d and %s.", "01"),
};

// Rate windows, kept for the life of the process: a restart posts the
// first of each kind again.
struct State {
  int64_t entropyLow = 0;
  int64_t supershell = 0;
  std::map<std::string, int64_t> dhcpServers;
  std::map<std::string, int64_t> partitions;
  std::map<std::pair<std::string, std::string>, int64_t> logDirs;
};
State gState;

void Reset() {
  gState = State();
}

// A repeat exactly `window` seconds after the last post is still held back.
bool WindowOpen(int64_t *last, int64_t window) {
  int64_t now = Clock_WallSeconds();
  if (now - *last <= window) return false;
  *last = now;
  return true;
}

void HandleEntropyLow(const Wisp *) {
  if (!WindowOpen(&gState.entropyLow, 40)) return;
  Flare_PostAudit(
      "@&!*@*@(tarn.audit.entropy.available.low)Host is configured with external entropy "
      "source. Host is running low on entropy bits in its memory cache. Please refer to KB 89074 "
      "for more details.");
}

void HandleSupershell(const Wisp *) {
  if (!WindowOpen(&gState.supershell, 300)) return;
  Flare_PostAudit(
      "@&!*@*@(tarn.audit.supershell.access)Supershell session has been started by a user.");
}

void HandleLeaseNoExpiry(const Wisp *wisp) {
  const char *server = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p", &server) != 0) return;
  int64_t &last = gState.dhcpServers[server != nullptr ? server : ""];
  if (!WindowOpen(&last, 1200)) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.dhclient.lease.offered.noexpiry)No expiry time on offered DHCP lease "
      "from %s.",
      server);
}

// The shared partition limiter: a key seen for the first time may post.
bool PartitionMayPost(const char *key) {
  int64_t now = Clock_WallSeconds();
  auto it = gState.partitions.find(key);
  if (it == gState.partitions.end()) {
    gState.partitions.emplace(key, now);
    return true;
  }
  if (now - it->second <= 3600) return false;
  it->second = now;
  return true;
}

void HandleOsdataFull(const Wisp *wisp) {
  const char *freeMib = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p", &freeMib) != 0) return;
  if (!PartitionMayPost("osdata.partition.full")) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.osdata.partition.full)OSData is low on available space (%s MiB "
      "free). This may result in system failure.Please refer to Knowledge Base article: KB "
      "87212",
      freeMib);
}

void HandleScratchFull(const Wisp *wisp) {
  const char *freeMib = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p", &freeMib) != 0) return;
  if (!PartitionMayPost("scratch.partition.full")) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.scratch.partition.full)Scratch is low on available space (%s MiB "
      "free). This may result in system failure Please refer to Knowledge Base article: KB "
      "87212",
      freeMib);
}

void HandleLogDirInvalid(const Wisp *wisp) {
  const char *configured = nullptr, *fallback = nullptr;
  if (Wisp_GetArgs(wisp, 0, "%p %p", &configured, &fallback) != 0) return;
  int64_t &last = gState.logDirs[std::make_pair(std::string(configured ? configured : ""),
                                                std::string(fallback ? fallback : ""))];
  if (!WindowOpen(&last, 90)) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.lognestd.storage.logdir.invalid)The configured log directory %s "
      "cannot be used.  The default directory %s will be used instead.",
      configured, fallback);
}

const HandlerRow kHandlers[] = {
    {"wisp.user.supershell.access", HandleSupershell},
    {"wisp.user.entropy.available.low", HandleEntropyLow},
    {"wisp.user.dhclient.lease.offered.noexpiry", HandleLeaseNoExpiry},
    {"wisp.user.osdata.partition.full", HandleOsdataFull},
    {"wisp.user.scratch.partition.full", HandleScratchFull},
    {"wisp.user.lognestd.storage.logdir.invalid", HandleLogDirInvalid},
    {"wisp.user.subsystem.host.reboot.reason", UserReboot_Handle},
    {"wisp.user.subsystem.host.poweroff.reason", UserReboot_Handle},
    {"wisp.user.tarncli.host.reboot.reason", UserReboot_Handle},
    {"wisp.user.tarncli.host.poweroff.reason", UserReboot_Handle},
    {"wisp.user.hubd.host.reboot.reason", UserReboot_Handle},
    {"wisp.user.hubd.host.poweroff.reason", UserReboot_Handle},
    {"wisp.user.helm.reboot.host", UserReboot_Handle},
    {"wisp.user.helm.shutdown.host", UserReboot_Handle},
    {"wisp.user.host.stop.reboot", UserReboot_Handle},
    {"wisp.user.host.stop.shutdown", UserReboot_Handle},
    {"wisp.user.account.locked", UserReboot_AccountLocked},
};

const char *const kGroups[] = {"user", nullptr};

}  // namespace

extern const CorrelatorDef kUserLevelCorrelator = {
    .name = "UserLevel",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
    .reset = Reset,
};
