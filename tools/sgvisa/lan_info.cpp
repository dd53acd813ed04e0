#include "lan_info.h"

#include <cstring>
#include <string>
#include <vector>

#include "instrument_text.h"
#include "json_writer.h"
#include "open_failure.h"

namespace sgvisa_tool {
namespace {

std::string text_attribute(ViSession vi, ViAttr attr) {
    ViChar value[VI_FIND_BUFLEN] = {};
    return viGetAttribute(vi, attr, value) == VI_SUCCESS ? std::string(value) : std::string();
}

// The number, or -1 where the resource has no such attribute.
long number_attribute(ViSession vi, ViAttr attr) {
    ViUInt32 value = 0;  // wide enough for every number read here
    return viGetAttribute(vi, attr, &value) == VI_SUCCESS ? static_cast<long>(value) : -1;
}

// The identification, or why there is none: the query is what any program
// sends first, with the line end as the termination character (a socket
// has no END).
std::string identification(ViSession vi, std::string& why_not) {
    viSetAttribute(vi, VI_ATTR_TERMCHAR, '\n');
    viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
    ViUInt32 count = 0;
    ViStatus st = viWrite(vi, reinterpret_cast<ViConstBuf>("*IDN?\n"), 6, &count);
    std::vector<char> reply(4096);
    if (st >= VI_SUCCESS)
        st = viRead(vi, reinterpret_cast<ViPBuf>(reply.data()), static_cast<ViUInt32>(reply.size()),
                    &count);
    if (st < VI_SUCCESS) {
        ViChar name[VI_FIND_BUFLEN] = {};
        viStatusDesc(vi, st, name);
        why_not = std::string("*IDN? failed: ") + name;
        return {};
    }
    std::string idn(reply.data(), count);
    while (!idn.empty() && (idn.back() == '\n' || idn.back() == '\r'))
        idn.pop_back();
    return idn;
}

}  // namespace

int run_lan_info(const Options& options, const std::string& text, std::FILE* out, std::FILE* err) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ViStatus st = viOpenDefaultRM(&rm);
    if (st >= VI_SUCCESS)
        st = viOpen(rm, text.c_str(), VI_NULL, options.timeout_ms, &vi);
    if (st < VI_SUCCESS) {
        if (rm != VI_NULL)
            viClose(rm);
        return report_open_failure(options, text, st, out, err);
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, options.timeout_ms);
    const std::string resource = text_attribute(vi, VI_ATTR_RSRC_NAME);
    const std::string address = text_attribute(vi, VI_ATTR_TCPIP_ADDR);
    const std::string hostname = text_attribute(vi, VI_ATTR_TCPIP_HOSTNAME);
    const std::string device = text_attribute(vi, VI_ATTR_TCPIP_DEVICE_NAME);
    const long port = number_attribute(vi, VI_ATTR_TCPIP_PORT);
    const long hislip = number_attribute(vi, VI_ATTR_TCPIP_IS_HISLIP);
    std::string protocol = port >= 0 ? "raw socket" : hislip == VI_TRUE ? "HiSLIP" : "VXI-11";
    if (hislip == VI_TRUE) {
        // The negotiated version (a ViVersion: major in bits 31-20, minor in
        // 19-8) and the mode, which decides what a late reply does.
        const long version = number_attribute(vi, VI_ATTR_TCPIP_HISLIP_VERSION);
        const long overlapped = number_attribute(vi, VI_ATTR_TCPIP_HISLIP_OVERLAP_EN);
        if (version > 0)
            protocol +=
                " " + std::to_string(version >> 20) + "." + std::to_string(version >> 8 & 0xFFF);
        protocol += overlapped == VI_TRUE ? ", overlapped mode" : ", synchronized mode";
    }
    std::string why_not;
    const std::string idn = identification(vi, why_not);
    viClose(rm);

    if (options.json) {
        JsonWriter json;
        json.begin_object();
        json.key("resource").string(resource);
        json.key("protocol").string(protocol);
        json.key("address").string(address);
        json.key("hostname").string(hostname);
        if (port >= 0)
            json.key("port").number(port);
        else
            json.key("device_name").string(device);
        json.key("identification").string(idn);
        json.key("note").string(why_not);
        json.end_object();
        std::fprintf(out, "%s\n", json.text().c_str());
        return 0;
    }
    std::string report = resource + "\n";
    report += fact_line("protocol", protocol);
    report += fact_line("address", address + (hostname.empty() ? "" : " (" + hostname + ")"));
    report += port >= 0 ? fact_line("port", std::to_string(port)) : fact_line("device", device);
    report += fact_line("identification", idn.empty() ? why_not : idn);
    std::fputs(report.c_str(), out);
    return 0;
}

}  // namespace sgvisa_tool
