#include "memory_instrument.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

#include "api/builtin_transports.h"
#include "transport/transport_openers.h"
#include "transport/usb_resource_name.h"

namespace sgtest {

struct MemoryInstrument::State {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;

    mutable std::mutex mutex;
    std::condition_variable output_ready;
    mutable std::condition_variable read_blocked;
    std::map<std::string, Reply> script;
    Responder responder;
    ViStatus open_status = VI_SUCCESS;

    struct Output {
        std::string bytes;
        bool end = false;
    };
    std::deque<Output> output;
    std::string pending_input;
    std::vector<ReceivedWrite> writes;
    std::vector<std::string> messages;
    int opens = 0;
    int open_transports = 0;
    int clears = 0;
    int reads_waiting = 0;
    bool relinquish_blocks = false;
    int relinquishes_blocked = 0;
    std::condition_variable relinquish_changed;
    std::condition_variable transport_closed;

    // Caller holds `mutex`.
    void queue_reply(const Reply& reply) {
        for (std::size_t i = 0; i < reply.parts.size(); ++i) {
            output.push_back({reply.parts[i], i + 1 == reply.parts.size()});
        }
        output_ready.notify_all();
    }
};

namespace {

using State = MemoryInstrument::State;
using Responder = MemoryInstrument::Responder;

class MemoryTransport final : public sgvisa::Transport {
  public:
    explicit MemoryTransport(std::shared_ptr<State> state) : state_(std::move(state)) {
        sgvisa::UsbDeviceFacts usb;
        usb.vendor_id = state_->vendor_id;
        usb.product_id = state_->product_id;
        usb.serial = state_->serial;
        usb.interface_protocol = 1;
        facts_ = usb;
    }

    ViStatus acquire(sgvisa::Deadline) override { return VI_SUCCESS; }
    void relinquish() override {
        std::unique_lock lock(state_->mutex);
        if (!state_->relinquish_blocks)
            return;
        ++state_->relinquishes_blocked;
        state_->relinquish_changed.notify_all();
        state_->relinquish_changed.wait_for(lock, std::chrono::seconds(5),
                                            [this] { return !state_->relinquish_blocks; });
        --state_->relinquishes_blocked;
    }
    void cancel() override {
        std::lock_guard lock(state_->mutex);
        cancelled_ = true;
        state_->output_ready.notify_all();
    }
    void resume() override {
        std::lock_guard lock(state_->mutex);
        cancelled_ = false;
    }
    bool lost() const override { return false; }
    const sgvisa::InterfaceFacts& facts() const override { return facts_; }
    ViStatus read_status_byte(sgvisa::Deadline, std::uint8_t& status) override {
        std::lock_guard lock(state_->mutex);
        status = state_->output.empty() ? 0 : 0x10;  // MAV
        return VI_SUCCESS;
    }
    ~MemoryTransport() override {
        std::lock_guard lock(state_->mutex);
        --state_->open_transports;
        state_->transport_closed.notify_all();
    }

    ViStatus send(std::span<const std::uint8_t> data, bool end, sgvisa::Deadline) override {
        std::string bytes(data.begin(), data.end());
        Responder responder;
        std::string message;
        {
            std::lock_guard lock(state_->mutex);
            state_->writes.push_back({bytes, end});
            // A new message ends the reply the host left unread, as IEEE
            // 488.2 instruments do.
            if (state_->pending_input.empty())
                state_->output.clear();
            state_->pending_input += bytes;
            if (!end)
                return VI_SUCCESS;
            message = std::exchange(state_->pending_input, std::string());
            state_->messages.push_back(message);
            const auto it = state_->script.find(message);
            if (it != state_->script.end()) {
                state_->queue_reply(it->second);
                return VI_SUCCESS;
            }
            responder = state_->responder;
        }
        if (!responder)
            return VI_SUCCESS;
        // Called unlocked so that it may use push_output or inspect the state.
        const std::optional<Reply> reply = responder(message);
        if (reply) {
            std::lock_guard lock(state_->mutex);
            state_->queue_reply(*reply);
        }
        return VI_SUCCESS;
    }

    ViStatus receive(std::span<std::uint8_t> buf, const sgvisa::ReadStop&,
                     sgvisa::Deadline deadline, sgvisa::ReadResult& result) override {
        std::size_t& count = result.count;
        bool& end = result.end;
        count = 0;
        end = false;
        std::unique_lock lock(state_->mutex);
        ++state_->reads_waiting;
        state_->read_blocked.notify_all();
        const auto ready = [this] { return cancelled_ || !state_->output.empty(); };
        bool got = true;
        if (deadline == sgvisa::Deadline::max()) {
            state_->output_ready.wait(lock, ready);
        } else {
            got = state_->output_ready.wait_until(lock, deadline, ready);
        }
        --state_->reads_waiting;
        if (cancelled_)
            return VI_ERROR_ABORT;
        if (!got)
            return VI_ERROR_TMO;
        auto& part = state_->output.front();
        count = std::min(buf.size(), part.bytes.size());
        std::copy_n(part.bytes.begin(), count, buf.begin());
        part.bytes.erase(0, count);
        if (part.bytes.empty()) {
            end = part.end;
            state_->output.pop_front();
        }
        return VI_SUCCESS;
    }

    ViStatus clear_device(sgvisa::Deadline) override {
        std::lock_guard lock(state_->mutex);
        ++state_->clears;
        state_->output.clear();
        state_->pending_input.clear();
        return VI_SUCCESS;
    }

  private:
    std::shared_ptr<State> state_;
    sgvisa::InterfaceFacts facts_;
    bool cancelled_ = false;  // guarded by state_->mutex
};

}  // namespace

MemoryInstrument::MemoryInstrument(std::uint16_t vendor_id, std::uint16_t product_id,
                                   std::string serial)
    : state_(std::make_shared<State>()) {
    state_->vendor_id = vendor_id;
    state_->product_id = product_id;
    state_->serial = std::move(serial);
    // After the library's own openers, as for any instrument it does not know.
    sgvisa::api::register_builtin_transports();
    std::shared_ptr<State> state = state_;
    opener_id_ = sgvisa::register_transport_backend(
        {sgvisa::usb_opener([state](const sgvisa::UsbResourceName& name, sgvisa::Deadline,
                                    std::unique_ptr<sgvisa::Transport>& out) -> ViStatus {
             if (name.vendor_id != state->vendor_id || name.product_id != state->product_id ||
                 !sgvisa::serial_equal(name.serial, state->serial)) {
                 return VI_ERROR_RSRC_NFOUND;
             }
             std::lock_guard lock(state->mutex);
             if (state->open_status != VI_SUCCESS)
                 return state->open_status;
             ++state->opens;
             ++state->open_transports;
             out = std::make_unique<MemoryTransport>(state);
             return VI_SUCCESS;
         }),
         [state](sgvisa::Deadline, std::vector<sgvisa::UsbResourceName>& out) {
             sgvisa::UsbResourceName name;
             name.vendor_id = state->vendor_id;
             name.product_id = state->product_id;
             name.serial = state->serial;
             name.interface_number = 0;
             out.push_back(std::move(name));
         }});
}

MemoryInstrument::~MemoryInstrument() {
    sgvisa::unregister_transport_backend(opener_id_);
}

std::string MemoryInstrument::resource_name() const {
    char ids[40];
    std::snprintf(ids, sizeof ids, "USB0::0x%04x::0x%04x::", state_->vendor_id, state_->product_id);
    return ids + state_->serial + "::INSTR";
}

void MemoryInstrument::answer(const std::string& message, Reply reply) {
    std::lock_guard lock(state_->mutex);
    state_->script[message] = std::move(reply);
}

void MemoryInstrument::set_responder(Responder responder) {
    std::lock_guard lock(state_->mutex);
    state_->responder = std::move(responder);
}

void MemoryInstrument::push_output(std::string bytes, bool end) {
    std::lock_guard lock(state_->mutex);
    state_->output.push_back({std::move(bytes), end});
    state_->output_ready.notify_all();
}

void MemoryInstrument::fail_open(ViStatus status) {
    std::lock_guard lock(state_->mutex);
    state_->open_status = status;
}

void MemoryInstrument::block_relinquish() {
    std::lock_guard lock(state_->mutex);
    state_->relinquish_blocks = true;
}

void MemoryInstrument::unblock_relinquish() {
    std::lock_guard lock(state_->mutex);
    state_->relinquish_blocks = false;
    state_->relinquish_changed.notify_all();
}

bool MemoryInstrument::wait_for_blocked_relinquish(std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->relinquish_changed.wait_for(lock, bound,
                                               [this] { return state_->relinquishes_blocked > 0; });
}

std::vector<ReceivedWrite> MemoryInstrument::writes() const {
    std::lock_guard lock(state_->mutex);
    return state_->writes;
}

std::vector<std::string> MemoryInstrument::messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
}

int MemoryInstrument::opens() const {
    std::lock_guard lock(state_->mutex);
    return state_->opens;
}

int MemoryInstrument::open_transports() const {
    std::lock_guard lock(state_->mutex);
    return state_->open_transports;
}

bool MemoryInstrument::wait_for_closed_transports(std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->transport_closed.wait_for(lock, bound,
                                             [this] { return state_->open_transports == 0; });
}

int MemoryInstrument::clears() const {
    std::lock_guard lock(state_->mutex);
    return state_->clears;
}

int MemoryInstrument::reads_waiting() const {
    std::lock_guard lock(state_->mutex);
    return state_->reads_waiting;
}

bool MemoryInstrument::wait_for_blocked_read(std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->read_blocked.wait_for(lock, bound, [this] { return state_->reads_waiting > 0; });
}

}  // namespace sgtest
