#include "scpi/io_test_instrument.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "scpi/program_message.h"
#include "scpi_mnemonic.h"

namespace sgsim {
namespace {

std::string identification_of(const IoTestConfig& config) {
    if (config.identification) {
        return *config.identification;
    }
    return "Simulated Signal Sources,IO-TEST," + config.serial_number + ",1.0";
}

const HeaderPattern& receive_header() {
    static const HeaderPattern pattern("RECEIVE");
    return pattern;
}

const HeaderPattern& send_header() {
    static const HeaderPattern pattern("SEND");
    return pattern;
}

const HeaderPattern& block_send_header() {
    static const HeaderPattern pattern("SENDBLOCK");
    return pattern;
}

// `bytes` as an IEEE 488.2 definite-length block, then the linefeed that
// ends the response message.
std::string definite_length_block(const std::string& bytes) {
    const std::string count = std::to_string(bytes.size());
    return "#" + std::to_string(count.size()) + count + bytes + "\n";
}

const HeaderPattern& slow_receive_header() {
    static const HeaderPattern pattern("RCVSLOWSRQ");
    return pattern;
}

const HeaderPattern& slow_send_header() {
    static const HeaderPattern pattern("SENDSLOWSRQ");
    return pattern;
}

const HeaderPattern& error_queue_header() {
    static const HeaderPattern pattern("SYSTem:ERRor[:NEXT]");
    return pattern;
}

// The test data of the block and list queries: four elements, with bytes
// that differ within each element so that a reader's byte order shows.
constexpr std::array<std::int64_t, 4> kIntegers{1, -2, 0x0102030405060708, -4};
constexpr std::array<double, 4> kReals{1.5, -2.25, 0.5, -4.0};

// The elements in `bytes`-byte big-endian integers (truncated, two's
// complement) or IEEE floats (`real`).
std::string block_data(std::size_t bytes, bool real) {
    std::string data;
    for (std::size_t i = 0; i < kIntegers.size(); ++i) {
        std::uint64_t bits = 0;
        if (real && bytes == 4) {
            bits = std::bit_cast<std::uint32_t>(static_cast<float>(kReals[i]));
        } else if (real) {
            bits = std::bit_cast<std::uint64_t>(kReals[i]);
        } else {
            bits = static_cast<std::uint64_t>(kIntegers[i]);
        }
        for (std::size_t b = bytes; b-- > 0;)
            data += static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
    return data;
}

struct DataQuery {
    HeaderPattern header;
    std::string reply;  // without the linefeed that ends every response
};

// BLOCk:<element>? answers a definite-length block, IBLOCk:<element>? an
// indefinite one (#0, the data, then the response's linefeed with END);
// LIST:INTeger? and LIST:REAL? the elements as comma-separated numbers.
const std::vector<DataQuery>& data_queries() {
    static const std::vector<DataQuery> queries = [] {
        const struct {
            const char* name;
            std::size_t bytes;
            bool real;
        } elements[] = {{"BYTE", 1, false}, {"WORD", 2, false}, {"LONG", 4, false},
                        {"QUAD", 8, false}, {"FLOat", 4, true}, {"DOUBle", 8, true}};
        std::vector<DataQuery> out;
        for (const auto& e : elements) {
            const std::string data = block_data(e.bytes, e.real);
            std::string block = definite_length_block(data);
            block.pop_back();  // the response's own linefeed follows
            out.push_back({HeaderPattern(std::string("BLOCk:") + e.name), block});
            out.push_back({HeaderPattern(std::string("IBLOCk:") + e.name), "#0" + data});
        }
        out.push_back({HeaderPattern("LIST:INTeger"), "1,-2,258,-4"});
        out.push_back({HeaderPattern("LIST:REAL"), "1.5,-2.25,5E-1,-4"});
        return out;
    }();
    return queries;
}

}  // namespace

IoTestInstrument::IoTestInstrument(IoTestConfig config)
    : config_(std::move(config)),
      common_(
          identification_of(config_), [this] { forget(); }, [this] { ++triggers_; }) {}

std::string IoTestInstrument::execute(std::string_view message) {
    const bool ends_in_linefeed = !message.empty() && message.back() == '\n';
    std::string response;
    delivery_ = {};
    if (receiving_) {
        keep(message, ends_in_linefeed);
        return response;
    }
    const SubsystemRunner runner = [this](const ProgramUnit& unit, std::string& out) {
        return run_subsystem(unit, out);
    };
    const ResponseRules rules{!config_.no_newline, ResponseRules{}.max_bytes};
    // A linefeed ends a program message; a final linefeed leaves an empty
    // piece behind it, which holds no unit.
    std::size_t start = 0;
    while (start <= message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string_view::npos) {
            end = message.size();
        }
        receive_requested_ = false;
        send_requested_ = false;
        block_send_requested_ = false;
        slow_send_requested_ = false;
        run_program_message(message.substr(start, end - start), common_, runner, rules, response);
        start = end + 1;
        if (send_requested_ || slow_send_requested_) {
            response += kept_;
            kept_.clear();
        }
        if (block_send_requested_) {
            response += definite_length_block(kept_);
            kept_.clear();
        }
        if (slow_send_requested_) {
            delivery_ = {kSlowResponseDelay, true};
        }
        if (receive_requested_) {
            forget();
            receiving_ = true;
            if (start < message.size()) {
                keep(message.substr(start), ends_in_linefeed);
            }
            break;
        }
    }
    return response;
}

void IoTestInstrument::keep(std::string_view bytes, bool ends_in_linefeed) {
    const std::size_t room = kMaxKeptBytes - kept_.size();
    kept_.append(bytes.substr(0, std::min(room, bytes.size())));
    if (bytes.size() > room && !overflowed_) {
        overflowed_ = true;
        common_.report(scpi_error::kTooMuchData);
    }
    if (ends_in_linefeed) {
        receiving_ = false;
    }
}

void IoTestInstrument::forget() {
    kept_.clear();
    receiving_ = false;
    overflowed_ = false;
}

void IoTestInstrument::clear() {
    forget();
}

std::string IoTestInstrument::describe_settings() const {
    return "Kept bytes: " + std::to_string(kept_.size()) + "\n" +
           "Receiving: " + (receiving_ ? "yes" : "no") + "\n" +
           "Triggers: " + std::to_string(triggers_) + "\n";
}

int IoTestInstrument::run_subsystem(const ProgramUnit& unit, std::string& out) {
    if (error_queue_header().matches(unit.header) && unit.query) {
        if (!unit.parameters.empty()) {
            return scpi_error::kParameterNotAllowed;
        }
        out = common_.next_error();
        return 0;
    }
    if (unit.query) {
        for (const DataQuery& q : data_queries()) {
            if (q.header.matches(unit.header)) {
                if (!unit.parameters.empty())
                    return scpi_error::kParameterNotAllowed;
                out = q.reply;
                return 0;
            }
        }
    }
    bool* requested = nullptr;
    if (receive_header().matches(unit.header) || slow_receive_header().matches(unit.header)) {
        requested = &receive_requested_;
    } else if (send_header().matches(unit.header)) {
        requested = &send_requested_;
    } else if (block_send_header().matches(unit.header)) {
        requested = &block_send_requested_;
    } else if (slow_send_header().matches(unit.header)) {
        requested = &slow_send_requested_;
    }
    if (requested != nullptr && !unit.query) {
        if (!unit.parameters.empty()) {
            return scpi_error::kParameterNotAllowed;
        }
        *requested = true;
        return 0;
    }
    return scpi_error::kUndefinedHeader;
}

}  // namespace sgsim
