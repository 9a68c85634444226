#include "wispjson.h"

#include <sys/time.h>

#include <cstring>
#include <limits>

#include "fmtcheck.h"
#include "pellibs/msgfmt.h"
#include "simhost/packed.h"

namespace tools {

uint64_t NowMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

bool ArgFromJson(const Json &item, Arg *arg, std::string *error) {
  if (!item.is_object() || item.size() != 1) {
    *error = "an argument is an object with one of i32, i64, u32, u64, s";
    return false;
  }
  const std::string &key = item.begin().key();
  const Json &v = item.begin().value();
  if (key == "s") {
    arg->type = MSGFMT_STRING;
    if (v.is_null()) {
      arg->absent = true;
    } else if (v.is_string()) {
      arg->str = v.get<std::string>();
      if (arg->str.find('\0') != std::string::npos) {
        *error = "a string argument holds a NUL";
        return false;
      }
    } else {
      *error = "\"s\" takes a text or null";
      return false;
    }
    return true;
  }
  struct Kind {
    const char *name;
    uint32_t type;
    long double lo, hi;
  };
  static const Kind kinds[] = {
      {"i32", MSGFMT_INT32, std::numeric_limits<int32_t>::min(),
       std::numeric_limits<int32_t>::max()},
      {"i64", MSGFMT_INT64, static_cast<long double>(std::numeric_limits<int64_t>::min()),
       static_cast<long double>(std::numeric_limits<int64_t>::max())},
      {"u32", MSGFMT_UINT32, 0, std::numeric_limits<uint32_t>::max()},
      {"u64", MSGFMT_UINT64, 0, static_cast<long double>(std::numeric_limits<uint64_t>::max())},
  };
  for (const Kind &k : kinds) {
    if (key != k.name) continue;
    if (!v.is_number_integer()) {
      *error = "\"" + key + "\" takes a whole number";
      return false;
    }
    long double n = v.is_number_unsigned() ? static_cast<long double>(v.get<uint64_t>())
                                           : static_cast<long double>(v.get<int64_t>());
    if (n < k.lo || n > k.hi) {
      *error = "\"" + key + "\" value out of range";
      return false;
    }
    arg->type = k.type;
    arg->bits =
        v.is_number_unsigned() ? v.get<uint64_t>() : static_cast<uint64_t>(v.get<int64_t>());
    return true;
  }
  *error = "unknown argument kind \"" + key + "\"";
  return false;
}

OrderedJson ArgToJson(uint32_t type, uint64_t bits, const char *str) {
  switch (type) {
    case MSGFMT_INT32:
      return {{"i32", static_cast<int32_t>(bits)}};
    case MSGFMT_INT64:
      return {{"i64", static_cast<int64_t>(bits)}};
    case MSGFMT_UINT32:
      return {{"u32", static_cast<uint32_t>(bits)}};
    case MSGFMT_UINT64:
      return {{"u64", bits}};
    default:
      return {{"s", str != nullptr ? OrderedJson(str) : OrderedJson(nullptr)}};
  }
}

std::string PackArgs(const std::vector<Arg> &args) {
  std::string area(args.size() * MSGFMT_ARG_SIZE, '\0');
  for (size_t i = 0; i < args.size(); ++i) {
    uint8_t *d = reinterpret_cast<uint8_t *>(&area[i * MSGFMT_ARG_SIZE]);
    simhost::StoreU32(d + simhost::kDescType, args[i].type);
    if (args[i].type != MSGFMT_STRING) {
      simhost::StoreU64(d + simhost::kDescValue, args[i].bits);
    } else if (!args[i].absent) {
      simhost::StoreU64(d + simhost::kDescValue, area.size());
      simhost::StoreU32(d + simhost::kDescStrLen, static_cast<uint32_t>(args[i].str.size() + 1));
      area += args[i].str;
      area += '\0';
    }
  }
  return area;
}

std::string BuildRawRecord(const std::string &id, const std::string *fmt,
                           const std::vector<Arg> &args, uint64_t timestampUs) {
  std::string area = PackArgs(args);
  uint32_t idLen = static_cast<uint32_t>(id.size() + 1);
  uint32_t fmtLen = fmt != nullptr ? static_cast<uint32_t>(fmt->size() + 1) : 0;
  std::string rec(32, '\0');
  uint8_t *h = reinterpret_cast<uint8_t *>(&rec[0]);
  simhost::StoreU64(h + 8, timestampUs);
  simhost::StoreU32(h + 16, static_cast<uint32_t>(32 + idLen + fmtLen + area.size()));
  simhost::StoreU32(h + 20, static_cast<uint32_t>(args.size()));
  simhost::StoreU32(h + 24, idLen);
  simhost::StoreU32(h + 28, fmtLen);
  rec.append(id.c_str(), idLen);
  if (fmt != nullptr) rec.append(fmt->c_str(), fmtLen);
  rec += area;
  return rec;
}

bool RawRecordFromJson(const Json &obs, uint64_t nowUs, std::string *record, std::string *error) {
  auto id = obs.find("id");
  if (id == obs.end() || !id->is_string()) {
    *error = "an observation needs a text \"id\"";
    return false;
  }
  std::string fmtText;
  const std::string *fmt = nullptr;
  auto f = obs.find("fmt");
  if (f != obs.end()) {
    if (!f->is_string()) {
      *error = "\"fmt\" is a text";
      return false;
    }
    fmtText = f->get<std::string>();
    fmt = &fmtText;
  }
  std::vector<Arg> args;
  auto a = obs.find("args");
  if (a != obs.end()) {
    if (!a->is_array()) {
      *error = "\"args\" is a list";
      return false;
    }
    for (const Json &item : *a) {
      Arg arg;
      if (!ArgFromJson(item, &arg, error)) return false;
      args.push_back(arg);
    }
  }
  if (fmt != nullptr && !ArgsFitFormat(*fmt, args, error)) return false;
  uint64_t ts = nowUs;
  auto t = obs.find("ts");
  if (t != obs.end()) {
    if (!t->is_number_unsigned()) {
      *error = "\"ts\" is a whole number of microseconds";
      return false;
    }
    ts = t->get<uint64_t>();
  }
  *record = BuildRawRecord(id->get<std::string>(), fmt, args, ts);
  return true;
}

bool DecodeFlare(const uint8_t *data, size_t size, OrderedJson *line, std::string *error) {
  constexpr size_t kHeader = 68, kTrailer = 4, kMaxId = 129;
  if (size < kHeader + kTrailer + 1) {
    *error = "shorter than a flare record";
    return false;
  }
  uint64_t total = simhost::LoadU32(data + 56);
  uint64_t count = simhost::LoadU32(data + 60);
  uint64_t idLen = simhost::LoadU32(data + 64);
  if (total != size) {
    *error = "length field " + std::to_string(total) + " differs from the bytes received";
    return false;
  }
  if (idLen == 0 || idLen > kMaxId || kHeader + idLen + kTrailer > total) {
    *error = "event id length out of range";
    return false;
  }
  const char *id = reinterpret_cast<const char *>(data + kHeader);
  if (std::memchr(id, '\0', idLen) == nullptr) {
    *error = "event id not NUL-terminated";
    return false;
  }
  std::vector<simhost::Value> values;
  const char *why = nullptr;
  if (!simhost::ResolveSwizzled(data + kHeader + idLen, count, data + total - kTrailer, &values,
                                &why)) {
    *error = why;
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string uuid;
  for (size_t i = 16; i < 54; ++i) {
    uuid += kHex[data[i] >> 4];
    uuid += kHex[data[i] & 15];
  }
  OrderedJson args = OrderedJson::array();
  for (const simhost::Value &v : values) args.push_back(ArgToJson(v.type, v.bits, v.str));
  const char *fmt = FlareMessageFormat(id);
  OrderedJson out;
  out["time_us"] = simhost::LoadU64(data);
  out["uuid"] = uuid;
  out["id"] = id;
  out["args"] = args;
  out["message"] = fmt != nullptr
                       ? OrderedJson(simhost::FormatMessage(fmt, values.data(), values.size()))
                       : OrderedJson(nullptr);
  *line = std::move(out);
  return true;
}

}  // namespace tools
