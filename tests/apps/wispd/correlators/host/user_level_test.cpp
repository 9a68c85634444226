// The user-level correlator: reboot reasons in the configuration store
// (read back with SQLite) and account locks in the audit journal. Its rate
// windows are examples/scenarios/user-level-windows.yaml.
#include <ctype.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kUserLevelCorrelator;

namespace {

class UserLevel : public ::testing::Test {
 protected:
  void Send(const std::string &id, const std::vector<tools::Arg> &args = {}) { kit.Send(id, args); }
  // The reboot-reason record as SQLite holds it; null when there is none.
  tools::Json Record() {
    sqlite3 *db = nullptr;
    tools::Json out;
    std::string path = kit.root.Under("/var/lib/pelldan/configstore.db");
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt *st = nullptr;
      if (sqlite3_prepare_v2(db,
                             "SELECT doc FROM objects WHERE type='reboot_reason' AND "
                             "component='mantle' AND grp='tarn' AND ikey=''",
                             -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW)
        out = tools::Json::parse(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
  }

  // type, user, subsystem and reason of the record.
  Texts Fields() {
    tools::Json r = Record();
    if (r.is_null()) return {};
    return {r["type"], r["user"], r["subsystem"], r["reason"]};
  }

  CorrelatorKit kit{kUserLevelCorrelator};
};

TEST_F(UserLevel, UnknownIdOfTheGroupIsDroppedSilently) {
  Send("wisp.user.no.such.thing", {Str("x")});
  EXPECT_TRUE(kit.Flares().empty());
  EXPECT_TRUE(kit.Logs().empty());
}

TEST_F(UserLevel, ReasonIsTheTextAfterTheFirstColonWithoutLeadingBlanks) {
  const char kSub[] = "wisp.user.subsystem.host.reboot.reason";
  Send(kSub, {Str("no colon here"), Str("ops1"), Str("patcher")});
  EXPECT_TRUE(kit.Flares().empty());
  EXPECT_TRUE(Record().is_null());

  Send(kSub, {Str("maint:   \t move: to rack 2"), Str("ops1"), Str("patcher")});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.audit.subsystem.host.reboot.reason] The host is being rebooted. Reason "
                  "for reboot: move: to rack 2. User: ops1. Subsystem: patcher. Please consult "
                  "Tarn Embedded and Keystone Server Setup Guide or follow the Ask Pelldan link "
                  "for more information."});
  EXPECT_EQ(Fields(), (Texts{"REBOOT", "ops1", "patcher", "move: to rack 2"}));
  std::string stamp = Record()["timestamp"];
  // Shape "Sat, 05 Dec 26 22:30:00 +0000": A upper, a lower, 9 a digit, + a sign.
  const std::string shape = "Aaa, 99 Aaa 99 99:99:99 +9999";
  bool fits = stamp.size() == shape.size();
  for (size_t i = 0; fits && i < shape.size(); ++i) {
    char c = stamp[i];
    switch (shape[i]) {
      case 'A':
        fits = isupper(static_cast<unsigned char>(c));
        break;
      case 'a':
        fits = islower(static_cast<unsigned char>(c));
        break;
      case '9':
        fits = isdigit(static_cast<unsigned char>(c));
        break;
      case '+':
        fits = c == '+' || c == '-';
        break;
      default:
        fits = c == shape[i];
    }
  }
  EXPECT_TRUE(fits) << stamp;

  Send("wisp.user.subsystem.host.poweroff.reason", {Str("end:"), Str("ops2"), Str("ups")});
  EXPECT_EQ(kit.Flares().size(), 1u);
  EXPECT_EQ(Fields(), (Texts{"POWEROFF", "ops2", "ups", ""}));

  // A missing user stops before anything is posted or written.
  Send("wisp.user.tarncli.host.reboot.reason", {Str("x: y")});
  EXPECT_TRUE(kit.Flares().empty());
  EXPECT_EQ(Fields(), (Texts{"POWEROFF", "ops2", "ups", ""}));
}

TEST_F(UserLevel, EachSourceLeavesItsRecordAndShellStopsKeepAnEarlierOne) {
  Send("wisp.user.host.stop.reboot");
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.audit.host.stop.reboot] Host is rebooting."});
  EXPECT_EQ(Fields(), (Texts{"REBOOT", "UNKNOWN_USER", "DONT_REPLICATE",
                             "The host is being rebooted through Shell Console User Interface."}));

  Send("wisp.user.tarncli.host.poweroff.reason", {Str("cli: cooling"), Str("ops3")});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.audit.tarncli.host.poweroff.reason] The host is being powered off "
                  "through tarncli. Reason for power off: cooling. User: ops3. Please consult "
                  "Tarn Embedded and Keystone Server Setup Guide or follow the Ask Pelldan link "
                  "for more information."});
  EXPECT_EQ(Fields(), (Texts{"POWEROFF", "ops3", "tarncli", "cooling"}));
  Send("wisp.user.host.stop.shutdown");
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.audit.host.stop.shutdown] Host is shutting down."});
  EXPECT_EQ(Fields(), (Texts{"POWEROFF", "ops3", "tarncli", "cooling"}));

  Send("wisp.user.hubd.host.reboot.reason", {Str("hubd:firmware"), Str("ops4")});
  EXPECT_EQ(Fields(), (Texts{"REBOOT", "ops4", "DONT_REPLICATE", "firmware"}));

  // The console always overwrites.
  Send("wisp.user.helm.shutdown.host");
  EXPECT_EQ(Fields(), (Texts{"POWEROFF", "UNKNOWN_USER", "DONT_REPLICATE",
                             "The host is being shutdown through Helm Console Interface (HELM)."}));
  Send("wisp.user.helm.reboot.host");
  EXPECT_EQ(Fields(), (Texts{"REBOOT", "UNKNOWN_USER", "DONT_REPLICATE",
                             "The host is being rebooted through Helm Console Interface (HELM)."}));
  EXPECT_EQ(kit.Flares().size(), 3u);
}

TEST_F(UserLevel, AnUnavailableStoreStillPostsEveryFlareAndIsNotLogged) {
  kit.Model(R"({"fail": {"ConfigStore": "down"}})");
  Send("wisp.user.subsystem.host.reboot.reason", {Str("a: b"), Str("u"), Str("s")});
  Send("wisp.user.tarncli.host.reboot.reason", {Str("a: b"), Str("u")});
  Send("wisp.user.hubd.host.poweroff.reason", {Str("a: b"), Str("u")});
  Send("wisp.user.helm.reboot.host");
  Send("wisp.user.host.stop.shutdown");
  EXPECT_EQ(kit.Flares().size(), 5u);
  EXPECT_TRUE(Record().is_null());
  for (const std::string &line : kit.Logs())
    EXPECT_EQ(line.find("store"), std::string::npos) << "a store failure is silent: " << line;
}

TEST_F(UserLevel, LockedStoreStillPostsTheFlare) {
  Send("wisp.user.helm.reboot.host");  // creates the store
  kit.Flares();
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(kit.root.Under("/var/lib/pelldan/configstore.db").c_str(), &db),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  kit.Logs();
  Send("wisp.user.helm.shutdown.host");  // waits out the store's busy timeout
  EXPECT_EQ(kit.Flares().size(), 1u);
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(Fields()[0], "REBOOT");
}

TEST_F(UserLevel, AccountLockGoesToTheAuditLogToo) {
  Send("wisp.user.account.locked", {Str("ops1"), I32(900), I32(5)});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.audit.account.locked] Remote access for Tarn local user account 'ops1' "
                  "has been locked for 900 seconds after 5 failed login attempts."});
  EXPECT_EQ(Lines(kit.root.Under("/var/log/pelldan/audit.jsonl")),
            Texts{R"({"event":"account.locked","fields":{"account":"ops1"}})"});
  Send("wisp.user.account.locked", {Str("ops1"), I32(900)});
  EXPECT_TRUE(kit.Flares().empty());
  EXPECT_EQ(Lines(kit.root.Under("/var/log/pelldan/audit.jsonl")).size(), 1u);
}

}  // namespace
