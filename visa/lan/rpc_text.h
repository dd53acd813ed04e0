// The transfers level of the I/O trace for ONC RPC: each call and reply of
// the portmapper and the VXI-11 channels, decoded as tshark would show it
// (procedure, link, timeouts, flags, reason, data), one line each.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace sgvisa::lan {

// `record` is a whole call record as sent, fragment header first.
void trace_rpc_call(std::span<const std::uint8_t> record);
// The results of the reply to `proc` of `prog` with `xid`.
void trace_rpc_reply(std::uint32_t prog, std::uint32_t proc, std::uint32_t xid,
                     std::span<const std::uint8_t> results);
// A reply no call waits for, dropped.
void trace_rpc_dropped(std::uint32_t xid);

// The words for one call's arguments or one reply's results, appended.
void describe_call(std::string& out, std::uint32_t prog, std::uint32_t proc,
                   std::span<const std::uint8_t> args);
void describe_reply(std::string& out, std::uint32_t prog, std::uint32_t proc,
                    std::span<const std::uint8_t> results);

}  // namespace sgvisa::lan
