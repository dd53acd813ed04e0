// Raw SOCKET (TCPIP::host::port::SOCKET): the instrument's bytes on a bare
// TCP connection, with no framing and no END. A read ends at the count,
// at the termination character when the read enables it, or at the
// deadline; bytes past the termination character stay for the next read
// (the Transport keeps them). A device clear can only throw away what has
// arrived: nothing goes on the wire. The status byte and the trigger exist
// only as the IEEE 488.2 strings "*STB?" and "*TRG", sent when
// VI_ATTR_IO_PROT says the instrument takes them (VI_PROT_4882_STRS).
//
// A timed-out query leaves its late reply in the stream: nothing on the
// wire tells it from the next query's, so the next read takes it. Only a
// viClear (or viFlush of the input) after the timeout, once the late reply
// has come, drops it.
#pragma once

#include <memory>
#include <string>

#include "cancel_signal.h"
#include "tcp_connection.h"
#include "transport/transport.h"

namespace sgvisa::lan {

// Who the peer is, as the TCPIP attributes give it.
struct PeerFacts {
    std::string address;   // numeric text of the peer
    std::string hostname;  // as the resource name gave it, "" for a literal
    std::uint16_t port = 0;
    std::string device_name;
};

class SocketTransport : public Transport {
  public:
    SocketTransport(std::unique_ptr<TcpConnection> connection, PeerFacts facts);

    ViStatus acquire(Deadline) override { return VI_SUCCESS; }  // nothing to arbitrate
    void relinquish() override {}
    ViStatus read_status_byte(Deadline deadline, std::uint8_t& status) override;
    ViStatus assert_trigger(Deadline deadline) override;
    void cancel() override { cancel_.cancel(); }
    void resume() override { cancel_.resume(); }
    bool lost() const override { return connection_->lost(); }
    const UsbDeviceFacts& facts() const override;

    ViStatus set_interface_attribute(ViAttr attr, ViAttrState value);
    ViStatus get_interface_attribute(ViAttr attr, ViAttrState& value) const;
    const PeerFacts& peer() const { return peer_; }

  protected:
    ViStatus send(std::span<const std::uint8_t> data, bool end, Deadline deadline) override;
    ViStatus receive(std::span<std::uint8_t> buf, const ReadStop& stop, Deadline deadline,
                     ReadResult& result) override;
    ViStatus clear_device(Deadline deadline) override;

  private:
    // Sends a 488.2 string and reads its one-line answer (for *STB?).
    ViStatus query_line(std::string_view command, Deadline deadline, std::string& line);
    ViStatus status_of(ViStatus st);

    std::unique_ptr<TcpConnection> connection_;
    PeerFacts peer_;
    CancelSignal cancel_;
    ViUInt16 io_prot_ = VI_PROT_NORMAL;
    bool nodelay_ = true;
    bool keepalive_ = false;
};

}  // namespace sgvisa::lan
