// How many records a collector's socket holds before its senders must wait:
// a setting of the host (net.unix.max_dgram_qlen), 512 where systemd set it
// and the kernel's own 10 where nothing did. The collected cases depend on
// it more than on anything the daemon does, so they run with one stated
// value on any machine: their collector is made in a network namespace of
// its own with that setting, which leaves the machine's untouched.
#pragma once

#include <functional>

namespace bench {

// The queue the run asks for: COLLECTOR_QUEUE, in records, or "host" for
// the machine's own setting (0); 512 when unset.
int WantedCollectorQueue();

// Runs make, which creates a collector's socket or starts its process, on a
// thread of its own: in a private network namespace whose queue is
// `queue` records when queue > 0 and the namespace can be had (root). The
// queue in effect there, which is the machine's when it could not.
int WithCollectorQueue(int queue, const std::function<void()> &make);

}  // namespace bench
