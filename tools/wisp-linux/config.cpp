#include "config.h"

#include <set>

namespace wisplinux {

namespace {

using nlohmann::json;

bool Texts(const json &j, const std::string &where, std::vector<std::string> *out,
           std::string *why) {
  if (!j.is_array()) {
    *why = where + ": a list of texts";
    return false;
  }
  out->clear();
  for (const json &item : j) {
    if (!item.is_string() || item.get<std::string>().empty()) {
      *why = where + ": a list of texts";
      return false;
    }
    out->push_back(item.get<std::string>());
  }
  return true;
}

bool Number(const json &j, const std::string &where, long lo, long hi, long *out,
            std::string *why) {
  if (!j.is_number_integer() || j.get<long>() < lo || j.get<long>() > hi) {
    *why = where + ": a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    return false;
  }
  *out = j.get<long>();
  return true;
}

// The clock's members: whole numbers within their ranges.
bool ParseClock(const json &j, ClockConfig *clock, std::string *why) {
  struct Member {
    const char *key;
    long lo, hi;
    void (*set)(ClockConfig *, long);
  };
  static const Member kMembers[] = {
      {"step_threshold_s", 0, 86400,
       [](ClockConfig *c, long v) { c->stepThresholdS = static_cast<int>(v); }},
      {"sync_poll_s", 0, 86400, [](ClockConfig *c, long v) { c->syncPollS = static_cast<int>(v); }},
      {"max_error_ms", 0, 86400000, [](ClockConfig *c, long v) { c->maxErrorMs = v; }},
  };
  if (!j.is_object()) {
    *why = "clock: an object";
    return false;
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string where = "clock." + it.key();
    const Member *member = nullptr;
    for (const Member &m : kMembers)
      if (it.key() == m.key) member = &m;
    long v = 0;
    if (!member) {
      *why = where + ": unknown key";
      return false;
    }
    if (!Number(*it, where, member->lo, member->hi, &v, why)) return false;
    member->set(clock, v);
  }
  return true;
}

bool ParseContexts(const json &j, Contexts *contexts, std::string *why) {
  if (!j.is_object()) {
    *why = "contexts: an object";
    return false;
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    long v = 0;
    int f = -1;
    for (int i = 0; i < kFamilies; ++i)
      if (it.key() == FamilyName(static_cast<Family>(i))) f = i;
    if (f < 0) {
      *why = "contexts." + it.key() + ": unknown family (net, clock, storage, hardware)";
      return false;
    }
    if (!Number(*it, "contexts." + it.key(), 0, 23, &v, why)) return false;
    contexts->of[f] = static_cast<int>(v);
  }
  return true;
}

bool ParseStorage(const json &j, StorageConfig *storage, std::string *why) {
  if (!j.is_object()) {
    *why = "storage: an object";
    return false;
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    long v = 0;
    const std::string where = "storage." + it.key();
    if (it.key() == "io_error_lines") {
      if (!Number(*it, where, 1, 1000000, &v, why)) return false;
      storage->ioErrorLines = static_cast<int>(v);
    } else if (it.key() == "io_error_window_s") {
      if (!Number(*it, where, 1, 86400, &v, why)) return false;
      storage->ioErrorWindowS = static_cast<int>(v);
    } else {
      *why = where + ": unknown key";
      return false;
    }
  }
  return true;
}

bool ParseOptions(const json &j, json *out, std::string *why) {
  if (!j.is_object()) {
    *why = "advanced_options: an object of groups";
    return false;
  }
  for (auto group = j.begin(); group != j.end(); ++group) {
    if (!group->is_object()) {
      *why = "advanced_options." + group.key() + ": an object of options";
      return false;
    }
    for (auto opt = group->begin(); opt != group->end(); ++opt)
      if (!opt->is_number_integer()) {
        *why = "advanced_options." + group.key() + "." + opt.key() + ": a whole number";
        return false;
      }
  }
  *out = j;
  return true;
}

}  // namespace

bool ParseConfig(const std::string &text, Config *config, std::string *why) {
  json j = json::parse(text, nullptr, false);
  if (!j.is_object()) {
    *why = "not a JSON object";
    return false;
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &key = it.key();
    if (key == "port_groups") {
      if (!it->is_object()) {
        *why = "port_groups: an object of port group -> bridge or bond";
        return false;
      }
      config->links.portGroups.clear();
      for (auto pg = it->begin(); pg != it->end(); ++pg) {
        if (!pg->is_string() || pg->get<std::string>().empty() || pg.key().empty()) {
          *why = "port_groups." + pg.key() + ": the name of a bridge or bond";
          return false;
        }
        config->links.portGroups[pg.key()] = pg->get<std::string>();
      }
    } else if (key == "nic_kinds") {
      if (!Texts(*it, key, &config->links.nicKinds, why)) return false;
    } else if (key == "ignore") {
      if (!Texts(*it, key, &config->links.ignore, why)) return false;
    } else if (key == "advanced_options") {
      if (!ParseOptions(*it, &config->advancedOptions, why)) return false;
    } else if (key == "system_uuid") {
      if (!it->is_string() || it->get<std::string>().size() != 36) {
        *why = "system_uuid: a UUID in its 36-character form";
        return false;
      }
      config->systemUuid = it->get<std::string>();
    } else if (key == "clock") {
      if (!ParseClock(*it, &config->clock, why)) return false;
    } else if (key == "contexts") {
      if (!ParseContexts(*it, &config->contexts, why)) return false;
    } else if (key == "storage") {
      if (!ParseStorage(*it, &config->storage, why)) return false;
    } else {
      *why = key + ": unknown key";
      return false;
    }
  }
  std::set<int> used(config->contexts.of, config->contexts.of + kFamilies);
  if (used.size() != kFamilies) {
    *why = "contexts: each family needs a context of its own";
    return false;
  }
  return true;
}

}  // namespace wisplinux
