// Reads the block devices, multipath maps and mounted file systems from
// sysfs and /proc, under root (a test gives a tree of its own).
#pragma once

#include <string>

#include "storage.h"

namespace wisplinux {

StorageInventory ScanStorage(const std::string &root);

// Requests the block device (or partition) of that name has completed, read
// and written; 0 when its counters cannot be read.
uint64_t CompletedRequests(const std::string &root, const std::string &device);

}  // namespace wisplinux
