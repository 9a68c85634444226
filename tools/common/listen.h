// A tool's listening TCP socket (the exporter's, the alert forwarder's):
// HOST:PORT parsed and bound exclusively.
#pragma once

#include <string>

namespace tools {

// "HOST:PORT" or "[V6]:PORT"; false when it is neither.
bool SplitListen(const std::string &listen, std::string *host, int *port);

// A non-blocking listening TCP socket on host and port (0: any free port),
// which no other process can share; *bound is the port it got. -1 with
// *why when the address cannot be resolved or bound.
int ListenTcp(const std::string &host, int port, int *bound, std::string *why);

}  // namespace tools
