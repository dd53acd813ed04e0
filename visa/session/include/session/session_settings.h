// The settings of an instrument session that its operations follow: the
// attributes a program sets (viSetAttribute) and the session keeps.
#pragma once

#include <cstdint>

#include "visa.h"

namespace sgvisa::session {

// The I/O timeout of a new instrument session (VI_ATTR_TMO_VALUE), in ms.
constexpr std::uint32_t kDefaultIoTimeoutMs = 2000;
// Formatted I/O buffer sizes of a new session (VI_ATTR_RD_BUF_SIZE, _WR_).
constexpr std::uint32_t kDefaultBufferSize = 4096;

struct SessionSettings {
    std::uint32_t timeout_ms = kDefaultIoTimeoutMs;
    std::uint8_t term_char = '\n';
    bool term_char_enabled = false;
    bool send_end = true;
    bool suppress_end = false;
    std::uint16_t io_protocol = VI_PROT_NORMAL;
    std::uint16_t read_buffer_mode = VI_FLUSH_DISABLE;
    std::uint16_t write_buffer_mode = VI_FLUSH_WHEN_FULL;
    std::uint32_t read_buffer_size = kDefaultBufferSize;
    std::uint32_t write_buffer_size = kDefaultBufferSize;
    std::uint32_t max_queue_length = 50;
    bool file_append = false;  // VI_ATTR_FILE_APPEND_EN: viReadToFile appends
};

}  // namespace sgvisa::session
