#include "proto/vxi11.h"

#include <limits>

namespace sgproto::vxi11 {
namespace {

constexpr std::size_t kAnyLength = std::numeric_limits<std::size_t>::max();

// char and u_char: one unit on the wire, the low byte kept (see vxi11.h).
bool byte_value(XdrReader& r, std::uint8_t& v) {
    std::uint32_t u = 0;
    if (!r.u32(u))
        return false;
    v = static_cast<std::uint8_t>(u);
    return true;
}

bool port_value(XdrReader& r, std::uint16_t& v) {
    std::uint32_t u = 0;
    if (!r.u32(u) || u > 0xFFFF)
        return false;
    v = static_cast<std::uint16_t>(u);
    return true;
}

}  // namespace

const char* proc_name(std::uint32_t prog, std::uint32_t proc) {
    if (prog == kAbortProgram)
        return proc == DEVICE_ABORT ? "device_abort" : nullptr;
    if (prog == kInterruptProgram)
        return proc == DEVICE_INTR_SRQ ? "device_intr_srq" : nullptr;
    if (prog != kCoreProgram)
        return nullptr;
    switch (proc) {
        case CREATE_LINK:
            return "create_link";
        case DEVICE_WRITE:
            return "device_write";
        case DEVICE_READ:
            return "device_read";
        case DEVICE_READSTB:
            return "device_readstb";
        case DEVICE_TRIGGER:
            return "device_trigger";
        case DEVICE_CLEAR:
            return "device_clear";
        case DEVICE_REMOTE:
            return "device_remote";
        case DEVICE_LOCAL:
            return "device_local";
        case DEVICE_LOCK:
            return "device_lock";
        case DEVICE_UNLOCK:
            return "device_unlock";
        case DEVICE_ENABLE_SRQ:
            return "device_enable_srq";
        case DEVICE_DOCMD:
            return "device_docmd";
        case DESTROY_LINK:
            return "destroy_link";
        case CREATE_INTR_CHAN:
            return "create_intr_chan";
        case DESTROY_INTR_CHAN:
            return "destroy_intr_chan";
    }
    return nullptr;
}

const char* error_text(std::int32_t error) {
    switch (error) {
        case ERR_NONE:
            return "no error";
        case ERR_SYNTAX:
            return "syntax error";
        case ERR_DEVICE_NOT_ACCESSIBLE:
            return "device not accessible";
        case ERR_INVALID_LINK:
            return "invalid link identifier";
        case ERR_PARAMETER:
            return "parameter error";
        case ERR_CHANNEL_NOT_ESTABLISHED:
            return "channel not established";
        case ERR_NOT_SUPPORTED:
            return "operation not supported";
        case ERR_OUT_OF_RESOURCES:
            return "out of resources";
        case ERR_LOCKED_BY_ANOTHER_LINK:
            return "device locked by another link";
        case ERR_NO_LOCK_HELD:
            return "no lock held by this link";
        case ERR_IO_TIMEOUT:
            return "I/O timeout";
        case ERR_IO_ERROR:
            return "I/O error";
        case ERR_INVALID_ADDRESS:
            return "invalid address";
        case ERR_ABORT:
            return "abort";
        case ERR_CHANNEL_ALREADY_ESTABLISHED:
            return "channel already established";
    }
    return "unknown error";
}

void encode(XdrWriter& w, const DeviceLink& v) {
    w.i32(v.lid);
}
bool decode(XdrReader& r, DeviceLink& v) {
    return r.i32(v.lid);
}

void encode(XdrWriter& w, const DeviceErrorResp& v) {
    w.i32(v.error);
}
bool decode(XdrReader& r, DeviceErrorResp& v) {
    return r.i32(v.error);
}

void encode(XdrWriter& w, const CreateLinkParms& v) {
    w.i32(v.client_id);
    w.boolean(v.lock_device);
    w.u32(v.lock_timeout);
    w.string(v.device);
}

bool decode(XdrReader& r, CreateLinkParms& v) {
    return r.i32(v.client_id) && r.boolean(v.lock_device) && r.u32(v.lock_timeout) &&
           r.string(v.device, kMaxDeviceName);
}

void encode(XdrWriter& w, const CreateLinkResp& v) {
    w.i32(v.error);
    w.i32(v.lid);
    w.u32(v.abort_port);
    w.u32(v.max_recv_size);
}

bool decode(XdrReader& r, CreateLinkResp& v) {
    return r.i32(v.error) && r.i32(v.lid) && port_value(r, v.abort_port) && r.u32(v.max_recv_size);
}

void encode(XdrWriter& w, const DeviceWriteParms& v) {
    w.i32(v.lid);
    w.u32(v.io_timeout);
    w.u32(v.lock_timeout);
    w.i32(v.flags);
    w.opaque(v.data);
}

bool decode(XdrReader& r, DeviceWriteParms& v) {
    // Any length the record holds: whether it passes maxRecvSize is the
    // server's to answer, with an error rather than a dropped connection.
    return r.i32(v.lid) && r.u32(v.io_timeout) && r.u32(v.lock_timeout) && r.i32(v.flags) &&
           r.opaque(v.data, kAnyLength);
}

void encode(XdrWriter& w, const DeviceWriteResp& v) {
    w.i32(v.error);
    w.u32(v.size);
}

bool decode(XdrReader& r, DeviceWriteResp& v) {
    return r.i32(v.error) && r.u32(v.size);
}

void encode(XdrWriter& w, const DeviceReadParms& v) {
    w.i32(v.lid);
    w.u32(v.request_size);
    w.u32(v.io_timeout);
    w.u32(v.lock_timeout);
    w.i32(v.flags);
    w.u32(v.term_char);
}

bool decode(XdrReader& r, DeviceReadParms& v) {
    return r.i32(v.lid) && r.u32(v.request_size) && r.u32(v.io_timeout) && r.u32(v.lock_timeout) &&
           r.i32(v.flags) && byte_value(r, v.term_char);
}

void encode(XdrWriter& w, const DeviceReadResp& v) {
    w.i32(v.error);
    w.i32(v.reason);
    w.opaque(v.data);
}

bool decode(XdrReader& r, DeviceReadResp& v) {
    // Devices may send more than request_size (some ignore it): the client
    // bounds the record, and takes what its caller's buffer holds.
    return r.i32(v.error) && r.i32(v.reason) && r.opaque(v.data, kAnyLength);
}

void encode(XdrWriter& w, const DeviceReadStbResp& v) {
    w.i32(v.error);
    w.u32(v.stb);
}

bool decode(XdrReader& r, DeviceReadStbResp& v) {
    return r.i32(v.error) && byte_value(r, v.stb);
}

void encode(XdrWriter& w, const DeviceGenericParms& v) {
    w.i32(v.lid);
    w.i32(v.flags);
    w.u32(v.lock_timeout);
    w.u32(v.io_timeout);
}

bool decode(XdrReader& r, DeviceGenericParms& v) {
    return r.i32(v.lid) && r.i32(v.flags) && r.u32(v.lock_timeout) && r.u32(v.io_timeout);
}

void encode(XdrWriter& w, const DeviceLockParms& v) {
    w.i32(v.lid);
    w.i32(v.flags);
    w.u32(v.lock_timeout);
}

bool decode(XdrReader& r, DeviceLockParms& v) {
    return r.i32(v.lid) && r.i32(v.flags) && r.u32(v.lock_timeout);
}

void encode(XdrWriter& w, const DeviceEnableSrqParms& v) {
    w.i32(v.lid);
    w.boolean(v.enable);
    w.opaque(v.handle);
}

bool decode(XdrReader& r, DeviceEnableSrqParms& v) {
    return r.i32(v.lid) && r.boolean(v.enable) && r.opaque(v.handle, kMaxSrqHandle);
}

void encode(XdrWriter& w, const DeviceRemoteFunc& v) {
    w.u32(v.host_addr);
    w.u32(v.host_port);
    w.u32(v.prog_num);
    w.u32(v.prog_vers);
    w.u32(static_cast<std::uint32_t>(v.prog_family));
}

bool decode(XdrReader& r, DeviceRemoteFunc& v) {
    std::uint32_t family = 0;
    if (!(r.u32(v.host_addr) && port_value(r, v.host_port) && r.u32(v.prog_num) &&
          r.u32(v.prog_vers) && r.u32(family)) ||
        family > static_cast<std::uint32_t>(AddrFamily::udp))
        return false;
    v.prog_family = static_cast<AddrFamily>(family);
    return true;
}

void encode(XdrWriter& w, const DeviceSrqParms& v) {
    w.opaque(v.handle);
}

bool decode(XdrReader& r, DeviceSrqParms& v) {
    // opaque handle<> has no bound of its own; it is a view, and ours are
    // kMaxSrqHandle long, so a longer one is simply no handle of ours.
    return r.opaque(v.handle, kAnyLength);
}

}  // namespace sgproto::vxi11
