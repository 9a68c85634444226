// Decimal digits of a number that repeats from call to call (a clock's
// seconds, the seconds of microsecond timestamps), converted when it
// changes and copied otherwise. One per thread: lines are built on many.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <charconv>

class KeptDigits {
 public:
  // Writes the value at out, which has room for 20 characters; its length.
  size_t Write(int64_t value, char *out) {
    if (!known_ || value != value_) {
      len_ = static_cast<size_t>(std::to_chars(text_, text_ + sizeof text_, value).ptr - text_);
      value_ = value;
      known_ = true;
    }
    memcpy(out, text_, len_);
    return len_;
  }

 private:
  bool known_ = false;
  int64_t value_ = 0;
  char text_[20] = {};
  size_t len_ = 0;
};
