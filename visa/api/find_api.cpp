// Finding and naming resources: viFindRsrc, viFindNext, viParseRsrc,
// viParseRsrcEx. Every USBTMC interface the backends see is a resource,
// whatever its vendor, and so is every LAN instrument that answers a
// discovery on the local networks (lan_discovery.h); names come back in
// canonical form. Names of other interface types parse (resource_syntax.h)
// but are never found: a search lists only what viOpen opens
// (builtin_transports.h).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "api/builtin_transports.h"
#include "entry_point.h"
#include "lan/lan_discovery.h"
#include "session/session_table.h"
#include "transport/resource_pattern.h"
#include "transport/resource_syntax.h"
#include "transport/transport_openers.h"
#include "transport/usb_resource_name.h"
#include "visa.h"

using sgvisa::session::SessionTable;

namespace {

// How long a search may take in all, however slow a backend is.
constexpr std::uint32_t kFindTimeMs = 2000;

// Copies `text` into a caller's VI_FIND_BUFLEN buffer, zero-terminated.
void copy_out(const std::string& text, ViChar* out) {
    if (out == nullptr)
        return;
    const std::size_t n = std::min<std::size_t>(text.size(), VI_FIND_BUFLEN - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// A resource name's facts, for viParseRsrc(Ex).
ViStatus parse_name(ViSession rm, ViConstRsrc rsrc, sgvisa::ResourceSyntax& name) {
    if (!SessionTable::global().is_resource_manager(rm))
        return VI_ERROR_INV_OBJECT;
    if (rsrc == nullptr)
        return VI_ERROR_INV_RSRC_NAME;
    return sgvisa::parse_resource_syntax(std::string_view(rsrc), name);
}

}  // namespace

SGVISA_EXPORT ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi,
                                  ViPUInt32 retCnt, ViChar* desc) {
    const sgvisa::api::CallTrace traced("viFindRsrc", [&](sgvisa::api::CallArgs& a) {
        a.obj("sesn", sesn)
            .str("expr", expr)
            .out_hex("vi", vi)
            .out("retCnt", retCnt)
            .out_str("desc", desc);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (vi != nullptr)
            *vi = VI_NULL;
        if (retCnt != nullptr)
            *retCnt = 0;
        if (desc != nullptr)
            desc[0] = '\0';
        auto& table = SessionTable::global();
        if (!table.is_resource_manager(sesn))
            return VI_ERROR_INV_OBJECT;
        if (expr == nullptr)
            return VI_ERROR_INV_EXPR;
        std::unique_ptr<sgvisa::ResourcePattern> pattern;
        ViStatus st = sgvisa::ResourcePattern::compile(expr, pattern);
        if (st != VI_SUCCESS)
            return st;

        sgvisa::api::register_builtin_transports();
        auto list = std::make_shared<sgvisa::session::FindList>();
        // The LAN is asked (sending on every network) only when the pattern
        // could match what it finds. The variable first: with discovery off,
        // a search does just what it did before discovery existed.
        const bool on_networks =
            sgvisa::lan::discovery_ms() != 0 && pattern->may_match_prefix("TCPIP");
        for (const auto& name : sgvisa::find_transport_resources(
                 sgvisa::deadline_after_ms(kFindTimeMs), on_networks)) {
            std::string text = sgvisa::canonical_name(name);
            // Only what viOpen opens is listed.
            sgvisa::ResourceSyntax kind;
            if (sgvisa::parse_resource_syntax(text, kind) != VI_SUCCESS ||
                !sgvisa::api::serves(kind.interface_type, kind.resource_class))
                continue;
            if (pattern->matches(text))
                list->names.push_back(std::move(text));
        }
        if (list->names.empty())
            return VI_ERROR_RSRC_NFOUND;
        copy_out(list->names[0], desc);
        list->next = 1;
        if (retCnt != nullptr)
            *retCnt = static_cast<ViUInt32>(list->names.size());
        if (vi == nullptr)
            return VI_SUCCESS;  // the caller wants the first match only
        ViSession handle = VI_NULL;
        st = table.add_find_list(sesn, list, handle);
        if (st != VI_SUCCESS)
            return st;
        *vi = handle;
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viFindNext(ViFindList vi, ViChar* desc) {
    const sgvisa::api::CallTrace traced(
        "viFindNext", [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi).out_str("desc", desc); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        if (desc != nullptr)
            desc[0] = '\0';
        const auto list = SessionTable::global().find_list(vi);
        if (!list)
            return VI_ERROR_INV_OBJECT;
        std::lock_guard lock(list->mutex);
        if (list->next >= list->names.size())
            return VI_ERROR_RSRC_NFOUND;
        copy_out(list->names[list->next++], desc);
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType,
                                   ViPUInt16 intfNum) {
    const sgvisa::api::CallTrace traced("viParseRsrc", [&](sgvisa::api::CallArgs& a) {
        a.obj("rmSesn", rmSesn)
            .str("rsrcName", rsrcName)
            .out("intfType", intfType)
            .out("intfNum", intfNum);
    });
    return viParseRsrcEx(rmSesn, rsrcName, intfType, intfNum, nullptr, nullptr, nullptr);
}

SGVISA_EXPORT ViStatus viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType,
                                     ViPUInt16 intfNum, ViChar* rsrcClass,
                                     ViChar* expandedUnaliasedName, ViChar* aliasIfExists) {
    const sgvisa::api::CallTrace traced("viParseRsrcEx", [&](sgvisa::api::CallArgs& a) {
        a.obj("rmSesn", rmSesn)
            .str("rsrcName", rsrcName)
            .out("intfType", intfType)
            .out("intfNum", intfNum)
            .out_str("rsrcClass", rsrcClass)
            .out_str("expandedUnaliasedName", expandedUnaliasedName)
            .out_str("aliasIfExists", aliasIfExists);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        sgvisa::ResourceSyntax name;
        const ViStatus st = parse_name(rmSesn, rsrcName, name);
        if (st != VI_SUCCESS)
            return st;
        if (intfType != nullptr)
            *intfType = name.interface_type;
        if (intfNum != nullptr)
            *intfNum = name.board;
        copy_out(name.resource_class, rsrcClass);
        copy_out(name.canonical, expandedUnaliasedName);
        copy_out("", aliasIfExists);  // this library keeps no aliases
        return VI_SUCCESS;
    });
}
