#include "labels.h"

#include <algorithm>
#include <cstring>

#include "varint.h"

namespace wispalert {

namespace {

// Values that repeat from alert to alert; the others name the object an
// alert is about and differ.
bool SharedValue(std::string_view name) {
  return name == "alertname" || name == "host" || name == "kind" || name == "correlator";
}

}  // namespace

// The identity's bytes in pieces: each label's name, 0x1f, value, 0x1e.
class Labels::Pieces {
 public:
  // From piece `part` (0 name, 1 0x1f, 2 value, 3 0x1e) of label `label`,
  // which holds the first of the alert's own values.
  explicit Pieces(const Labels &labels, size_t label = 0, size_t part = 0)
      : labels_(labels), label_(label), part_(part) {}
  // The next piece, empty at the end.
  std::string_view Next() {
    const LabelShape *shape = labels_.shape_.get();
    while (shape != nullptr && label_ < shape->labels.size()) {
      const LabelShape::Label &l = shape->labels[label_];
      std::string_view piece;
      switch (part_++) {
        case 0:
          piece = l.name;
          break;
        case 1:
          piece = "\x1f";
          break;
        case 2:
          piece = l.own ? labels_.NextOwn(&own_) : std::string_view(l.value);
          break;
        default:
          piece = "\x1e";
          part_ = 0;
          ++label_;
      }
      if (!piece.empty()) return piece;
    }
    return {};
  }

 private:
  const Labels &labels_;
  size_t label_, part_, own_ = 0;
};

int Labels::Compare(const Labels &a, const Labels &b) {
  if (a.shape_ == nullptr || a.shape_ != b.shape_) return Compare(Pieces(a), Pieces(b));
  // One shape: the same text up to the first value of an alert's own.
  const std::vector<LabelShape::Label> &labels = a.shape_->labels;
  size_t first = 0;
  while (first < labels.size() && !labels[first].own) ++first;
  if (first == labels.size()) return 0;
  return Compare(Pieces(a, first, 2), Pieces(b, first, 2));
}

int Labels::Compare(Pieces pa, Pieces pb) {
  std::string_view x = pa.Next(), y = pb.Next();
  while (!x.empty() && !y.empty()) {
    size_t n = std::min(x.size(), y.size());
    int c = memcmp(x.data(), y.data(), n);
    if (c != 0) return c;
    x.remove_prefix(n);
    y.remove_prefix(n);
    if (x.empty()) x = pa.Next();
    if (y.empty()) y = pb.Next();
  }
  return x.empty() ? (y.empty() ? 0 : -1) : 1;
}

std::string_view Labels::NextOwn(size_t *at) const {
  uint64_t n = 0;
  ReadVarint(own_, at, &n);
  n = std::min<uint64_t>(n, own_.size() - *at);
  std::string_view value(own_.data() + *at, n);
  *at += n;
  return value;
}

std::string_view Labels::Get(std::string_view name) const {
  std::string_view found;
  ForEach([&](std::string_view n, std::string_view v) {
    if (n == name) found = v;
  });
  return found;
}

Labels LabelPool::Make(std::vector<std::pair<std::string_view, std::string_view>> labels) {
  std::stable_sort(labels.begin(), labels.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  // The shape's own key: the names, and the shared values.
  std::string key;
  Labels out;
  for (size_t i = 0; i < labels.size(); ++i) {
    if (i + 1 < labels.size() && labels[i + 1].first == labels[i].first) continue;
    AppendVarint(&key, labels[i].first.size());
    key += labels[i].first;
    if (SharedValue(labels[i].first)) {
      key += 's';
      AppendVarint(&key, labels[i].second.size());
      key += labels[i].second;
    } else {
      key += 'o';
      AppendVarint(&out.own_, labels[i].second.size());
      out.own_ += labels[i].second;
    }
  }
  auto it = shapes_.find(key);
  if (it != shapes_.end()) out.shape_ = it->second.lock();
  if (out.shape_ != nullptr) return out;
  auto shape = std::make_shared<LabelShape>();
  for (size_t i = 0; i < labels.size(); ++i) {
    if (i + 1 < labels.size() && labels[i + 1].first == labels[i].first) continue;
    bool own = !SharedValue(labels[i].first);
    shape->labels.push_back(
        {std::string(labels[i].first), own ? "" : std::string(labels[i].second), own});
  }
  out.shape_ = shape;
  if (it != shapes_.end()) {
    it->second = shape;
    return out;
  }
  // Shapes no alert uses any more are forgotten as new ones come: flare ids
  // come from the journal, and a journal of made-up ids must not grow this.
  if (shapes_.size() >= sweepAt_) {
    for (auto s = shapes_.begin(); s != shapes_.end();)
      s = s->second.expired() ? shapes_.erase(s) : std::next(s);
    sweepAt_ = std::max<size_t>(64, 2 * shapes_.size());
  }
  shapes_.emplace(std::move(key), shape);
  return out;
}

}  // namespace wispalert
