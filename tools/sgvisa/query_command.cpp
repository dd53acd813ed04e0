// sgvisa query RESOURCE CMD...: through the VISA library's own operations,
// as any program would.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "json_writer.h"
#include "open_failure.h"
#include "visa.h"

namespace sgvisa_tool {
namespace {

std::string describe(ViSession vi, ViStatus status) {
    ViChar desc[VI_FIND_BUFLEN] = {};
    viStatusDesc(vi, status, desc);
    return desc;
}

// The whole reply message, up to END; `status` the read's. False, with
// what was read, when the reply is longer than `max_bytes`: a device whose
// reply never ends must not take all the memory there is. Reads no more
// than one byte past the bound.
bool read_reply(ViSession vi, std::size_t max_bytes, std::string& reply, ViStatus& status) {
    std::vector<char> buf(4096);
    for (;;) {
        const std::size_t want = std::min(buf.size(), max_bytes - reply.size() + 1);
        ViUInt32 got = 0;
        status =
            viRead(vi, reinterpret_cast<ViPBuf>(buf.data()), static_cast<ViUInt32>(want), &got);
        if (status < VI_SUCCESS)
            return true;
        reply.append(buf.data(), got);
        if (reply.size() > max_bytes)
            return false;
        if (status != VI_SUCCESS_MAX_CNT) {
            status = VI_SUCCESS;
            return true;
        }
    }
}

// The reply without the line end that closes it.
std::string without_line_end(std::string reply) {
    if (!reply.empty() && reply.back() == '\n')
        reply.pop_back();
    if (!reply.empty() && reply.back() == '\r')
        reply.pop_back();
    return reply;
}

}  // namespace

int run_query(const Options& options, std::FILE* out, std::FILE* err) {
    if (options.args.size() < 2) {
        std::fputs("sgvisa: query takes a resource name and at least one command\n", err);
        return 2;
    }
    const std::string& resource = options.args[0];
    ViSession rm = VI_NULL;
    ViStatus st = viOpenDefaultRM(&rm);
    if (st < VI_SUCCESS) {
        std::fprintf(err, "sgvisa: the VISA library does not start: %s\n",
                     describe(VI_NULL, st).c_str());
        return 1;
    }
    ViSession vi = VI_NULL;
    st = viOpen(rm, resource.c_str(), VI_NULL, options.timeout_ms, &vi);
    JsonWriter json;
    json.begin_object();
    json.key("resource").string(resource);
    json.key("replies").begin_array();
    if (st < VI_SUCCESS) {
        const std::string error = open_failure(resource, st);
        std::fprintf(err, "sgvisa: %s\n", error.c_str());
        json.end_array();
        json.key("error").string(error);
        json.end_object();
        if (options.json)
            std::fprintf(out, "%s\n", json.text().c_str());
        viClose(rm);
        return 1;
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, options.timeout_ms);
    // A raw socket carries no END: a reply ends at its line end.
    ViChar resource_class[VI_FIND_BUFLEN] = {};
    if (viGetAttribute(vi, VI_ATTR_RSRC_CLASS, resource_class) == VI_SUCCESS &&
        std::string(resource_class) == "SOCKET") {
        viSetAttribute(vi, VI_ATTR_TERMCHAR, '\n');
        viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
    }

    int status = 0;
    std::string error;
    for (std::size_t i = 1; i < options.args.size(); ++i) {
        const std::string& command = options.args[i];
        const std::string message = command + "\n";
        ViUInt32 sent = 0;
        st = viWrite(vi, reinterpret_cast<ViConstBuf>(message.data()),
                     static_cast<ViUInt32>(message.size()), &sent);
        std::string reply;
        const bool is_query = command.find('?') != std::string::npos;
        if (st >= VI_SUCCESS && is_query && !read_reply(vi, options.max_reply, reply, st)) {
            error = command + ": the reply is longer than " + std::to_string(options.max_reply) +
                    " bytes (--max-reply); stopped reading it";
            std::fprintf(err, "sgvisa: %s\n", error.c_str());
            status = 1;
            break;
        }
        if (st < VI_SUCCESS) {
            error = command + ": " + describe(vi, st);
            std::fprintf(err, "sgvisa: %s\n", error.c_str());
            status = 1;
            break;
        }
        reply = without_line_end(reply);
        json.begin_object();
        json.key("command").string(command);
        json.key("reply");
        is_query ? json.string(reply) : json.null();
        json.end_object();
        if (!options.json && is_query) {
            std::fwrite(reply.data(), 1, reply.size(), out);
            std::fputc('\n', out);
            std::fflush(out);
        }
    }
    json.end_array();
    if (!error.empty())
        json.key("error").string(error);
    json.end_object();
    if (options.json)
        std::fprintf(out, "%s\n", json.text().c_str());
    viClose(vi);
    viClose(rm);
    return status;
}

}  // namespace sgvisa_tool
