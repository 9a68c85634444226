// The clear table: every ending flare ends exactly the problems below, and
// only when the listed arguments (ender=ended, by index) are the same.
#include "clear_table.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "alert_table.h"
#include "arg_names.h"
#include "catalogue.h"

using wispalert::AlertTable;
using wispalert::Flare;

namespace {

// Written out from the correlators' descriptions, not from the table.
const char kExpected[] = R"(
tarn.clear.storage.apd.exit: storage.apd.start 0=0 | storage.apd.timeout 0=0
tarn.clear.storage.connectivity.restored: storage.connectivity.lost 0=0
tarn.clear.storage.redundancy.restored: storage.redundancy.lost 0=0 | storage.redundancy.degraded 0=0 2=1 | storage.connectivity.lost 0=0
tarn.clear.scsi.device.state.on: scsi.device.state.off 0=0
tarn.clear.scsi.device.state.permanentloss.deviceonline: scsi.device.state.permanentloss 0=0 | scsi.device.state.permanentloss.withreservationheld 0=0 | scsi.device.state.permanentloss.noopens 0=0
tarn.clear.scsi.device.io.latency.improved: scsi.device.io.latency.high 0=0
tarn.clear.cairn.nfs.server.restored: cairn.nfs.server.disconnect 0=0 1=1 2=2
tarn.clear.cairn.nfs.volume.io.latency.improved: cairn.nfs.volume.io.latency.high 0=0 | cairn.nfs.volume.io.latency.high.exceed.threshold 0=0 | cairn.nfs.volume.io.latency.exceed.threshold.period 0=0
tarn.problem.cairn.extent.online: cairn.extent.offline 0=0 1=1
tarn.problem.cairn.heartbeat.recovered: cairn.heartbeat.timedout 0=0
tarn.clear.net.pnic.linkstate.up: net.pnic.linkstate.down 0=0 | net.pnic.linkstate.flapping 0=0 | net.connectivity.lost 0=1 | net.redundancy.lost 0=1 | net.redundancy.degraded 0=1 | net.dvport.connectivity.lost 0=1 | net.dvport.redundancy.lost 0=1 | net.dvport.redundancy.degraded 0=1
tarn.clear.net.connectivity.restored: net.connectivity.lost | net.dvport.connectivity.lost
tarn.clear.net.dvport.connectivity.restored: net.dvport.connectivity.lost | net.connectivity.lost
tarn.clear.net.redundancy.restored: net.redundancy.lost | net.dvport.redundancy.lost | net.redundancy.degraded 2=1
tarn.clear.net.dvport.redundancy.restored: net.dvport.redundancy.lost | net.redundancy.lost | net.dvport.redundancy.degraded 1=1
tarn.clear.net.lacp.lag.transition.up: net.lacp.lag.transition.down 0=0 1=1
tarn.clear.net.lacp.uplink.transition.up: net.lacp.uplink.transition.down 0=0 1=1
tarn.clear.net.lacp.uplink.unblocked: net.lacp.uplink.blocked 0=0 1=1
tarn.audit.net.lacp.uplink.connected: net.lacp.uplink.disconnected 0=0 1=1
tarn.clear.hardware.nvd.health.module.es.charged: hardware.nvd.health.module.es.charging 0=0 1=1
tarn.problem.hardware.fpin.fc.congestion.clear: hardware.fpin.fc.congestion.devicespecific 0=0 1=1 | hardware.fpin.fc.congestion.oversubscription 0=0 1=1 | hardware.fpin.fc.congestion.creditstall 0=0 1=1 | hardware.fpin.fc.congestion.lostcredit 0=0 1=1
tarn.problem.hardware.fpin.fc.peercongestion.clear: hardware.fpin.fc.peercongestion.devicespecific 0=0 1=1 | hardware.fpin.fc.peercongestion.oversubscription 0=0 1=1 | hardware.fpin.fc.peercongestion.creditstall 0=0 1=1 | hardware.fpin.fc.peercongestion.lostcredit 0=0 1=1
tarn.audit.hcm.event.disk.removal: hcm.event.disk.predictive.failure 0=0
tarn.problem.clock.correction.adjtime.sync: clock.correction.adjtime.unsync | clock.correction.adjtime.lostsync | clock.correction.changed | clock.correction.step.unsync
tarn.clear.coredump.configured: coredump.unconfigured
tarn.clear.coredump.configured2: coredump.unconfigured2
tarn.problem.metadatastore.healthy: metadatastore.degraded
tarn.clear.strata.mantlenic.ready: strata.mantlenic.not.ready 0=0 | strata.net.not.ready 0=0
tarn.clear.strata.network.available: strata.no.network.connectivity | strata.net.not.ready
tarn.clear.strata.clustering.enabled: strata.clustering.disabled
tarn.clear.wisp.strata.pdl.online: wisp.strata.pdl.offline 0=0
)";

struct Ended {
  std::string problem;
  std::vector<std::pair<unsigned, unsigned>> match;
};

std::map<std::string, std::vector<Ended>> Expected() {
  std::map<std::string, std::vector<Ended>> out;
  std::istringstream lines(kExpected);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    size_t colon = line.find(": ");
    std::vector<Ended> &ends = out[line.substr(0, colon)];
    std::istringstream words(line.substr(colon + 2));
    std::string w;
    while (words >> w) {
      if (w == "|") continue;
      if (w.find('=') == std::string::npos) {
        ends.push_back({"tarn.problem." + w, {}});
      } else {
        ends.back().match.emplace_back(std::stoul(w), std::stoul(w.substr(w.find('=') + 1)));
      }
    }
  }
  return out;
}

// A flare whose every argument has the same value of its message's type.
Flare Same(const std::string &id, uint64_t timeUs, const std::string &text = "x") {
  Flare f;
  f.timeUs = timeUs;
  f.id = id;
  for (const wispalert::ArgName &a : wispalert::NameArgs(wispalert::FindFlare(id)->format))
    f.args.push_back(a.conversion == 's' ? tools::Json{{"s", text}} : tools::Json{{"i64", 7}});
  return f;
}

std::set<std::string> EndedNames(const AlertTable &table, uint64_t nowUs) {
  std::set<std::string> names;
  for (const auto &entry : table.Alerts())
    if (entry.second.endsUs != 0 && entry.second.endsUs <= nowUs)
      names.insert(std::string(entry.first.Get("alertname")));
  return names;
}

// Problems without a clear fire far longer than these tests look.
const wispalert::TableOptions kOptions = {"host1", 1000000000000ull, false, 0, 100000};

TEST(ClearTable, EachEnderEndsExactlyItsProblems) {
  auto expected = Expected();
  // Every ender of the table has its line above (a row added there needs
  // one here, written from its correlator's description), and no line names
  // an ender the table lacks.
  std::set<std::string> enders;
  for (unsigned i = 0; i < wispalert::kClearRowCount; ++i)
    enders.insert(wispalert::kClearRows[i].ender);
  for (const std::string &ender : enders)
    EXPECT_EQ(expected.count(ender), 1u) << ender << " ends problems but has no expected line";
  for (const auto &e : expected)
    EXPECT_EQ(enders.count(e.first), 1u) << e.first << " is expected but the table has no row";
  for (const auto &e : expected) {
    AlertTable table(kOptions, 1);
    // Every problem but the recoveries, which would end some of the others.
    for (const flarecat::Flare &f : flarecat::kFlares)
      if (std::string_view(f.id).starts_with(wispalert::kProblemPrefix) &&
          expected.count(f.id) == 0)
        table.Apply(Same(f.id, 1000), 1);
    table.Apply(Same(e.first, 2000), 2);
    std::set<std::string> want;
    for (const Ended &d : e.second) want.insert(d.problem);
    EXPECT_EQ(EndedNames(table, 2000), want) << e.first;
  }
}

TEST(ClearTable, EndsOnlyWhenTheListedArgumentsAgree) {
  for (const auto &e : Expected()) {
    for (const Ended &d : e.second) {
      // Unlisted arguments may differ.
      {
        AlertTable table(kOptions, 1);
        table.Apply(Same(d.problem, 1000), 1);
        Flare clear = Same(e.first, 2000);
        std::set<unsigned> listed;
        for (auto m : d.match) listed.insert(m.first);
        for (unsigned i = 0; i < clear.args.size(); ++i)
          if (listed.count(i) == 0) clear.args[i] = {{"s", "other"}};
        table.Apply(clear, 2);
        EXPECT_EQ(EndedNames(table, 2000).count(d.problem), 1u) << e.first << " " << d.problem;
      }
      // Each listed argument must agree.
      for (auto m : d.match) {
        AlertTable table(kOptions, 1);
        table.Apply(Same(d.problem, 1000), 1);
        Flare clear = Same(e.first, 2000);
        clear.args[m.first] = clear.args[m.first].contains("s") ? tools::Json{{"s", "other"}}
                                                                : tools::Json{{"i64", 8}};
        table.Apply(clear, 2);
        EXPECT_EQ(EndedNames(table, 2000).count(d.problem), 0u)
            << e.first << " ended " << d.problem << " with argument " << m.first << " differing";
      }
    }
  }
}

TEST(ClearTable, ARecoveryPostedAsAProblemIsNotRaised) {
  AlertTable table(kOptions, 1);
  table.Apply(Same("tarn.problem.cairn.heartbeat.timedout", 1000), 1);
  wispalert::Applied a = table.Apply(Same("tarn.problem.cairn.heartbeat.recovered", 2000), 2);
  EXPECT_EQ(a.ended, 1);
  EXPECT_EQ(a.raised, 0);
  EXPECT_EQ(table.Size(), 1u);
}

TEST(ClearTable, AnEndIsNeverBeforeTheStart) {
  AlertTable table(kOptions, 1);
  table.Apply(Same("tarn.problem.storage.apd.start", 5000), 1);
  table.Apply(Same("tarn.clear.storage.apd.exit", 4000), 2);  // a clock stepped back
  const wispalert::Alert &a = table.Alerts().begin()->second;
  EXPECT_EQ(a.startsUs, 5000u);
  EXPECT_EQ(a.endsUs, 5000u);
}

}  // namespace
