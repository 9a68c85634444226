// Files and sockets the daemon and the simulated host create: never through
// a symlink someone planted, never open to others for a moment.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>

namespace pelldan {

// bind() with umask 077, so the socket file is the owner's alone from the
// moment it exists. 0, or -1 with errno.
int BindOwnerOnly(int fd, const struct sockaddr_un &addr);
// Binds fd at path for its owner alone (mode 0600) and, with backlog >= 0,
// listens. The path appears only once the socket works: it is bound under
// a temporary name beside path, then renamed over whatever path held, so a
// client that finds the path can connect. 0, or -1 with errno.
int BindInPlace(int fd, const std::string &path, int backlog);
// open() that follows no symlink in the last component and accepts only a
// regular file (a FIFO does not block it). The descriptor, or -errno.
int OpenRegular(const std::string &path, int flags, mode_t mode);
// Creates the missing directories along path, owner-only; true when path
// is then a directory itself, not a symlink to one.
bool MakePrivateDirs(const std::string &path);

}  // namespace pelldan
