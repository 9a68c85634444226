// The kernel's device events (NETLINK_KOBJECT_UEVENT): "action@devpath"
// followed by KEY=VALUE strings, each ended by a NUL.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace wisplinux {

struct Uevent {
  std::string action, devpath;
  std::map<std::string, std::string> vars;
  // The value of key, or "" when the event has none.
  std::string Get(const std::string &key) const;
};

// Decodes one datagram of the kernel's group; false with *why for anything
// else (udev's own relayed form included).
bool ParseUevent(const char *data, size_t size, Uevent *out, std::string *why);

}  // namespace wisplinux
