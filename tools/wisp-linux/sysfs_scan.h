// Reads the block devices, multipath maps and mounted file systems from
// sysfs and /proc, and the machine's UUID, under root (a test gives a tree
// of its own).
#pragma once

#include <string>

#include "storage.h"

namespace wisplinux {

StorageInventory ScanStorage(const std::string &root);

// Requests the block device (or partition) of that name has completed, read
// and written; 0 when its counters cannot be read.
uint64_t CompletedRequests(const std::string &root, const std::string &device);

// The machine's UUID in lower case with dashes: the firmware's, or else the
// machine id (32 hex digits, shown in the UUID's groups); empty when
// neither file holds one.
std::string ReadSystemUuid(const std::string &root);

}  // namespace wisplinux
