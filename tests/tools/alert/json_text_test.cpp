// The JSON the forwarder writes itself must be the bytes nlohmann's dump
// wrote before: escapes, text that is not UTF-8, numbers at their limits.
#include "json_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "wispjson.h"

namespace {

std::string Ours(std::string_view text) {
  std::string out = "x";  // appended to, not replaced
  wispalert::AppendJsonString(&out, text);
  return out.substr(1);
}

std::string Theirs(const std::string &text) {
  return tools::Json(text).dump(-1, ' ', false, tools::Json::error_handler_t::replace);
}

TEST(JsonText, StringsAreWrittenAsNlohmannWritesThem) {
  std::vector<std::string> cases = {"", "naa.600a0b80", "a\"b\\c/d", std::string("\0x", 2),
                                    "caf\xc3\xa9", "\xf0\x9f\x92\xbe disk", "\x7f",
                                    // Not UTF-8: a stray continuation, an overlong
                                    // slash, a surrogate, past U+10FFFF, cut short,
                                    // a byte no UTF-8 has, valid text around them.
                                    "\x80", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                    "\xe2\x82", "ok \xff ok", "\xe2\x82\xac\xe2\x82"};
  for (int c = 0; c < 0x20; ++c) cases.push_back("<" + std::string(1, static_cast<char>(c)) + ">");
  for (const std::string &text : cases) EXPECT_EQ(Ours(text), Theirs(text)) << Theirs(text);
}

// Short strings of the bytes where UTF-8's ranges begin and end, and the
// characters JSON escapes: each written as nlohmann writes it.
TEST(JsonText, StringsOfBoundaryBytesAreWrittenAsNlohmannWritesThem) {
  const unsigned char bytes[] = {0x00, 0x08, 0x1f, 0x20, '"',  '\\', 'a',  0x7f, 0x80, 0x8f,
                                 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xe1,
                                 0xec, 0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf3, 0xf4, 0xf5, 0xff};
  std::mt19937 random(42);
  std::uniform_int_distribution<size_t> pick(0, sizeof bytes - 1), length(0, 8);
  size_t differing = 0;
  for (int n = 0; n < 50000; ++n) {
    std::string text;
    for (size_t k = length(random); k > 0; --k) text += static_cast<char>(bytes[pick(random)]);
    if (Ours(text) != Theirs(text) && differing++ < 5)
      ADD_FAILURE() << "for "
                    << tools::Json(text).dump(-1, ' ', true, tools::Json::error_handler_t::replace)
                    << ": " << Ours(text) << " against " << Theirs(text);
  }
  EXPECT_EQ(differing, 0u);
}

TEST(JsonText, NumbersAreWrittenAsNlohmannWritesThem) {
  for (uint64_t n : {uint64_t{0}, uint64_t{7}, uint64_t{1733400000000000},
                     std::numeric_limits<uint64_t>::max()}) {
    std::string out;
    wispalert::AppendJsonUint(&out, n);
    EXPECT_EQ(out, tools::Json(n).dump());
  }
  for (int64_t n : {int64_t{-1}, int64_t{-4}, std::numeric_limits<int64_t>::min()}) {
    std::string out;
    wispalert::AppendJsonInt(&out, n);
    EXPECT_EQ(out, tools::Json(n).dump());
  }
}

}  // namespace
