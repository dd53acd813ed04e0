// sgvisa info RESOURCE
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "capabilities_text.h"
#include "commands.h"
#include "inspect/inspection.h"
#include "instrument_listing.h"
#include "instrument_text.h"
#include "json_writer.h"
#include "lan_info.h"
#include "open_failure.h"
#include "transport/resource_name.h"
#include "visa.h"

namespace sgvisa_tool {
namespace {

constexpr std::uint32_t kListTimeMs = 2000;

// The capabilities, read by opening the instrument as any program of the
// library does (waiting for another process's operation within the
// timeout); `why_not` says why they could not be read.
bool read_capabilities(const sgvisa::UsbResourceName& name, std::uint32_t timeout_ms,
                       std::vector<std::uint8_t>& answer, std::string& why_not) {
    const ViStatus st =
        sgvisa::inspect::read_capabilities(name, sgvisa::deadline_after_ms(timeout_ms), answer);
    if (st != VI_SUCCESS) {
        const std::string reason =
            sgvisa::inspect::open_failure_reason(sgvisa::canonical_name(name), st);
        why_not = "not read: the open failed with " + sgvisa::inspect::status_words(st) +
                  (reason.empty() ? "" : ": " + reason);
        return false;
    }
    if (answer.empty())
        why_not = "the instrument stalled GET_CAPABILITIES";
    return !answer.empty();
}

// An instrument that info cannot show: the failure of an open of `text`,
// worded as query words it (the open is what query would do, and sends
// nothing); exit status 1, with one JSON document under --json.
int cannot_show(const Options& options, const std::string& text, std::FILE* out, std::FILE* err) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ViStatus st = viOpenDefaultRM(&rm);
    if (st >= VI_SUCCESS) {
        st = viOpen(rm, text.c_str(), VI_NULL, options.timeout_ms, &vi);
        viClose(rm);
    }
    // Opened after all (it came while the list was read): not found when listed.
    return report_open_failure(options, text, st >= VI_SUCCESS ? VI_ERROR_RSRC_NFOUND : st, out,
                               err);
}

std::string holders_text(const sgvisa::inspect::LockHolding& holding, const std::string& proc) {
    return holding.pids.empty() ? std::string("a process this user cannot see")
                                : describe_processes(named(proc, holding.pids));
}

void write_holding(JsonWriter& json, const char* key, const sgvisa::inspect::LockHolding& holding,
                   const std::string& proc) {
    json.key(key).begin_object();
    json.key("held").boolean(holding.held);
    json.key("holders").begin_array();
    for (const ProcessName& p : named(proc, holding.pids)) {
        json.begin_object();
        json.key("pid").number(p.pid);
        json.key("command").string(p.command);
        json.end_object();
    }
    json.end_array();
    json.end_object();
}

}  // namespace

int run_info(const Options& options, std::FILE* out, std::FILE* err) {
    if (options.args.size() != 1) {
        std::fputs("sgvisa: info takes one resource name\n", err);
        return 2;
    }
    const std::string& text = options.args[0];
    sgvisa::ResourceName any;
    if (sgvisa::parse_resource_name(text, any) == VI_SUCCESS &&
        !std::holds_alternative<sgvisa::UsbResourceName>(any))
        return run_lan_info(options, text, out, err);
    sgvisa::UsbResourceName name;
    if (sgvisa::parse_usb_resource_name(text, name) != VI_SUCCESS)
        return cannot_show(options, text, out, err);
    // Found as list finds it, without talking to it.
    const std::vector<ListedInstrument> all =
        list_instruments(options.paths, sgvisa::deadline_after_ms(kListTimeMs));
    const auto it = std::find_if(all.begin(), all.end(), [&](const ListedInstrument& item) {
        sgvisa::UsbResourceName listed;
        return sgvisa::parse_usb_resource_name(item.resource, listed) == VI_SUCCESS &&
               listed.vendor_id == name.vendor_id && listed.product_id == name.product_id &&
               sgvisa::serial_equal(listed.serial, name.serial) &&
               (name.interface_number < 0 || name.interface_number == listed.interface_number);
    });
    if (it == all.end())
        return cannot_show(options, text, out, err);
    const ListedInstrument& item = *it;
    name.interface_number = static_cast<int>(item.interface_number);

    const sgvisa::inspect::LockHolders locks =
        sgvisa::inspect::lock_holders(item.vendor_id, item.product_id, item.serial);
    std::vector<std::uint8_t> answer;
    std::string caps_note;
    if (!item.access.may_open)
        caps_note = "not read: " + item.access.reason;
    else
        read_capabilities(name, options.timeout_ms, answer, caps_note);
    const std::vector<CapabilityLine> caps = describe_capabilities(answer, item.usb488);
    const std::string quirks = sgvisa::inspect::quirk_words(item.vendor_id, item.product_id);
    const std::string& proc = options.paths.proc;

    if (options.json) {
        JsonWriter json;
        json.begin_object();
        json.key("instrument");
        write_instrument_json(item, json);
        json.key("capabilities").begin_object();
        json.key("read").boolean(!caps.empty());
        json.key("note").string(caps_note);
        for (const CapabilityLine& line : caps) {
            json.key(line.area).begin_object();
            json.key("version").string(line.version);
            json.key("present").begin_array();
            for (const auto& p : line.present)
                json.string(p);
            json.end_array();
            json.key("absent").begin_array();
            for (const auto& a : line.absent)
                json.string(a);
            json.end_array();
            json.end_object();
        }
        json.end_object();
        json.key("quirk_switches").begin_array();
        for (std::size_t at = 0; at < quirks.size();) {
            const std::size_t blank = std::min(quirks.find(' ', at), quirks.size());
            json.string(std::string_view(quirks).substr(at, blank - at));
            at = blank + 1;
        }
        json.end_array();
        json.key("locks").begin_object();
        json.key("known").boolean(locks.known);
        write_holding(json, "exclusive", locks.exclusive, proc);
        write_holding(json, "shared", locks.shared, proc);
        write_holding(json, "access", locks.access, proc);
        json.end_object();
        json.end_object();
        std::fprintf(out, "%s\n", json.text().c_str());
        return 0;
    }

    std::string report = instrument_text(item);
    if (caps.empty())
        report += fact_line("capabilities", caps_note);
    for (const CapabilityLine& line : caps) {
        std::string value = line.version;
        for (const auto& p : line.present)
            value += ", " + p;
        if (!line.absent.empty()) {
            value += "; not:";
            for (std::size_t i = 0; i < line.absent.size(); ++i)
                value += (i == 0 ? " " : ", ") + line.absent[i];
        }
        report += fact_line(line.area, value);
    }
    report += fact_line("quirk switches", quirks.empty() ? "(none)" : quirks);
    std::string lock;
    if (!locks.known)
        lock = "unknown: the lock file cannot be read";
    else if (locks.exclusive.held)
        lock = "exclusive, held by " + holders_text(locks.exclusive, proc);
    else if (locks.shared.held)
        lock = "shared, held by " + holders_text(locks.shared, proc);
    else
        lock = "none";
    report += fact_line("lock", lock);
    report +=
        fact_line("in use", locks.access.held ? "by " + holders_text(locks.access, proc) : "no");
    std::fputs(report.c_str(), out);
    return 0;
}

}  // namespace sgvisa_tool
