// Unix-domain socket helpers shared by the simulated libraries and tools.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace simhost {

// Fills addr; false when the path does not fit.
bool MakeUnixAddress(const std::string &path, struct sockaddr_un *addr);
// Creates directories along path (like mkdir -p); true when it exists.
bool MakeDirs(const std::string &path);
// Removes a socket file at path that nobody serves any more. -EADDRINUSE
// when a socket there still answers, -EEXIST when the file is no socket.
int ClearStale(int type, const std::string &path);
// Binds a new socket of type at path (clearing a stale one first), only
// the owner may connect. Returns the descriptor or -errno.
int BindUnix(int type, const std::string &path, int backlog);
// Connects a new socket of type to path; returns the descriptor or -errno.
int ConnectUnix(int type, const std::string &path);

}  // namespace simhost
