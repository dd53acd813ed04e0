// Fuzz target: the simulated generator's USBTMC device core, on any stream of
// bulk-OUT transfers, bulk-IN requests and class requests a host can make,
// and the USB488 notifications it makes on interrupt-IN.
// The input is one script read front to back (byte_script.h):
//   config byte: bit 0 no_reply, bit 1 a reply delay, bits 2-4 split size,
//                bit 5 no interrupt-IN endpoint, bit 6 a quirks byte follows:
//                bit 0 eom-never, 1 size-skew, 2 ignore-termchar,
//                3 tag-repeat, 4 empty-when-idle (or, with bit 5, none),
//                5 late:100, 6 leftover, 7 eom-always:3, stall-remote,
//                clear-pending and halt-after-close
//   then operations (op byte % 7):
//     0 bulk-OUT: le16 length and that many bytes, as one transfer
//     1 bulk-IN:  le16 maximum transfer size; the clock moves on 0-255 ms
//     2 control IN: request type byte, request byte, le16 value, le16 index,
//                   le16 length
//     3 clear halt: endpoint byte
//     4 the host goes away (halt-after-close) and the device is reset
//     5 time passes: the clock moves on 0-255 ms
//   (the clock is virtual, virtual_clock.h: the one the device reads too)
//     6 the host reads interrupt-IN, every packet waiting, and the
//       transfers the device committed
// Beyond memory errors it stops at: a transfer or data stage longer than
// asked for, a READ_STATUS_BYTE answer of another length or status than
// USB488 allows or with a status byte in it although interrupt-IN carries
// it, and an interrupt packet that is neither {0x81, STB with RQS} nor
// {0x80 | bTag (2..127), STB}, made without the endpoint, or one of more
// than the device keeps, and a committed transfer that is not a whole
// DEV_DEP_MSG_IN.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "byte_script.h"
#include "device/usbtmc_device.h"
#include "proto/usbtmc.h"
#include "scpi/signal_generator.h"
#include "virtual_clock.h"

namespace {

namespace tmc = sgproto::usbtmc;

void check_read_status_byte(const std::vector<std::uint8_t>& stage, std::uint16_t value,
                            std::uint16_t length, bool interrupt_in) {
    if (stage.size() != std::min<std::size_t>(length, tmc::kReadStatusByteLength))
        std::abort();
    if (stage.empty())
        return;
    const std::uint8_t status = stage[0];
    const bool valid_tag = value >= tmc::kMinStatusTag && value <= tmc::kMaxStatusTag;
    if (status != (valid_tag ? tmc::STATUS_SUCCESS : tmc::STATUS_FAILED) &&
        !(valid_tag && interrupt_in && status == tmc::STATUS_INTERRUPT_IN_BUSY))
        std::abort();
    if (stage.size() > 1 && stage[1] != static_cast<std::uint8_t>(value))
        std::abort();
    if (stage.size() > 2 && (interrupt_in || status != tmc::STATUS_SUCCESS) && stage[2] != 0)
        std::abort();
}

void check_interrupts(sgsim::UsbtmcDevice& device) {
    std::size_t count = 0;
    while (const auto packet = device.take_interrupt()) {
        if (!device.has_interrupt_in() || ++count > sgsim::InterruptQueue::kCapacity)
            std::abort();
        const std::uint8_t notify = (*packet)[0];
        const std::uint8_t tag = notify & 0x7F;
        if (notify == tmc::kNotifyServiceRequest) {
            if (((*packet)[1] & tmc::kStbRequestService) == 0)
                std::abort();
        } else if ((notify & 0x80) == 0 || tag < tmc::kMinStatusTag || tag > tmc::kMaxStatusTag) {
            std::abort();
        }
    }
}

void check_committed(sgsim::UsbtmcDevice& device) {
    while (const auto t = device.take_committed()) {
        tmc::BulkHeader h;
        if (!tmc::decode_header(*t, h) || h.msg_id != tmc::DEV_DEP_MSG_IN || t->size() % 4 != 0 ||
            t->size() < tmc::kHeaderSize + h.transfer_size)
            std::abort();
    }
}

sgsim::DeviceQuirks quirks(std::uint8_t bits) {
    sgsim::DeviceQuirks q;
    q.eom_never = (bits & 1) != 0;
    q.size_skew = (bits & 2) != 0;
    q.ignore_termchar = (bits & 4) != 0;
    q.tag_repeat = (bits & 8) != 0;
    q.late = std::chrono::milliseconds((bits & 0x20) != 0 ? 100 : 0);
    q.empty_when_idle = (bits & 0x30) == 0x10;
    q.leftover = (bits & 0x40) != 0;
    if ((bits & 0x80) != 0) {
        q.eom_always = 3;
        q.stall_remote = q.clear_pending = q.halt_after_close = true;
    }
    return q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sgfuzz::ByteScript script(data, size);
    const std::uint8_t config = script.byte();
    sgsim::DeviceFaults faults;
    faults.no_reply = (config & 1) != 0;
    faults.reply_delay = std::chrono::milliseconds((config & 2) != 0 ? 100 : 0);
    faults.no_interrupt_in = (config & 0x20) != 0;
    if ((config & 0x40) != 0)
        faults.quirks = quirks(script.byte());
    faults.quirks.split = (config >> 2) & 7;

    sgsim::SignalGenerator generator;
    sgsim::UsbtmcDevice device(generator, faults, nullptr);
    // The device reads the clock itself too (a reply's delay starts when its
    // message completes): on the virtual clock both agree, and an input
    // plays the same way however long it takes.
    sgfuzz::set_virtual_now(std::chrono::hours(1000));
    sgsim::Clock::time_point now = sgsim::Clock::now();
    const auto pass = [&now](std::uint8_t ms) {
        sgfuzz::advance(std::chrono::milliseconds(ms));
        now = sgsim::Clock::now();
    };
    for (int ops = 0; ops < 256 && !script.exhausted(); ++ops) {
        switch (script.byte() % 7) {
            case 0:
                device.bulk_out(script.bytes(script.le16()));
                break;
            case 1: {
                const std::size_t max = script.le16();
                pass(script.byte());
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
                if (stage && request == tmc::USB488_READ_STATUS_BYTE)
                    check_read_status_byte(*stage, value, length, device.has_interrupt_in());
                break;
            }
            case 3:
                device.clear_halt(script.byte());
                break;
            case 4:
                device.host_gone();
                device.reset();
                break;
            case 5:
                pass(script.byte());
                device.advance(now);
                break;
            default:
                check_interrupts(device);
                check_committed(device);
                break;
        }
    }
    check_interrupts(device);
    check_committed(device);
    return 0;
}
