#include "arg_names.h"

#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

#include "arg_overrides.h"
#include "catalogue.h"

namespace wispalert {

namespace {

// The words before a conversion that name an object, and the label they
// give. Two-word phrases are tried first. Plurals appear only where the
// messages use them for names ("Affected datastores: %s"), never for counts
// ("Number of PCPUs: %d").
struct Word {
  const char *words;
  const char *label;
};
const Word kPhrases[] = {
    {"virtual switch", "switch"}, {"port groups", "port_group"},      {"port group", "port_group"},
    {"physical nic", "nic"},      {"virtual port", "dvport"},         {"hardware address", "mac"},
    {"virtual machine", "vm"},    {"file system", "file_system"},     {"disk group", "disk_group"},
    {"host wwpn", "host_wwpn"},   {"target wwpn", "target_wwpn"},     {"page number", "page"},
    {"ioapic num", "ioapic"},     {"ht partner", "ht_partner"},       {"io filter", "io_filter"},
    {"rule set", "rule_set"},     {"image profile", "image_profile"},
};
const Word kWords[] = {
    {"device", "device"},
    {"identifier", "device"},
    {"disk", "disk"},
    {"diskgroup", "disk_group"},
    {"path", "path"},
    {"adapter", "adapter"},
    {"plugin", "plugin"},
    {"nic", "nic"},
    {"uplink", "nic"},
    {"mantlenic", "mantlenic"},
    {"interface", "interface"},
    {"switch", "switch"},
    {"weave", "switch"},
    {"portset", "switch"},
    {"portgroups", "port_group"},
    {"dvports", "dvport"},
    {"port", "port"},
    {"lag", "lag"},
    {"datastore", "datastore"},
    {"datastores", "datastore"},
    {"volume", "volume"},
    {"filesystem", "file_system"},
    {"file", "file"},
    {"ramdisk", "ramdisk"},
    {"vm", "vm"},
    {"vms", "vm"},
    {"pcpu", "cpu"},
    {"cpu", "cpu"},
    {"page", "page"},
    {"handle", "nvdimm_handle"},
    {"idstring", "nvdimm"},
    {"target", "target"},
    {"user", "user"},
    {"host", "remote_host"},
    {"gateway", "gateway"},
    {"module", "module"},
    {"application", "application"},
    {"component", "component"},
};

// The lower-case words of text, punctuation dropped; a parenthesis closed at
// the end ("datastores (if any): ") is left out with its contents.
std::vector<std::string> Words(std::string_view text) {
  size_t end = text.find_last_not_of(" :'\"[(");
  if (end != std::string_view::npos && text[end] == ')') {
    size_t open = text.rfind('(', end);
    if (open != std::string_view::npos) text = text.substr(0, open);
  }
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

std::string LabelFor(std::string_view before) {
  std::vector<std::string> w = Words(before);
  if (w.size() >= 2) {
    std::string last2 = w[w.size() - 2] + " " + w.back();
    for (const Word &p : kPhrases)
      if (last2 == p.words) return p.label;
  }
  if (!w.empty())
    for (const Word &p : kWords)
      if (w.back() == p.words) return p.label;
  return "";
}

bool NumberedObject(const std::string &label) {
  for (const char *n : {"cpu", "page", "ioapic", "ht_partner", "nvdimm_handle"})
    if (label == n) return true;
  return false;
}

}  // namespace

std::vector<ArgName> NameArgs(std::string_view message) {
  std::vector<ArgName> names;
  size_t from = 0;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '%') continue;
    if (i + 1 < message.size() && message[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t start = i;
    bool alternate = false;
    for (++i; i < message.size() && std::strchr("#0- +'123456789.*hlLqjzt", message[i]); ++i)
      alternate = alternate || message[i] == '#';
    char conversion = i < message.size() ? message[i] : '?';
    std::string label = LabelFor(message.substr(from, start - from));
    // A number names an object only where it is a number ("PCPU %d"); else
    // it is a count, a code or a size ("Host %#x" in a SCSI sense report).
    if (conversion != 's' && !NumberedObject(label)) label.clear();
    names.push_back({label, conversion, alternate});
    from = i + 1;
  }
  // Distinct labels: a later argument with a taken name gets none.
  for (size_t a = 0; a < names.size(); ++a)
    for (size_t b = 0; b < a; ++b)
      if (!names[a].label.empty() && names[a].label == names[b].label) names[a].label.clear();
  return names;
}

const std::vector<ArgName> &ArgNamesOf(const std::string &eventId) {
  static std::mutex lock;
  static std::map<std::string, std::vector<ArgName>> cache;
  std::lock_guard<std::mutex> hold(lock);
  auto it = cache.find(eventId);
  if (it != cache.end()) return it->second;
  // Only the catalogue's ids are kept, so a journal of made-up ids cannot
  // grow the cache.
  static const std::vector<ArgName> kNone;
  const flarecat::Flare *flare = FindFlare(eventId);
  if (flare == nullptr) return kNone;
  std::vector<ArgName> names = NameArgs(flare->format);
  for (const ArgOverride &o : kArgOverrides) {
    if (eventId != o.id) continue;
    for (unsigned k = 0; k < o.count && k < names.size(); ++k) names[k].label = o.names[k];
  }
  return cache.emplace(eventId, std::move(names)).first->second;
}

}  // namespace wispalert
