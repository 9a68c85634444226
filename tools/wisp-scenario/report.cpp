#include "report.h"

#include <cstdio>
#include <fstream>

namespace scenario {

namespace {

std::string Xml(const std::string &s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters other than tab and line feed are not XML.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
          out += '?';
        else
          out += c;
    }
  }
  return out;
}

// A file that does not parse is one failed test case.
size_t Tests(const Report &r) {
  return r.error.empty() ? r.checks.size() : 1;
}

size_t Failures(const Report &r) {
  size_t n = r.error.empty() ? 0 : 1;
  for (const Check &c : r.checks) n += !c.passed;
  return n;
}

}  // namespace

bool Report::Passed() const {
  return Failures(*this) == 0;
}

void Print(const Report &r, std::ostream &out) {
  if (!r.error.empty()) {
    std::string error = r.error;
    for (size_t nl = 0; (nl = error.find('\n', nl)) != std::string::npos; nl += 3)
      error.replace(nl, 1, "\n  ");
    out << "FAIL " << r.file << "\n  " << error << "\n";
    return;
  }
  char took[32];
  snprintf(took, sizeof took, "%.2f", r.seconds);
  out << (r.Passed() ? "PASS " : "FAIL ") << r.file << " (" << r.name << ", " << took << " s)\n";
  for (const Check &c : r.checks) {
    out << "  " << (c.passed ? "passed" : "FAILED") << ": " << c.what << "\n";
    if (!c.passed) out << c.detail;
  }
}

bool WriteJunit(const std::vector<Report> &reports, const std::string &path, std::string *why) {
  size_t tests = 0, failures = 0;
  for (const Report &r : reports) {
    tests += Tests(r);
    failures += Failures(r);
  }
  std::ofstream out(path);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"" << tests
      << "\" failures=\"" << failures << "\">\n";
  for (const Report &r : reports) {
    out << "  <testsuite name=\"" << Xml(r.name) << "\" tests=\"" << Tests(r) << "\" failures=\""
        << Failures(r) << "\" file=\"" << Xml(r.file) << "\" time=\"" << r.seconds << "\">\n";
    if (!r.error.empty())
      out << "    <testcase name=\"parse\"><failure message=\"the file was not run\">"
          << Xml(r.error) << "</failure></testcase>\n";
    for (const Check &c : r.checks) {
      out << "    <testcase name=\"" << Xml(c.what) << "\">";
      if (!c.passed)
        out << "<failure message=\"expectation not met\">" << Xml(c.detail) << "</failure>";
      out << "</testcase>\n";
    }
    out << "  </testsuite>\n";
  }
  out << "</testsuites>\n";
  out.close();
  if (!out) {
    *why = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace scenario
