#include "json_text.h"

#include <charconv>
#include <cstdio>

#include "wispjson.h"

namespace wispalert {

namespace {

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF), the rule by which nlohmann keeps bytes as they are.
bool WellFormed(std::string_view text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
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
      return false;
    }
    if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

}  // namespace

void AppendJsonString(std::string *out, std::string_view text) {
  // What does not decode is replaced, as nlohmann does it; such text comes
  // only from the command line (the host name, the URLs).
  if (!WellFormed(text)) {
    out->append(
        tools::Json(std::string(text)).dump(-1, ' ', false, tools::Json::error_handler_t::replace));
    return;
  }
  out->push_back('"');
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(text.data() + from, i - from);
    from = i + 1;
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\f':
        out->append("\\f");
        break;
      case '\r':
        out->append("\\r");
        break;
      default: {
        char hex[8];
        snprintf(hex, sizeof hex, "\\u%04x", c);
        out->append(hex);
      }
    }
  }
  out->append(text.data() + from, text.size() - from);
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
