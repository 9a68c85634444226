// Build step: extracts every flare format (a string literal starting with
// the flare marker) from the daemon's sources and writes a C++ table of
// event id -> message format, so that hubd renders messages from the
// daemon's own texts. The table is a header of constant data, so that other
// tables (the alert forwarder's clears) are checked against it while they
// compile; it also gives each id's argument count and the correlator that
// posts it.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kMarker = "@&!*@*@(";

// Decodes the C escape at s[i] (after the backslash); advances i.
std::string Unescape(const std::string &s, size_t &i) {
  char c = s[i++];
  switch (c) {
    case 'n':
      return "\n";
    case 't':
      return "\t";
    case 'r':
      return "\r";
    case 'a':
      return "\a";
    case 'b':
      return "\b";
    case 'f':
      return "\f";
    case 'v':
      return "\v";
    case 'x': {
      int v = 0;
      while (i < s.size() && isxdigit(static_cast<unsigned char>(s[i])))
        v = v * 16 + std::stoi(std::string(1, s[i++]), nullptr, 16);
      return std::string(1, static_cast<char>(v));
    }
    default:
      if (c >= '0' && c <= '7') {
        int v = c - '0';
        for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k)
          v = v * 8 + (s[i++] - '0');
        return std::string(1, static_cast<char>(v));
      }
      return std::string(1, c);
  }
}

// Every string literal of a source, adjacent literals joined.
std::vector<std::string> Literals(const std::string &src) {
  std::vector<std::string> out;
  std::string current;
  bool open = false;  // a literal that a following one may continue
  size_t i = 0;
  while (i < src.size()) {
    char c = src[i];
    if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
      while (i < src.size() && src[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
      size_t end = src.find("*/", i + 2);
      i = end == std::string::npos ? src.size() : end + 2;
    } else if (c == '\'') {
      ++i;
      while (i < src.size() && src[i] != '\'') i += src[i] == '\\' ? 2 : 1;
      ++i;
      if (open) out.push_back(current), open = false;
    } else if (c == '"') {
      if (!open) current.clear();
      ++i;
      while (i < src.size() && src[i] != '"') {
        if (src[i] == '\\') {
          ++i;
          current += Unescape(src, i);
        } else {
          current += src[i++];
        }
      }
      ++i;
      open = true;
    } else if (isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else {
      if (open) out.push_back(current), open = false;
      ++i;
    }
  }
  if (open) out.push_back(current);
  return out;
}

std::string Escape(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 32 || c >= 127) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\%03o", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Conversions a message takes arguments for ("%%" takes none, a '*' one more).
unsigned ArgCount(const std::string &format) {
  unsigned n = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (i + 1 < format.size() && format[i + 1] == '%') {
      ++i;
      continue;
    }
    ++n;
    for (++i; i < format.size() && strchr("#0- +'123456789.*hlLqjzt", format[i]); ++i)
      if (format[i] == '*') ++n;
  }
  return n;
}

std::string Basename(const std::string &path) {
  return path.substr(path.rfind('/') + 1);
}

std::string Stem(const std::string &path) {
  std::string base = Basename(path);
  return base.substr(0, base.rfind('.'));
}

// The correlator a source belongs to: the name of the definition it holds
// (`.name = "X"`), or, for a helper without one, that of the sources that
// include the helper's header.
struct Source {
  std::string name;
  std::set<std::string> includes;  // basenames of included headers
};

std::set<std::string> CorrelatorsOf(const std::map<std::string, Source> &sources,
                                    const std::string &path, int depth) {
  const Source &src = sources.at(path);
  if (!src.name.empty()) return {src.name};
  std::set<std::string> names;
  if (depth == 0) return names;
  for (const auto &other : sources) {
    if (other.first == path || other.second.includes.count(Stem(path) + ".h") == 0) continue;
    for (const std::string &n : CorrelatorsOf(sources, other.first, depth - 1)) names.insert(n);
  }
  return names;
}

Source ReadSource(const std::string &text) {
  Source src;
  const std::string kName = ".name = \"";
  size_t at = text.find(kName);
  if (at != std::string::npos) {
    size_t end = text.find('"', at + kName.size());
    if (end != std::string::npos)
      src.name = text.substr(at + kName.size(), end - at - kName.size());
  }
  const std::string kInclude = "#include \"";
  for (at = text.find(kInclude); at != std::string::npos; at = text.find(kInclude, at + 1)) {
    size_t end = text.find('"', at + kInclude.size());
    if (end == std::string::npos) break;
    src.includes.insert(Basename(text.substr(at + kInclude.size(), end - at - kInclude.size())));
  }
  return src;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::cerr << "usage: flarecat OUTPUT.cpp OUTPUT.h SOURCE...\n";
    return 2;
  }
  std::map<std::string, std::string> formats;
  std::map<std::string, std::set<std::string>> postedIn;  // id -> source paths
  std::map<std::string, Source> sources;
  int rc = 0;
  for (int a = 3; a < argc; ++a) {
    std::ifstream in(argv[a]);
    if (!in) {
      std::cerr << "flarecat: cannot read " << argv[a] << "\n";
      return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    sources[argv[a]] = ReadSource(text.str());
    for (const std::string &lit : Literals(text.str())) {
      if (lit.size() <= kMarker.size() || lit.compare(0, kMarker.size(), kMarker) != 0) continue;
      size_t close = lit.find(')', kMarker.size());
      if (close == std::string::npos) {
        std::cerr << "flarecat: " << argv[a] << ": flare format without ')': " << lit << "\n";
        rc = 1;
        continue;
      }
      std::string id = lit.substr(kMarker.size(), close - kMarker.size());
      std::string message = lit.substr(close + 1);
      auto it = formats.find(id);
      if (it != formats.end() && it->second != message) {
        std::cerr << "flarecat: " << argv[a] << ": " << id << " has two different messages\n";
        rc = 1;
      }
      formats[id] = message;
      postedIn[id].insert(argv[a]);
    }
  }
  if (rc != 0) return rc;

  std::ofstream header(argv[2]);
  header << "// Generated by flarecat from the daemon's sources. Do not edit.\n"
            "#pragma once\n\nnamespace flarecat {\n\n"
            "struct Flare {\n"
            "  const char *id;\n"
            "  const char *format;\n"
            "  unsigned args;            // arguments its message takes\n"
            "  const char *correlator;   // \"\" unless exactly one correlator posts it\n"
            "};\n\n"
            "// Sorted by id.\n"
            "inline constexpr Flare kFlares[] = {\n";
  for (const auto &f : formats) {
    std::set<std::string> names;
    for (const std::string &path : postedIn[f.first])
      for (const std::string &n : CorrelatorsOf(sources, path, 4)) names.insert(n);
    header << "    {\"" << Escape(f.first) << "\", \"" << Escape(f.second) << "\", "
           << ArgCount(f.second) << ", \"" << (names.size() == 1 ? *names.begin() : "") << "\"},\n";
  }
  header << "};\n\n}  // namespace flarecat\n";

  std::ofstream out(argv[1]);
  out << "// Generated by flarecat from the daemon's sources. Do not edit.\n"
         "#include <string>\n\n#include \"flare_catalogue.h\"\n\nnamespace tools {\n\n"
         "const char *FlareMessageFormat(const std::string &eventId) {\n"
         "  for (const flarecat::Flare &f : flarecat::kFlares)\n"
         "    if (eventId == f.id) return f.format;\n"
         "  return nullptr;\n}\n\n}  // namespace tools\n";
  return out && header ? 0 : 1;
}
