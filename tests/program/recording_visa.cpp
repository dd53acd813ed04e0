#include "recording_visa.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <utility>

namespace recording {
namespace {

struct State {
    Script script;
    const Screen* screen = nullptr;
    std::vector<Event> timeline;
};

State& state() {
    static State s;
    return s;
}

Event& record(Op op, ViSession session, std::string text = {}) {
    State& s = state();
    Event e{op, session, std::move(text), {}, 0, 0, s.screen ? s.screen->flushed() : std::string{}};
    s.timeline.push_back(std::move(e));
    return s.timeline.back();
}

// Stores `reply` into `target` the way a VISA "%<width>T" read does: at most
// `width` characters and a terminator. Returns false for another directive.
bool store_string_read(const char* read_format, const std::string& reply, char* target) {
    if (read_format[0] != '%')
        return false;
    const char* p = read_format + 1;
    std::size_t width = 0;
    bool has_width = false;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        width = width * 10 + static_cast<std::size_t>(*p - '0');
        has_width = true;
        ++p;
    }
    if (p[0] != 'T' || p[1] != '\0' || !has_width)
        return false;  // an unbounded read would overflow whatever buffer it is given
    const std::size_t n = std::min(width, reply.size());
    std::memcpy(target, reply.data(), n);
    target[n] = '\0';
    return true;
}

}  // namespace

Screen::Screen() {
    cookie_io_functions_t io{};
    io.write = &Screen::show;
    file_ = ::fopencookie(this, "w", io);
}

Screen::~Screen() {
    if (file_)
        std::fclose(file_);
}

std::string Screen::all() {
    if (file_)
        std::fflush(file_);
    return shown_;
}

ssize_t Screen::show(void* screen, const char* bytes, size_t size) {
    static_cast<Screen*>(screen)->shown_.append(bytes, size);
    return static_cast<ssize_t>(size);
}

void reset(Script script, const Screen* screen) {
    State& s = state();
    s.script = std::move(script);
    s.screen = screen;
    s.timeline.clear();
}

const std::vector<Event>& timeline() {
    return state().timeline;
}

void RecordingKeyWait::wait_for_key() {
    record(Op::KeyWait, VI_NULL);
}

std::vector<Op> ops() {
    std::vector<Op> out;
    for (const Event& e : timeline())
        out.push_back(e.op);
    return out;
}

std::vector<std::string> commands_sent() {
    std::vector<std::string> out;
    for (const Event& e : timeline())
        if (e.op == Op::Printf || e.op == Op::Queryf)
            out.push_back(e.text);
    return out;
}

}  // namespace recording

using recording::Op;
using recording::record;
using recording::state;
using recording::store_string_read;

extern "C" {

ViStatus viOpenDefaultRM(ViPSession vi) {
    record(Op::OpenDefaultRM, VI_NULL);
    *vi = state().script.rm_handle;
    return state().script.rm_status;
}

ViStatus viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode, ViUInt32 openTimeout,
                ViPSession vi) {
    recording::Event& e = record(Op::Open, sesn, rsrcName);
    e.access_mode = accessMode;
    e.open_timeout = openTimeout;
    const recording::Script& script = state().script;
    *vi = script.open_status < VI_SUCCESS ? VI_NULL : script.instrument_handle;
    return script.open_status;
}

ViStatus viClose(ViObject vi) {
    record(Op::Close, vi);
    return VI_SUCCESS;
}

ViStatus viPrintf(ViSession vi, ViConstString writeFmt, ...) {
    record(Op::Printf, vi, writeFmt);
    return VI_SUCCESS;
}

ViStatus viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...) {
    recording::Event& e = record(Op::Queryf, vi, writeFmt);
    e.read_format = readFmt;
    recording::Reply reply;
    auto& replies = state().script.replies;
    if (!replies.empty()) {
        reply = std::move(replies.front());
        replies.pop_front();
    }
    va_list args;
    va_start(args, readFmt);
    char* target = va_arg(args, char*);
    va_end(args);
    switch (reply.store) {
        case recording::Store::Nothing:
            return reply.status;
        case recording::Store::FillWithoutTerminator:
            std::memset(target, 'x', 64);
            return reply.status;
        case recording::Store::Bounded:
            break;
    }
    if (!store_string_read(readFmt, reply.text, target))
        return VI_ERROR_NSUP_FMT;
    return reply.status;
}

}  // extern "C"
