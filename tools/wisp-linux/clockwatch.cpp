#include "clockwatch.h"

#include <sys/timex.h>

#include <limits>

namespace wisplinux {

bool Synchronised(const SyncSample &sample) {
  return sample.state != TIME_ERROR && (sample.status & STA_UNSYNC) == 0;
}

void ClockWatch::Step(int64_t deltaNs, int64_t toSec, int64_t toNsec,
                      std::vector<Observation> *out) {
  // Whole seconds, rounded up: a step of 1.2 s is "2 s", above a bound of 1.
  uint64_t size = deltaNs < 0 ? 0 - static_cast<uint64_t>(deltaNs) : static_cast<uint64_t>(deltaNs);
  uint64_t seconds = (size + 999999999u) / 1000000000u;
  if (size <= static_cast<uint64_t>(config_.stepThresholdS) * 1000000000u) {
    ++smallSteps_;
    return;
  }
  int32_t shown = seconds > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                      ? std::numeric_limits<int32_t>::max()
                      : static_cast<int32_t>(seconds);
  auto sec = static_cast<int32_t>(toSec);
  auto nsec = static_cast<int32_t>(toNsec);
  if (known_ && !synced_)
    out->push_back({ObsKind::kClockStepUnsync, {I32(sec), I32(nsec)}});
  else
    out->push_back(
        {ObsKind::kClockStep, {I32(sec), I32(nsec), I32(shown), I32(config_.stepThresholdS)}});
}

bool ClockWatch::Sample(const SyncSample &sample, std::vector<Observation> *out) {
  bool synced = Synchronised(sample);
  bool over = synced && config_.maxErrorMs > 0 && sample.maxErrorUs / 1000 > config_.maxErrorMs;
  if (!known_) {
    known_ = true;
    synced_ = synced;
    overBound_ = over;
    return true;
  }
  bool changed = synced != synced_ || over != overBound_;
  if (synced != synced_)
    out->push_back({synced ? ObsKind::kSyncGained : ObsKind::kSyncLost, {}});
  else if (over && !overBound_)
    out->push_back({ObsKind::kSyncDoubtful, {}});
  synced_ = synced;
  overBound_ = over;
  return changed;
}

}  // namespace wisplinux
