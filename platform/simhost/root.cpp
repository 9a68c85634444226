#include "pelldan/root.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdlib>

namespace pelldan {

std::string RootProblem(bool mustExist) {
  const char *root = std::getenv("WISPD_ROOT");
  if (root == nullptr) return "";
  if (root[0] == '\0') return "WISPD_ROOT is set but empty; unset it or name an absolute directory";
  if (root[0] != '/') return std::string("WISPD_ROOT=") + root + " is not an absolute path";
  if (!mustExist) return "";
  // A misspelt root would otherwise become a new, empty host no one watches.
  struct stat st;
  if (stat(root, &st) != 0)
    return std::string("WISPD_ROOT=") + root + " cannot be used: " + strerror(errno) +
           " (wisp-root init creates a root)";
  if (!S_ISDIR(st.st_mode)) return std::string("WISPD_ROOT=") + root + " is not a directory";
  return "";
}

std::string RootPath(const std::string &path) {
  const char *root = std::getenv("WISPD_ROOT");
  if (root == nullptr || path.empty() || path[0] != '/') return path;
  if (root[0] != '/') return "";
  std::string out(root);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out + path;
}

}  // namespace pelldan
