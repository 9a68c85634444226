#include "event.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace wisplinux {

namespace {

using nlohmann::json;

constexpr int kCaptureVersion = 1;

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unhex(const std::string &hex, std::string *out) {
  if (hex.size() % 2 != 0) return false;
  out->clear();
  out->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

// A whole number member within [lo, hi].
bool Whole(const json &j, const char *key, int64_t lo, int64_t hi, int64_t *out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_integer()) return false;
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
    return false;
  int64_t v = it->get<int64_t>();
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

std::string CaptureHeader(const std::string &systemUuid) {
  return json{{"capture", "wisp-linux"}, {"version", kCaptureVersion}, {"uuid", systemUuid}}.dump();
}

bool ReadCaptureHeader(const std::string &line, std::string *systemUuid, std::string *why) {
  json j = json::parse(line, nullptr, false);
  if (!j.is_object() || j.value("capture", json()) != "wisp-linux") {
    *why = "not a capture of the Linux source (its first line names none)";
    return false;
  }
  if (j.value("version", json()) != kCaptureVersion) {
    *why = "a capture of another version";
    return false;
  }
  auto uuid = j.find("uuid");
  *systemUuid = uuid != j.end() && uuid->is_string() ? uuid->get<std::string>() : "";
  return true;
}

std::string EventToLine(const Event &e) {
  json j = {{"at_us", e.atUs}};
  switch (e.kind) {
    case Event::Kind::kLinks:
      j["links"] = Hex(e.bytes);
      break;
    case Event::Kind::kOverrun:
      j["overrun"] = true;
      break;
    case Event::Kind::kStep:
      j["step"] = {{"delta_ns", e.deltaNs}, {"to_sec", e.toSec}, {"to_nsec", e.toNsec}};
      break;
    case Event::Kind::kSync:
      j["sync"] = {
          {"state", e.sync.state}, {"status", e.sync.status}, {"maxerror_us", e.sync.maxErrorUs}};
      break;
    case Event::Kind::kUevent: {
      // Its NUL-ended strings, one item each, to be read by a person.
      json items = json::array();
      size_t start = 0;
      while (start < e.bytes.size()) {
        size_t nul = e.bytes.find('\0', start);
        if (nul == std::string::npos) nul = e.bytes.size();
        items.push_back(e.bytes.substr(start, nul - start));
        start = nul + 1;
      }
      j["uevent"] = items;
      break;
    }
    case Event::Kind::kKmsg:
      j["kmsg"] = e.bytes;
      if (e.ios != 0) j["ios"] = e.ios;
      break;
    case Event::Kind::kTrace:
      j["trace"] = e.bytes;
      break;
    case Event::Kind::kStorage:
      j["storage"] = json::parse(e.bytes, nullptr, false);
      break;
  }
  // The kernel escapes what it logs, but a byte that is no UTF-8 must not
  // stop the capture.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool EventFromLine(const std::string &line, Event *e, std::string *why) {
  json j = json::parse(line, nullptr, false);
  int64_t at = 0;
  if (!j.is_object() || !Whole(j, "at_us", 0, INT64_MAX, &at)) {
    *why = "not an event (an object with \"at_us\")";
    return false;
  }
  *e = Event();
  e->atUs = static_cast<uint64_t>(at);
  if (j.contains("links")) {
    e->kind = Event::Kind::kLinks;
    if (!j["links"].is_string() || !Unhex(j["links"].get<std::string>(), &e->bytes)) {
      *why = "\"links\" takes hex digits";
      return false;
    }
    return true;
  }
  if (j.contains("overrun")) {
    e->kind = Event::Kind::kOverrun;
    return true;
  }
  if (j.contains("step") && j["step"].is_object()) {
    const json &s = j["step"];
    e->kind = Event::Kind::kStep;
    if (!Whole(s, "delta_ns", INT64_MIN, INT64_MAX, &e->deltaNs) ||
        !Whole(s, "to_sec", INT32_MIN, INT32_MAX, &e->toSec) ||
        !Whole(s, "to_nsec", 0, 999999999, &e->toNsec)) {
      *why = "\"step\" takes delta_ns, to_sec and to_nsec";
      return false;
    }
    return true;
  }
  if (j.contains("sync") && j["sync"].is_object()) {
    const json &s = j["sync"];
    e->kind = Event::Kind::kSync;
    int64_t state = 0, status = 0, maxerror = 0;
    if (!Whole(s, "state", INT32_MIN, INT32_MAX, &state) ||
        !Whole(s, "status", INT32_MIN, INT32_MAX, &status) ||
        !Whole(s, "maxerror_us", 0, INT64_MAX, &maxerror)) {
      *why = "\"sync\" takes state, status and maxerror_us";
      return false;
    }
    e->sync = {static_cast<int>(state), static_cast<int>(status), static_cast<long>(maxerror)};
    return true;
  }
  if (j.contains("uevent") && j["uevent"].is_array()) {
    e->kind = Event::Kind::kUevent;
    for (const json &item : j["uevent"]) {
      if (!item.is_string()) {
        *why = "\"uevent\" takes a list of texts";
        return false;
      }
      e->bytes += item.get<std::string>();
      e->bytes += '\0';
    }
    return true;
  }
  static const std::pair<const char *, Event::Kind> kTexts[] = {{"kmsg", Event::Kind::kKmsg},
                                                                {"trace", Event::Kind::kTrace}};
  for (const auto &[key, kind] : kTexts) {
    if (!j.contains(key)) continue;
    e->kind = kind;
    int64_t ios = 0;
    if (!j[key].is_string() || (j.contains("ios") && !Whole(j, "ios", 0, INT64_MAX, &ios))) {
      *why = std::string("\"") + key + "\" takes a text";
      return false;
    }
    e->bytes = j[key].get<std::string>();
    e->ios = static_cast<uint64_t>(ios);
    return true;
  }
  if (j.contains("storage") && j["storage"].is_object()) {
    e->kind = Event::Kind::kStorage;
    e->bytes = j["storage"].dump();
    return true;
  }
  *why = "an event is one of links, overrun, step, sync, uevent, kmsg, trace, storage";
  return false;
}

}  // namespace wisplinux
