// What every tool does the same way: --help and --version on standard
// output, a reason for every rejected value, and a usable WISPD_ROOT.
#pragma once

#include <getopt.h>

#include <fstream>
#include <string>

namespace tools {

struct Tool {
  const char *name;
  const char *usage;  // the synopsis line after "usage: "
  const char *help;   // what follows it in --help
};

// getopt_long codes of the two shared options.
constexpr int kOptHelp = 0x100;
constexpr int kOptVersion = 0x101;
#define TOOLS_COMMON_OPTIONS                            \
  {"help", no_argument, nullptr, tools::kOptHelp}, {    \
    "version", no_argument, nullptr, tools::kOptVersion \
  }

// Ends the process with status 2 and a message when WISPD_ROOT is set but
// not an absolute path to an existing directory (mustExist false: that
// directory may still be missing).
void RequireRoot(const char *name, bool mustExist = true);
inline void RequireRoot(const Tool &tool, bool mustExist = true) {
  RequireRoot(tool.name, mustExist);
}
// Makes a failed write to standard output visible: at exit, output that
// could not be written gives "NAME: cannot write standard output: REASON"
// on standard error and status 1. Called first in every tool's main.
void CheckOutputAtExit(const char *name);
// "NAME VERSION" for --version.
std::string VersionLine(const char *name);
// Answers kOptHelp and kOptVersion (exit 0); any other code than those is
// an unknown option (exit 2).
[[noreturn]] void CommonOption(const Tool &tool, int code);
// "NAME: reason" and the usage line on standard error, exit status 2.
[[noreturn]] void Reject(const Tool &tool, const std::string &reason);

// Opens a named input; false with a reason for a directory or an
// unreadable file.
bool OpenInput(const std::string &path, std::ifstream *in, std::string *why);

// Parses a whole decimal number / a non-negative number of seconds; false
// when text is anything else.
bool ParseLong(const char *text, long *value);
bool ParseSeconds(const char *text, double *value);

}  // namespace tools
