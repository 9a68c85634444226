// The forwarder against a scripted Alertmanager and a stepped clock: what it
// posts, how it answers refusals and failures, and what survives a kill.
#include "forwarder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "arg_names.h"
#include "catalogue.h"
#include "sandbox.h"

using namespace testing_support;
using wispalert::Answer;
using wispalert::Post;
using Json = nlohmann::json;

namespace {

class FakeAlertmanagers : public wispalert::Poster {
 public:
  // By default every post is taken; answer decides otherwise.
  std::function<Answer(const Post &)> answer = [](const Post &) { return Answer{200, ""}; };
  std::vector<Post> posts;
  std::vector<Answer> PostAll(const std::vector<Post> &batch) override {
    std::vector<Answer> out;
    for (const Post &p : batch) {
      posts.push_back(p);
      out.push_back(answer(p));
    }
    return out;
  }
  // The alerts of every post to manager m, in order.
  std::vector<Json> Alerts(size_t m) const {
    std::vector<Json> out;
    for (const Post &p : posts)
      if (p.manager == m)
        for (const Json &a : Json::parse(p.body)) out.push_back(a);
    return out;
  }
};

constexpr uint64_t kT0 = 1733400000000000;  // 2024-12-05T12:00:00Z
constexpr uint64_t kSecond = 1000000;

std::string Line(uint64_t timeUs, const std::string &id, const std::string &args,
                 const std::string &message = "text") {
  return "{\"time_us\": " + std::to_string(timeUs) + ", \"uuid\": \"00\", \"id\": \"" + id +
         "\", \"args\": " + args + ", \"message\": \"" + message + "\"}\n";
}

class ForwarderTest : public ::testing::Test {
 protected:
  Root root;
  std::string journal = root.Under("/var/log/pelldan/hubd.jsonl");
  std::string state = root.Under("/var/lib/pelldan/wisp-alert.json");
  uint64_t now = kT0;
  FakeAlertmanagers managers;
  std::vector<std::string> logged;

  wispalert::ForwarderOptions Options() {
    wispalert::ForwarderOptions o;
    o.urls = {"http://am1", "http://am2"};
    o.journal = journal;
    o.state = state;
    o.table.host = "host1";
    o.table.problemTtlUs = 3600 * kSecond;
    o.table.auditHoldUs = 300 * kSecond;
    o.saveEveryUs = 0;
    return o;
  }
  std::unique_ptr<wispalert::Forwarder> Make(wispalert::ForwarderOptions o) {
    auto f = std::make_unique<wispalert::Forwarder>(
        o, &managers, [this] { return now; },
        [this](const std::string &line) { logged.push_back(line); });
    f->Start();
    return f;
  }
  void Append(const std::string &text) { std::ofstream(journal, std::ios::app) << text; }
  bool Logged(const std::string &part) const {
    for (const std::string &l : logged)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

TEST_F(ForwarderTest, AProblemFiresAtEveryAlertmanagerAndItsClearResolvesIt) {
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])", "entered APD"));
  fwd->Turn();
  for (size_t m : {0u, 1u}) {
    ASSERT_EQ(managers.Alerts(m).size(), 1u);
    EXPECT_EQ(managers.Alerts(m)[0], Json::parse(R"({
      "labels": {"alertname": "tarn.problem.storage.apd.start", "host": "host1",
                 "kind": "problem", "correlator": "APD", "device": "naa.1"},
      "annotations": {"summary": "entered APD"},
      "startsAt": "2024-12-05T12:00:00.000000Z"})"));
  }
  Append(Line(kT0 + 90 * kSecond + 5, "tarn.clear.storage.apd.exit", R"([{"s": "naa.1"}])"));
  now += 91 * kSecond;
  fwd->Turn();
  Json last = managers.Alerts(0).back();
  EXPECT_EQ(last["labels"]["device"], "naa.1");
  EXPECT_EQ(last["endsAt"], "2024-12-05T12:01:30.000005Z");
  EXPECT_NE(fwd->Metrics().find("wisp_alert_alerts_held 0\n"), std::string::npos);
}

TEST_F(ForwarderTest, AnAlertmanagerThatFailsIsRetriedWithBackOffWhileTheOtherGetsAll) {
  auto fwd = Make(Options());
  managers.answer = [](const Post &p) {
    return p.manager == 1 ? Answer{503, "busy"} : Answer{200, ""};
  };
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])"));
  fwd->Turn();
  EXPECT_EQ(managers.Alerts(0).size(), 1u);
  EXPECT_TRUE(Logged("cannot post to http://am2 (HTTP 503: busy); retrying with back-off"));
  // Back-off: nothing before 1 s, then 2 s, then 4 s.
  size_t posts = managers.posts.size();
  now += kSecond / 2;
  fwd->Turn();
  EXPECT_EQ(managers.posts.size(), posts);
  now += kSecond / 2;
  fwd->Turn();
  EXPECT_EQ(managers.posts.size(), posts + 1);
  now += kSecond;
  fwd->Turn();
  EXPECT_EQ(managers.posts.size(), posts + 1);
  now += kSecond;
  fwd->Turn();
  EXPECT_EQ(managers.posts.size(), posts + 2);
  std::string m = fwd->Metrics();
  EXPECT_NE(m.find("wisp_alert_alerts_pending{alertmanager=\"http://am2\"} 1\n"),
            std::string::npos);
  EXPECT_NE(m.find("wisp_alert_oldest_pending_age_seconds{alertmanager=\"http://am2\"} 3\n"),
            std::string::npos);
  EXPECT_NE(m.find("wisp_alert_alerts_retried_total{alertmanager=\"http://am2\"} 3\n"),
            std::string::npos);
  managers.answer = [](const Post &) { return Answer{200, ""}; };
  now += 4 * kSecond;
  fwd->Turn();
  EXPECT_EQ(managers.Alerts(1).back()["labels"]["device"], "naa.1");
  EXPECT_TRUE(Logged("http://am2 takes alerts again after 3 failed post(s)"));
  EXPECT_NE(fwd->Metrics().find("wisp_alert_alerts_pending{alertmanager=\"http://am2\"} 0\n"),
            std::string::npos);
}

TEST_F(ForwarderTest, AnAlertRefusedWith400IsLoggedCountedAndNotSentAgain) {
  auto fwd = Make(Options());
  managers.answer = [](const Post &p) {
    return p.body.find("naa.bad") != std::string::npos ? Answer{400, "bad alert"} : Answer{200, ""};
  };
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])") +
         Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.bad"}])") +
         Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.3"}])"));
  fwd->Turn();
  std::set<std::string> taken;
  for (const Post &p : managers.posts)
    if (p.manager == 0 && p.body.find("naa.bad") == std::string::npos)
      for (const Json &a : Json::parse(p.body)) taken.insert(a["labels"]["device"]);
  EXPECT_EQ(taken, (std::set<std::string>{"naa.1", "naa.3"}));
  EXPECT_TRUE(
      Logged("http://am1 refused an alert (HTTP 400: bad alert): alertname="
             "\"tarn.problem.storage.apd.start\""));
  EXPECT_TRUE(Logged("device=\"naa.bad\""));
  EXPECT_NE(
      fwd->Metrics().find("wisp_alert_alerts_rejected_total{alertmanager=\"http://am1\"} 1\n"),
      std::string::npos);
  // The next resend carries the two others only.
  managers.posts.clear();
  now += 61 * kSecond;
  fwd->Turn();
  ASSERT_FALSE(managers.posts.empty());
  for (const Post &p : managers.posts) EXPECT_EQ(p.body.find("naa.bad"), std::string::npos);
}

TEST_F(ForwarderTest, AJournalLineThatDoesNotDecodeIsLoggedAndTheNextIsForwarded) {
  auto fwd = Make(Options());
  Append(std::string("{\"time_us\": 5, \"id\": \"tarn.problem.x\", \"args\": [{\"q\": 1}]}\n") +
         "not json \x01\xff\n" +
         Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.2"}])"));
  fwd->Turn();
  ASSERT_EQ(managers.Alerts(0).size(), 1u);
  EXPECT_EQ(managers.Alerts(0)[0]["labels"]["device"], "naa.2");
  EXPECT_TRUE(Logged("journal line ending at byte 59 does not decode"));
  EXPECT_TRUE(Logged("does not decode (not JSON), skipped: not json \\x01\\xff"));
  EXPECT_NE(fwd->Metrics().find("wisp_alert_journal_lines_total{line=\"undecodable\"} 2\n"),
            std::string::npos);
}

TEST_F(ForwarderTest, AKilledForwarderResumesFromItsStateWithNothingLost) {
  {
    managers.answer = [](const Post &) { return Answer{0, "Connection refused"}; };
    auto fwd = Make(Options());
    Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])") +
           Line(kT0 + 1, "tarn.problem.storage.apd.start", R"([{"s": "naa.2"}])"));
    fwd->Turn();
    // Gone without a word, like kill -9: only what Turn() saved remains.
  }
  Append(Line(kT0 + 2, "tarn.clear.storage.apd.exit", R"([{"s": "naa.1"}])"));
  managers.posts.clear();
  managers.answer = [](const Post &) { return Answer{200, ""}; };
  auto fwd = Make(Options());
  fwd->Turn();
  std::map<std::string, Json> last;
  for (const Json &a : managers.Alerts(0)) last[a["labels"]["device"]] = a;
  ASSERT_EQ(last.size(), 2u);
  EXPECT_FALSE(last["naa.2"].contains("endsAt"));
  EXPECT_EQ(last["naa.1"]["endsAt"], "2024-12-05T12:00:00.000002Z");
  // The journal was not read twice.
  EXPECT_NE(fwd->Metrics().find("wisp_alert_journal_lines_total{line=\"flare\"} 1\n"),
            std::string::npos);
}

TEST_F(ForwarderTest, FiringAlertsAreSentAgainAndAProblemWithoutClearResolvesInTime) {
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.host.coredump", "[]"));
  fwd->Turn();
  ASSERT_EQ(managers.Alerts(0).size(), 1u);
  EXPECT_EQ(managers.Alerts(0)[0]["endsAt"], "2024-12-05T13:00:00.000000Z");
  now += 59 * kSecond;
  fwd->Turn();
  EXPECT_EQ(managers.Alerts(0).size(), 1u);
  now += kSecond;
  fwd->Turn();
  EXPECT_EQ(managers.Alerts(0).size(), 2u);
  now = kT0 + 3601 * kSecond;
  fwd->Turn();
  EXPECT_EQ(managers.Alerts(0).size(), 2u);
  EXPECT_NE(fwd->Metrics().find("wisp_alert_alerts_held 0\n"), std::string::npos);
}

TEST_F(ForwarderTest, AuditsBecomeShortAlertsOnlyWhenAskedFor) {
  Append(Line(kT0, "tarn.audit.ssh.enabled", "[]"));
  {
    auto fwd = Make(Options());
    fwd->Turn();
    EXPECT_TRUE(managers.posts.empty());
  }
  unlink(state.c_str());
  wispalert::ForwarderOptions o = Options();
  o.table.audits = true;
  auto fwd = Make(o);
  fwd->Turn();
  ASSERT_EQ(managers.Alerts(0).size(), 1u);
  EXPECT_EQ(managers.Alerts(0)[0]["labels"]["kind"], "audit");
  EXPECT_EQ(managers.Alerts(0)[0]["endsAt"], "2024-12-05T12:05:00.000000Z");
}

TEST_F(ForwarderTest, ARotatedJournalIsFollowedAndAStateNamingTheOldFileReadsItsRest) {
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])"));
  fwd->Turn();
  fwd.reset();
  // Rotated while the forwarder was away, with one more line in the old file.
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.2"}])"));
  ASSERT_EQ(rename(journal.c_str(), (journal + ".1").c_str()), 0);
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.3"}])"));
  managers.posts.clear();
  fwd = Make(Options());
  fwd->Turn();
  std::multiset<std::string> devices;
  for (const Json &a : managers.Alerts(0)) devices.insert(a["labels"]["device"]);
  // naa.1 is sent again (it fired before the restart); each other once.
  EXPECT_EQ(devices, (std::multiset<std::string>{"naa.1", "naa.2", "naa.3"}));
  EXPECT_TRUE(Logged("journal was rotated; reading the rest of"));
}

// hubd appends to the renamed file until it reopens: those lines are read
// before the new file, also while the new one is still empty.
TEST_F(ForwarderTest, LinesWrittenToTheOldJournalBeforeHubdReopensAreForwarded) {
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])"));
  fwd->Turn();
  ASSERT_EQ(rename(journal.c_str(), (journal + ".1").c_str()), 0);
  std::ofstream(journal).close();
  fwd->Turn();
  std::ofstream(journal + ".1", std::ios::app)
      << Line(kT0 + 1, "tarn.problem.storage.apd.start", R"([{"s": "naa.2"}])");
  fwd->Turn();
  Append(Line(kT0 + 2, "tarn.problem.storage.apd.start", R"([{"s": "naa.3"}])"));
  fwd->Turn();
  std::multiset<std::string> devices;
  for (const Json &a : managers.Alerts(0)) devices.insert(a["labels"]["device"]);
  EXPECT_EQ(devices, (std::multiset<std::string>{"naa.1", "naa.2", "naa.3"}));
}

TEST_F(ForwarderTest, ATruncatedJournalIsReadFromItsStart) {
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])") +
         Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.2"}])"));
  fwd->Turn();
  std::ofstream(journal, std::ios::trunc)
      << Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.9"}])");
  fwd->Turn();
  EXPECT_EQ(managers.Alerts(0).back()["labels"]["device"], "naa.9");
  EXPECT_TRUE(Logged("was truncated; reading it from its start"));
}

std::string Problems(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i)
    text += Line(kT0 + static_cast<uint64_t>(i), "tarn.problem.storage.apd.start",
                 "[{\"s\": \"naa." + std::to_string(i) + "\"}]");
  return text;
}

// Devices of every alert posted to the first Alertmanager.
std::set<std::string> Devices(const FakeAlertmanagers &managers) {
  std::set<std::string> out;
  for (const Json &a : managers.Alerts(0)) out.insert(a["labels"]["device"].get<std::string>());
  return out;
}

std::set<std::string> DeviceRange(int from, int to) {
  std::set<std::string> out;
  for (int i = from; i < to; ++i) out.insert("naa." + std::to_string(i));
  return out;
}

// A journal emptied and written again with more bytes than were read: its
// size says nothing, its bytes before the position do.
TEST_F(ForwarderTest, AJournalTruncatedAndRefilledPastThePositionIsReadFromItsStart) {
  for (bool running : {true, false}) {
    SCOPED_TRACE(running ? "while running" : "while stopped");
    unlink(state.c_str());
    std::ofstream(journal, std::ios::trunc) << Problems(0, 2);
    auto fwd = Make(Options());
    fwd->Turn();
    if (!running) fwd.reset();
    managers.posts.clear();
    logged.clear();
    std::ofstream(journal, std::ios::trunc) << Problems(100, 140);
    if (!running) fwd = Make(Options());
    fwd->Turn();
    std::set<std::string> devices = Devices(managers);
    for (const std::string &d : DeviceRange(100, 140)) EXPECT_EQ(devices.count(d), 1u) << d;
    EXPECT_TRUE(Logged("was truncated and written again"));
    EXPECT_NE(fwd->Metrics().find("wisp_alert_journal_lines_total{line=\"undecodable\"} 0\n"),
              std::string::npos);
  }
}

TEST_F(ForwarderTest, ASymlinkedJournalIsRefusedOnceAndARegularFileIsReadAgain) {
  auto fwd = Make(Options());
  Append(Problems(0, 1));
  fwd->Turn();
  std::string elsewhere = root.Under("/var/log/pelldan/elsewhere.jsonl");
  std::ofstream(elsewhere) << Problems(1, 2);
  ASSERT_EQ(unlink(journal.c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), journal.c_str()), 0);
  logged.clear();
  for (int i = 0; i < 5; ++i) {
    now += kSecond;
    fwd->Turn();
  }
  ASSERT_EQ(logged.size(), 1u) << "a refusal is logged once, not at every turn";
  EXPECT_NE(logged[0].find("is a symbolic link, which is not followed"), std::string::npos);
  EXPECT_EQ(Devices(managers).count("naa.1"), 0u);
  EXPECT_NE(fwd->Metrics().find("wisp_alert_journal_refused_total 1\n"), std::string::npos);
  // A regular file in its place is read as the next journal.
  ASSERT_EQ(unlink(journal.c_str()), 0);
  Append(Problems(2, 3));
  fwd->Turn();
  EXPECT_EQ(Devices(managers).count("naa.2"), 1u);
  EXPECT_TRUE(Logged("journal rotated; reading the new"));
}

TEST_F(ForwarderTest, ADamagedStateLineIsCountedAndItsAlertRaisedAgainFromTheJournal) {
  {
    auto fwd = Make(Options());
    Append(Problems(0, 3));
    fwd->Turn();
  }
  // The state's line for naa.1 loses its end, as a bad sector would leave it.
  std::string text = Slurp(state);
  size_t at = text.find("naa.1\"");
  ASSERT_NE(at, std::string::npos);
  size_t end = text.find('\n', at);
  size_t begin = text.rfind('\n', at) + 1;
  text.replace(begin, end - begin, text.substr(begin, (end - begin) / 2));
  std::ofstream(state, std::ios::trunc) << text;
  Append(Problems(3, 4));
  managers.posts.clear();
  auto fwd = Make(Options());
  fwd->Turn();
  EXPECT_EQ(Devices(managers), DeviceRange(0, 4));
  EXPECT_TRUE(Logged("holds 1 alert line(s) that do not decode"));
  std::string m = fwd->Metrics();
  EXPECT_NE(m.find("wisp_alert_state_lines_damaged_total 1\n"), std::string::npos);
  EXPECT_NE(m.find("wisp_alert_alerts_firing 4\n"), std::string::npos);
}

TEST_F(ForwarderTest, ALineOverTheLimitIsLoggedWithItsPositionCountedAndSkipped) {
  auto fwd = Make(Options());
  std::string first = Problems(0, 1);
  Append(first + std::string(wispalert::Journal::kMaxLine + 100, 'x') + "\n" + Problems(1, 2));
  for (int i = 0; i < 3; ++i) fwd->Turn();
  EXPECT_EQ(Devices(managers), DeviceRange(0, 2));
  EXPECT_TRUE(Logged("journal line starting at byte " + std::to_string(first.size()) +
                     " is longer than 8388608 bytes, skipped"));
  EXPECT_NE(fwd->Metrics().find("wisp_alert_journal_lines_total{line=\"too_long\"} 1\n"),
            std::string::npos);
}

TEST_F(ForwarderTest, AnUnknownFlareIdIsForwardedCountedAndLoggedOncePerId) {
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.future.thing", R"([{"s": "pnic0"}])") +
         Line(kT0 + 1, "tarn.problem.future.thing", R"([{"s": "pnic1"}])"));
  fwd->Turn();
  ASSERT_EQ(managers.Alerts(0).size(), 1u);
  EXPECT_EQ(managers.Alerts(0)[0]["labels"], Json::parse(R"({
      "alertname": "tarn.problem.future.thing", "host": "host1", "kind": "problem"})"));
  size_t lines = 0;
  for (const std::string &l : logged)
    if (l.find("flare id \"tarn.problem.future.thing\"") != std::string::npos) ++lines;
  EXPECT_EQ(lines, 1u);
  EXPECT_NE(fwd->Metrics().find("wisp_alert_flares_unknown_total 2\n"), std::string::npos);
}

// A flare hubd had no text for (message null) is summed up by its id and
// every argument, the first included.
TEST_F(ForwarderTest, AFlareWithoutTextIsSummedUpByItsIdAndEveryArgument) {
  auto fwd = Make(Options());
  Append("{\"time_us\": " + std::to_string(kT0) +
         ", \"uuid\": \"00\", \"id\": \"tarn.problem.future.thing\", "
         "\"args\": [{\"s\": \"pnic0\"}, {\"u32\": 4096}], \"message\": null}\n");
  fwd->Turn();
  ASSERT_EQ(managers.Alerts(0).size(), 1u);
  std::string summary = managers.Alerts(0)[0]["annotations"]["summary"];
  EXPECT_EQ(summary.rfind("tarn.problem.future.thing", 0), 0u) << summary;
  EXPECT_NE(summary.find("pnic0"), std::string::npos) << summary;
  EXPECT_NE(summary.find("4096"), std::string::npos) << summary;
}

// A stop saves only what changed since the last save: a large table's
// state takes a second to write, twice if a turn had just written it.
TEST_F(ForwarderTest, AStopRightAfterASaveDoesNotWriteTheStateAgain) {
  wispalert::ForwarderOptions o = Options();
  o.saveEveryUs = 3600 * kSecond;  // the first turn saves, the next ones not
  auto fwd = Make(o);
  Append(Problems(0, 3));
  fwd->Turn();
  struct stat saved, after;
  ASSERT_EQ(stat(state.c_str(), &saved), 0);
  std::string why;
  EXPECT_TRUE(fwd->Save(&why)) << why;
  ASSERT_EQ(stat(state.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, saved.st_ino) << "written again";
  // A change since is written.
  Append(Problems(3, 4));
  fwd->Turn();
  ASSERT_EQ(stat(state.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, saved.st_ino);
  EXPECT_TRUE(fwd->Save(&why)) << why;
  ASSERT_EQ(stat(state.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, saved.st_ino);
  EXPECT_NE(Slurp(state).find("naa.3"), std::string::npos);
}

// The state is written a piece at a time: a table of many pieces is read
// back whole, each alert once.
TEST_F(ForwarderTest, AStateOfManyPiecesIsReadBackWhole) {
  auto fwd = Make(Options());
  // Long texts: several pieces of 256 KiB from few alerts.
  std::string flares;
  for (int i = 0; i < 1200; ++i)
    flares += Line(kT0 + static_cast<uint64_t>(i), "tarn.problem.storage.apd.start",
                   "[{\"s\": \"naa." + std::to_string(i) + "\"}]", std::string(1000, 'm'));
  Append(flares);
  fwd->Turn();
  std::string why;
  ASSERT_TRUE(fwd->Save(&why)) << why;
  fwd.reset();
  std::vector<std::string> lines = Lines(state);
  ASSERT_GT(Slurp(state).size(), 1u << 20) << "not several pieces of 256 KiB";
  std::multiset<std::string> devices;
  for (size_t i = 1; i < lines.size(); ++i)
    devices.insert(Json::parse(lines[i])["labels"]["device"].get<std::string>());
  std::set<std::string> want = DeviceRange(0, 1200);
  EXPECT_EQ(devices, std::multiset<std::string>(want.begin(), want.end()));
  fwd = Make(Options());
  std::string m = fwd->Metrics();
  EXPECT_NE(m.find("wisp_alert_alerts_held 1200\n"), std::string::npos);
  EXPECT_NE(m.find("wisp_alert_state_lines_damaged_total 0\n"), std::string::npos);
}

// Alertmanager and an older forwarder's state read these bytes: the posts and
// the state lines are written out here by hand, escapes and key order included.
TEST_F(ForwarderTest, PostsAndStateLinesKeepTheirExactBytes) {
  const std::string apd =
      R"({"alertname":"tarn.problem.storage.apd.start","correlator":"APD","device":"naa.1",)"
      R"("host":"host1","kind":"problem"})";
  const std::string apdSummary = "\"caf\xc3\xa9\\t\\\"x\\\"\"";  // "café\t\"x\""
  const std::string apdPost = R"({"annotations":{"summary":)" + apdSummary + R"(},"labels":)" +
                              apd + R"(,"startsAt":"2024-12-05T12:00:00.000000Z"})";
  const std::string future =
      R"({"annotations":{"summary":"four"},"endsAt":"2024-12-05T13:00:10.000000Z",)"
      R"("labels":{"alertname":"tarn.problem.future.thing","host":"host1","kind":"problem"},)"
      R"("startsAt":"2024-12-05T12:00:10.000000Z"})";
  auto alertLines = [this] {
    std::vector<std::string> lines = Lines(state);
    return std::vector<std::string>(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
  };
  auto bodies = [this](size_t m) {
    std::vector<std::string> out;
    for (const Post &p : managers.posts)
      if (p.manager == m) out.push_back(p.body);
    return out;
  };
  std::string why;

  // The first refuses the alert, the second is down: due there, rejected here.
  managers.answer = [](const Post &p) {
    return p.manager == 0 ? Answer{400, "bad"} : Answer{503, "down"};
  };
  auto fwd = Make(Options());
  Append(Line(kT0, "tarn.problem.storage.apd.start", R"([{"s": "naa.1"}])", R"(caf\u00e9\t\"x\")"));
  fwd->Turn();
  EXPECT_EQ(bodies(0), std::vector<std::string>{"[" + apdPost + "]"});
  EXPECT_EQ(bodies(1), std::vector<std::string>{"[" + apdPost + "]"});
  ASSERT_TRUE(fwd->Save(&why)) << why;
  EXPECT_EQ(alertLines(),
            std::vector<std::string>{
                R"({"args":[{"s":"naa.1"}],"due":{"http://am2":1733400000000000},"ends_us":0,)"
                R"("flare_us":1733400000000000,"labels":)" +
                apd + R"(,"rejected":["http://am1"],"starts_us":1733400000000000,"summary":)" +
                apdSummary + "}"});

  // Both take what they are sent: the second gets both, by how long they waited.
  managers.posts.clear();
  managers.answer = [](const Post &) { return Answer{200, ""}; };
  now += 10 * kSecond;
  Append(Line(now, "tarn.problem.future.thing",
              R"([{"s": "pnic0"}, {"i32": -4}, {"u64": 18446744073709551615}, {"s": null}])",
              "four"));
  fwd->Turn();
  EXPECT_EQ(bodies(0), std::vector<std::string>{"[" + future + "]"});
  EXPECT_EQ(bodies(1), std::vector<std::string>{"[" + apdPost + "," + future + "]"});
  ASSERT_TRUE(fwd->Save(&why)) << why;
  EXPECT_EQ(alertLines(),
            (std::vector<std::string>{
                R"({"args":[{"s":"pnic0"},{"i64":-4},{"u64":18446744073709551615},{"s":null}],)"
                R"("due":{},"ends_us":1733403610000000,"flare_us":1733400010000000,)"
                R"("labels":{"alertname":"tarn.problem.future.thing","host":"host1",)"
                R"("kind":"problem"},"rejected":[],"starts_us":1733400010000000,)"
                R"("summary":"four"})",
                R"({"args":[{"s":"naa.1"}],"due":{},"ends_us":0,"flare_us":1733400000000000,)"
                R"("labels":)" +
                    apd + R"(,"rejected":["http://am1"],"starts_us":1733400000000000,"summary":)" +
                    apdSummary + "}"}));
}

TEST(ArgNames, ObjectsAreNamedFromTheirMessagesAndValuesAreNot) {
  auto labels = [](const char *message) {
    std::vector<std::string> out;
    for (const auto &a : wispalert::NameArgs(message)) out.push_back(a.label);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(labels("Lost network connectivity on virtual switch %s. Physical NIC %s is down. "
                   "Affected port groups: %s"),
            (V{"switch", "nic", "port_group"}));
  EXPECT_EQ(labels("Device: %s has been removed or is permanently inaccessible. Affected "
                   "datastores (if any): %s."),
            (V{"device", "datastore"}));
  EXPECT_EQ(labels("FPIN FC link failure: Host WWPN %s, target WWPN %s."),
            (V{"host_wwpn", "target_wwpn"}));
  EXPECT_EQ(labels("Disabling HyperThreading due to invalid configuration: Number of threads: %d, "
                   "Number of PCPUs: %d."),
            (V{"", ""}));
  EXPECT_EQ(labels("Scsi Device Allocation not supported for plugin type %x"), (V{""}));
  EXPECT_EQ(labels("Two or more VMs (%s and %s) sharing same virtual disk"), (V{"vm", ""}));
}

}  // namespace

namespace {

TEST(ArgNames, TheExampleRouteGroupsByEveryObjectLabel) {
  std::string config = Slurp(WISPD_SOURCE_DIR "/examples/alerting/alertmanager.yml");
  size_t open = config.find("group_by: [");
  ASSERT_NE(open, std::string::npos);
  std::string list = config.substr(open + 11, config.find(']', open) - open - 11);
  std::set<std::string> grouped;
  std::string word;
  for (char c : list + ",") {
    if (c == ',') {
      grouped.insert(word);
      word.clear();
    } else if (!isspace(static_cast<unsigned char>(c))) {
      word += c;
    }
  }
  std::set<std::string> labels;
  for (const flarecat::Flare &f : flarecat::kFlares)
    for (const wispalert::ArgName &a : wispalert::ArgNamesOf(f.id))
      if (!a.label.empty()) labels.insert(a.label);
  for (const std::string &l : labels) EXPECT_EQ(grouped.count(l), 1u) << l << " is not grouped by";
  EXPECT_EQ(grouped.count("host"), 0u);
}

}  // namespace
