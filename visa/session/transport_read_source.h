// A ReadSource over a Transport: reads a reply message in chunks, each read
// bounded by the deadline of the I/O call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "deadline.h"
#include "format_reader.h"
#include "transport.h"

namespace sgvisa {

class TransportReadSource final : public ReadSource {
  public:
    static constexpr std::size_t kChunkSize = 4096;

    TransportReadSource(Transport& transport, Deadline deadline,
                        std::size_t chunk_size = kChunkSize);

    ViStatus peek(std::uint8_t& byte, bool& end_of_message) override;
    void consume() override;
    ViStatus discard_rest() override;

  private:
    // Reads the next chunk into the (empty) buffer.
    ViStatus fill();

    Transport& transport_;
    Deadline deadline_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool chunk_end_ = false;  // the last byte of the buffer carries END
    bool message_done_ = false;
};

}  // namespace sgvisa
