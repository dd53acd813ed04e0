// The simulator's second personality (sgsim --io-test): an instrument for
// testing a host's message I/O. It gives back, byte for byte, what it was
// given:
//   RECEIVE   the bytes after its program message are kept as they arrive,
//             whatever they are, and not executed, up to and including the
//             last byte of the first message that ends in a linefeed (a
//             message that ends in another byte goes on with the next one).
//             A RECEIVE forgets what an earlier one kept. At most
//             kMaxKeptBytes are kept; the rest are dropped and reported as
//             -223 "Too much data".
//   SEND      the kept bytes follow the answers of its program message in
//             the response, as they were received, and are forgotten.
//   SENDBLOCK as SEND, but the kept bytes as an IEEE 488.2 definite-length
//             arbitrary block ("#", the count's number of digits, the count,
//             the bytes) followed by a linefeed: what an instrument sends for
//             a waveform or a trace.
//   BLOCk:<element>?  an IEEE 488.2 definite-length block of four elements;
//             IBLOCk:<element>? an indefinite one (#0, the data, then the
//             response's linefeed). <element> is BYTE, WORD, LONG or QUAD
//             (1, 2, 4, 8-byte integers: 1, -2, 0x0102030405060708, -4 cut
//             to the element) or FLOat, DOUBle (1.5, -2.25, 0.5, -4), all
//             big-endian: formatted I/O's blocks tested end to end.
//   LIST:INTeger?, LIST:REAL?  "1,-2,258,-4" and "1.5,-2.25,5E-1,-4".
//   RCVSLOWSRQ  as RECEIVE.
//   SENDSLOWSRQ as SEND, but the response becomes available only
//             kSlowResponseDelay after the message, and while it is
//             available the instrument requests service on its own (with
//             the status enables at their power-on zeros, the host still
//             gets a service request when the response is ready).
//   the IEEE 488.2 common commands and SYSTem:ERRor[:NEXT]? as the generator
//   answers them (common_commands.h); any other command is an error. A
//   trigger (*TRG, or the interface's) is counted.
// *RST and a device clear forget the kept bytes and end a RECEIVE.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "scpi/common_commands.h"
#include "scpi/instrument.h"
#include "scpi/scpi_parser.h"

namespace sgsim {

struct IoTestConfig {
    std::string serial_number = "SIM001";
    // When set, *IDN? answers this text instead of the instrument's own
    // identification (the response terminator is still added).
    std::optional<std::string> identification;
    // Answers to queries are not ended with a linefeed (SEND's never are).
    bool no_newline = false;
};

class IoTestInstrument final : public Instrument {
  public:
    static constexpr std::size_t kMaxKeptBytes = std::size_t{1} << 20;
    static constexpr std::chrono::milliseconds kSlowResponseDelay{100};

    explicit IoTestInstrument(IoTestConfig config = {});
    // *RST reaches back into this object: it stays where it was made.
    IoTestInstrument(const IoTestInstrument&) = delete;
    IoTestInstrument& operator=(const IoTestInstrument&) = delete;

    std::string execute(std::string_view message) override;
    ResponseDelivery response_delivery() const override { return delivery_; }
    void clear() override;
    void trigger() override { common_.trigger(); }
    void query_interrupted() override { common_.report(scpi_error::kQueryInterrupted); }
    StatusRegisters& status() override { return common_.status(); }
    std::string describe_settings() const override;

    // The identification *IDN? answers, without its terminator.
    std::string identification() const { return common_.identification(); }
    // True between a RECEIVE and the end of the message that ends it.
    bool receiving() const { return receiving_; }

  private:
    int run_subsystem(const ProgramUnit& unit, std::string& out);
    // Keeps the bytes of a message (or what follows RECEIVE in it) whose last
    // byte is a linefeed or not.
    void keep(std::string_view bytes, bool ends_in_linefeed);
    void forget();

    IoTestConfig config_;
    CommonCommands common_;
    std::string kept_;
    bool receiving_ = false;
    bool overflowed_ = false;  // this RECEIVE dropped bytes and reported it
    // Set by the units of the program message being run.
    bool receive_requested_ = false;
    bool send_requested_ = false;
    bool block_send_requested_ = false;
    bool slow_send_requested_ = false;
    ResponseDelivery delivery_;
    unsigned long triggers_ = 0;
};

}  // namespace sgsim
