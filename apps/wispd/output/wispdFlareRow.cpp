#include "output/wispdFlareRow.h"

#include <stdarg.h>
#include <string.h>

#include "base/wispdLog.h"

namespace {

// One read conversion as Wisp_GetArgs takes it, without width: "%hu".
struct ReadConv {
  char text[6];
  char length[3];
  char conversion;
};

// Next conversion of a read format at *p; false at its end.
bool NextConv(const char **p, ReadConv *c) {
  const char *s = strchr(*p, '%');
  if (s == nullptr) return false;
  ++s;
  while (*s >= '0' && *s <= '9') ++s;
  size_t n = 0;
  while ((*s == 'h' || *s == 'l') && n < 2) c->length[n++] = *s++;
  c->length[n] = '\0';
  c->conversion = *s;
  c->text[0] = '%';
  memcpy(c->text + 1, c->length, n);
  c->text[1 + n] = *s;
  c->text[2 + n] = '\0';
  *p = *s != '\0' ? s + 1 : s;
  return true;
}

template <typename T>
int ReadInt(const Wisp *wisp, unsigned index, const char *conv, uint64_t *bits) {
  T value = 0;
  int rc = Wisp_GetArgs(wisp, index, conv, &value);
  *bits = static_cast<uint64_t>(value);
  return rc;
}

int ReadOne(const Wisp *wisp, unsigned index, const ReadConv &c, RowValues *v) {
  if (c.conversion == 'p') return Wisp_GetArgs(wisp, index, "%p", &v->str[index]);
  bool isSigned = c.conversion == 'd' || c.conversion == 'i';
  uint64_t *bits = &v->bits[index];
  if (strcmp(c.length, "hh") == 0)
    return isSigned ? ReadInt<signed char>(wisp, index, c.text, bits)
                    : ReadInt<unsigned char>(wisp, index, c.text, bits);
  if (strcmp(c.length, "h") == 0)
    return isSigned ? ReadInt<short>(wisp, index, c.text, bits)
                    : ReadInt<unsigned short>(wisp, index, c.text, bits);
  if (c.length[0] == '\0')
    return isSigned ? ReadInt<int>(wisp, index, c.text, bits)
                    : ReadInt<unsigned>(wisp, index, c.text, bits);
  if (strcmp(c.length, "l") == 0)
    return isSigned ? ReadInt<long>(wisp, index, c.text, bits)
                    : ReadInt<unsigned long>(wisp, index, c.text, bits);
  return isSigned ? ReadInt<long long>(wisp, index, c.text, bits)
                  : ReadInt<unsigned long long>(wisp, index, c.text, bits);
}

}  // namespace

int FlareRow_Read(const FlareRow &row, const Wisp *wisp, RowValues *values) {
  values->count = 0;
  ReadConv c = {};
  for (const char *p = row.read; NextConv(&p, &c);) {
    if (values->count == FLARE_ROW_MAX_ARGS) return EINVAL;
    unsigned index = static_cast<unsigned>(values->count);
    values->str[index] = nullptr;
    values->bits[index] = 0;
    int rc = ReadOne(wisp, index, c, values);
    if (rc != 0) return rc;
    ++values->count;
  }
  return 0;
}

void FlareRow_Handle(const FlareRow &row, const Wisp *wisp) {
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
  if ((row.flags & ROW_CHECK_ID) != 0 && id == nullptr) {
    Log("FAIL: Received NULL wispID\n");
    return;
  }
  RowValues values{};  // values not read show as null or 0
  int rc = FlareRow_Read(row, wisp, &values);
  if (rc != 0) {
    // Table texts, checked by the row test: "%s" the id, then "%d".
    if (row.failLog != nullptr && strstr(row.failLog, "%s") != nullptr) {
      Log(row.failLog, id != nullptr ? id : "(null)", rc);
    } else if (row.failLog != nullptr) {
      Log(row.failLog, rc);
    }
    // What failed to read, and all after it, stays null or 0.
    if ((row.flags & ROW_POST_ON_FAIL) == 0) return;
  }
  if ((row.flags & ROW_CHECK_ID) != 0 && !Wisp_IsID(id, row.wispId)) return;
  if (row.lookup != nullptr) values.lookup = row.lookup(values);
  row.post(row, values);
}

namespace rowcheck {

void PostRowFlare(bool deferSend, FlareKind kind, const char *flare, ...) {
  va_list ap;
  va_start(ap, flare);
  Flare_PostV(deferSend, kind, flare, ap);
  va_end(ap);
}

}  // namespace rowcheck
