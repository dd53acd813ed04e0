// VXI-11, instrument control over ONC RPC: the numbers of its three
// programs and their procedures, the flags, reasons and error codes, and
// the argument and result of every procedure but device_docmd, each with
// its XDR encode and decode (both directions: the library is a client of
// the core and abort channels and serves the interrupt channel; the
// simulator the other way round).
//
//   core (DEVICE_CORE)       the instrument serves it; port from the portmapper
//   abort (DEVICE_ASYNC)     the instrument serves it on create_link's abortPort
//   interrupt (DEVICE_INTR)  the controller serves it; the instrument calls
//                            device_intr_srq, which has no reply
//
// The struct names are the protocol's without "Device_" and "_", and its
// fields in our case (Create_LinkParms.lock_timeout is
// CreateLinkParms::lock_timeout). Wire types: long and unsigned long are
// 32 bits; bool, enum, char and u_char and u_short are each a 4-byte unit.
// Decoding is as strict as XDR (booleans 0 or 1, zero padding), but char
// and u_char take the low byte as the reference XDR routines do, because C
// clients on machines with a signed char send termChar 0xFF as -1. Ports
// above 65535 are refused. Error codes and reasons decode whatever their
// value: what a code means is the client's to judge, not the decoder's.
//
// Opaque data decodes as a view into the input (ByteView): no copy, and no
// length from the wire sizes anything. A decoded struct is valid while the
// record it came from is. Pure functions; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "proto/oncrpc.h"

namespace sgproto::vxi11 {

using oncrpc::Bytes;
using oncrpc::ByteView;
using oncrpc::Void;
using oncrpc::XdrReader;
using oncrpc::XdrWriter;

constexpr std::uint32_t kCoreProgram = 0x0607AF;
constexpr std::uint32_t kAbortProgram = 0x0607B0;
constexpr std::uint32_t kInterruptProgram = 0x0607B1;
constexpr std::uint32_t kVersion = 1;  // of all three

enum CoreProc : std::uint32_t {
    CREATE_LINK = 10,
    DEVICE_WRITE = 11,
    DEVICE_READ = 12,
    DEVICE_READSTB = 13,
    DEVICE_TRIGGER = 14,
    DEVICE_CLEAR = 15,
    DEVICE_REMOTE = 16,
    DEVICE_LOCAL = 17,
    DEVICE_LOCK = 18,
    DEVICE_UNLOCK = 19,
    DEVICE_ENABLE_SRQ = 20,
    DEVICE_DOCMD = 22,
    DESTROY_LINK = 23,
    CREATE_INTR_CHAN = 25,
    DESTROY_INTR_CHAN = 26,
};
constexpr std::uint32_t DEVICE_ABORT = 1;      // abort channel
constexpr std::uint32_t DEVICE_INTR_SRQ = 30;  // interrupt channel

// The procedure's name for traces ("device_write"), by program; nullptr for
// a number the program does not have.
const char* proc_name(std::uint32_t prog, std::uint32_t proc);

// Device_Flags.
constexpr std::int32_t kFlagWaitLock = 1;       // wait lock_timeout for a lock held elsewhere
constexpr std::int32_t kFlagEnd = 8;            // device_write: the last byte carries END
constexpr std::int32_t kFlagTermCharSet = 128;  // device_read: stop at term_char

// Device_ReadResp.reason bits: why the read stopped.
constexpr std::int32_t kReasonReqCnt = 1;  // request_size bytes given
constexpr std::int32_t kReasonChr = 2;     // term_char given (with kFlagTermCharSet)
constexpr std::int32_t kReasonEnd = 4;     // the message ended

// Device_ErrorCode.
enum DeviceError : std::int32_t {
    ERR_NONE = 0,
    ERR_SYNTAX = 1,
    ERR_DEVICE_NOT_ACCESSIBLE = 3,
    ERR_INVALID_LINK = 4,
    ERR_PARAMETER = 5,
    ERR_CHANNEL_NOT_ESTABLISHED = 6,
    ERR_NOT_SUPPORTED = 8,
    ERR_OUT_OF_RESOURCES = 9,
    ERR_LOCKED_BY_ANOTHER_LINK = 11,
    ERR_NO_LOCK_HELD = 12,
    ERR_IO_TIMEOUT = 15,
    ERR_IO_ERROR = 17,
    ERR_INVALID_ADDRESS = 21,
    ERR_ABORT = 23,
    ERR_CHANNEL_ALREADY_ESTABLISHED = 29,
};

// The error's text for traces and messages ("invalid link identifier");
// "unknown error" for a code the protocol does not define.
const char* error_text(std::int32_t error);

// Device_AddrFamily, create_intr_chan's progFamily.
enum class AddrFamily : std::uint32_t { tcp = 0, udp = 1 };

// Our bound on create_link's device name, which the protocol leaves open:
// a LAN device name ("inst0", "gpib0,12,5") is short, and a VISA string
// attribute holds 255 characters.
constexpr std::size_t kMaxDeviceName = 255;
// device_enable_srq's handle is opaque<40>.
constexpr std::size_t kMaxSrqHandle = 40;

// Device_Link alone: device_unlock, destroy_link, device_abort.
struct DeviceLink {
    std::int32_t lid = 0;
};

// Device_Error alone: the result of most procedures.
struct DeviceErrorResp {
    std::int32_t error = ERR_NONE;
};

struct CreateLinkParms {
    std::int32_t client_id = 0;
    bool lock_device = false;
    std::uint32_t lock_timeout = 0;  // ms
    std::string device;              // at most kMaxDeviceName bytes
};

struct CreateLinkResp {
    std::int32_t error = ERR_NONE;
    std::int32_t lid = 0;
    std::uint16_t abort_port = 0;
    std::uint32_t max_recv_size = 0;  // largest device_write data the device takes
};

struct DeviceWriteParms {
    std::int32_t lid = 0;
    std::uint32_t io_timeout = 0;    // ms
    std::uint32_t lock_timeout = 0;  // ms
    std::int32_t flags = 0;
    ByteView data;
};

struct DeviceWriteResp {
    std::int32_t error = ERR_NONE;
    std::uint32_t size = 0;  // bytes taken
};

struct DeviceReadParms {
    std::int32_t lid = 0;
    std::uint32_t request_size = 0;
    std::uint32_t io_timeout = 0;    // ms
    std::uint32_t lock_timeout = 0;  // ms
    std::int32_t flags = 0;
    std::uint8_t term_char = 0;
};

struct DeviceReadResp {
    std::int32_t error = ERR_NONE;
    std::int32_t reason = 0;  // kReason* bits
    ByteView data;
};

struct DeviceReadStbResp {
    std::int32_t error = ERR_NONE;
    std::uint8_t stb = 0;
};

// device_readstb, device_trigger, device_clear, device_remote, device_local.
struct DeviceGenericParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lock_timeout = 0;  // ms
    std::uint32_t io_timeout = 0;    // ms
};

struct DeviceLockParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;          // kFlagWaitLock: wait lock_timeout
    std::uint32_t lock_timeout = 0;  // ms
};

struct DeviceEnableSrqParms {
    std::int32_t lid = 0;
    bool enable = false;
    ByteView handle;  // at most kMaxSrqHandle bytes; given back by device_intr_srq
};

// create_intr_chan: where the instrument connects back for device_intr_srq.
// host_addr is an IPv4 address in host order (the channel is IPv4 only).
struct DeviceRemoteFunc {
    std::uint32_t host_addr = 0;
    std::uint16_t host_port = 0;
    std::uint32_t prog_num = kInterruptProgram;
    std::uint32_t prog_vers = kVersion;
    AddrFamily prog_family = AddrFamily::tcp;
};

// device_intr_srq's argument: the handle device_enable_srq gave.
struct DeviceSrqParms {
    ByteView handle;
};

void encode(XdrWriter& w, const DeviceLink& v);
bool decode(XdrReader& r, DeviceLink& v);
void encode(XdrWriter& w, const DeviceErrorResp& v);
bool decode(XdrReader& r, DeviceErrorResp& v);
void encode(XdrWriter& w, const CreateLinkParms& v);
bool decode(XdrReader& r, CreateLinkParms& v);
void encode(XdrWriter& w, const CreateLinkResp& v);
bool decode(XdrReader& r, CreateLinkResp& v);
void encode(XdrWriter& w, const DeviceWriteParms& v);
bool decode(XdrReader& r, DeviceWriteParms& v);
void encode(XdrWriter& w, const DeviceWriteResp& v);
bool decode(XdrReader& r, DeviceWriteResp& v);
void encode(XdrWriter& w, const DeviceReadParms& v);
bool decode(XdrReader& r, DeviceReadParms& v);
void encode(XdrWriter& w, const DeviceReadResp& v);
bool decode(XdrReader& r, DeviceReadResp& v);
void encode(XdrWriter& w, const DeviceReadStbResp& v);
bool decode(XdrReader& r, DeviceReadStbResp& v);
void encode(XdrWriter& w, const DeviceGenericParms& v);
bool decode(XdrReader& r, DeviceGenericParms& v);
void encode(XdrWriter& w, const DeviceLockParms& v);
bool decode(XdrReader& r, DeviceLockParms& v);
void encode(XdrWriter& w, const DeviceEnableSrqParms& v);
bool decode(XdrReader& r, DeviceEnableSrqParms& v);
void encode(XdrWriter& w, const DeviceRemoteFunc& v);
bool decode(XdrReader& r, DeviceRemoteFunc& v);
void encode(XdrWriter& w, const DeviceSrqParms& v);
bool decode(XdrReader& r, DeviceSrqParms& v);

}  // namespace sgproto::vxi11
