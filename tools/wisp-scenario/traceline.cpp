#include "traceline.h"

#include <errno.h>
#include <stdlib.h>

#include <limits>
#include <vector>

namespace scenario {

namespace {

// Splits "a,\"b,\"\"c\",d" into fields, undoing the doubled quotes; quoted
// fields keep a leading quote as their marker.
std::vector<std::string> Fields(const std::string &line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= line.size()) {
    std::string f;
    if (i < line.size() && line[i] == '"') {
      f = "\"";
      ++i;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            f += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        f += line[i++];
      }
    }
    size_t comma = line.find(',', i);
    if (comma == std::string::npos) comma = line.size();
    f += line.substr(i, comma - i);
    out.push_back(f);
    i = comma + 1;
  }
  return out;
}

// The narrowest argument kind that holds a traced number.
bool Number(const std::string &f, tools::Json *item) {
  bool neg = !f.empty() && f[0] == '-';
  if (f.size() < (neg ? 2u : 1u) || f.size() > 20) return false;
  for (size_t i = neg ? 1 : 0; i < f.size(); ++i)
    if (f[i] < '0' || f[i] > '9') return false;
  errno = 0;
  if (neg) {
    long long v = strtoll(f.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *item = v >= std::numeric_limits<int32_t>::min() ? tools::Json{{"i32", v}}
                                                     : tools::Json{{"i64", v}};
    return true;
  }
  unsigned long long v = strtoull(f.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  if (v <= static_cast<unsigned long long>(std::numeric_limits<int32_t>::max()))
    *item = {{"i32", v}};
  else if (v <= std::numeric_limits<uint32_t>::max())
    *item = {{"u32", v}};
  else
    *item = {{"u64", v}};
  return true;
}

}  // namespace

bool ParseTraceLine(const std::string &text, TraceLine *t) {
  std::vector<std::string> f = Fields(text);
  if (f.size() < 5 || (f[1] != "IN" && f[1] != "OUT") || !f[4].empty()) return false;
  try {
    t->wall = std::stod(f[0]);
    t->ts = std::stoull(f[2]);
  } catch (const std::exception &) {
    return false;
  }
  if (!(t->wall >= 0 && t->wall < 1e11)) return false;  // NaN too
  t->in = f[1] == "IN";
  t->id = f[3];
  if (t->id.empty()) return false;
  // With no arguments the line ends in the empty field.
  for (size_t i = 5; i < f.size(); ++i) {
    tools::Json item;
    if (!f[i].empty() && f[i][0] == '"') {
      std::string s = f[i].substr(1);
      item = s == "(null)" ? tools::Json{{"s", nullptr}} : tools::Json{{"s", s}};
    } else if (!Number(f[i], &item)) {
      t->exact = false;  // ",???": a kind the trace cannot show
      continue;
    }
    t->args.push_back(item);
  }
  return true;
}

}  // namespace scenario
