// How many records a collector's socket holds before its senders must wait:
// a setting of the host (net.unix.max_dgram_qlen), 512 where systemd set it
// and the kernel's own 10 where nothing did. The collected cases depend on
// it more than on anything the daemon does, so they run with one stated
// value on any machine: their collector is made in a network namespace of
// its own with that setting, which leaves the machine's untouched.
#pragma once

#include <functional>

namespace bench {

// Runs make, which creates a collector's socket or starts its process, on a
// thread of its own: in a private network namespace whose queue is the one
// the run asks for (COLLECTOR_QUEUE, in records; 512 when unset), unless it
// asks for "host" (the machine's own setting) or no namespace can be had
// (not root). The queue in effect there.
int WithCollectorQueue(const std::function<void()> &make);

}  // namespace bench
