// Raw SOCKET (TCPIP::host::port::SOCKET): the instrument's bytes on a bare
// TCP connection, with no framing and no END. A read ends at the count,
// at the termination character when the read enables it, or at the
// deadline; bytes past the termination character stay for the next read
// (the Transport keeps them). A device clear can only throw away what
// arrives, until the connection has been quiet for kClearQuiet: nothing
// goes on the wire. The status byte and the trigger exist
// only as the IEEE 488.2 strings "*STB?" and "*TRG", which the session
// layer sends through write() and read() when VI_ATTR_IO_PROT says so; the
// transport itself has neither (VI_ERROR_NSUP_OPER).
//
// A timed-out query leaves its late reply in the stream: nothing on the
// wire tells it from the next query's, so the next read takes it. Only a
// viClear after the timeout drops it, if it comes before the connection
// has been quiet for kClearQuiet.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "cancel_signal.h"
#include "tcp_connection.h"
#include "transport/transport.h"

namespace sgvisa::lan {

class SocketTransport : public Transport {
  public:
    // How long a device clear waits for the connection to be quiet (within
    // the operation's timeout), throwing away what comes meanwhile.
    static constexpr std::chrono::milliseconds kClearQuiet{50};

    SocketTransport(std::unique_ptr<TcpConnection> connection, LanFacts facts);

    // Each process has a connection of its own.
    bool takes_turns_between_processes() const override { return false; }
    ViStatus read_status_byte(Deadline, std::uint8_t&) override { return VI_ERROR_NSUP_OPER; }
    void cancel() override { cancel_.cancel(); }
    void resume() override { cancel_.resume(); }
    bool lost() const override { return connection_->lost(); }
    const InterfaceFacts& facts() const override { return facts_; }

    // VI_ATTR_TCPIP_NODELAY (on by default) and VI_ATTR_TCPIP_KEEPALIVE.
    ViStatus set_interface_attribute(ViAttr attr, ViAttrState value) override;
    ViStatus get_interface_attribute(ViAttr attr, ViAttrState& value) const override;

  protected:
    ViStatus send(std::span<const std::uint8_t> data, bool end, Deadline deadline) override;
    ViStatus receive(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                     ReadResult& result) override;
    ViStatus clear_device(Deadline deadline) override;

  private:
    ViStatus status_of(ViStatus st);

    std::unique_ptr<TcpConnection> connection_;
    InterfaceFacts facts_;
    CancelSignal cancel_;
    // Set from any thread, also while a call is in progress.
    std::atomic<bool> nodelay_{true};
    std::atomic<bool> keepalive_{false};
};

}  // namespace sgvisa::lan
