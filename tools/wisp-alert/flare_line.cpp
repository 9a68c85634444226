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

std::vector<ArgValue> ArgValues(const tools::Json &args) {
  std::vector<ArgValue> values;
  for (const tools::Json &item : args) {
    ArgValue v;
    const tools::Json &x = item.is_object() && !item.empty() ? item.begin().value() : item;
    if (x.is_string() || x.is_null()) {
      v.isString = true;
      v.absent = x.is_null();
      if (x.is_string()) v.text = x.get<std::string>();
    } else if (x.is_number_unsigned()) {
      v.magnitude = x.get<uint64_t>();
    } else if (x.is_number_integer()) {
      int64_t n = x.get<int64_t>();
      v.negative = n < 0;
      v.magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    }
    values.push_back(std::move(v));
  }
  return values;
}

tools::Json ArgItems(const std::vector<ArgValue> &values) {
  tools::Json items = tools::Json::array();
  for (const ArgValue &v : values) {
    if (v.isString)
      items.push_back({{"s", v.absent ? tools::Json() : tools::Json(v.text)}});
    else if (v.negative)
      items.push_back({{"i64", static_cast<int64_t>(0 - v.magnitude)}});
    else
      items.push_back({{"u64", v.magnitude}});
  }
  return items;
}

bool SameArg(const std::vector<ArgValue> &a, size_t i, const std::vector<ArgValue> &b, size_t j) {
  return i < a.size() && j < b.size() && a[i] == b[j];
}

}  // namespace wispalert
