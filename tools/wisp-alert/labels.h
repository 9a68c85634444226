// An alert's labels, which are its identity. The names, and the values that
// repeat from alert to alert (alertname, host, kind, correlator), are kept
// once for each distinct set of them (a shape); an alert keeps only its other
// values, those of the objects it is about.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace wispalert {

struct LabelShape {
  struct Label {
    std::string name;
    std::string value;  // when shared
    bool own;           // the value is each alert's own
  };
  std::vector<Label> labels;  // by name
};

class Labels {
 public:
  // Calls f(name, value) for each label, in the order of the names.
  template <typename F>
  void ForEach(F &&f) const;
  // The label's value, empty when there is none.
  std::string_view Get(std::string_view name) const;

  // The identity's order: that of the texts "name 0x1f value 0x1e" of every
  // label in turn, compared byte by byte (as the state file lists alerts).
  friend bool operator<(const Labels &a, const Labels &b) { return Compare(a, b) < 0; }
  friend bool operator==(const Labels &a, const Labels &b) { return Compare(a, b) == 0; }
  static int Compare(const Labels &a, const Labels &b);

 private:
  friend class LabelPool;
  class Pieces;
  static int Compare(Pieces a, Pieces b);
  // The own value that starts at *at in own_; *at moves past it.
  std::string_view NextOwn(size_t *at) const;

  std::shared_ptr<const LabelShape> shape_;
  std::string own_;  // the own values in turn, each after its length
};

class LabelPool {
 public:
  // The labels of name/value pairs in any order; of a name given twice the
  // last value counts.
  Labels Make(std::vector<std::pair<std::string_view, std::string_view>> labels);
  // Shapes held: those in use, and those no longer used until the next sweep.
  size_t Shapes() const { return shapes_.size(); }

 private:
  std::unordered_map<std::string, std::weak_ptr<const LabelShape>> shapes_;
  size_t sweepAt_ = 64;
};

template <typename F>
void Labels::ForEach(F &&f) const {
  if (shape_ == nullptr) return;
  size_t at = 0;
  for (const LabelShape::Label &l : shape_->labels)
    f(std::string_view(l.name), l.own ? NextOwn(&at) : std::string_view(l.value));
}

}  // namespace wispalert
