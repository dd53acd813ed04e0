// Fuzz target: the simulated generator's USBTMC device core, on any stream of
// bulk-OUT transfers, bulk-IN requests and class requests a host can make.
// The input is one script read front to back (byte_script.h):
//   config byte: bit 0 no_reply, bit 1 a reply delay, bits 2-4 split size
//   then operations (op byte % 5):
//     0 bulk-OUT: le16 length and that many bytes, as one transfer
//     1 bulk-IN:  le16 maximum transfer size; the clock moves on 0-255 ms
//     2 control IN: request type byte, request byte, le16 value, le16 index,
//                   le16 length
//     3 clear halt: endpoint byte
//     4 reset
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "byte_script.h"
#include "signal_generator.h"
#include "usbtmc_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sgfuzz::ByteScript script(data, size);
    const std::uint8_t config = script.byte();
    sgsim::DeviceFaults faults;
    faults.no_reply = (config & 1) != 0;
    faults.reply_delay = std::chrono::milliseconds((config & 2) != 0 ? 100 : 0);
    faults.split = (config >> 2) & 7;

    sgsim::SignalGenerator generator;
    sgsim::UsbtmcDevice device(generator, faults, nullptr);
    sgsim::Clock::time_point now{};
    for (int ops = 0; ops < 256 && !script.exhausted(); ++ops) {
        switch (script.byte() % 5) {
            case 0:
                device.bulk_out(script.bytes(script.le16()));
                break;
            case 1: {
                const std::size_t max = script.le16();
                now += std::chrono::milliseconds(script.byte());
                const auto sent = device.bulk_in(max, now);
                if (sent && sent->size() > max)
                    std::abort();  // more than the host asked for
                break;
            }
            case 2: {
                const std::uint8_t type = script.byte();
                const std::uint8_t request = script.byte();
                const std::uint16_t value = script.le16();
                const std::uint16_t index = script.le16();
                const std::uint16_t length = script.le16();
                const auto stage = device.control_in(type, request, value, index, length);
                if (stage && stage->size() > length)
                    std::abort();
                break;
            }
            case 3:
                device.clear_halt(script.byte());
                break;
            default:
                device.reset();
                break;
        }
    }
    return 0;
}
