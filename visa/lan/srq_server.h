// The controller's end of the VXI-11 interrupt channel: a small RPC server
// of the library, on a thread of its own, that the instrument connects back
// to (create_intr_chan told it where) and calls device_intr_srq on, which
// has no reply. Each call that carries this link's handle is a service
// request, handed to the listener.
//
// Instruments are lax here: some send a fragment length four bytes longer
// than the call (the record never completes), so a call is taken as soon as
// its bytes decode whole, whatever the fragment header promised; a record
// longer than any device_intr_srq is refused, and its connection closed.
//
// The thread blocks in poll() on the listening socket, the instrument's
// connections and a stop eventfd. Destroying the server stops and joins it,
// unless from within the listener (then it ends by itself).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "visa.h"

namespace sgvisa::lan {

class SrqServer {
  public:
    using Listener = std::function<void()>;

    // Listens on `local`'s address, on a port of the system's choice.
    static ViStatus start(const sockaddr_in& local, std::vector<std::uint8_t> handle,
                          Listener listener, std::unique_ptr<SrqServer>& out);
    ~SrqServer();
    SrqServer(const SrqServer&) = delete;
    SrqServer& operator=(const SrqServer&) = delete;

    std::uint16_t port() const;
    // Replaces the listener for the requests that come from now on (a call
    // of the old one in progress goes on: destroy the server to wait for it).
    void set_listener(Listener listener);

    struct State;

  private:
    explicit SrqServer(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// Whether `record` (whole, or as much as came) is a device_intr_srq call
// carrying `handle`.
bool is_srq_call(std::span<const std::uint8_t> record, std::span<const std::uint8_t> handle);

}  // namespace sgvisa::lan
