// Fixed endpoints of the host, shared by the daemon and the tools.
#pragma once

namespace pelldan {

constexpr const char kFlareSocket[] = "/var/run/pelldan/hubd-flare.sock";
constexpr const char kTraceSocket[] = "/var/run/pelldan/wispd-trace.sock";
constexpr const char kStatsSocket[] = "/var/run/pelldan/wispd-stats.sock";
constexpr const char kUserContextSocket[] = "/var/run/pelldan/wisp-user.sock";
constexpr const char kKernelContextDir[] = "/var/run/pelldan/mantle";
constexpr const char kKernelContextFormat[] = "/var/run/pelldan/mantle/context-%d";
constexpr const char kSyslogSocket[] = "/dev/log";
constexpr const char kHostModel[] = "/etc/pelldan/simhost.json";
constexpr const char kHostActions[] = "/var/log/pelldan/simhost-actions.jsonl";
constexpr const char kAuditLog[] = "/var/log/pelldan/audit.jsonl";
constexpr const char kConfigStore[] = "/var/lib/pelldan/configstore.db";

constexpr int kKernelContexts = 24;
constexpr int kUserContext = 24;

}  // namespace pelldan
