// Fuzz target: what a USB488 device may send a host about its status byte,
// on any bytes: READ_STATUS_BYTE control answers, and interrupt-IN packets
// of any length and content (unknown bNotify1, stale or wrong tags, short
// packets, floods of service requests) read by the host's interrupt channel
// while a status byte is awaited. Never a crash or a hang; the awaited
// status byte is never lost or mistaken; every service request is seen.
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "byte_script.h"
#include "usbtmc/interrupt_channel.h"
#include "usbtmc/usb488_status.h"

namespace {

namespace host = sgvisa::usbtmc;

// Opened once the channel listens and expects: no packet is read before.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
};

// Packets from the script, then the endpoint fails (the channel stops).
class ScriptedSource final : public host::InterruptSource {
  public:
    ScriptedSource(std::vector<std::vector<std::uint8_t>> packets, Gate& gate)
        : packets_(std::move(packets)), gate_(gate) {}
    ViStatus read(std::span<std::uint8_t> buf, std::size_t& got, sgvisa::Deadline) override {
        got = 0;
        {
            std::unique_lock lock(gate_.mutex);
            gate_.opened.wait(lock, [this] { return gate_.open; });
        }
        if (next_ == packets_.size())
            return VI_ERROR_CONN_LOST;
        const auto& p = packets_[next_++];
        got = std::min(p.size(), buf.size());
        std::copy_n(p.begin(), got, buf.begin());
        return VI_SUCCESS;
    }
    void cancel() override {}
    void resume() override {}

  private:
    std::vector<std::vector<std::uint8_t>> packets_;
    std::size_t next_ = 0;
    Gate& gate_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sgfuzz::ByteScript script(data, size);
    const std::uint8_t tag = host::next_status_tag(script.byte());

    // The control answer.
    const auto answer_bytes = script.bytes(script.byte() % 8);
    const auto answer = host::parse_status_answer(answer_bytes, tag);
    if (answer.valid && (answer_bytes.size() < 3 || answer_bytes[1] != tag))
        std::abort();

    // Interrupt packets, and what the channel must make of them.
    std::vector<std::vector<std::uint8_t>> packets;
    int expected = -1;  // the first notification for `tag`
    int requests = 0;   // service requests
    while (!script.exhausted() && packets.size() < 64) {
        const auto packet = script.bytes(script.byte() % 70);
        packets.emplace_back(packet.begin(), packet.end());
        const auto n = host::parse_notification(packets.back());
        if (n.kind == host::Notification::Kind::status_byte && n.tag == tag && expected < 0)
            expected = n.status_byte;
        if (n.kind == host::Notification::Kind::service_request)
            ++requests;
        if (n.kind != host::Notification::Kind::unknown &&
            (packets.back().size() < 2 || (packets.back()[0] & 0x80) == 0))
            std::abort();
    }
    const std::size_t chunk = 64;  // the channel reads at most this much at once
    for (auto& p : packets)
        p.resize(std::min(p.size(), chunk));

    int seen = 0;
    {
        Gate gate;
        host::InterruptChannel channel(std::make_unique<ScriptedSource>(packets, gate));
        // Listening, and expected before the first packet is read, as the
        // host expects before it asks.
        channel.set_listener([&seen](std::uint8_t) { ++seen; });
        channel.expect(tag);
        {
            std::lock_guard lock(gate.mutex);
            gate.open = true;
            gate.opened.notify_all();
        }
        std::uint8_t status = 0;
        const ViStatus st = channel.await(tag, sgvisa::Deadline::max(), status);
        if (expected >= 0 && (st != VI_SUCCESS || status != expected))
            std::abort();  // the awaited status byte was lost or mistaken
        if (expected < 0 && st != VI_ERROR_CONN_LOST)
            std::abort();
        channel.set_listener({});
    }
    if (expected < 0 && seen != requests)
        std::abort();  // the whole script was read: every request was seen
    return 0;
}
