#include "flare_line.h"

namespace wispalert {

namespace {

// Longer than any event id the daemon builds.
constexpr size_t kMaxId = 128;

}  // namespace

LineKind DecodeLine(std::string_view line, Flare *flare, std::string *why) {
  tools::Json j = tools::Json::parse(line.begin(), line.end(), nullptr, false);
  if (j.is_discarded()) {
    *why = "not JSON";
    return LineKind::BAD;
  }
  if (!j.is_object()) {
    *why = "not a JSON object";
    return LineKind::BAD;
  }
  if (j.contains("error") && !j.contains("id")) return LineKind::HUBD_ERROR;
  auto time = j.find("time_us");
  if (time == j.end() || !time->is_number_unsigned()) {
    *why = "no time_us";
    return LineKind::BAD;
  }
  auto id = j.find("id");
  if (id == j.end() || !id->is_string() || id->get_ref<const std::string &>().empty() ||
      id->get_ref<const std::string &>().size() > kMaxId) {
    *why = "no event id";
    return LineKind::BAD;
  }
  auto args = j.find("args");
  if (args == j.end() || !args->is_array()) {
    *why = "no args";
    return LineKind::BAD;
  }
  for (const tools::Json &item : *args) {
    tools::Arg arg;
    if (!tools::ArgFromJson(item, &arg, why)) return LineKind::BAD;
  }
  auto message = j.find("message");
  if (message != j.end() && !message->is_null() && !message->is_string()) {
    *why = "message is neither a text nor null";
    return LineKind::BAD;
  }
  flare->timeUs = time->get<uint64_t>();
  flare->id = id->get<std::string>();
  flare->args = std::move(*args);
  flare->message = message != j.end() && message->is_string() ? message->get<std::string>() : "";
  return LineKind::FLARE;
}

std::string ArgText(const tools::Json &args, size_t i) {
  if (!args.is_array() || i >= args.size() || !args[i].is_object() || args[i].empty()) return "";
  const tools::Json &v = args[i].begin().value();
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_unsigned()) return std::to_string(v.get<uint64_t>());
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  return "";
}

bool SameArg(const tools::Json &a, size_t i, const tools::Json &b, size_t j) {
  if (!a.is_array() || !b.is_array() || i >= a.size() || j >= b.size()) return false;
  if (!a[i].is_object() || a[i].empty() || !b[j].is_object() || b[j].empty()) return false;
  const tools::Json &x = a[i].begin().value();
  const tools::Json &y = b[j].begin().value();
  if (x.is_string() || y.is_string() || x.is_null() || y.is_null()) return x == y;
  if (!x.is_number_integer() || !y.is_number_integer()) return false;
  // i32 -1 and u64 18446744073709551615 are different values.
  bool xNeg = !x.is_number_unsigned() && x.get<int64_t>() < 0;
  bool yNeg = !y.is_number_unsigned() && y.get<int64_t>() < 0;
  if (xNeg || yNeg) return xNeg && yNeg && x.get<int64_t>() == y.get<int64_t>();
  return x.get<uint64_t>() == y.get<uint64_t>();
}

}  // namespace wispalert
