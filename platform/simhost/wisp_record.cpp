// Wisp records: checked construction from raw records and typed argument
// access.
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "pellibs/wisp.h"
#include "simhost/packed.h"
#include "simhost/raw_record.h"

using simhost::LoadU32;
using simhost::LoadU64;

struct Wisp {
  uint8_t *raw;
  const char *id;
  std::string format;  // a copy: the record's text need not end in NUL
  uint32_t count;
  std::vector<simhost::Value> values;
};

namespace {

// Checks everything and fills the parts of w that point into raw.
bool Check(const uint8_t *raw, size_t length, Wisp *w, bool keepValues, const char **why) {
  if (raw == nullptr || length < WISP_RAW_HEADER_SIZE) {
    *why = "shorter than the record header";
    return false;
  }
  uint64_t total = LoadU32(raw + simhost::kRawLength);
  uint64_t count = LoadU32(raw + simhost::kRawArgCount);
  uint64_t idLen = LoadU32(raw + simhost::kRawIdLength);
  uint64_t fmtLen = LoadU32(raw + simhost::kRawFormatLength);
  if (total != length) {
    *why = "length field differs from the record size";
    return false;
  }
  if (idLen == 0 || simhost::kRawId + idLen + fmtLen > total) {
    *why = "id and format run past the record";
    return false;
  }
  const char *id = reinterpret_cast<const char *>(raw + simhost::kRawId);
  if (std::memchr(id, '\0', idLen) == nullptr) {
    *why = "id not NUL-terminated";
    return false;
  }
  // The format length counts the text; a NUL inside it ends the text early.
  const char *fmt = id + idLen;
  const void *nul = std::memchr(fmt, '\0', fmtLen);
  size_t fmtText =
      nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - fmt) : fmtLen;
  const uint8_t *args = raw + simhost::kRawId + idLen + fmtLen;
  if (!simhost::ResolveSwizzled(args, count, raw + total, keepValues ? &w->values : nullptr, why)) {
    return false;
  }
  w->id = id;
  if (keepValues) w->format.assign(fmt, fmtText);
  w->count = static_cast<uint32_t>(count);
  return true;
}

const simhost::Value *Arg(const Wisp *w, unsigned index) {
  return w != nullptr && index < w->values.size() ? &w->values[index] : nullptr;
}

bool IsInteger(uint32_t type) {
  return type != MSGFMT_STRING;
}

// One scanf-like conversion of Wisp_GetArgs.
struct ScanConv {
  char conversion;  // 'p' or an integer letter
  char length[3];   // "", "h", "hh", "l" or "ll"
};

// The next conversion at *p: 1 when one was read, 0 at the end, EINVAL
// when the format is not one Wisp_GetArgs takes. Nothing is allocated:
// this runs for every argument a handler reads.
int NextScan(const char **p, ScanConv *c) {
  for (const char *s = *p; *s != '\0'; ++s) {
    if (*s != '%') continue;  // literal text and blanks are not matched
    ++s;
    if (*s == '%') continue;
    while (*s >= '0' && *s <= '9') ++s;
    size_t n = 0;
    while (*s == 'h' || *s == 'l') {
      if (n == 2 || (n == 1 && *s != c->length[0])) return EINVAL;
      c->length[n++] = *s++;
    }
    c->length[n] = '\0';
    if (*s == '\0' || std::strchr("pdiuxX", *s) == nullptr) return EINVAL;
    if (*s == 'p' && n != 0) return EINVAL;
    c->conversion = *s;
    *p = s + 1;
    return 1;
  }
  return 0;
}

void Store(const ScanConv &c, uint64_t bits, void *out) {
  bool isSigned = c.conversion == 'd' || c.conversion == 'i';
  const std::string_view length = c.length;
  if (length == "hh") {
    if (isSigned) {
      *static_cast<signed char *>(out) = static_cast<signed char>(bits);
    } else {
      *static_cast<unsigned char *>(out) = static_cast<unsigned char>(bits);
    }
  } else if (length == "h") {
    if (isSigned) {
      *static_cast<short *>(out) = static_cast<short>(bits);
    } else {
      *static_cast<unsigned short *>(out) = static_cast<unsigned short>(bits);
    }
  } else if (length.empty()) {
    if (isSigned) {
      *static_cast<int *>(out) = static_cast<int>(bits);
    } else {
      *static_cast<unsigned *>(out) = static_cast<unsigned>(bits);
    }
  } else if (length == "l") {
    if (isSigned) {
      *static_cast<long *>(out) = static_cast<long>(bits);
    } else {
      *static_cast<unsigned long *>(out) = static_cast<unsigned long>(bits);
    }
  } else if (isSigned) {
    *static_cast<long long *>(out) = static_cast<long long>(bits);
  } else {
    *static_cast<unsigned long long *>(out) = bits;
  }
}

}  // namespace

extern "C" int Wisp_CheckRaw(const void *raw, size_t length, const char **why) {
  Wisp w{};
  const char *reason = nullptr;
  bool ok = Check(static_cast<const uint8_t *>(raw), length, &w, false, &reason);
  if (why != nullptr) *why = reason;
  return ok ? 0 : EINVAL;
}

extern "C" void Wisp_MakeWisp(void *raw, size_t length, Wisp **wisp) {
  *wisp = nullptr;
  Wisp *w = new (std::nothrow) Wisp{};
  if (w == nullptr) return;
  const char *why = nullptr;
  if (!Check(static_cast<const uint8_t *>(raw), length, w, true, &why)) {
    delete w;
    return;
  }
  w->raw = static_cast<uint8_t *>(raw);
  *wisp = w;
}

extern "C" void Wisp_Free(Wisp *wisp) {
  if (wisp == nullptr) return;
  std::free(wisp->raw);
  delete wisp;
}

extern "C" int Wisp_GetID(const Wisp *wisp, const char **id) {
  if (wisp == nullptr) return EINVAL;
  *id = wisp->id;
  return 0;
}

extern "C" int Wisp_IsID(const char *a, const char *b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

extern "C" int Wisp_GetMsg(const Wisp *wisp, char **msg, size_t *length) {
  if (wisp == nullptr) return EINVAL;
  std::string text =
      simhost::FormatMessage(wisp->format.c_str(), wisp->values.data(), wisp->values.size());
  char *out = static_cast<char *>(std::malloc(text.size() + 1));
  if (out == nullptr) return ENOMEM;
  std::memcpy(out, text.c_str(), text.size() + 1);
  *msg = out;
  if (length != nullptr) *length = text.size();
  return 0;
}

extern "C" int Wisp_GetTimestamp(const Wisp *wisp, uint64_t *us) {
  if (wisp == nullptr) return EINVAL;
  *us = LoadU64(wisp->raw + simhost::kRawTimestamp);
  return 0;
}

extern "C" unsigned Wisp_GetArgCount(const Wisp *wisp) {
  return wisp != nullptr ? wisp->count : 0;
}

extern "C" int Wisp_GetArgsVA(const Wisp *wisp, unsigned first, const char *format, va_list ap) {
  if (wisp == nullptr || format == nullptr) return EINVAL;
  // The whole format is read, then every conversion checked against its
  // argument, before any output is written.
  ScanConv c = {};
  int rc = 0;
  for (const char *p = format; (rc = NextScan(&p, &c)) == 1;) {
  }
  if (rc != 0) return rc;
  unsigned k = 0;
  for (const char *p = format; NextScan(&p, &c) == 1; ++k) {
    const simhost::Value *v = Arg(wisp, first + k);
    if (v == nullptr) return WISP_MISSING_ARGUMENT;
    bool wantString = c.conversion == 'p';
    if (wantString != (v->type == MSGFMT_STRING)) return EINVAL;
  }
  va_list copy;
  va_copy(copy, ap);
  k = 0;
  for (const char *p = format; NextScan(&p, &c) == 1; ++k) {
    const simhost::Value *v = Arg(wisp, first + k);
    if (c.conversion == 'p') {
      *va_arg(copy, const char **) = v->str;
    } else {
      Store(c, v->bits, va_arg(copy, void *));
    }
  }
  va_end(copy);
  return 0;
}

extern "C" int Wisp_GetArgs(const Wisp *wisp, unsigned first, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int rc = Wisp_GetArgsVA(wisp, first, format, ap);
  va_end(ap);
  return rc;
}

extern "C" int Wisp_GetStringArg(const Wisp *wisp, unsigned index, const char **str) {
  const simhost::Value *v = Arg(wisp, index);
  if (v == nullptr) return WISP_MISSING_ARGUMENT;
  if (v->type != MSGFMT_STRING) return EINVAL;
  *str = v->str;
  return 0;
}

extern "C" int Wisp_GetIntArg(const Wisp *wisp, unsigned index, int64_t *value) {
  const simhost::Value *v = Arg(wisp, index);
  if (v == nullptr) return WISP_MISSING_ARGUMENT;
  if (!IsInteger(v->type)) return EINVAL;
  *value = static_cast<int64_t>(v->bits);
  return 0;
}
