// viUsbControlIn and viUsbControlOut: a program's own requests on a USB
// INSTR session's default pipe, and the rule of which it may send.
//
// The session owns one interface of a device that other programs, and the
// library's own USBTMC host, may use too; so a request may read anything but
// may change only what is the session's, the way usbfs lets a process that
// claimed an interface address that interface and its endpoints:
// - the direction bit of bmRequestType matches the operation, its type is
//   standard, class or vendor, and its recipient the device, the session's
//   interface (wIndex's low byte is its bInterfaceNumber) or one of that
//   interface's endpoints (wIndex's low byte is the endpoint's address);
// - standard requests only read: GET_STATUS, GET_DESCRIPTOR (device or
//   interface), GET_CONFIGURATION and GET_INTERFACE. Every standard OUT
//   request is refused: SET_ADDRESS, SET_CONFIGURATION, SET_INTERFACE and
//   SET_DESCRIPTOR change the device under every user's feet, and
//   SET_FEATURE/CLEAR_FEATURE(ENDPOINT_HALT) would put the host's data
//   toggle out of step (viClear is the way to clear a halted endpoint);
// - class requests go to the interface or its endpoints (USBTMC 1.0, 4.2,
//   Table 14), never to the device; vendor requests to any of the three;
// - wLength is at most kMaxControlLength, the data stage usbfs carries in
//   one control transfer.
// A refused request sends nothing and is VI_ERROR_INV_PARAMETER, with the
// rule it broke in the trace. A class request that the library's host also
// makes (INITIATE_CLEAR, READ_STATUS_BYTE, the aborts) goes as it is; what
// it does to a transfer in progress is the program's to know.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "entry_point.h"
#include "session/session_io.h"
#include "trace/trace_reason.h"
#include "visa.h"

namespace {

// usbfs's bound on one control transfer's data stage (a page).
constexpr std::uint16_t kMaxControlLength = 4096;

// USB 2.0, 9.3, Table 9-2 and 9.4, Table 9-4.
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr unsigned kTypeStandard = 0, kTypeClass = 1, kTypeVendor = 2;
constexpr unsigned kToDevice = 0, kToInterface = 1, kToEndpoint = 2;
constexpr std::uint8_t kGetStatus = 0, kGetDescriptor = 6, kGetConfiguration = 8,
                       kGetInterface = 10;

ViStatus refuse(const char* why) {
    sgvisa::trace::note_reason([&] { return std::string("request refused: ") + why; });
    return VI_ERROR_INV_PARAMETER;
}

// The rule above, for a request of `request_type` and `request` to `index`
// on an interface of `facts`.
ViStatus check_request(const sgvisa::InterfaceFacts& interface, bool in, std::uint8_t request_type,
                       std::uint8_t request, std::uint16_t index, std::uint16_t length) {
    const auto* usb = std::get_if<sgvisa::UsbDeviceFacts>(&interface);
    if (usb == nullptr)
        return VI_ERROR_NSUP_OPER;  // a LAN instrument has no control pipe
    const sgvisa::UsbDeviceFacts& facts = *usb;
    if (((request_type & kDirectionIn) != 0) != in)
        return refuse(in ? "bmRequestType is host-to-device, and viUsbControlIn reads"
                         : "bmRequestType is device-to-host, and viUsbControlOut writes");
    if (length > kMaxControlLength)
        return refuse("wLength is above 4096, the most one control transfer carries");
    const unsigned type = (request_type >> 5) & 3;
    const unsigned recipient = request_type & 0x1F;
    const auto target = static_cast<std::uint8_t>(index & 0xFF);
    if (type != kTypeStandard && type != kTypeClass && type != kTypeVendor)
        return refuse("the request type is reserved");
    if (recipient == kToInterface && target != facts.interface_number)
        return refuse("wIndex names another interface than the session's");
    if (recipient == kToEndpoint &&
        (target == 0 || (target != facts.bulk_in_endpoint && target != facts.bulk_out_endpoint &&
                         target != facts.interrupt_in_endpoint)))
        return refuse("wIndex names an endpoint of another interface than the session's");
    if (recipient != kToDevice && recipient != kToInterface && recipient != kToEndpoint)
        return refuse("the recipient is neither the device, its interface nor an endpoint");
    if (type == kTypeClass && recipient == kToDevice)
        return refuse("class requests go to the interface or its endpoints");
    if (type == kTypeStandard) {
        const bool reads = in && (request == kGetStatus ||
                                  (request == kGetDescriptor && recipient != kToEndpoint) ||
                                  (request == kGetConfiguration && recipient == kToDevice) ||
                                  (request == kGetInterface && recipient == kToInterface));
        if (!reads)
            return refuse(
                "of the standard requests only GET_STATUS, GET_DESCRIPTOR, "
                "GET_CONFIGURATION and GET_INTERFACE may be sent (viClear clears a halt)");
    }
    return VI_SUCCESS;
}

// What both directions check before the request goes out, within the
// session's operation; then `send(io, type, request)`.
template <typename Send>
ViStatus control_transfer(ViSession vi, bool in, ViInt16 bmRequestType, ViInt16 bRequest,
                          ViUInt16 wIndex, ViUInt16 wLength, const void* buf, Send send) {
    if (buf == nullptr && wLength > 0)
        return VI_ERROR_USER_BUF;
    if (bmRequestType < 0 || bmRequestType > 0xFF || bRequest < 0 || bRequest > 0xFF)
        return refuse("bmRequestType and bRequest are bytes");
    sgvisa::session::SessionIo io;
    ViStatus st = sgvisa::session::begin_session_io(vi, io);
    if (st != VI_SUCCESS)
        return st;
    const auto type = static_cast<std::uint8_t>(bmRequestType);
    const auto request = static_cast<std::uint8_t>(bRequest);
    st = check_request(io.transport().facts(), in, type, request, wIndex, wLength);
    if (st != VI_SUCCESS)
        return st;
    return send(io, type, request);
}

}  // namespace

SGVISA_EXPORT ViStatus viUsbControlOut(ViSession vi, ViInt16 bmRequestType, ViInt16 bRequest,
                                       ViUInt16 wValue, ViUInt16 wIndex, ViUInt16 wLength,
                                       ViConstBuf buf) {
    const sgvisa::api::CallTrace traced("viUsbControlOut", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("bmRequestType", static_cast<std::uint16_t>(bmRequestType))
            .hex("bRequest", static_cast<std::uint16_t>(bRequest))
            .hex("wValue", wValue)
            .hex("wIndex", wIndex)
            .num("wLength", wLength)
            .buf("buf", buf, buf != nullptr ? wLength : 0);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        return control_transfer(
            vi, false, bmRequestType, bRequest, wIndex, wLength, buf,
            [&](sgvisa::session::SessionIo& io, std::uint8_t type, std::uint8_t request) {
                return io.transport().usb_control_out(type, request, wValue, wIndex,
                                                      std::span<const std::uint8_t>(buf, wLength),
                                                      io.deadline);
            });
    });
}

SGVISA_EXPORT ViStatus viUsbControlIn(ViSession vi, ViInt16 bmRequestType, ViInt16 bRequest,
                                      ViUInt16 wValue, ViUInt16 wIndex, ViUInt16 wLength,
                                      ViPBuf buf, ViPUInt16 retCnt) {
    const sgvisa::api::CallTrace traced("viUsbControlIn", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("bmRequestType", static_cast<std::uint16_t>(bmRequestType))
            .hex("bRequest", static_cast<std::uint16_t>(bRequest))
            .hex("wValue", wValue)
            .hex("wIndex", wIndex)
            .num("wLength", wLength);
        if (retCnt != nullptr && buf != nullptr)
            a.buf("buf", buf, std::min<ViUInt16>(*retCnt, wLength));
        a.out("retCnt", retCnt);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (retCnt != nullptr)
            *retCnt = 0;
        return control_transfer(
            vi, true, bmRequestType, bRequest, wIndex, wLength, buf,
            [&](sgvisa::session::SessionIo& io, std::uint8_t type, std::uint8_t request) {
                std::size_t got = 0;
                const ViStatus st = io.transport().usb_control_in(
                    type, request, wValue, wIndex, std::span<std::uint8_t>(buf, wLength), got,
                    io.deadline);
                if (st == VI_SUCCESS && retCnt != nullptr)
                    *retCnt = static_cast<ViUInt16>(got);
                return st;
            });
    });
}
