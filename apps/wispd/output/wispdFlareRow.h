// Observations that map one to one onto a flare, written as table rows and
// served by one generic handler. Each row is checked while it compiles: its
// argument types and order against the message's conversions, its kind
// against the event id.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>

#include "output/wispdFlare.h"
#include "pellibs/wisp.h"

enum { FLARE_ROW_MAX_ARGS = 16 };

// Values a row read, by observation argument index.
struct RowValues {
  const char *str[FLARE_ROW_MAX_ARGS];
  uint64_t bits[FLARE_ROW_MAX_ARGS];
  size_t count;
  // What the row's lookup returned; shown where the order says 'L'.
  std::string lookup;
};

struct FlareRow;
typedef void (*RowPoster)(const FlareRow &row, const RowValues &values);
// Fills the 'L' argument from what the row read, e.g. a datastore list.
typedef std::string (*RowLookup)(const RowValues &values);

enum : unsigned {
  // Read the id first (null: "FAIL: Received NULL wispID\n") and test it
  // with Wisp_IsID before posting.
  ROW_CHECK_ID = 1u << 0,
  // Queue the flare for retry without a first attempt.
  ROW_DEFERRED = 1u << 1,
  // A failed read still posts (after the fail log), a null string or 0 in
  // place of each value not read.
  ROW_POST_ON_FAIL = 1u << 2,
};

struct FlareRow {
  const char *wispId;
  // Argument formats read from index 0 as Wisp_GetArgs takes them: "%p" a
  // string, "%d" "%u" "%hu" "%x" "%lu" ... integers, blank-separated; ""
  // reads none.
  const char *read;
  FlareKind kind;
  // The flare: marker, event id, ')' and the message.
  const char *flare;
  // Observation argument index of each message conversion ('0'-'9', 'a'-'f'),
  // 'L' for the lookup's text; e.g. "210".
  const char *order;
  RowPoster post;
  // Logged when a read fails: "%s" the id then "%d" the error, or "%d" alone.
  const char *failLog = nullptr;
  unsigned flags = 0;
  RowLookup lookup = nullptr;

  FlareRow FailLog(const char *text) const {
    FlareRow r = *this;
    r.failLog = text;
    return r;
  }
  FlareRow CheckId() const {
    FlareRow r = *this;
    r.flags |= ROW_CHECK_ID;
    return r;
  }
  FlareRow Deferred() const {
    FlareRow r = *this;
    r.flags |= ROW_DEFERRED;
    return r;
  }
  FlareRow PostOnFail() const {
    FlareRow r = *this;
    r.flags |= ROW_POST_ON_FAIL;
    return r;
  }
  FlareRow Lookup(RowLookup fn) const {
    FlareRow r = *this;
    r.lookup = fn;
    return r;
  }
};

// Reads the row's arguments, runs its lookup and posts its flare; a failed
// read logs the row's line and posts nothing.
void FlareRow_Handle(const FlareRow &row, const Wisp *wisp);
// Reads the row's arguments; 0 or the library's error code.
int FlareRow_Read(const FlareRow &row, const Wisp *wisp, RowValues *values);

namespace rowcheck {

// C types the message's conversions take.
enum ArgType : unsigned { T_STR = 1, T_INT = 2, T_UINT = 3, T_LONG = 4, T_ULONG = 5, T_BAD = 7 };
enum : unsigned { ORDER_LOOKUP = 15 };

enum Problem : int {
  OK = 0,
  NO_MARKER,
  KIND_MISMATCH,
  BAD_CONVERSION,
  ORDER_LENGTH,
  ORDER_RANGE,
  TYPE_MISMATCH,
  TOO_MANY_ARGUMENTS,
};

// Each problem in words, as a faulty row's build failure names it.
#define WISPD_ROWCHECK_NO_MARKER \
  "the flare does not start with the marker " FLARE_MARKER " and an event id closed by ')'"
#define WISPD_ROWCHECK_KIND_MISMATCH                                                       \
  "the event id is not of the row's kind (FLARE_PROBLEM takes tarn.problem., FLARE_AUDIT " \
  "tarn.audit., FLARE_CLEAR tarn.clear.)"
#define WISPD_ROWCHECK_BAD_CONVERSION                                                      \
  "a conversion the read cannot supply or the message cannot show (read: %p %d %u %x %hu " \
  "%lu ...; message: %s %d %u %x %#x %hu %ld %lu %zu ...)"
#define WISPD_ROWCHECK_ORDER_LENGTH \
  "the order does not give one argument index per conversion of the message"
#define WISPD_ROWCHECK_ORDER_RANGE "an order index beyond the arguments the read reads"
#define WISPD_ROWCHECK_TYPE_MISMATCH "a string shown as a number or a number shown as a string"
#define WISPD_ROWCHECK_TOO_MANY_ARGUMENTS "more arguments than a row holds (FLARE_ROW_MAX_ARGS)"

constexpr bool Starts(const char *s, const char *prefix) {
  for (; *prefix != '\0'; ++s, ++prefix)
    if (*s != *prefix) return false;
  return true;
}

// The message, after the event id's ')'; null without one.
constexpr const char *Message(const char *flare) {
  for (; *flare != '\0'; ++flare)
    if (*flare == ')') return flare + 1;
  return nullptr;
}

// Steps over one printf conversion (p at '%', not "%%"); its C type.
constexpr ArgType PrintfConv(const char *&p) {
  ++p;
  while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') ++p;
  while (*p >= '0' && *p <= '9') ++p;
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') ++p;
  }
  int longs = 0;
  bool size = false;
  while (*p == 'h' || *p == 'l' || *p == 'z') {
    if (*p == 'l') ++longs;
    if (*p == 'z') size = true;
    ++p;
  }
  char c = *p;
  if (c != '\0') ++p;
  if (c == 's') return longs == 0 && !size ? T_STR : T_BAD;
  bool isSigned = c == 'd' || c == 'i';
  bool isUnsigned = c == 'u' || c == 'x' || c == 'X' || c == 'o' || c == 'c';
  if (!isSigned && !isUnsigned) return T_BAD;
  if (longs > 1) return T_BAD;
  if (longs == 1 || size) return isSigned ? T_LONG : T_ULONG;
  return isSigned ? T_INT : T_UINT;
}

// Number of conversions of a printf message.
constexpr size_t MessageCount(const char *message) {
  size_t n = 0;
  for (const char *p = message; *p != '\0';) {
    if (*p != '%') {
      ++p;
    } else if (p[1] == '%') {
      p += 2;
    } else {
      PrintfConv(p);
      ++n;
    }
  }
  return n;
}

// Message conversion types, three bits each from the lowest.
constexpr uint64_t MessageTypes(const char *message) {
  uint64_t types = 0;
  unsigned shift = 0;
  for (const char *p = message; *p != '\0';) {
    if (*p != '%') {
      ++p;
    } else if (p[1] == '%') {
      p += 2;
    } else {
      types |= uint64_t{PrintfConv(p)} << shift;
      shift += 3;
    }
  }
  return types;
}

constexpr unsigned TypeAt(uint64_t types, size_t i) {
  return static_cast<unsigned>((types >> (3 * i)) & 7);
}

// The read conversions: 'p' a string, 'i' an integer, '?' one Wisp_GetArgs
// does not take. Returns the count; fills kinds when given.
constexpr size_t ReadKinds(const char *read, char *kinds) {
  size_t n = 0;
  for (const char *p = read; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    while (*p >= '0' && *p <= '9') ++p;
    while (*p == 'h' || *p == 'l') ++p;
    char k = *p == 'p'                                                         ? 'p'
             : (*p == 'd' || *p == 'i' || *p == 'u' || *p == 'x' || *p == 'X') ? 'i'
                                                                               : '?';
    if (kinds != nullptr && n < FLARE_ROW_MAX_ARGS) kinds[n] = k;
    ++n;
    if (*p == '\0') break;
  }
  return n;
}

constexpr unsigned OrderAt(const char *order, size_t i) {
  char c = order[i];
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return c == 'L' ? static_cast<unsigned>(ORDER_LOOKUP) : 16u;
}

constexpr size_t Length(const char *s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

// Order indexes, four bits each from the lowest.
constexpr uint64_t OrderCode(const char *order) {
  uint64_t code = 0;
  for (size_t i = 0; order[i] != '\0' && i < 16; ++i)
    code |= uint64_t{OrderAt(order, i) & 15} << (4 * i);
  return code;
}

constexpr Problem Check(const char *read, FlareKind kind, const char *flare, const char *order) {
  if (!Starts(flare, FLARE_MARKER)) return NO_MARKER;
  const char *id = flare + Length(FLARE_MARKER);
  const char *prefix = kind == FLARE_PROBLEM ? "tarn.problem."
                       : kind == FLARE_AUDIT ? "tarn.audit."
                       : kind == FLARE_CLEAR ? "tarn.clear."
                                             : nullptr;
  if (prefix == nullptr || !Starts(id, prefix)) return KIND_MISMATCH;
  const char *message = Message(id);
  if (message == nullptr) return NO_MARKER;
  size_t shown = MessageCount(message);
  if (shown > FLARE_ROW_MAX_ARGS) return TOO_MANY_ARGUMENTS;
  if (Length(order) != shown) return ORDER_LENGTH;
  char kinds[FLARE_ROW_MAX_ARGS] = {};
  size_t count = ReadKinds(read, kinds);
  if (count > FLARE_ROW_MAX_ARGS) return TOO_MANY_ARGUMENTS;
  for (size_t i = 0; i < count; ++i)
    if (kinds[i] == '?') return BAD_CONVERSION;
  uint64_t types = MessageTypes(message);
  for (size_t i = 0; i < shown; ++i) {
    unsigned t = TypeAt(types, i);
    if (t == T_BAD) return BAD_CONVERSION;
    unsigned at = OrderAt(order, i);
    if (at == ORDER_LOOKUP) {
      if (t != T_STR) return TYPE_MISMATCH;
      continue;
    }
    if (at >= count) return ORDER_RANGE;
    if ((t == T_STR) != (kinds[at] == 'p')) return TYPE_MISMATCH;
  }
  return OK;
}

template <unsigned T>
struct CType;
template <>
struct CType<T_STR> {
  typedef const char *type;
};
template <>
struct CType<T_INT> {
  typedef int type;
};
template <>
struct CType<T_UINT> {
  typedef unsigned type;
};
template <>
struct CType<T_LONG> {
  typedef long type;
};
template <>
struct CType<T_ULONG> {
  typedef unsigned long type;
};

template <unsigned T>
typename CType<T>::type Value(const RowValues &v, unsigned at) {
  if constexpr (T == T_STR) {
    return at == ORDER_LOOKUP ? v.lookup.c_str() : v.str[at];
  } else {
    return static_cast<typename CType<T>::type>(v.bits[at]);
  }
}

// Posts without a format attribute: rows are checked above instead.
void PostRowFlare(bool deferSend, FlareKind kind, const char *flare, ...);

template <uint64_t Types, uint64_t Order, size_t... I>
void Post(const FlareRow &row, const RowValues &v, std::index_sequence<I...>) {
  PostRowFlare((row.flags & ROW_DEFERRED) != 0, row.kind, row.flare,
               Value<TypeAt(Types, I)>(v, static_cast<unsigned>((Order >> (4 * I)) & 15))...);
}

// A faulty row is never posted: its failure is the build's one message.
template <Problem P, uint64_t Types, uint64_t Order, size_t Count>
void PostChecked(const FlareRow &row, const RowValues &v) {
  if constexpr (P == OK) Post<Types, Order>(row, v, std::make_index_sequence<Count>{});
}

}  // namespace rowcheck

// One faulty-row check: fails the build naming the row and the problem.
#define WISPD_ROWCHECK(problem, wispId)        \
  static_assert(problem_ != rowcheck::problem, \
                "faulty flare row " wispId ": " WISPD_ROWCHECK_##problem)

// One table row. A row whose types, order or kind disagree with its flare
// text fails the build, naming the row and what is wrong with it.
#define WISPD_ROW(wispId, read, kind, flare, order)                                              \
  FlareRow {                                                                                     \
    wispId, read, kind, flare, order, +[](const FlareRow &row_, const RowValues &values_) {      \
      constexpr rowcheck::Problem problem_ = rowcheck::Check(read, kind, flare, order);          \
      WISPD_ROWCHECK(NO_MARKER, wispId);                                                         \
      WISPD_ROWCHECK(KIND_MISMATCH, wispId);                                                     \
      WISPD_ROWCHECK(BAD_CONVERSION, wispId);                                                    \
      WISPD_ROWCHECK(ORDER_LENGTH, wispId);                                                      \
      WISPD_ROWCHECK(ORDER_RANGE, wispId);                                                       \
      WISPD_ROWCHECK(TYPE_MISMATCH, wispId);                                                     \
      WISPD_ROWCHECK(TOO_MANY_ARGUMENTS, wispId);                                                \
      constexpr const char *message_ = problem_ == rowcheck::OK ? rowcheck::Message(flare) : ""; \
      rowcheck::PostChecked<problem_, rowcheck::MessageTypes(message_),                          \
                            rowcheck::OrderCode(order), rowcheck::MessageCount(message_)>(       \
          row_, values_);                                                                        \
    }                                                                                            \
  }
