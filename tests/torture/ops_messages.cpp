#include <cstring>
#include <string>

#include "actor.h"
#include "message_checks.h"
#include "operations.h"

namespace torture {
namespace {

// A query on a SOCKET resource, from its write to its read (SocketStream):
// whether its reply may be another's.
class StreamQuery {
  public:
    StreamQuery(Actor& a, const Target& t)
        : stream_(a.link(t) == Link::socket ? &a.worker.socket_stream(t.slot) : nullptr) {
        if (stream_ == nullptr)
            return;
        begun_ = stream_->begun.fetch_add(1) + 1;
        overlapped_ = stream_->in_flight.fetch_add(1) > 0;
    }
    ~StreamQuery() { end(); }
    void end() {
        if (stream_ == nullptr || ended_)
            return;
        ended_ = true;
        overlapped_ =
            overlapped_ || stream_->in_flight.fetch_sub(1) > 1 || stream_->begun.load() != begun_;
    }
    // After end().
    bool may_be_another(const char*& why) const {
        if (stream_ == nullptr)
            return false;
        why = stream_->behind.load() ? "a reply was left unread on the process's connection"
              : overlapped_          ? "another session's query overlapped it on the connection"
                                     : nullptr;
        return why != nullptr;
    }

  private:
    SocketStream* stream_;
    std::uint32_t begun_ = 0;
    bool overlapped_ = false;
    bool ended_ = false;
};

std::string whose(std::uint64_t token) {
    const auto owner = token_owner(token);
    if (!owner)
        return "no token";
    return std::string(owner->kind == TokenKind::atomic ? "the viQueryf" : "the viWrite") +
           " token of worker incarnation " + std::to_string(owner->incarnation) + ", thread " +
           std::to_string(owner->thread) + ", number " + std::to_string(owner->sequence);
}

ViStatus generator_query(Actor& a, const Target& t) {
    const std::uint64_t token = a.next_token(TokenKind::atomic);
    const std::string text = std::to_string(token);
    PendingQuery& pending = a.worker.board().pending[a.incarnation() % kMaxIncarnations][a.index];
    pending.taken_by.store(0);
    pending.token.store(token);
    char buf[256] = {};
    StreamQuery stream(a, t);
    const ViStatus st =
        a.io(fn_queryf, t,
             "viQueryf(" + std::to_string(t.vi) + ", \"FREQ " + text + ";FREQ?\\n\", \"%255t\")", 3,
             Needs::answer,
             [&] { return viQueryf(t.vi, "FREQ %s;FREQ?\n", "%255t", text.c_str(), buf); });
    pending.token.store(0);
    stream.end();
    const char* why = nullptr;
    const SessionId thief = static_cast<SessionId>(pending.taken_by.exchange(0));
    if (st >= 0) {
        const std::string reply = buf;
        a.note("  reply " + printable(reply));
        if (reply != text + "\n" && stream.may_be_another(why)) {
            a.note(std::string("  not its own, as may be: ") + why);
        } else if (reply != text + "\n") {
            const GeneratorReply r = classify_generator_reply(reply);
            a.violation("no reply is delivered to the wrong query",
                        "viQueryf of token " + text + " got " + printable(reply) +
                            (r.kind == GeneratorReply::token ? ": " + whose(r.value) : ""));
        }
    }
    if (thief != 0) {
        const bool legitimate = st == VI_ERROR_ABORT || st == VI_ERROR_INV_OBJECT ||
                                (st == VI_ERROR_TMO && a.instrument_dirty(t.instrument));
        if (!legitimate) {
            a.violation("no reply is delivered to the wrong query",
                        "the reply to viQueryf of token " + text + " (which returned " +
                            status_name(st) + ") was read by a viRead of session " +
                            std::to_string(thief));
        }
    }
    return st;
}

ViStatus io_test_query(Actor& a, const Target& t) {
    char buf[256] = {};
    if (a.rng.percent(30)) {
        const ViStatus st =
            a.io(fn_queryf, t, "viQueryf(" + std::to_string(t.vi) + ", \"*IDN?\\n\", \"%255t\")", 3,
                 Needs::answer, [&] { return viQueryf(t.vi, "*IDN?\n", "%255t", buf); });
        if (st >= 0 && a.worker.instrument(t.instrument).identification != buf) {
            a.violation("no reply is delivered to the wrong query", "*IDN? got " + printable(buf));
        }
        return st;
    }
    const int value = static_cast<int>(a.rng.below(256));
    const ViStatus st = a.io(
        fn_queryf, t,
        "viQueryf(" + std::to_string(t.vi) + ", \"*ESE " + std::to_string(value) +
            ";*ESE?\\n\", \"%255t\")",
        3, Needs::answer, [&] { return viQueryf(t.vi, "*ESE %d;*ESE?\n", "%255t", value, buf); });
    if (st >= 0 && std::to_string(value) + "\n" != buf) {
        a.violation("no reply is delivered to the wrong query",
                    "*ESE " + std::to_string(value) + ";*ESE? got " + printable(buf));
    }
    return st;
}

}  // namespace

ViStatus token_query(Actor& a, const Target& t) {
    return a.worker.instrument(t.instrument).io_test ? io_test_query(a, t) : generator_query(a, t);
}

void check_split_reply(Actor& a, const Target& t, const std::string& reply, std::uint64_t own,
                       bool locked, const char* may_be_another) {
    const bool io_test = a.worker.instrument(t.instrument).io_test;
    const std::string expected = io_test ? "" : std::to_string(own) + "\n";
    if (locked && !io_test) {
        if (reply != expected && may_be_another != nullptr) {
            a.note(std::string("  not its own, as may be: ") + may_be_another);
        } else if (reply != expected) {
            const GeneratorReply r = classify_generator_reply(reply);
            a.violation("no reply is delivered to the wrong query",
                        "under the exclusive lock, viRead after viWrite of token " +
                            std::to_string(own) + " got " + printable(reply) +
                            (r.kind == GeneratorReply::token ? ": " + whose(r.value) : ""));
        }
        return;
    }
    const GeneratorReply r = classify_generator_reply(reply);
    if (r.kind == GeneratorReply::garbled) {
        a.violation("a read returns one whole reply",
                    "viRead after a viWrite got " + printable(reply) +
                        ": not one line (bytes of two replies, or a part of one)");
        return;
    }
    if (io_test || r.kind != GeneratorReply::token || r.value == own)
        return;
    const auto owner = token_owner(r.value);
    a.note("  overtaken: got " + whose(r.value));
    if (owner->kind != TokenKind::atomic || a.worker.board().was_killed(owner->incarnation))
        return;
    // Another session's viQueryf reply: its owner decides whether that
    // could happen (it gave up on it) or not.
    PendingQuery& p =
        a.worker.board().pending[owner->incarnation % kMaxIncarnations][owner->thread];
    if (p.token.load() == r.value) {
        std::uint64_t nobody = 0;
        p.taken_by.compare_exchange_strong(nobody, t.id);
    }
}

ViStatus split_token_query(Actor& a, const Target& t, bool locked) {
    const bool io_test = a.worker.instrument(t.instrument).io_test;
    const std::uint64_t token = a.next_token(TokenKind::split);
    const int value = static_cast<int>(token % 256);
    const std::string message =
        io_test ? "*ESE " + std::to_string(value) + ";*ESE?\n" : generator_token_query(token);
    ViUInt32 written = 0;
    StreamQuery stream(a, t);
    ViStatus st =
        a.io(fn_write, t, "viWrite(" + std::to_string(t.vi) + ", " + printable(message) + ")", 2,
             Needs::answer, [&] {
                 return viWrite(t.vi, reinterpret_cast<ViConstBuf>(message.data()),
                                static_cast<ViUInt32>(message.size()), &written);
             });
    if (st < 0)
        return st;
    unsigned char buf[256];
    ViUInt32 count = 0;
    st = a.io(fn_read, t, "viRead(" + std::to_string(t.vi) + ", 255)", 2,
              locked ? Needs::answer : Needs::nothing,
              [&] { return viRead(t.vi, buf, sizeof buf - 1, &count); });
    stream.end();
    // Its reply, when it comes, is left for whichever read is next.
    if (st < 0 && a.link(t) == Link::socket)
        a.worker.socket_stream(t.slot).behind.store(true);
    if (st < 0)
        return st;
    const char* why = nullptr;
    stream.may_be_another(why);
    const std::string reply(reinterpret_cast<const char*>(buf), count);
    a.note("  read " + printable(reply));
    if (io_test && locked && reply != std::to_string(value) + "\n") {
        a.violation("no reply is delivered to the wrong query",
                    "under the exclusive lock, viRead after viWrite of " + printable(message) +
                        " got " + printable(reply));
        return st;
    }
    check_split_reply(a, t, reply, token, locked, why);
    return st;
}

void op_query(Actor& a) {
    Target t;
    if (a.pick_open(t))
        token_query(a, t);
}

void op_split_query(Actor& a) {
    Target t;
    // Not on a raw socket without the lock: there another thread's message
    // sent between this write and read leaves two replies queued on the
    // connection (the device drops no unread reply), and a viQueryf of
    // that thread then reads this one's.
    if (a.pick_open(t) && a.link(t) != Link::socket)
        split_token_query(a, t, false);
}

void op_request_service(Actor& a) {
    Target t;
    if (!a.pick_open(t))
        return;
    // *CLS first: the event summary bit turns on anew, so the instrument
    // requests service every time; sometimes many times in a row, while
    // other threads enable and disable the requests.
    const int messages = a.rng.percent(30) ? 10 + static_cast<int>(a.rng.below(20)) : 1;
    for (int i = 0; i < messages; ++i) {
        const char* message = a.rng.percent(80) ? "*CLS;*ESE 1;*SRE 32;*OPC\n" : "*SRE 0\n";
        if (a.io(fn_printf, t, "viPrintf(" + std::to_string(t.vi) + ", " + printable(message) + ")",
                 2, Needs::answer, [&] { return viPrintf(t.vi, message); }) < 0)
            return;
    }
}

}  // namespace torture
