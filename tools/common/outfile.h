// An output that is standard output or a file appended to, reopened on
// request so that log rotation can move the old file away.
#pragma once

#include <string>

namespace tools {

class OutFile {
 public:
  // path empty: standard output. False with *why when the file cannot be opened.
  bool Open(const std::string &path, std::string *why);
  // Reopens the file by name (after SIGHUP); standard output stays.
  bool Reopen(std::string *why);
  // Writes the whole text; false when the write fails.
  bool Write(const std::string &text);
  ~OutFile();

 private:
  std::string path_;
  int fd_ = 1;
};

}  // namespace tools
