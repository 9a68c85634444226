#include "fmtcheck.h"

#include <cstring>

#include "pellibs/msgfmt.h"

namespace tools {

bool ArgsFitFormat(const std::string &format, const std::vector<Arg> &args, std::string *why) {
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    size_t start = i++;
    if (i < format.size() && format[i] == '%') continue;
    while (i < format.size() && std::strchr("-+ #0'123456789.hlLqjzt", format[i]) != nullptr) ++i;
    std::string conversion = format.substr(start, i + 1 - start);
    if (i >= format.size() || std::strchr("sdiouxXc", format[i]) == nullptr) {
      *why = "\"fmt\" conversion " + conversion + " is not one the host formats";
      return false;
    }
    if (next >= args.size()) {
      *why = "\"fmt\" conversion " + conversion + " has no argument";
      return false;
    }
    bool wantsString = format[i] == 's';
    if (wantsString != (args[next].type == MSGFMT_STRING)) {
      *why = "argument " + std::to_string(next) + " does not fit \"fmt\" conversion " + conversion +
             (wantsString ? " (a string)" : " (a number)");
      return false;
    }
    ++next;
  }
  return true;
}

}  // namespace tools
