// Fuzz target: the simulated generator's SCPI parser and instrument. The
// input is split at linefeeds into program messages (the linefeed kept, as
// the device core hands them over); each goes to the parser on its own, then
// all of them in turn to one generator, so that settings, the error queue and
// the status registers carry from message to message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "scpi/scpi_parser.h"
#include "scpi/signal_generator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    sgsim::SignalGenerator generator;
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        end = end == std::string_view::npos ? input.size() : end + 1;
        const std::string_view message = input.substr(start, end - start);
        start = end;

        std::string_view program = message;
        if (!program.empty() && program.back() == '\n')
            program.remove_suffix(1);
        sgsim::ScpiParser parser(program);
        int units = 0;
        while (const auto unit = parser.next()) {
            if (unit->header.size() > sgsim::ScpiParser::kMaxHeaderNodes ||
                unit->parameters.size() > sgsim::ScpiParser::kMaxParameters)
                std::abort();
            if (++units > static_cast<int>(program.size()) + 1)
                std::abort();  // every unit takes up at least one byte
        }

        const std::string response = generator.execute(message);
        if (response.size() > sgsim::SignalGenerator::kMaxResponseBytes)
            std::abort();
    }
    generator.describe_settings();
    return 0;
}
