// Packing printf arguments into descriptors plus string data, and reading
// packed sets back with bounds checks.
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "pellibs/msgfmt.h"
#include "simhost/packed.h"

namespace simhost {

uint64_t WidenedBits(uint32_t type, uint64_t raw) {
  switch (type) {
    case MSGFMT_INT32:
      return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
    case MSGFMT_UINT32:
      return static_cast<uint32_t>(raw);
    default:
      return raw;
  }
}

bool ResolveSwizzled(const uint8_t *args, uint64_t count, const uint8_t *end,
                     std::vector<Value> *out, const char **why) {
  if (out != nullptr) out->clear();
  if (end < args) {
    *why = "argument area ends before it starts";
    return false;
  }
  uint64_t area = static_cast<uint64_t>(end - args);
  if (count > area / MSGFMT_ARG_SIZE) {
    *why = "argument descriptors run past the record";
    return false;
  }
  if (out != nullptr) out->reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t *d = args + i * MSGFMT_ARG_SIZE;
    Value v;
    v.type = LoadU32(d + kDescType);
    if (!IsKnownType(v.type)) {
      *why = "unknown argument type";
      return false;
    }
    if (v.type != MSGFMT_STRING) {
      v.bits = WidenedBits(v.type, LoadU64(d + kDescValue));
    } else if (MsgFmt_GetSwizzledString(args, static_cast<int>(count), static_cast<int>(i), end,
                                        &v.str) != 0) {
      *why = "string argument outside the record or not terminated";
      return false;
    }
    if (out != nullptr) out->push_back(v);
  }
  return true;
}

}  // namespace simhost

using simhost::LoadU32;
using simhost::LoadU64;
using simhost::StoreU32;
using simhost::StoreU64;

namespace {

struct Conversion {
  uint32_t type;
  char fetch;  // how to take it from the va_list
};

// Fetch kinds: 'i' int, 'l' long, 'L' long long, 'u' unsigned, 'U' unsigned
// long, 'W' unsigned long long, 's' string, 'p' pointer.
bool ParseFormat(const char *format, std::vector<Conversion> *convs, const char **error) {
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      while (*p >= '0' && *p <= '9') ++p;
    }
    std::string len;
    while (*p != '\0' && std::strchr("hlqjzt", *p) != nullptr) len += *p++;
    bool wide = len == "l" || len == "ll" || len == "q" || len == "j" || len == "z" || len == "t";
    switch (*p) {
      case 'd':
      case 'i':
        convs->push_back(wide ? Conversion{MSGFMT_INT64, len == "l" ? 'l' : 'L'}
                              : Conversion{MSGFMT_INT32, 'i'});
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        convs->push_back(wide ? Conversion{MSGFMT_UINT64, len == "l" ? 'U' : 'W'}
                              : Conversion{MSGFMT_UINT32, 'u'});
        break;
      case 'c':
        convs->push_back({MSGFMT_INT32, 'i'});
        break;
      case 's':
        convs->push_back({MSGFMT_STRING, 's'});
        break;
      case 'p':
        convs->push_back({MSGFMT_UINT64, 'p'});
        break;
      default:
        if (error != nullptr) *error = "conversion the packer does not handle";
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" bool MsgFmt_GetArgsWithBuf(const char *format, va_list ap, void **args, int *count,
                                      const char **error, void *buf, size_t *size) {
  if (error != nullptr) *error = nullptr;
  std::vector<Conversion> convs;
  if (format == nullptr || !ParseFormat(format, &convs, error) ||
      convs.size() > static_cast<size_t>(std::numeric_limits<int>::max() / MSGFMT_ARG_SIZE)) {
    *count = 0;
    return false;
  }
  std::vector<uint64_t> raw(convs.size());
  std::vector<const char *> strs(convs.size(), nullptr);
  size_t need = convs.size() * MSGFMT_ARG_SIZE;
  va_list copy;
  va_copy(copy, ap);
  for (size_t i = 0; i < convs.size(); ++i) {
    switch (convs[i].fetch) {
      case 'i':
        raw[i] = static_cast<uint64_t>(static_cast<int64_t>(va_arg(copy, int)));
        break;
      case 'l':
        raw[i] = static_cast<uint64_t>(static_cast<int64_t>(va_arg(copy, long)));
        break;
      case 'L':
        raw[i] = static_cast<uint64_t>(static_cast<int64_t>(va_arg(copy, long long)));
        break;
      case 'u':
        raw[i] = va_arg(copy, unsigned);
        break;
      case 'U':
        raw[i] = va_arg(copy, unsigned long);
        break;
      case 'W':
        raw[i] = va_arg(copy, unsigned long long);
        break;
      case 'p':
        raw[i] = reinterpret_cast<uintptr_t>(va_arg(copy, void *));
        break;
      case 's':
        strs[i] = va_arg(copy, const char *);
        if (strs[i] != nullptr) need += std::strlen(strs[i]) + 1;
        break;
    }
  }
  va_end(copy);
  *count = static_cast<int>(convs.size());
  *args = buf;
  if (need > *size) {
    *size = need;
    return false;
  }
  uint8_t *base = static_cast<uint8_t *>(buf);
  uint8_t *data = base + convs.size() * MSGFMT_ARG_SIZE;
  std::memset(base, 0, convs.size() * MSGFMT_ARG_SIZE);
  for (size_t i = 0; i < convs.size(); ++i) {
    uint8_t *d = base + i * MSGFMT_ARG_SIZE;
    StoreU32(d + simhost::kDescType, convs[i].type);
    if (convs[i].type != MSGFMT_STRING) {
      StoreU64(d + simhost::kDescValue, raw[i]);
    } else if (strs[i] != nullptr) {
      size_t n = std::strlen(strs[i]) + 1;
      std::memcpy(data, strs[i], n);
      StoreU64(d + simhost::kDescValue, reinterpret_cast<uintptr_t>(data));
      StoreU32(d + simhost::kDescStrLen, static_cast<uint32_t>(n));
      data += n;
    }
  }
  *size = need;
  return true;
}

extern "C" char *MsgFmt_Asprintf(size_t *length, const char *format, const void *args, int count) {
  std::vector<simhost::Value> values;
  const uint8_t *base = static_cast<const uint8_t *>(args);
  for (int i = 0; i < count && base != nullptr; ++i) {
    const uint8_t *d = base + static_cast<size_t>(i) * MSGFMT_ARG_SIZE;
    simhost::Value v;
    v.type = LoadU32(d + simhost::kDescType);
    uint64_t raw = LoadU64(d + simhost::kDescValue);
    if (v.type == MSGFMT_STRING) {
      v.str = LoadU32(d + simhost::kDescStrLen) == 0
                  ? nullptr
                  : reinterpret_cast<const char *>(static_cast<uintptr_t>(raw));
    } else {
      v.bits = simhost::WidenedBits(v.type, raw);
    }
    values.push_back(v);
  }
  std::string text = simhost::FormatMessage(format, values.data(), values.size());
  char *out = static_cast<char *>(std::malloc(text.size() + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text.c_str(), text.size() + 1);
  if (length != nullptr) *length = text.size();
  return out;
}

extern "C" void MsgFmt_SwizzleArgs(void *args, int count) {
  uint8_t *base = static_cast<uint8_t *>(args);
  for (int i = 0; i < count; ++i) {
    uint8_t *d = base + static_cast<size_t>(i) * MSGFMT_ARG_SIZE;
    if (LoadU32(d + simhost::kDescType) != MSGFMT_STRING) continue;
    if (LoadU32(d + simhost::kDescStrLen) == 0) {
      StoreU64(d + simhost::kDescValue, 0);
      continue;
    }
    uintptr_t ptr = static_cast<uintptr_t>(LoadU64(d + simhost::kDescValue));
    StoreU64(d + simhost::kDescValue, ptr - reinterpret_cast<uintptr_t>(base));
  }
}

extern "C" int MsgFmt_GetSwizzledString(const void *args, int count, int index,
                                        const void *recordEnd, const char **str) {
  const uint8_t *base = static_cast<const uint8_t *>(args);
  const uint8_t *end = static_cast<const uint8_t *>(recordEnd);
  if (base == nullptr || end < base || index < 0 || index >= count) return EINVAL;
  uint64_t area = static_cast<uint64_t>(end - base);
  uint64_t descEnd = static_cast<uint64_t>(count) * MSGFMT_ARG_SIZE;
  if (descEnd > area) return EINVAL;
  const uint8_t *d = base + static_cast<size_t>(index) * MSGFMT_ARG_SIZE;
  if (LoadU32(d + simhost::kDescType) != MSGFMT_STRING) return EINVAL;
  uint64_t len = LoadU32(d + simhost::kDescStrLen);
  if (len == 0) {
    *str = nullptr;
    return 0;
  }
  uint64_t off = LoadU64(d + simhost::kDescValue);
  if (off < descEnd || off > area || len > area - off || base[off + len - 1] != '\0') {
    return EINVAL;
  }
  *str = reinterpret_cast<const char *>(base + off);
  return 0;
}
