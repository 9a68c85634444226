// The simulated host's state: the host model file (re-read when it changes),
// what the daemon changed at run time, the actions journal and failures on
// demand. See docs/simhost.md.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace simhost {

using Json = nlohmann::json;

// The current model; an empty object for a missing file. Never null.
std::shared_ptr<const Json> Model();

// Looks up a member path such as {"port_groups", name}; nullptr when any step
// is missing or not an object.
const Json *Find(const Json &doc, std::initializer_list<std::string> path);

// A requested failure of the named call: its value in the model's "fail"
// object (a number, a text or true), or nothing.
std::optional<Json> Failure(const std::string &call);

// Integer advanced options: run-time values set by the daemon win over the
// model's.
std::optional<int64_t> Option(const std::string &group, const std::string &name);
void SetOption(const std::string &group, const std::string &name, int64_t value);

// Appends one JSON line (with "time_us") to the actions journal.
void RecordAction(nlohmann::ordered_json action);

// Why the model's storage members make it a bad model; nullptr when fine.
const char *StorageModelProblem(const Json &doc);

// The first key of doc that the simulated host does not know, with its path:
// "port_groups.pg1.swtich: unknown key"; "" when it knows them all. A model
// with one is a bad model (a misspelt member would silently find nothing).
std::string UnknownModelKey(const Json &doc);

// The members a model may have, in the notation of docs/simhost.md: a word
// in capitals stands for any key, "[]" for each item of a list.
std::vector<std::string> ModelMembers();

// The calls "fail" may name, in the same notation ("Sysi_Get:NODE" for
// any sysinfo node).
std::vector<std::string> FailureCalls();

// A sysinfo node's name without "Sysi_NODE_"; "" for no node.
const char *SysiNodeName(uint16_t node);

}  // namespace simhost
