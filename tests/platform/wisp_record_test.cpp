// Record checks and typed argument reading of the observation library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "pellibs/wisp.h"
#include "records.h"

using namespace testing_support;

namespace {

struct Made {
  Wisp *wisp;
  explicit Made(const std::string &rec) : wisp(MakeWisp(rec)) {}
  ~Made() { Wisp_Free(wisp); }
};

void Put32(std::string *rec, size_t off, uint32_t v) {
  memcpy(&(*rec)[off], &v, 4);
}

TEST(WispRecord, BuildsAWellFormedRecordAndReadsItsFields) {
  Made m(Record("wisp.net.x", {Str("pnic0"), I32(-5)}, "NIC %s %d", 42));
  ASSERT_NE(m.wisp, nullptr);
  const char *id;
  uint64_t ts;
  ASSERT_EQ(Wisp_GetID(m.wisp, &id), 0);
  EXPECT_STREQ(id, "wisp.net.x");
  ASSERT_EQ(Wisp_GetTimestamp(m.wisp, &ts), 0);
  EXPECT_EQ(ts, 42u);
  char *msg;
  ASSERT_EQ(Wisp_GetMsg(m.wisp, &msg, nullptr), 0);
  EXPECT_STREQ(msg, "NIC pnic0 -5");
  free(msg);
}

TEST(WispRecord, TakesTheFormatLengthAsTheTextWithOrWithoutANul) {
  std::string rec = Record("wisp.a", {I32(5)}, "v=%dX");
  rec[32 + 7 + 5] = '!';  // the format's NUL becomes text
  Made m(rec);
  ASSERT_NE(m.wisp, nullptr);
  char *msg;
  ASSERT_EQ(Wisp_GetMsg(m.wisp, &msg, nullptr), 0);
  EXPECT_STREQ(msg, "v=5X!");
  free(msg);
}

TEST(WispRecord, RejectsEveryMalformedShape) {
  std::string good = Record("wisp.a", {Str("xy"), I32(1)}, "f");
  const size_t idLen = 7, fmtLen = 2, args = 32 + idLen + fmtLen;
  struct Case {
    const char *what;
    std::string rec;
  };
  std::vector<Case> cases;
  cases.push_back({"shorter than a header", good.substr(0, 20)});
  std::string r = good;
  Put32(&r, 16, static_cast<uint32_t>(good.size() + 1));
  cases.push_back({"length field too big", r});
  r = good;
  r[32 + idLen - 1] = 'x';
  cases.push_back({"id not terminated", r});
  r = good;
  Put32(&r, 24, 0);
  cases.push_back({"empty id", r});
  r = good;
  Put32(&r, 24, 0x7fffffff);
  cases.push_back({"id runs past record", r});
  r = good;
  Put32(&r, 20, 0x08000000);
  cases.push_back({"argument count overflows", r});
  r = good;
  Put32(&r, args + 0, 5);
  cases.push_back({"unknown type", r});
  r = good;
  Put32(&r, args + 8, 0xffffff00);
  cases.push_back({"string offset outside", r});
  r = good;
  Put32(&r, args + 16, 200);
  cases.push_back({"string length outside", r});
  r = good;
  r[r.size() - 1] = 'z';
  cases.push_back({"string not terminated", r});
  r = good;
  Put32(&r, args + 8, 8);
  cases.push_back({"string inside the descriptors", r});
  for (const Case &c : cases) {
    const char *why = nullptr;
    EXPECT_NE(Wisp_CheckRaw(c.rec.data(), c.rec.size(), &why), 0) << c.what;
    EXPECT_NE(why, nullptr) << c.what;
    Made m(c.rec);
    EXPECT_EQ(m.wisp, nullptr) << c.what;
  }
  EXPECT_EQ(Wisp_CheckRaw(good.data(), good.size(), nullptr), 0);
}

TEST(WispArgs, ReadsEachConversionForm) {
  Made m(Record("wisp.a", {Str("dev"), I32(-7), Int(MSGFMT_UINT32, 0xdeadbeef),
                           Int(MSGFMT_INT64, static_cast<uint64_t>(-9000000000LL)),
                           Int(MSGFMT_UINT64, 18000000000000000000ULL), I32(-2), I32(0x1ff)}));
  ASSERT_NE(m.wisp, nullptr);
  const char *s = nullptr;
  int d = 0;
  unsigned x = 0;
  long ld = 0;
  unsigned long lu = 0;
  short hd = 0;
  unsigned char hhx = 0;
  ASSERT_EQ(Wisp_GetArgs(m.wisp, 0, "%p %d %x %ld %lu %hd %hhx", &s, &d, &x, &ld, &lu, &hd, &hhx),
            0);
  EXPECT_STREQ(s, "dev");
  EXPECT_EQ(d, -7);
  EXPECT_EQ(x, 0xdeadbeefu);
  EXPECT_EQ(ld, -9000000000L);
  EXPECT_EQ(lu, 18000000000000000000UL);
  EXPECT_EQ(hd, -2);
  EXPECT_EQ(hhx, 0xff);  // truncated to the byte the conversion names
  unsigned u = 0;
  ASSERT_EQ(Wisp_GetArgs(m.wisp, 1, "id=%10d, then %u", &d, &u), 0);  // width and text ignored
  EXPECT_EQ(d, -7);
  EXPECT_EQ(u, 0xdeadbeefu);
}

TEST(WispArgs, SplitsAVolumeUuid) {
  Made m(Record("wisp.cairn.x",
                {Str("vol"), Int(MSGFMT_UINT32, 0x5f1a2b3c), Int(MSGFMT_UINT32, 0x01020304),
                 Int(MSGFMT_UINT32, 0xbeef), I32(1), I32(2), I32(3), I32(4), I32(5), I32(0xa6)}));
  const char *s;
  unsigned a, b;
  unsigned short c;
  unsigned char e[6];
  ASSERT_EQ(Wisp_GetArgs(m.wisp, 0, "%p%08x-%08x-%04hx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx", &s,
                         &a, &b, &c, &e[0], &e[1], &e[2], &e[3], &e[4], &e[5]),
            0);
  EXPECT_EQ(a, 0x5f1a2b3cu);
  EXPECT_EQ(c, 0xbeef);
  EXPECT_EQ(e[5], 0xa6);
}

TEST(WispArgs, FailsWithoutTouchingOutputs) {
  Made m(Record("wisp.a", {Str("only"), NullStr()}));
  const char *s = "untouched";
  int d = 99;
  EXPECT_EQ(Wisp_GetArgs(m.wisp, 0, "%p %p %p", &s, &s, &s),
            75);                                         // the library's missing-argument code
  EXPECT_EQ(Wisp_GetArgs(m.wisp, 0, "%d", &d), EINVAL);  // a string is no int
  EXPECT_EQ(Wisp_GetArgs(m.wisp, 0, "%p %f", &s, &d), EINVAL);  // unsupported conversion
  EXPECT_STREQ(s, "untouched");
  EXPECT_EQ(d, 99);
  ASSERT_EQ(Wisp_GetArgs(m.wisp, 1, "%p", &s), 0);
  EXPECT_EQ(s, nullptr);  // an absent string reads as NULL

  int64_t v;
  EXPECT_NE(Wisp_GetIntArg(m.wisp, 0, &v), 0);
  EXPECT_NE(Wisp_GetStringArg(m.wisp, 2, &s), 0);
}

}  // namespace
