// Destroying a JSON value without allocating. nlohmann's destructor of a
// non-empty array or object first allocates a work list (it flattens nested
// values so that deep documents cannot overflow the stack), and a failed
// allocation in a destructor ends the process. A value emptied bottom-up
// first is destroyed without one.
#pragma once

#include <memory>
#include <utility>

namespace simhost {

// Empties j's containers from the leaves up; deeper than maxDepth they are
// left to the destructor.
template <typename J>
void EmptyForRelease(J &j, int maxDepth = 64) noexcept {
  if (!j.is_structured() || maxDepth == 0) return;
  for (auto &child : j) EmptyForRelease(child, maxDepth - 1);
  j.clear();
}

// A JSON value emptied that way when it goes out of scope.
template <typename J>
class Releasing {
 public:
  Releasing() = default;
  explicit Releasing(J value) : value_(std::move(value)) {}
  ~Releasing() { EmptyForRelease(value_); }
  Releasing(const Releasing &) = delete;
  Releasing &operator=(const Releasing &) = delete;
  J &operator*() { return value_; }
  J *operator->() { return &value_; }

 private:
  J value_;
};

// A shared document released that way by its last owner.
template <typename J>
std::shared_ptr<const J> ShareReleasing(J &&doc) {
  return std::shared_ptr<const J>(new J(std::move(doc)), [](const J *j) {
    EmptyForRelease(const_cast<J &>(*j));
    delete j;
  });
}

}  // namespace simhost
