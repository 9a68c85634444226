// Arguments are checked against their format the way the host renders it.
#include "fmtcheck.h"

#include <gtest/gtest.h>

#include "records.h"

using namespace testing_support;

namespace {

TEST(FormatCheck, AcceptsFittingArgumentsAndNamesTheFirstMisfit) {
  std::string why;
  EXPECT_TRUE(tools::ArgsFitFormat("100%% of %-8s at %lu, %05x", {Str("a"), I32(1), I32(2)}, &why));
  EXPECT_TRUE(tools::ArgsFitFormat("no conversions", {Str("extra")}, &why));
  EXPECT_TRUE(tools::ArgsFitFormat("%s", {NullStr()}, &why));

  struct Case {
    const char *format;
    std::vector<tools::Arg> args;
    const char *why;
  };
  const Case cases[] = {
      {"%d", {Str("x")}, "argument 0 does not fit \"fmt\" conversion %d (a number)"},
      {"%s %s", {Str("x"), I32(1)}, "argument 1 does not fit \"fmt\" conversion %s (a string)"},
      {"%s and %ld", {Str("x")}, "\"fmt\" conversion %ld has no argument"},
      {"%f", {I32(1)}, "\"fmt\" conversion %f is not one the host formats"},
      {"%*d", {I32(1), I32(2)}, "\"fmt\" conversion %* is not one the host formats"},
      {"ends in %", {}, "\"fmt\" conversion % is not one the host formats"},
  };
  for (const Case &c : cases) {
    why.clear();
    EXPECT_FALSE(tools::ArgsFitFormat(c.format, c.args, &why)) << c.format;
    EXPECT_EQ(why, c.why) << c.format;
  }
}

}  // namespace
