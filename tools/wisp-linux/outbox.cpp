#include "outbox.h"

#include <string.h>

namespace wisplinux {

void Outbox::Add(const std::vector<Observation> &obs, uint64_t timestampUs) {
  for (int f = 0; f < kFamilies; ++f) {
    Batch batch{static_cast<Family>(f), 0, {}};
    for (const Observation &o : obs) {
      const ObsRow &row = RowOf(o.kind);
      if (row.family != batch.family) continue;
      std::string format = row.format;
      batch.bytes += tools::BuildRawRecord(row.id, &format, o.args, timestampUs);
      ++batch.records;
    }
    if (batch.records == 0) continue;
    held_ += batch.records;
    queue_.push_back(std::move(batch));
  }
  while (held_ > bound_ && queue_.size() > 1) {
    held_ -= queue_.front().records;
    dropped_ += queue_.front().records;
    queue_.pop_front();
  }
}

bool Outbox::Flush() {
  while (!queue_.empty()) {
    const Batch &batch = queue_.front();
    int ctx = contexts_.of[static_cast<int>(batch.family)];
    int err = socket_.Send(ctx, batch.bytes, false);
    if (err != 0 && tools::ContextSocket::Transient(err)) {
      problem_ = "cannot send to " + tools::ContextSocket::Where(ctx) + ": " + strerror(err);
      return false;
    }
    if (err != 0) {
      // Refused for good (too long, say): waiting would not help.
      problem_ = "dropped a batch for " + tools::ContextSocket::Where(ctx) + ": " + strerror(err);
      dropped_ += batch.records;
    } else {
      sent_[static_cast<int>(batch.family)] += batch.records;
      problem_.clear();
    }
    held_ -= batch.records;
    queue_.pop_front();
  }
  return true;
}

}  // namespace wisplinux
