#include "rpc_text.h"

#include "proto/oncrpc.h"
#include "proto/portmap.h"
#include "proto/vxi11.h"
#include "trace/trace_sink.h"
#include "trace/trace_text.h"

namespace sgvisa::lan {
namespace {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;

const char* proc_word(std::uint32_t prog, std::uint32_t proc) {
    if (prog == rpc::kPortmapProgram)
        return proc == rpc::PMAPPROC_GETPORT ? "GETPORT" : "portmap";
    const char* name = vxi::proc_name(prog, proc);
    return name != nullptr ? name : "?";
}

void flags_text(std::string& out, std::int32_t flags) {
    out += " flags=";
    trace::append_hex(out, static_cast<std::uint32_t>(flags));
    if ((flags & vxi::kFlagWaitLock) != 0)
        out += ",waitlock";
    if ((flags & vxi::kFlagEnd) != 0)
        out += ",END";
    if ((flags & vxi::kFlagTermCharSet) != 0)
        out += ",termchrset";
}

void data_text(std::string& out, rpc::ByteView data) {
    out += " data=";
    trace::append_buffer(out, data.data(), data.size());
}

void timeouts(std::string& out, std::uint32_t io, std::uint32_t lock) {
    out += " io_timeout=";
    trace::append_unsigned(out, io);
    out += " lock_timeout=";
    trace::append_unsigned(out, lock);
}

template <class T>
bool decoded(rpc::ByteView in, T& v, std::string& out) {
    if (rpc::from_bytes(in, v))
        return true;
    out += " (does not decode)";
    return false;
}

}  // namespace

void describe_call(std::string& out, std::uint32_t prog, std::uint32_t proc, rpc::ByteView args) {
    out += proc_word(prog, proc);
    if (prog == rpc::kPortmapProgram) {
        rpc::Mapping m;
        if (proc == rpc::PMAPPROC_GETPORT && decoded(args, m, out)) {
            out += " prog=";
            trace::append_hex(out, m.prog);
            out += " vers=";
            trace::append_unsigned(out, m.vers);
        }
        return;
    }
    switch (proc) {
        case vxi::CREATE_LINK: {
            vxi::CreateLinkParms p;
            if (prog == vxi::kCoreProgram && decoded(args, p, out)) {
                out += " device=";
                trace::append_string(out, p.device.c_str());
                out += p.lock_device ? " lockDevice" : "";
            }
            return;
        }
        case vxi::DEVICE_WRITE: {
            vxi::DeviceWriteParms p;
            if (decoded(args, p, out)) {
                out += " lid=";
                trace::append_signed(out, p.lid);
                timeouts(out, p.io_timeout, p.lock_timeout);
                flags_text(out, p.flags);
                data_text(out, p.data);
            }
            return;
        }
        case vxi::DEVICE_READ: {
            vxi::DeviceReadParms p;
            if (decoded(args, p, out)) {
                out += " lid=";
                trace::append_signed(out, p.lid);
                out += " requestSize=";
                trace::append_unsigned(out, p.request_size);
                timeouts(out, p.io_timeout, p.lock_timeout);
                flags_text(out, p.flags);
                if ((p.flags & vxi::kFlagTermCharSet) != 0) {
                    out += " termChar=";
                    trace::append_hex(out, p.term_char);
                }
            }
            return;
        }
        case vxi::DEVICE_LOCK: {
            vxi::DeviceLockParms p;
            if (decoded(args, p, out)) {
                out += " lid=";
                trace::append_signed(out, p.lid);
                flags_text(out, p.flags);
                out += " lock_timeout=";
                trace::append_unsigned(out, p.lock_timeout);
            }
            return;
        }
        default: {
            // The rest start with the link id, if they take one.
            rpc::XdrReader r(args);
            std::int32_t lid = 0;
            if (args.size() >= 4 && r.i32(lid) && prog != vxi::kInterruptProgram) {
                out += " lid=";
                trace::append_signed(out, lid);
            }
            return;
        }
    }
}

void describe_reply(std::string& out, std::uint32_t prog, std::uint32_t proc,
                    rpc::ByteView results) {
    out += proc_word(prog, proc);
    if (prog == rpc::kPortmapProgram) {
        rpc::PortResult p;
        if (decoded(results, p, out)) {
            out += " port=";
            trace::append_unsigned(out, p.port);
        }
        return;
    }
    rpc::XdrReader r(results);
    std::int32_t error = 0;
    if (!r.i32(error)) {
        out += " (does not decode)";
        return;
    }
    out += " error=";
    trace::append_signed(out, error);
    if (error != vxi::ERR_NONE) {
        out += " (";
        out += vxi::error_text(error);
        out += ")";
    }
    if (proc == vxi::CREATE_LINK && prog == vxi::kCoreProgram) {
        vxi::CreateLinkResp p;
        if (decoded(results, p, out)) {
            out += " lid=";
            trace::append_signed(out, p.lid);
            out += " abortPort=";
            trace::append_unsigned(out, p.abort_port);
            out += " maxRecvSize=";
            trace::append_unsigned(out, p.max_recv_size);
        }
    } else if (proc == vxi::DEVICE_WRITE) {
        vxi::DeviceWriteResp p;
        if (decoded(results, p, out)) {
            out += " size=";
            trace::append_unsigned(out, p.size);
        }
    } else if (proc == vxi::DEVICE_READ) {
        vxi::DeviceReadResp p;
        if (decoded(results, p, out)) {
            out += " reason=";
            trace::append_hex(out, static_cast<std::uint32_t>(p.reason));
            if ((p.reason & vxi::kReasonReqCnt) != 0)
                out += ",REQCNT";
            if ((p.reason & vxi::kReasonChr) != 0)
                out += ",CHR";
            if ((p.reason & vxi::kReasonEnd) != 0)
                out += ",END";
            data_text(out, p.data);
        }
    } else if (proc == vxi::DEVICE_READSTB) {
        vxi::DeviceReadStbResp p;
        if (decoded(results, p, out)) {
            out += " stb=";
            trace::append_hex(out, p.stb);
        }
    }
}

void trace_rpc_call(rpc::ByteView record) {
    trace::transfer_line([&](std::string& line) {
        rpc::XdrReader r(record.subspan(std::min(record.size(), rpc::kFragmentHeaderSize)));
        rpc::CallHeader h;
        if (!rpc::decode(r, h)) {
            line += "rpc call (does not decode)";
            return;
        }
        line += "rpc call xid=";
        trace::append_hex(line, h.xid);
        line += ' ';
        describe_call(line, h.prog, h.proc, r.rest());
    });
}

void trace_rpc_reply(std::uint32_t prog, std::uint32_t proc, std::uint32_t xid,
                     rpc::ByteView results) {
    trace::transfer_line([&](std::string& line) {
        line += "rpc reply xid=";
        trace::append_hex(line, xid);
        line += ' ';
        describe_reply(line, prog, proc, results);
    });
}

void trace_rpc_dropped(std::uint32_t xid) {
    trace::transfer_line([&](std::string& line) {
        line += "rpc reply xid=";
        trace::append_hex(line, xid);
        line += " dropped: its call was given up on";
    });
}

}  // namespace sgvisa::lan
