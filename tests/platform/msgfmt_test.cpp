// Packing of printf arguments and formatting with formats from outside.
#include "pellibs/msgfmt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "pellibs/wisp.h"
#include "records.h"

using namespace testing_support;

namespace {

// Packs like the flare builder does: into buf, then swizzled.
bool Pack(std::string *buf, int *count, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  void *args = nullptr;
  size_t size = buf->size();
  bool ok = MsgFmt_GetArgsWithBuf(format, ap, &args, count, nullptr, &(*buf)[0], &size);
  va_end(ap);
  if (ok) buf->resize(size);
  return ok;
}

std::string Msg(const std::string &fmt, const std::vector<tools::Arg> &args) {
  Wisp *w = MakeWisp(Record("wisp.t", args, fmt));
  if (w == nullptr) return "<no record>";
  char *text = nullptr;
  Wisp_GetMsg(w, &text, nullptr);
  std::string out = text;
  free(text);
  Wisp_Free(w);
  return out;
}

TEST(MsgFmt, PacksEveryTypeAndRoundTripsAfterSwizzling) {
  std::string buf(512, '\0');
  int count = 0;
  ASSERT_TRUE(Pack(&buf, &count, "%s %d %ld %u %lu %s %c %zu", "a\"b", -3, -4000000000L, 7u,
                   9000000000UL, static_cast<const char *>(nullptr), 'x', size_t{5000000000}));
  ASSERT_EQ(count, 8);
  char *before = MsgFmt_Asprintf(nullptr, "%s %d %ld %u %lu %s %c %zu", buf.data(), count);
  EXPECT_STREQ(before, "a\"b -3 -4000000000 7 9000000000 (null) x 5000000000");
  free(before);

  // Position independent: a copy elsewhere reads the same.
  MsgFmt_SwizzleArgs(&buf[0], count);
  std::string moved = buf;
  const char *s = nullptr;
  ASSERT_EQ(MsgFmt_GetSwizzledString(moved.data(), count, 0, moved.data() + moved.size(), &s), 0);
  EXPECT_STREQ(s, "a\"b");
  EXPECT_GE(s, moved.data());
  ASSERT_EQ(MsgFmt_GetSwizzledString(moved.data(), count, 5, moved.data() + moved.size(), &s), 0);
  EXPECT_EQ(s, nullptr);
  EXPECT_NE(MsgFmt_GetSwizzledString(moved.data(), count, 1, moved.data() + moved.size(), &s), 0);
  EXPECT_NE(MsgFmt_GetSwizzledString(moved.data(), count, 0, moved.data() + 40, &s), 0);
}

// Packs into a buffer of fixed room; *size gets what was used or needed.
bool PackInto(size_t room, size_t *size, const char **error, const char *format, ...) {
  std::string buf(room, '\0');
  va_list ap;
  va_start(ap, format);
  void *args = nullptr;
  int count = 0;
  *size = room;
  bool ok = MsgFmt_GetArgsWithBuf(format, ap, &args, &count, error, &buf[0], size);
  va_end(ap);
  return ok;
}

TEST(MsgFmt, ReportsTheRoomNeededAndFormatsItCannotPack) {
  size_t size = 0;
  const char *error = nullptr;
  std::string big(100, 'q');
  EXPECT_FALSE(PackInto(40, &size, &error, "%s", big.c_str()));
  EXPECT_EQ(size, 32u + 101u);
  EXPECT_EQ(error, nullptr);
  EXPECT_TRUE(PackInto(133, &size, &error, "%s", big.c_str()));
  EXPECT_FALSE(PackInto(400, &size, &error, "%f", 1.0));
  EXPECT_NE(error, nullptr);
}

TEST(MsgFmt, FormatsHostileFormatsWithDefinedText) {
  EXPECT_EQ(Msg("%s has %d", {Str("a")}), "a has (missing)");
  EXPECT_EQ(Msg("%d", {Str("a")}), "(badtype)");
  EXPECT_EQ(Msg("%s", {I32(1)}), "(badtype)");
  EXPECT_EQ(Msg("%n%s", {Str("a")}), "(unsupported)a");
  EXPECT_EQ(Msg("%*d|%f|%99999d", {I32(1), I32(2)}), "(unsupported)|(unsupported)|(unsupported)");
  EXPECT_EQ(Msg("end %", {}), "end (unsupported)");
  EXPECT_EQ(Msg("100%% %5.2s|%-4d|%04x|%hhd", {Str("abcdef"), I32(7), I32(255), I32(300)}),
            "100%    ab|7   |00ff|44");
  EXPECT_EQ(Msg("%s", {NullStr()}), "(null)");
}

}  // namespace
