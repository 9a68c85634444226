#include "arg_pack.h"

namespace wispalert {

namespace {

// Each value: a kind (s: text, n: absent text, +/-: a number by sign), then
// the text's length and bytes, or the magnitude; numbers 7 bits a byte.
void PutNumber(std::string *out, uint64_t n) {
  for (; n >= 0x80; n >>= 7) out->push_back(static_cast<char>(0x80 | (n & 0x7f)));
  out->push_back(static_cast<char>(n));
}

bool GetNumber(std::string_view in, size_t *at, uint64_t *n) {
  *n = 0;
  for (unsigned shift = 0; *at < in.size() && shift < 64; shift += 7) {
    unsigned char c = static_cast<unsigned char>(in[(*at)++]);
    *n |= static_cast<uint64_t>(c & 0x7f) << shift;
    if ((c & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace

std::string PackArgValues(const std::vector<ArgValue> &values) {
  std::string out;
  for (const ArgValue &v : values) {
    if (v.isString && v.absent) {
      out += 'n';
    } else if (v.isString) {
      out += 's';
      PutNumber(&out, v.text.size());
      out += v.text;
    } else {
      out += v.negative ? '-' : '+';
      PutNumber(&out, v.magnitude);
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
    if (!GetNumber(packed, at, &n) || n > packed.size() - *at) return false;
    arg->text = packed.substr(*at, n);
    *at += n;
  } else {
    arg->negative = kind == '-';
    if (!GetNumber(packed, at, &arg->magnitude)) return false;
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
