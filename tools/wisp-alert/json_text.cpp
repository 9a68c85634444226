#include "json_text.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "wispjson.h"

namespace wispalert {

namespace {

// Bytes written as they are: printable ASCII but the quote and the backslash.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

// The length of the well-formed UTF-8 sequence at p[i] (a byte of 0x80 or
// more), 0 for one that is not: no overlong forms, no surrogates, nothing
// past U+10FFFF, the rule by which nlohmann keeps bytes as they are.
size_t SequenceAt(const unsigned char *p, size_t n, size_t i) {
  unsigned char c = p[i];
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return 0;
  for (size_t k = 2; k < len; ++k)
    if (p[i + k] < 0x80 || p[i + k] > 0xBF) return 0;
  return len;
}

const char *EscapeOf(unsigned char c, char (&hex)[8]) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    default:
      snprintf(hex, sizeof hex, "\\u%04x", c);
      return hex;
  }
}

}  // namespace

void AppendJsonString(std::string *out, std::string_view text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size(), begin = out->size(), from = 0;
  out->push_back('"');
  for (size_t i = 0; i < n;) {
    if (kPlain[p[i]]) {
      ++i;
      continue;
    }
    if (p[i] >= 0x80) {
      size_t len = SequenceAt(p, n, i);
      if (len == 0) {
        // What does not decode is replaced, as nlohmann does it; such text
        // comes only from the command line (the host name, the URLs).
        out->resize(begin);
        out->append(tools::Json(std::string(text))
                        .dump(-1, ' ', false, tools::Json::error_handler_t::replace));
        return;
      }
      i += len;
      continue;
    }
    char hex[8];
    out->append(text.data() + from, i - from);
    out->append(EscapeOf(p[i], hex));
    from = ++i;
  }
  out->append(text.data() + from, n - from);
  out->push_back('"');
}

void AppendJsonUint(std::string *out, uint64_t n) {
  char buf[24];
  out->append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

void AppendJsonInt(std::string *out, int64_t n) {
  char buf[24];
  out->append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

}  // namespace wispalert
