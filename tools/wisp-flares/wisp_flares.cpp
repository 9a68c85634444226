// wisp-flares: prints hubd's JSON lines as one readable line per flare:
// kind, event id, rendered message.
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

namespace {

std::string Kind(const std::string &id) {
  if (id.rfind("tarn.problem.", 0) == 0) return "PROBLEM";
  if (id.rfind("tarn.audit.", 0) == 0) return "AUDIT";
  if (id.rfind("tarn.clear.", 0) == 0) return "CLEAR";
  return "?";
}

void Print(std::istream &in) {
  std::string text;
  while (std::getline(in, text)) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      std::cout << "unreadable line: " << text << "\n";
    } else if (j.contains("error")) {
      std::cout << "ERROR   " << j["error"].dump() << " (" << j.value("bytes", 0) << " bytes)\n";
    } else {
      std::string id = j.value("id", "");
      const nlohmann::json &m = j["message"];
      std::string kind = Kind(id);
      kind.resize(8, ' ');
      std::cout << kind << id << "  " << (m.is_string() ? m.get<std::string>() : "(no format)")
                << "\n";
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    Print(std::cin);
    return 0;
  }
  for (int a = 1; a < argc; ++a) {
    std::ifstream in(argv[a]);
    if (!in) {
      std::cerr << "wisp-flares: cannot read " << argv[a] << "\n";
      return 1;
    }
    Print(in);
  }
  return 0;
}
