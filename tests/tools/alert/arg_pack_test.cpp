// Arguments packed as an alert keeps them come back as they went in: texts
// of any bytes and length, absent texts, numbers at their limits.
#include "arg_pack.h"

#include <gtest/gtest.h>

#include <limits>

using wispalert::ArgValue;

namespace {

ArgValue Text(std::string text) {
  ArgValue v;
  v.isString = true;
  v.text = std::move(text);
  return v;
}

ArgValue Number(bool negative, uint64_t magnitude) {
  ArgValue v;
  v.negative = negative;
  v.magnitude = magnitude;
  return v;
}

TEST(ArgPack, ValuesComeBackAsTheyWentIn) {
  std::string bytes;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  ArgValue absent = Text("");
  absent.absent = true;
  std::vector<ArgValue> values = {Text("naa.600a0b80"),
                                  Text(""),
                                  absent,
                                  Text(bytes),
                                  Text(std::string(70000, 'x')),
                                  Number(false, 0),
                                  Number(false, 127),
                                  Number(false, 128),
                                  Number(false, std::numeric_limits<uint64_t>::max()),
                                  Number(true, 4),
                                  Number(true, uint64_t{1} << 63)};
  EXPECT_EQ(wispalert::UnpackArgValues(wispalert::PackArgValues(values)), values);
  for (const ArgValue &v : values) {
    std::vector<ArgValue> one = {v};
    EXPECT_EQ(wispalert::UnpackArgValues(wispalert::PackArgValues(one)), one);
  }
  EXPECT_TRUE(wispalert::UnpackArgValues(wispalert::PackArgValues({})).empty());
}

}  // namespace
