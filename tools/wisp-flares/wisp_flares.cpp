// wisp-flares: prints hubd's JSON lines as one readable line per flare:
// kind, event id, rendered message.
#include <getopt.h>

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "../common/cli.h"

namespace {

const tools::Tool kTool = {
    "wisp-flares", "wisp-flares [FILE...]",
    "Prints hubd's JSON lines from the files (or standard input; \"-\" names it)\n"
    "as one readable line per flare: kind, event id, message.\n"
    "  --help       show this text\n"
    "  --version    show the version\n"};

std::string Kind(const std::string &id) {
  if (id.rfind("tarn.problem.", 0) == 0) return "PROBLEM";
  if (id.rfind("tarn.audit.", 0) == 0) return "AUDIT";
  if (id.rfind("tarn.clear.", 0) == 0) return "CLEAR";
  return "?";
}

// Prints every flare of in; false when a line was not one of hubd's.
bool Print(std::istream &in, const std::string &name) {
  std::string text;
  bool ok = true;
  for (long line = 1; std::getline(in, text); ++line) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      std::cerr << "wisp-flares: " << name << ": line " << line << " is not a JSON object\n";
      ok = false;
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
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-flares");
  static const struct option longopts[] = {TOOLS_COMMON_OPTIONS, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) tools::CommonOption(kTool, c);
  tools::RequireRoot(kTool);
  if (optind == argc) return Print(std::cin, "stdin") ? 0 : 1;
  bool ok = true;
  for (int a = optind; a < argc; ++a) {
    if (std::string(argv[a]) == "-") {
      ok = Print(std::cin, "stdin") && ok;
      continue;
    }
    std::ifstream in;
    std::string why;
    if (!tools::OpenInput(argv[a], &in, &why)) {
      std::cerr << "wisp-flares: " << why << "\n";
      return 1;
    }
    ok = Print(in, argv[a]) && ok;
  }
  return ok ? 0 : 1;
}
