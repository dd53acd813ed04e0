#include "usbtmc_recovery.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "proto/usbtmc.h"

namespace sgvisa::usbtmc {

using namespace sgproto::usbtmc;
namespace {

// Bytes asked for per bulk-IN transfer while draining: a whole number of
// packets, about 4 KiB.
std::size_t drain_chunk(const UsbLink& link) {
    const std::size_t mps = std::max<std::size_t>(link.max_packet_size(), 1);
    return std::max<std::size_t>(mps, 4096 / mps * mps);
}

// Upper bound on transfers read in one drain, so that a device streaming
// full packets cannot keep a drain going past its deadline either.
constexpr int kMaxDrainTransfers = 1024;

Deadline earlier(Deadline a, Deadline b) {
    return std::min(a, b);
}

// Drains until the device has nothing more to send within a short window.
ViStatus final_drain(UsbLink& link, Deadline until) {
    const Deadline window = earlier(until, Clock::now() + kDrainWindow);
    for (int i = 0; i < kMaxDrainTransfers; ++i) {
        const ViStatus st = drain_bulk_in(link, window);
        if (st == VI_ERROR_CONN_LOST)
            return st;
        if (st != VI_SUCCESS)
            return VI_SUCCESS;  // quiet: nothing left
    }
    return VI_SUCCESS;
}

// CHECK_ABORT_BULK_IN_STATUS until the device no longer answers PENDING
// (USBTMC 1.0, 4.2.1.5, Tables 27 to 29).
ViStatus wait_abort_bulk_in(UsbLink& link, std::uint8_t endpoint, Deadline until) {
    for (int i = 0; i < kMaxStatusChecks; ++i) {
        if (i > 0)
            pace_repeat(i - 1, until);
        std::array<std::uint8_t, kCheckAbortLength> check{};
        std::size_t got = 0;
        ViStatus st = link.control_in(kRequestTypeEndpointIn, CHECK_ABORT_BULK_IN_STATUS, 0,
                                      endpoint, check, got, until);
        if (st != VI_SUCCESS)
            return st;
        if (got < 2 || check[0] != STATUS_PENDING)
            return VI_SUCCESS;
        // Read until a short packet while the device says its FIFO holds data
        // (USBTMC 1.0, Table 28, D0; Table 29, STATUS_PENDING).
        if (check[1] & 0x01) {  // bmAbortBulkIn.D0: the FIFO still holds data
            st = drain_bulk_in(link, until);
            if (st == VI_ERROR_CONN_LOST)
                return st;
        }
    }
    return VI_SUCCESS;
}

// CHECK_ABORT_BULK_OUT_STATUS until the device no longer answers PENDING
// (USBTMC 1.0, 4.2.1.3, Tables 21 to 23).
ViStatus wait_abort_bulk_out(UsbLink& link, std::uint8_t endpoint, Deadline until) {
    for (int i = 0; i < kMaxStatusChecks; ++i) {
        if (i > 0)
            pace_repeat(i - 1, until);
        std::array<std::uint8_t, kCheckAbortLength> check{};
        std::size_t got = 0;
        const ViStatus st = link.control_in(kRequestTypeEndpointIn, CHECK_ABORT_BULK_OUT_STATUS, 0,
                                            endpoint, check, got, until);
        if (st != VI_SUCCESS)
            return st;
        if (got < 1 || check[0] != STATUS_PENDING)
            return VI_SUCCESS;
    }
    return VI_SUCCESS;
}

}  // namespace

void pace_repeat(int repeat, Deadline until) {
    const auto pause = std::chrono::milliseconds(1 << std::min(repeat, 4));
    const auto left = until - Clock::now();
    if (left > Clock::duration::zero())
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, left));
}

ViStatus drain_bulk_in(UsbLink& link, Deadline deadline) {
    std::vector<std::uint8_t> scratch(drain_chunk(link));
    for (int i = 0; i < kMaxDrainTransfers; ++i) {
        if (Clock::now() >= deadline)
            return VI_ERROR_TMO;
        std::size_t got = 0;
        const ViStatus st = link.bulk_in(scratch, got, deadline);
        if (st != VI_SUCCESS)
            return st;
        if (got < scratch.size())
            return VI_SUCCESS;  // short packet: the transfer ended
    }
    return VI_ERROR_IO;
}

ViStatus abort_bulk_in(UsbLink& link, std::uint8_t tag) {
    const Deadline until = Clock::now() + kRecoveryTime;
    const std::uint8_t endpoint = link.bulk_in_endpoint();
    std::array<std::uint8_t, kInitiateAbortLength> initiate{};
    std::size_t got = 0;
    ViStatus st = link.control_in(kRequestTypeEndpointIn, INITIATE_ABORT_BULK_IN, tag, endpoint,
                                  initiate, got, until);
    if (st == VI_ERROR_CONN_LOST)
        return st;
    if (st == VI_SUCCESS && got >= 1 && initiate[0] == STATUS_SUCCESS) {
        st = wait_abort_bulk_in(link, endpoint, until);
        if (st == VI_ERROR_CONN_LOST)
            return st;
    }
    // Also after STATUS_FAILED or STATUS_TRANSFER_NOT_IN_PROGRESS: whatever
    // the device still queues for the aborted request must not be taken as
    // the answer to the next one. (Neither answer allows a
    // CHECK_ABORT_BULK_IN_STATUS: USBTMC 1.0, 4.2.1.4, Table 26.)
    return final_drain(link, until);
}

ViStatus abort_bulk_out(UsbLink& link, std::uint8_t tag) {
    const Deadline until = Clock::now() + kRecoveryTime;
    const std::uint8_t endpoint = link.bulk_out_endpoint();
    std::array<std::uint8_t, kInitiateAbortLength> initiate{};
    std::size_t got = 0;
    ViStatus st = link.control_in(kRequestTypeEndpointIn, INITIATE_ABORT_BULK_OUT, tag, endpoint,
                                  initiate, got, until);
    if (st == VI_ERROR_CONN_LOST)
        return st;
    if (st == VI_SUCCESS && got >= 1 && initiate[0] == STATUS_SUCCESS) {
        st = wait_abort_bulk_out(link, endpoint, until);
        if (st == VI_ERROR_CONN_LOST)
            return st;
    }
    // CLEAR_FEATURE ends the abort after SUCCESS (USBTMC 1.0, Table 23); after
    // FAILED or TRANSFER_NOT_IN_PROGRESS the device has not halted bulk-OUT
    // (Table 20), and the clear only resets the data toggle.
    st = link.clear_halt(endpoint, until);
    return st == VI_ERROR_CONN_LOST ? st : VI_SUCCESS;
}

ViStatus clear_device(UsbLink& link, Deadline deadline) {
    const std::uint16_t iface = link.interface_number();
    std::array<std::uint8_t, kInitiateClearLength> initiate{};
    std::size_t got = 0;
    ViStatus st =
        link.control_in(kRequestTypeInterfaceIn, INITIATE_CLEAR, 0, iface, initiate, got, deadline);
    if (st != VI_SUCCESS)
        return st;
    // No CHECK_CLEAR_STATUS after a failed INITIATE_CLEAR (USBTMC 1.0,
    // Table 32).
    if (got < 1 || initiate[0] != STATUS_SUCCESS)
        return VI_ERROR_IO;

    bool cleared = false;
    for (int i = 0; i < kMaxStatusChecks && !cleared && Clock::now() < deadline; ++i) {
        if (i > 0)
            pace_repeat(i - 1, deadline);
        std::array<std::uint8_t, kCheckClearLength> check{};
        st = link.control_in(kRequestTypeInterfaceIn, CHECK_CLEAR_STATUS, 0, iface, check, got,
                             deadline);
        if (st == VI_ERROR_TMO)
            break;  // out of time: given up below
        if (st != VI_SUCCESS)
            return st;
        if (got < 1)
            return VI_ERROR_IO;
        if (check[0] == STATUS_SUCCESS) {
            cleared = true;
        } else if (check[0] == STATUS_PENDING) {
            // The device asks for bulk-IN to be read (USBTMC 1.0, Table 34,
            // D0; Table 35, STATUS_PENDING).
            if (got >= 2 && (check[1] & 0x01)) {  // bmClear.D0: read bulk-IN
                st = drain_bulk_in(link, earlier(deadline, Clock::now() + kRecoveryTime));
                if (st == VI_ERROR_CONN_LOST)
                    return st;
            }
        } else {
            return VI_ERROR_IO;
        }
    }
    if (!cleared) {
        // The device did not come out of the clear in time. Its bulk-OUT
        // halt is cleared all the same, as at the end of a clear, so that
        // the next message can pass whatever state the device is in.
        st = link.clear_halt(link.bulk_out_endpoint(), Clock::now() + kRecoveryTime);
        return st == VI_ERROR_CONN_LOST ? st : VI_ERROR_TMO;
    }
    // The clear ends with CLEAR_FEATURE on bulk-OUT (Table 35, STATUS_SUCCESS).
    return link.clear_halt(link.bulk_out_endpoint(), deadline);
}

}  // namespace sgvisa::usbtmc
