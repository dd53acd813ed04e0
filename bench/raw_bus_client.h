// The local bus with nothing on top: prepared frames sent and answered with
// plain blocking send/recv on a Unix stream socket. Used for the floor of a
// viQueryf round trip: the same bytes, with no VISA layer and no USBTMC host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sgbench {

using Bytes = std::vector<std::uint8_t>;

// The frames of one "*IDN?\n" query as the library sends them over the local
// bus, all in one write: bulk-OUT of the DEV_DEP_MSG_OUT transfer, bulk-OUT of
// REQUEST_DEV_DEP_MSG_IN and the bulk-IN request.
struct QueryFrames {
    Bytes message_out;
    Bytes request_in;
    Bytes bulk_in;
};

// `seq` is the first of three frame sequence numbers; `tag` the first of two
// USBTMC bTags (1..254).
QueryFrames idn_query_frames(std::uint32_t seq, std::uint8_t tag);

// The IDN reply of the simulated generator, as a bulk-IN answer frame to
// `seq` carrying DEV_DEP_MSG_IN with bTag `tag`.
Bytes idn_answer_frame(std::uint32_t seq, std::uint8_t tag);

// The text the simulated generator answers to *IDN? for serial SIM001.
extern const char kIdnReply[];

// Whole frames from a stream socket. One recv() takes whatever has arrived
// (usually a whole frame), so a frame normally costs one system call.
class FrameReader {
  public:
    FrameReader();
    // The next frame (header and payload) into `frame`; false at end of
    // stream, on an error or timeout, or for a frame longer than the bus allows.
    bool next(int fd, Bytes& frame);
    // Whether a whole frame has arrived already (next() then reads nothing).
    bool ready() const;

  private:
    Bytes buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

class RawBusClient {
  public:
    // Takes ownership of a connected, blocking stream socket. Every send and
    // receive is bounded by `bound_ms` (SO_SNDTIMEO / SO_RCVTIMEO).
    RawBusClient(int fd, int bound_ms);
    ~RawBusClient();
    RawBusClient(const RawBusClient&) = delete;
    RawBusClient& operator=(const RawBusClient&) = delete;

    // Connects to a simulated device's socket, reads its HELLO and takes the
    // claim. Returns -1 with a message in `error`.
    static int connect_and_claim(const std::string& socket_path, int bound_ms, std::string& error);

    // Sends `request` and receives one whole answer frame (header and
    // payload) into `answer`. False on an error, a timeout or end of stream.
    bool exchange(const Bytes& request, Bytes& answer);

    // One query as the library makes a viQueryf: the three frames in one
    // write, then their three answers; false on any failure. `reply` gets
    // the bulk-IN answer frame.
    bool query(const QueryFrames& frames, Bytes& reply);

  private:
    int fd_;
    FrameReader reader_;
    Bytes scratch_;
    Bytes all_;
};

// Answers frames on `fd` the way a device answers the three transfers of a
// query, with no processing: BULK_OUT gets an empty OK answer, BULK_IN the
// prepared IDN answer; the answers to the frames that arrived together go
// out in one write, as the simulator sends them. Returns at end of stream or
// on an error.
void serve_canned_answers(int fd);

}  // namespace sgbench
