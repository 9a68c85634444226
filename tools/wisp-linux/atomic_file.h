// A file written whole to a new file renamed over the old one, so that a
// reader sees the old text or the new, and only when the text changed.
#pragma once

#include <cstdint>
#include <string>

namespace wisplinux {

class AtomicFile {
 public:
  explicit AtomicFile(std::string path) : path_(std::move(path)) {}
  // Writes text unless it is what was written last; false with *why when
  // the file could not be replaced.
  bool Write(const std::string &text, std::string *why);
  uint64_t Writes() const { return writes_; }

 private:
  std::string path_, last_;
  uint64_t writes_ = 0;
};

}  // namespace wisplinux
