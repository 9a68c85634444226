#include "arg_pack.h"

#include "varint.h"

namespace wispalert {

// Each value: a kind (s: text, n: absent text, +/-: a number by sign), then
// the text's length and bytes, or the magnitude.
std::string PackArgValues(const std::vector<ArgValue> &values) {
  std::string out;
  for (const ArgValue &v : values) {
    if (v.isString && v.absent) {
      out += 'n';
    } else if (v.isString) {
      out += 's';
      AppendVarint(&out, v.text.size());
      out += v.text;
    } else {
      out += v.negative ? '-' : '+';
      AppendVarint(&out, v.magnitude);
    }
  }
  return out;
}

bool NextPackedArg(std::string_view packed, size_t *at, PackedArg *arg) {
  if (*at >= packed.size()) return false;
  *arg = PackedArg();
  char kind = packed[(*at)++];
  if (kind == 'n') {
    arg->isString = arg->absent = true;
  } else if (kind == 's') {
    arg->isString = true;
    uint64_t n = 0;
    if (!ReadVarint(packed, at, &n) || n > packed.size() - *at) return false;
    arg->text = packed.substr(*at, n);
    *at += n;
  } else {
    arg->negative = kind == '-';
    if (!ReadVarint(packed, at, &arg->magnitude)) return false;
  }
  return true;
}

std::vector<ArgValue> UnpackArgValues(std::string_view packed) {
  std::vector<ArgValue> values;
  PackedArg a;
  for (size_t at = 0; NextPackedArg(packed, &at, &a);) {
    ArgValue v;
    v.isString = a.isString;
    v.absent = a.absent;
    v.text.assign(a.text);
    v.negative = a.negative;
    v.magnitude = a.magnitude;
    values.push_back(std::move(v));
  }
  return values;
}

}  // namespace wispalert
