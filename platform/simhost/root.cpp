#include "pelldan/root.h"

#include <cstdlib>

namespace pelldan {

std::string RootPath(const std::string &path) {
  const char *root = std::getenv("WISPD_ROOT");
  if (root == nullptr || root[0] != '/' || path.empty() || path[0] != '/') return path;
  std::string out(root);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out + path;
}

}  // namespace pelldan
