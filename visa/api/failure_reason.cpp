#include "failure_reason.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "api/builtin_transports.h"
#include "api/failure_words.h"
#include "lock/lock_holders.h"
#include "session/session_table.h"
#include "transport/resource_name.h"
#include "transport/resource_syntax.h"
#include "transport/transport_openers.h"

namespace sgvisa::api {
namespace {

// How long listing the buses for a "not found" may take.
constexpr unsigned kListingMs = 2000;

std::string pid_list(const std::vector<pid_t>& pids) {
    std::string text;
    for (pid_t pid : pids) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(pid);
    }
    return text;
}

std::string not_found(const UsbResourceName& wanted) {
    register_builtin_transports();
    const std::vector<UsbResourceName> present =
        list_transport_resources(deadline_after_ms(kListingMs));
    char ids[64];
    std::snprintf(ids, sizeof ids, "vendor 0x%04X, product 0x%04X", wanted.vendor_id,
                  wanted.product_id);
    std::string text = "no instrument with serial number \"" + wanted.serial + "\" (" + ids +
                       ") is connected, on USB or on the local bus; ";
    if (present.empty()) {
        text +=
            "no USBTMC instrument was found at all: check that it is plugged in and "
            "switched on (a simulated one: that sgsim runs as this user)";
        return text;
    }
    text += "found: ";
    for (std::size_t i = 0; i < present.size(); ++i) {
        text += i > 0 ? ", " : "";
        text += canonical_name(present[i]);
    }
    text += "; check the serial number (and the IDs) in the resource name";
    return text;
}

// A LAN instrument not found: the host did not resolve, or nothing answered
// on its port.
std::string lan_not_found(const ResourceName& wanted) {
    const bool socket = std::holds_alternative<TcpipSocketName>(wanted);
    const std::string host = std::visit(
        [](const auto& n) {
            if constexpr (std::is_same_v<std::decay_t<decltype(n)>, UsbResourceName>)
                return std::string();
            else
                return n.host;
        },
        wanted);
    return "no instrument answered at \"" + host +
           (socket ? "\" on that port" : "\" over VXI-11 (portmapper, port 111)") +
           ": check the host name or address, that the instrument is on the network and "
           "switched on, and the port (a simulated one: sgsim --lan)";
}

std::string locked(const ResourceName& name, ViStatus status, const char* op) {
    const lock::LockHolders holders = lock::lock_holders(lock::instrument_key(name));
    if (holders.exclusive.held) {
        const std::string pids = pid_list(holders.exclusive.pids);
        return "the instrument is locked by " +
               (pids.empty() ? std::string("a process this user cannot see") : "process " + pids) +
               " (an exclusive lock: viLock, or viOpen with VI_EXCLUSIVE_LOCK): wait until it "
               "closes its session or unlocks, or end that process";
    }
    if (holders.shared.held) {
        const std::string pids = pid_list(holders.shared.pids);
        return "the instrument is locked by " +
               (pids.empty() ? std::string("processes this user cannot see")
                             : "process(es) " + pids) +
               " (a shared lock): join it with its access key (viLock with VI_SHARED_LOCK), "
               "or wait until they unlock";
    }
    if (holders.access.held) {
        const std::string pids = pid_list(holders.access.pids);
        return "process " + (pids.empty() ? std::string("(not visible to this user)") : pids) +
               " is in the middle of an operation on the instrument and did not finish in "
               "time: wait for it, or give this call a longer timeout";
    }
    if (status == VI_ERROR_TMO && std::strcmp(op, "viLock") != 0)
        return {};
    return "another session held the instrument (the lock is free now): try again";
}

std::string no_answer(const session::InstrumentSession& session) {
    return "the instrument did not answer within " + std::to_string(session.settings().timeout_ms) +
           " ms (VI_ATTR_TMO_VALUE): check that it is connected and switched on and that the "
           "command asks for a reply, or set a longer timeout";
}

}  // namespace

std::string failure_reason(const char* op, ViStatus status, ViObject session,
                           const char* resource) {
    std::optional<ResourceName> name;
    std::shared_ptr<session::InstrumentSession> instrument;
    if (resource != nullptr) {
        ResourceName parsed;
        if (parse_resource_name(std::string_view(resource, ::strnlen(resource, 1024)), parsed) ==
            VI_SUCCESS)
            name = parsed;
    } else if (session != VI_NULL) {
        instrument = session::SessionTable::global().instrument(session);
        if (instrument)
            name = instrument->name();
    }
    switch (status) {
        case VI_ERROR_RSRC_NFOUND:
            if (!name || resource == nullptr)
                return {};
            if (const auto* usb = std::get_if<UsbResourceName>(&*name))
                return not_found(*usb);
            return lan_not_found(*name);
        case VI_ERROR_RSRC_LOCKED:
        case VI_ERROR_RSRC_BUSY:
            return name ? locked(*name, status, op) : std::string();
        case VI_ERROR_TMO:
            if (std::strcmp(op, "viLock") == 0 && name)
                return locked(*name, status, op);
            return instrument ? no_answer(*instrument) : std::string();
        case VI_ERROR_CONN_LOST:
            return "the instrument went away (unplugged, switched off, or its simulator ended): "
                   "close the session and open it again";
        case VI_ERROR_NSUP_OPER:
            if (name && asks_secure_connection(*name))
                return secure_refusal_reason();
            if (resource != nullptr) {
                ResourceSyntax other;
                if (parse_resource_syntax(std::string_view(resource, ::strnlen(resource, 1024)),
                                          other) == VI_SUCCESS &&
                    !serves(other.interface_type, other.resource_class))
                    return not_served_reason(other.interface_type, other.resource_class);
            }
            return {};
        case VI_ERROR_INV_OBJECT:
            return "not an open session (closed already, or never opened)";
        default:
            return {};
    }
}

std::string failure_words(const char* op, ViStatus status, const char* resource) {
    return failure_reason(op, status, VI_NULL, resource);
}

}  // namespace sgvisa::api
