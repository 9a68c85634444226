// A condition is reported only after it has been quiet for more than five
// minutes; every observation, reported or not, restarts the period.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "base/wispdClock.h"

class QuietPeriod {
 public:
  static constexpr int64_t kSeconds = 300;

  // A key seen for the first time counts as last seen at time zero.
  bool Allows(const std::string &key) {
    int64_t now = Clock_WallSeconds();
    int64_t &last = lastSeen_[key];
    bool allowed = now - last > kSeconds;
    last = now;
    return allowed;
  }

 private:
  std::map<std::string, int64_t> lastSeen_;
};
