// hubd's decoding of flare records.
#include <gtest/gtest.h>

#include <cstring>

#include "records.h"
#include "wispjson.h"

using namespace testing_support;

namespace {

std::string Flare(const std::string &id, const std::vector<tools::Arg> &args) {
  std::string area = tools::PackArgs(args);
  std::string rec(68, '\0');
  uint32_t idLen = static_cast<uint32_t>(id.size() + 1);
  uint32_t total = static_cast<uint32_t>(72 + idLen + area.size());
  uint32_t count = static_cast<uint32_t>(args.size());
  uint64_t ts = 1733400000000000;
  memcpy(&rec[0], &ts, 8);
  memcpy(&rec[56], &total, 4);
  memcpy(&rec[60], &count, 4);
  memcpy(&rec[64], &idLen, 4);
  rec.append(id.c_str(), idLen);
  rec += area;
  rec.append(4, '\0');
  return rec;
}

bool Decode(const std::string &rec, tools::OrderedJson *line, std::string *error) {
  return tools::DecodeFlare(reinterpret_cast<const uint8_t *>(rec.data()), rec.size(), line, error);
}

TEST(HubdDecode, DecodesEveryArgumentTypeAndRendersKnownIds) {
  tools::OrderedJson line;
  std::string error;
  ASSERT_TRUE(Decode(Flare("tarn.problem.storage.apd.timeout",
                           {Str("naa.1"), I32(-140), Int(MSGFMT_INT64, static_cast<uint64_t>(-2)),
                            Int(MSGFMT_UINT32, 7), Int(MSGFMT_UINT64, 8), NullStr()}),
                     &line, &error))
      << error;
  EXPECT_EQ(line["time_us"], 1733400000000000u);
  EXPECT_EQ(line["args"].dump(),
            R"([{"s":"naa.1"},{"i32":-140},{"i64":-2},{"u32":7},{"u64":8},{"s":null}])");
  EXPECT_EQ(line["message"],
            "Device or filesystem with identifier [naa.1] has entered the All Paths Down Timeout "
            "state after being in the All Paths Down state for -140 seconds. I/Os will now be fast "
            "failed.");
  ASSERT_TRUE(Decode(Flare("tarn.audit.unknown.id", {}), &line, &error));
  EXPECT_TRUE(line["message"].is_null());
}

TEST(HubdDecode, NamesWhatIsWrongWithABadRecord) {
  tools::OrderedJson line;
  std::string error;
  std::string good = Flare("tarn.audit.x", {Str("a")});
  EXPECT_FALSE(Decode(good.substr(0, 50), &line, &error));
  EXPECT_FALSE(Decode(good + "junk", &line, &error));
  EXPECT_NE(error.find("differs from the bytes received"), std::string::npos);
  std::string longId = Flare(std::string(140, 'i'), {});
  EXPECT_FALSE(Decode(longId, &line, &error));
  std::string outside = good;
  uint64_t off = 100000;
  memcpy(&outside[68 + 13 + 8], &off, 8);
  EXPECT_FALSE(Decode(outside, &line, &error));
}

}  // namespace
