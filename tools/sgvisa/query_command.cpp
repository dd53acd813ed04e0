// sgvisa query RESOURCE CMD...: through the VISA library's own operations,
// as any program would.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "json_writer.h"
#include "visa.h"

namespace sgvisa_tool {
namespace {

std::string describe(ViSession vi, ViStatus status) {
    ViChar desc[VI_FIND_BUFLEN] = {};
    viStatusDesc(vi, status, desc);
    return desc;
}

// The whole reply message, up to END; `status` the read's.
ViStatus read_reply(ViSession vi, std::string& reply) {
    std::vector<char> buf(4096);
    for (;;) {
        ViUInt32 got = 0;
        const ViStatus st = viRead(vi, reinterpret_cast<ViPBuf>(buf.data()),
                                   static_cast<ViUInt32>(buf.size()), &got);
        if (st < VI_SUCCESS)
            return st;
        reply.append(buf.data(), got);
        if (st != VI_SUCCESS_MAX_CNT)
            return VI_SUCCESS;
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
    if (st < VI_SUCCESS) {
        std::fprintf(err, "sgvisa: cannot open %s: %s\n", resource.c_str(),
                     describe(rm, st).c_str());
        viClose(rm);
        return 1;
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, options.timeout_ms);

    JsonWriter json;
    json.begin_object();
    json.key("resource").string(resource);
    json.key("replies").begin_array();
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
        if (st >= VI_SUCCESS && is_query)
            st = read_reply(vi, reply);
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
