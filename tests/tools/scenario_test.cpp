// wisp-scenario against the real binaries: what it reports for kept and
// broken expectations, for bad files and a dying daemon, and a recorded
// demo replayed to the same flares.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "sandbox.h"

using namespace testing_support;

namespace {

struct ScenarioResult {
  int status;
  std::string out;
};

// Writes text as a scenario file and runs wisp-scenario on it.
ScenarioResult Scenario(const Root &dir, const std::string &name, const std::string &text,
                        const std::vector<std::string> &extra = {}) {
  std::string path = dir.Under("/" + name);
  std::ofstream(path) << text;
  std::vector<std::string> args = extra;
  args.push_back(path);
  Process p(Bin("wisp-scenario"), args);
  int ws = p.Wait(60000ms);
  return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, p.Stdout()};
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// The line of the first occurrence of part in text.
int LineOf(const std::string &text, const std::string &part) {
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + text.find(part), '\n'));
}

TEST(ScenarioRunner, ChecksHostActionsAndWritesJunitPerFile) {
  Root dir;
  // Two downs within a minute over a threshold of 1 take the NIC down.
  std::string flapping = dir.Under("/flapping.yaml");
  std::ofstream(flapping)
      << "name: flapping\nhost:\n  advanced_options: {Net: {LinkFlappingThreshold: 1}}\n"
         "  nics: {pnic1: {}}\nsteps:\n"
         "  - {at: 0, observe: {id: wisp.net.pnic.linkstate.down, args: [{s: pnic1}]}}\n"
         "  - {at: 10, observe: {id: wisp.net.pnic.linkstate.down, args: [{s: pnic1}]}}\n"
         "end: 12\nexpect:\n  no_actions: ['\"cpu_offline\"', '\"nic_down\"']\n";
  ScenarioResult r =
      Scenario(dir, "pass.yaml",
               "# one observation, one flare; \"ctx\" inside it as in a wisp-emit line\n"
               "name: pass\nsteps:\n  - at: 5\n"
               "    observe: {id: wisp.storage.apd.start, args: [{s: naa.1}], ctx: user}\n"
               "expect:\n  only_these: true\n  no_actions: [nic_down]\n  flares:\n"
               "    - {id: tarn.problem.storage.apd.start, by: 5, message: \"Device or "
               "filesystem with identifier [naa.1] has entered the All Paths Down state.\"}\n",
               {"--junit", dir.Under("/junit.xml"), flapping});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Has(r.out, "passed: flare [tarn.problem.storage.apd.start]")) << r.out;
  EXPECT_TRUE(Has(r.out, "passed: no host action nic_down\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "passed: no host action \"cpu_offline\"\n")) << r.out;
  EXPECT_TRUE(Has(r.out,
                  "FAILED: no host action \"nic_down\"\n    + {\"action\":\"nic_down\","
                  "\"nic\":\"pnic1\",\"value\":1,"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "1 of 2 scenarios passed")) << r.out;
  std::string junit = Slurp(dir.Under("/junit.xml"));
  EXPECT_TRUE(Has(junit, "<testsuites tests=\"5\" failures=\"1\">")) << junit;
  EXPECT_TRUE(Has(junit, "<testsuite name=\"pass\" tests=\"3\" failures=\"0\"")) << junit;
  EXPECT_TRUE(Has(junit, "<testsuite name=\"flapping\" tests=\"2\" failures=\"1\"")) << junit;
  EXPECT_TRUE(Has(junit, "<testcase name=\"no host action &quot;nic_down&quot;\"><failure"))
      << junit;
}

TEST(ScenarioRunner, ExplainsEachKindOfMissingFlare) {
  Root dir;
  std::string text =
      "host:\n  storage:\n    luns: {naa.9: {disk: true, redundancy: 0}}\n"
      "    paths: {\"hba1:C0:T0:L0\": {device: naa.9}}\nsteps:\n"
      // A read failure: the latency report lacks two of its values.
      "  - at: 1\n    observe: {id: wisp.cairn.nfs.volume.io.latency.high, args: [{s: ds1}]}\n";
  // A window: nine path state changes, one short of a report.
  for (int i = 0; i < 9; ++i)
    text +=
        "  - at: 2\n    observe: {id: wisp.scsi.scsipath.pathstate.off, "
        "args: [{s: \"hba1:C0:T0:L0\"}, {s: dead}]}\n";
  // The rate window opens at 2 s with this flare; a batch of 1000 fills it
  // at 3 s and its last is dropped.
  text += "  - at: 2\n    observe: {id: wisp.storage.apd.start, args: [{s: naa.w}]}\n";
  text += "  - at: 3\n    batch:\n";
  for (int i = 0; i < 1000; ++i)
    text += "      - {id: wisp.storage.apd.exit, args: [{s: naa." + std::to_string(i) + "}]}\n";
  text +=
      // Held back for the retry pass: built at 70 s, sent by the pass at 250 s.
      "  - {at: 69, observe: {id: wisp.strata.net.created, args: [{s: mnic0}]}}\n"
      "  - {at: 70, observe: {id: wisp.strata.net.noip, args: [{s: mnic0}]}}\n"
      // A link-down is reported once it settled for a second.
      "  - {at: 100, observe: {id: wisp.net.pnic.linkstate.down, args: [{s: pnic1}]}}\n"
      // hubd away: the flare waits in the retry queue.
      "  - {at: 260, hubd: down}\n"
      "  - at: 265\n    observe: {id: wisp.storage.apd.start, args: [{s: naa.1}]}\n"
      // Taken by a correlator whose name is longer than a thread's may be.
      "  - at: 265\n    observe: {id: wisp.uw.core.dumpFailed, args: [{s: web}, {i32: 0}, {s: "
      "x}]}\n"
      "end: 270\nexpect:\n  only_these: true\n  flares:\n"
      "    - {id: tarn.problem.cairn.nfs.volume.io.latency.high}\n"
      "    - {id: tarn.problem.storage.connectivity.pathstatechanges}\n"
      "    - {id: tarn.clear.storage.apd.exit, message: \"Device or filesystem with identifier "
      "[naa.999] has exited the All Paths Down state.\"}\n"
      "    - {id: tarn.problem.strata.net.not.ready, by: 100}\n"
      "    - {id: tarn.problem.net.pnic.linkstate.down, by: 100}\n"
      "    - {id: tarn.problem.net.pnic.linkstate.down, message: \"Physical NIC pnic1 linkstate is "
      "down\"}\n"
      "    - {id: tarn.problem.net.pnic.linkstate.down, args: [{s: pnic1}]}\n"
      "    - {id: tarn.problem.storage.apd.start, args: [{s: naa.1}]}\n";
  ScenarioResult r = Scenario(dir, "fail.yaml", text);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out,
                  "an argument read failed: 2026-12-05T00:00:01.000Z: Failed to correlate "
                  "wisp.cairn.nfs.volume.io.latency.high"))
      << r.out;
  EXPECT_TRUE(Has(r.out,
                  "wisp.scsi.scsipath.pathstate.off: sent 9, 9 arrived (IN trace lines); "
                  "taken by "))
      << r.out;
  EXPECT_TRUE(Has(r.out,
                  "wisp.uw.core.dumpFailed: sent 1, 1 arrived (IN trace lines); "
                  "taken by UserWorld correlator\n      "))
      << r.out;
  // Its id says "Failed"; its log line is no failed read.
  EXPECT_FALSE(Has(r.out, "an argument read failed: 2026-12-05T00:04:25.000Z: [UserWorld"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "no read failed: the correlator kept it back")) << r.out;
  EXPECT_TRUE(Has(r.out,
                  "    why:\n      the flares of this id that came (nearest first, above) carry "
                  "another message\n      the rate window (1000 flares in 60 s) dropped 1 flare of "
                  "this id, the first at "))
      << r.out;
  // The second of the drop is the daemon's: it may still work through the
  // batch while the clock moves on.
  EXPECT_TRUE(Has(r.out,
                  " s (log: \"Event rate limit reached. Dropping flare: "
                  "tarn.clear.storage.apd.exit\"); that window opened at 2 s with its first flare "
                  "[tarn.problem.storage.apd.start] (OUT trace line)\n  FAILED"))
      << r.out;
  EXPECT_TRUE(Has(r.out,
                  "late: hubd had it at 250 s, 150 s after \"by\" (100 s)\n      the daemon "
                  "built it at 70 s (OUT trace line) but could not send it at once: held back "
                  "for the retry pass (queued without a first attempt) (log at 70 s); a retry "
                  "pass sent it at 250 s (the queue is retried every 180 s)\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out,
                  "late: hubd had it at 101 s, 1 s after \"by\" (100 s)\n      the daemon "
                  "built it only at 101 s on a timer: the correlator held it back 1 s after the "
                  "observation it came from (wisp.net.pnic.linkstate.down at 100 s, IN trace "
                  "line)\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "why:\n      the one at 101 s met the expectation at line " +
                             std::to_string(LineOf(text, "message: \"Physical NIC")) +
                             " (each flare received meets one expectation, in file order)\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out,
                  "- expected: [tarn.problem.storage.apd.start] args [{\"s\":\"naa.1\"}]\n"
                  "    + received at 2 s: [tarn.problem.storage.apd.start] Device or filesystem "
                  "with identifier [naa.w] has entered the All Paths Down state.\n    why:\n"
                  "      the flares of this id that came (nearest first, above) carry other "
                  "arguments\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out,
                  "the daemon built it 1 time, first at 265 s (OUT trace line), but hubd never "
                  "had it:\n        it waits in the retry queue since 265 s: hubd was away "
                  "(stopped at 260 s, line " +
                      std::to_string(LineOf(text, "{at: 260, hubd: down}")) +
                      "); still queued at the end (270 s; the queue is retried every 180 s)\n"))
      << r.out;
  // An extra flare under only_these names the observations it came from.
  EXPECT_TRUE(
      Has(r.out,
          "    + unexpected at 69 s: [tarn.audit.strata.net.vnic.added] Strata vnic added\n"
          "    why: the daemon built it from these observations (its family's, up to 69 "
          "s):\n      wisp.strata.net.created: sent 1, 1 arrived (IN trace lines); taken by "))
      << r.out;
}

// Two misses whose explanations once named another cause: a link-up in the
// second the link-down's hold-back ended, and a flare of the right id for
// another device.
TEST(ScenarioRunner, AnExplanationNamesTheTrueCauseOnly) {
  Root dir;
  ScenarioResult r =
      Scenario(dir, "cause.yaml",
               "steps:\n"
               "  - {at: 0, observe: {id: wisp.net.pnic.linkstate.down, args: [{s: pnic1}]}}\n"
               "  - {at: 1, observe: {id: wisp.net.pnic.linkstate.up, args: [{s: pnic1}]}}\n"
               "  - {at: 2, observe: {id: wisp.storage.apd.start, args: [{s: naa.1}]}}\n"
               "  - {at: 3, observe: {id: wisp.storage.apd.exit, args: [{s: naa.1}]}}\n"
               "  - {at: 4, observe: {id: wisp.clock.state.reset}}\n"
               "end: 10\nexpect:\n  flares:\n"
               "    - {id: tarn.problem.net.pnic.linkstate.down, by: 0}\n"
               "    - {id: tarn.clear.storage.apd.exit, args: [{s: naa.2}]}\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out,
                  "late: hubd had it at 1 s, 1 s after \"by\" (0 s)\n      the daemon built it "
                  "only at 1 s on a timer: the correlator held it back 1 s after the observation "
                  "it came from (wisp.net.pnic.linkstate.down at 0 s, IN trace line)\n"))
      << r.out;
  EXPECT_FALSE(Has(r.out, "when wisp.net.pnic.linkstate.up arrived")) << r.out;
  EXPECT_TRUE(Has(r.out,
                  "    why:\n      the flares of this id that came (nearest first, above) carry "
                  "other arguments\n"))
      << r.out;
  EXPECT_FALSE(Has(r.out, "never built it")) << r.out;
  EXPECT_FALSE(Has(r.out, "wisp.clock.state.reset: sent")) << r.out;
}

// What a scenario writer may send, from the daemon's own table.
TEST(ScenarioRunner, ListsEachCorrelatorsGroupsAndTheIdsItTakes) {
  Process list(Bin("wisp-scenario"), {"--list"});
  ASSERT_EQ(ExitCode(list.Wait()), 0);
  std::string out = list.Stdout();
  for (const char *line :
       {"APDCorrelator: groups storage.apd\n",
        "  wisp.storage.apd.timeout  args: s, i32  -> tarn.problem.storage.apd.timeout\n",
        "  wisp.net.pnic.linkstate.down  args: read in code (see the correlator's source)\n"})
    EXPECT_TRUE(Has(out, line)) << line << "\n" << out;
  Process refused(Bin("wisp-scenario"), {"--list", "some.yaml"});
  EXPECT_EQ(ExitCode(refused.Wait()), 2);
}

TEST(ScenarioRunner, RejectsBadFilesWithFileLineAndKey) {
  Root dir;
  const std::string head = "steps:\n  - at: 0\n";
  struct Case {
    std::string text, message;
  } cases[] = {
      {head + "    observe: {id: [unclosed\n", ":4: YAML syntax: "},
      {head + "    obsrve: {id: wisp.x}\n", ":3: unknown key \"obsrve\" in a step"},
      {"steps:\n  - at: soon\n    hubd: down\n", ":2: \"at\" takes a whole number of seconds"},
      {head + "    hubd: sideways\n", ":3: \"hubd\" takes down or up"},
      {head + "    hubd: down\nexpect:\n  flares: {id: tarn.audit.x}\n",
       ":5: \"flares\" is a list"},
      {head + "    observe: {id: wisp.x, fmt: \"%d\", args: [{s: text}]}\n", ":3: observe: "},
      // More host time than a run can step through.
      {head + "    hubd: down\nend: 2147483648\n",
       ":4: \"end\" 2147483648 is beyond what a run can do: at most 31622400 s (366 days of "
       "host time)"},
      {"steps:\n  - at: 31622401\n    hubd: down\n", ":2: \"at\" 31622401 is beyond what a run"},
      {head + "    observe: {id: wisp.storage.apd.start, ctx: 3}\n    ctx: 4\n",
       ":4: \"ctx\" is given twice: inside \"observe\" and beside it"},
      {head + "    batch: [{id: wisp.storage.apd.start, ctx: 3}]\n",
       ":3: \"ctx\" belongs beside \"batch\": the whole batch goes to one source"},
      {"host:\n  port_groups: {pg1: {swtich: switch0}}\n" + head + "    hubd: down\n",
       ":2: host model: port_groups.pg1.swtich: unknown key"},
      {head + "    host: model.json\n",
       ":3: host model " + dir.Under("/model.json") + ": nics.pnic0.sped: unknown key"},
  };
  std::ofstream(dir.Under("/model.json")) << R"({"nics": {"pnic0": {"sped": 1}}})";
  for (const Case &c : cases) {
    ScenarioResult r = Scenario(dir, "bad.yaml", c.text);
    EXPECT_EQ(r.status, 1) << c.text;
    EXPECT_TRUE(Has(r.out, dir.Under("/bad.yaml") + c.message)) << c.text << r.out;
  }
  // Ids the daemon does not know are all named, and the file is not run.
  ScenarioResult r =
      Scenario(dir, "ids.yaml",
               "steps:\n"
               "  - {at: 0, observe: {id: wisp.storage.apd.strat}}\n"
               "  - {at: 1, batch: [{id: wisp.storage.apd.start}, {id: wisp.vm.kill.x}]}\n"
               "expect:\n"
               "  flares: [{id: tarn.problem.storage.apd.strat}]\n"
               "  no_flares: [{id: tarn.clear.storage.apd.start}]\n");
  EXPECT_EQ(r.status, 1);
  const std::string file = dir.Under("/ids.yaml");
  for (const std::string &said :
       {file + ":2: no correlator handles the observation \"wisp.storage.apd.strat\"",
        file + ":3: no correlator handles the observation \"wisp.vm.kill.x\"",
        file + ":5: no correlator posts the flare \"tarn.problem.storage.apd.strat\"",
        file + ":6: no correlator posts the flare \"tarn.clear.storage.apd.start\""})
    EXPECT_TRUE(Has(r.out, "\n  " + said)) << r.out;
  EXPECT_TRUE(Has(r.out, "\n0 of 1 scenarios passed")) << r.out;
  EXPECT_FALSE(Has(r.out, "passed:")) << r.out;
  // An observation wisp-emit refuses is refused with wisp-emit's words.
  std::string emitErr;
  testing_support::Run(Bin("wisp-emit"), {"--check"},
                       "{\"id\": \"wisp.x\", \"fmt\": \"%d\", \"args\": [{\"s\": \"text\"}]}\n",
                       &emitErr);
  std::string why = emitErr.substr(emitErr.find("line 1: ") + 8);
  why = why.substr(0, why.find('\n'));
  r = Scenario(dir, "bad.yaml", cases[5].text);
  EXPECT_TRUE(Has(r.out, "observe: " + why)) << why << "\n" << r.out;
}

TEST(ScenarioRunner, ADaemonThatDiesFailsTheScenarioWithItsLog) {
  Root dir;
  // An option read that fails on a platform request stops the daemon.
  ScenarioResult r =
      Scenario(dir, "dies.yaml",
               "steps:\n  - at: 1\n    host: {fail: {\"Sysi_Get:config_intOpts\": 1}}\n"
               "  - at: 2\n    observe: {id: wisp.pageretire.platform.retire.request}\n"
               "  - at: 3\n    observe: {id: wisp.storage.apd.start, args: [{s: naa.1}]}\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "FAILED: the run itself\n    wispd ")) << r.out;
  EXPECT_TRUE(Has(r.out, "(at 2 s)\n  the log's last lines:\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "[wisp.pageretire.platform.retire.request]")) << r.out;
}

TEST(ScenarioRunner, RecordsStepsAtTheObservationsOwnTimeStamps) {
  Root dir;
  std::string trace = dir.Under("/trace.log");
  // Read at 0.1 s and 1.9 s, stamped 0 s and 2.6 s: the steps are at 0 and 3.
  std::ofstream(trace)
      << "1796428800.100000000,IN,1796428800000000,wisp.storage.apd.start,,\"naa.1\"\n"
         "1796428800.200000000,OUT,1796428800200000,tarn.problem.storage.apd.start,,\"naa.1\"\n"
         "1796428801.900000000,IN,1796428802600000,wisp.vm.kill.unexpected.vmtrack,,\"e.cfg\"\n"
         "1796428802.000000000,IN,1796428802700000,wisp.vm.kill.unexpected.other,,\"f.cfg\"\n";
  std::string model = WISPD_SOURCE_DIR;
  model.append("/examples/simhost.json");
  Process record(Bin("wisp-scenario"), {"--record", trace, "--host", model});
  ASSERT_EQ(record.Wait(), 0) << record.Stderr();
  std::string text = record.Stdout();
  EXPECT_TRUE(Has(text,
                  "types, or an argument's kind was not traced):\n"
                  "#   wisp.vm.kill.unexpected.vmtrack\n"))
      << text;
  EXPECT_TRUE(Has(text,
                  "# In no correlator's table: replayed as \"unhandled\", for the fallbacks:\n"
                  "#   wisp.vm.kill.unexpected.other\n"))
      << text;
  EXPECT_TRUE(Has(text, "  - at: 0\n    observe: {id: \"wisp.storage.apd.start\""));
  EXPECT_TRUE(Has(text, "  - at: 3\n    observe: {id: \"wisp.vm.kill.unexpected.vmtrack\""))
      << text;
  EXPECT_TRUE(Has(text,
                  "  - at: 3\n    unhandled: true\n    observe: {id: "
                  "\"wisp.vm.kill.unexpected.other\""))
      << text;
  // On standard output the model's path is absolute.
  EXPECT_TRUE(Has(text, "\nhost: \"/")) << text;
  // A time stamp a year and more after the first cannot be replayed.
  std::ofstream(trace, std::ios::app)
      << "1796428803.000000000,IN,1900000000000000,wisp.storage.apd.start,,\"naa.2\"\n";
  Process far(Bin("wisp-scenario"), {"--record", trace});
  int ws = far.Wait();
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 1);
  EXPECT_TRUE(Has(far.Stderr(), trace + ":5: the observation's time stamp lies beyond what a run "
                                        "can do after the first one's (at most 31622400 s)"))
      << far.Stderr();
}

TEST(ScenarioRunner, ARecordedDemoReplaysToTheSameFlares) {
  std::string examples = WISPD_SOURCE_DIR;
  examples += "/examples/";
  Host host(Slurp(examples + "simhost.json"));
  Process trace(Bin("wisp-trace"), {});
  ASSERT_EQ(host.Emit(Slurp(examples + "demo.jsonl")), 0);
  // Nine problems and three clears, the last after the redundancy
  // summary's two seconds; the trace has each as it was built.
  ASSERT_TRUE(host.WaitForFlares(12, 10000ms));
  ASSERT_TRUE(WaitUntil([&] {
    size_t out = 0;
    std::string text = trace.Stdout();
    for (size_t at = 0; (at = text.find(",OUT,", at)) != std::string::npos; ++at) ++out;
    return out == 12;
  }));
  trace.Signal(SIGTERM);
  trace.Wait();
  std::ofstream(host.root.Under("/trace.log")) << trace.Stdout();
  // The model named from here, the scenario written elsewhere: the scenario
  // must still find it.
  Root dir;
  std::string replay = dir.Under("/replay.yaml");
  std::string model =
      std::filesystem::relative(examples + "simhost.json", std::filesystem::current_path());
  Process record(Bin("wisp-scenario"),
                 {"--record", host.root.Under("/trace.log"), "--host", model, "--out", replay});
  ASSERT_EQ(record.Wait(), 0) << record.Stderr();
  Process run(Bin("wisp-scenario"), {replay});
  int ws = run.Wait(60000ms);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << Slurp(replay) << run.Stdout();
  // Every flare of the live run is one expectation that held.
  std::string out = run.Stdout();
  size_t held = 0;
  for (size_t at = 0; (at = out.find("passed: flare [", at)) != std::string::npos; ++at) ++held;
  EXPECT_EQ(held, host.Flares().size()) << out;
}

// A thousand observations in one batch: every flare is built at the
// batch's own second, so the rate window opened then drops the flare at 59
// and a new one admits the flare at 61.
TEST(ScenarioRunner, ABurstIsDoneWithAtItsOwnSecond) {
  Root dir;
  std::string text = "steps:\n  - at: 1\n    batch:\n";
  for (int i = 0; i < 1000; ++i)
    text += "      - {id: wisp.storage.apd.start, args: [{s: naa.b" + std::to_string(i) + "}]}\n";
  const std::string apd = "id: tarn.problem.storage.apd.start";
  const std::string text1 = "Device or filesystem with identifier [naa.";
  const std::string text2 = "] has entered the All Paths Down state.";
  text +=
      "  - at: 59\n    observe: {id: wisp.storage.apd.start, args: [{s: naa.dropped}]}\n"
      "  - at: 61\n    observe: {id: wisp.storage.apd.start, args: [{s: naa.next}]}\n"
      "expect:\n  flares:\n"
      "    - {" +
      apd + ", by: 1, message: \"" + text1 + "b999" + text2 +
      "\"}\n"
      "    - {" +
      apd + ", by: 61, message: \"" + text1 + "next" + text2 +
      "\"}\n"
      "  no_flares:\n    - {" +
      apd + ", message: \"" + text1 + "dropped" + text2 +
      "\"}\n"
      "  log:\n    - \"Event rate limit reached. Dropping flare: "
      "tarn.problem.storage.apd.start\"\n";
  ScenarioResult r = Scenario(dir, "burst.yaml", text);
  EXPECT_EQ(r.status, 0) << r.out;
}

// A window that opens exactly one window after the last is a new one: the
// drop is blamed on it and its own first flare.
TEST(ScenarioRunner, ADropInAWindowOpenedAWindowAfterTheLastNamesTheNewWindow) {
  Root dir;
  std::string text =
      "steps:\n  - at: 1\n    observe: {id: wisp.storage.apd.exit, args: [{s: naa.a}]}\n"
      "  - at: 61\n    batch:\n";
  for (int i = 0; i < 1001; ++i)
    text += "      - {id: wisp.storage.apd.start, args: [{s: naa.b" + std::to_string(i) + "}]}\n";
  text +=
      "expect:\n  flares:\n    - {id: tarn.problem.storage.apd.start, message: \"Device or "
      "filesystem with identifier [naa.b1000] has entered the All Paths Down state.\"}\n";
  ScenarioResult r = Scenario(dir, "windows.yaml", text);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Has(r.out,
                  "that window opened at 61 s with its first flare "
                  "[tarn.problem.storage.apd.start] (OUT trace line)\n"))
      << r.out;
  EXPECT_FALSE(Has(r.out, "that window opened at 1 s")) << r.out;
}

// "unhandled: true" covers every observation of a batch as of a single one.
TEST(ScenarioRunner, AnUnhandledBatchIsRunForTheFallbacks) {
  Root dir;
  ScenarioResult r =
      Scenario(dir, "fallback.yaml",
               "steps:\n  - at: 0\n    unhandled: true\n    observe: {id: wisp.vm.kill.x}\n"
               "  - at: 1\n    unhandled: true\n"
               "    batch: [{id: wisp.vm.kill.y}, {id: wisp.vm.kill.z}]\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(Has(r.out, "no correlator handles")) << r.out;
  EXPECT_TRUE(Has(r.out, "\n1 of 1 scenarios passed")) << r.out;
}

}  // namespace
