// Close events on a USB device node (inotify): the sign that another
// process let go of the device, for a claim that waits for it.
#pragma once

#include <string>

#include "deadline.h"

namespace sgvisa {

class NodeCloseWatch {
  public:
    // Watches `path`. Without inotify (or the node) the watch sees nothing
    // and wait() only ends at its deadline or a cancel.
    explicit NodeCloseWatch(const std::string& path);
    ~NodeCloseWatch();
    NodeCloseWatch(const NodeCloseWatch&) = delete;
    NodeCloseWatch& operator=(const NodeCloseWatch&) = delete;

    enum class Wake { closed, cancelled, deadline };

    // Blocks until a process closes the node (events so far are consumed),
    // `cancel_fd` (-1: none) becomes readable, or `deadline` passes.
    Wake wait(Deadline deadline, int cancel_fd);

  private:
    int fd_ = -1;
};

}  // namespace sgvisa
