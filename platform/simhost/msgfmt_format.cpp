// Message formatting for formats that may come from outside: every
// conversion is checked against the typed argument it takes.
#include <cstdio>

#include "simhost/packed.h"

namespace simhost {
namespace {

constexpr const char kMissing[] = "(missing)";
constexpr const char kBadType[] = "(badtype)";
constexpr const char kUnsupported[] = "(unsupported)";
constexpr long kMaxWidth = 1024;

bool IsInteger(uint32_t type) {
  return type != MSGFMT_STRING && IsKnownType(type);
}

struct Spec {
  std::string flags;
  long width = -1;
  long precision = -1;
  std::string length;
  char conversion = 0;
  bool bad = false;
};

// Parses after '%'; returns the position after the conversion.
const char *ParseSpec(const char *p, Spec *spec) {
  while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
    if (*p != '\'' && spec->flags.find(*p) == std::string::npos) spec->flags += *p;
    ++p;
  }
  auto number = [&](long *out) {
    if (*p == '*') {
      spec->bad = true;
      ++p;
      return;
    }
    long v = 0;
    while (*p >= '0' && *p <= '9') {
      if (v <= kMaxWidth) v = v * 10 + (*p - '0');
      ++p;
    }
    if (v > kMaxWidth) spec->bad = true;
    *out = v;
  };
  if (*p == '*' || (*p >= '1' && *p <= '9')) number(&spec->width);
  if (*p == '.') {
    ++p;
    spec->precision = 0;
    number(&spec->precision);
  }
  while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) spec->length += *p++;
  if (*p == '\0') {
    spec->bad = true;
    return p;
  }
  spec->conversion = *p++;
  return p;
}

std::string Head(const Spec &spec, const char *allowedFlags) {
  std::string head = "%";
  for (char f : spec.flags)
    if (std::strchr(allowedFlags, f) != nullptr) head += f;
  if (spec.width >= 0) head += std::to_string(spec.width);
  // Piece by piece: GCC 12 at -O3 takes "." + std::string for an
  // overlapping copy (-Wrestrict).
  if (spec.precision >= 0) {
    head += '.';
    head += std::to_string(spec.precision);
  }
  return head;
}

void AppendInteger(const Spec &spec, uint64_t bits, std::string *out) {
  const std::string &len = spec.length;
  bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
  char buf[kMaxWidth + 64];
  std::string head = Head(spec, "-+ #0");
  if (isSigned) {
    long long v;
    if (len == "hh") {
      v = static_cast<signed char>(bits);
    } else if (len == "h") {
      v = static_cast<short>(bits);
    } else if (len.empty()) {
      v = static_cast<int>(bits);
    } else {
      v = static_cast<long long>(bits);
    }
    snprintf(buf, sizeof buf, (head + "lld").c_str(), v);
  } else {
    unsigned long long v;
    if (len == "hh") {
      v = static_cast<unsigned char>(bits);
    } else if (len == "h") {
      v = static_cast<unsigned short>(bits);
    } else if (len.empty()) {
      v = static_cast<unsigned>(bits);
    } else {
      v = bits;
    }
    snprintf(buf, sizeof buf, (head + "ll" + spec.conversion).c_str(), v);
  }
  *out += buf;
}

}  // namespace

std::string FormatMessage(const char *format, const Value *values, size_t count) {
  std::string out;
  size_t next = 0;
  if (format == nullptr) return out;
  const char *p = format;
  while (*p != '\0') {
    if (*p != '%') {
      const char *stop = std::strchr(p, '%');
      size_t n = stop != nullptr ? static_cast<size_t>(stop - p) : std::strlen(p);
      out.append(p, n);
      p += n;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      p += 2;
      continue;
    }
    Spec spec;
    p = ParseSpec(p + 1, &spec);
    char c = spec.conversion;
    bool integerConv = c != 0 && std::strchr("diouxXcp", c) != nullptr;
    if (spec.bad || (!integerConv && c != 's')) {
      out += kUnsupported;
      continue;
    }
    if (next >= count) {
      out += kMissing;
      continue;
    }
    const Value &v = values[next++];
    if (c == 's') {
      if (v.type != MSGFMT_STRING) {
        out += kBadType;
        continue;
      }
      const char *text = v.str != nullptr ? v.str : "(null)";
      size_t textLen = std::strlen(text);
      long shown = spec.precision >= 0 && static_cast<size_t>(spec.precision) < textLen
                       ? spec.precision
                       : static_cast<long>(textLen);
      if (spec.width > shown) {
        long pad = spec.width - shown;
        bool left = spec.flags.find('-') != std::string::npos;
        if (!left) out.append(static_cast<size_t>(pad), ' ');
        out.append(text, static_cast<size_t>(shown));
        if (left) out.append(static_cast<size_t>(pad), ' ');
      } else {
        out.append(text, static_cast<size_t>(shown));
      }
      continue;
    }
    if (!IsInteger(v.type)) {
      out += kBadType;
      continue;
    }
    if (c == 'c') {
      char ch = static_cast<char>(v.bits);
      if (ch != '\0') out += ch;
    } else if (c == 'p') {
      char buf[32];
      snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v.bits));
      out += buf;
    } else {
      AppendInteger(spec, v.bits, &out);
    }
  }
  return out;
}

}  // namespace simhost
