// Descriptors this process keeps from its fork children: those of the lock
// files (a child's copy would keep the parent's locks after the parent dies),
// of the connections to instruments (a child's copy would keep a connection
// the parent closed open for the device) and the eventfds that end their
// waits (which would only take up the child's descriptors). Their owners
// open and close them here. A fork child closes its copies of all of them at
// the fork; the objects that held them there are the parent's, which the
// child only forgets and never uses (so never closes a descriptor twice).
// Thread-safe, also against a fork from any thread.
#pragma once

#include <functional>

namespace sgvisa {

// Runs `open` (which returns a new descriptor or -1) so that no fork comes
// between the opening and the registration; returns what it returned.
int open_process_descriptor(const std::function<int()>& open);

// A registered eventfd (close-on-exec, non-blocking), or -1.
int open_process_eventfd();

// Closes a descriptor from open_process_descriptor or open_process_eventfd.
void close_process_descriptor(int fd);

}  // namespace sgvisa
