#include "device/settings_record.h"

namespace sgsim {

std::string record_line(std::string_view message, const std::vector<std::string>& set,
                        std::string_view settings) {
    std::string line = log_line(message) + '\t';
    if (set.empty())
        line += '-';
    for (std::size_t i = 0; i < set.size(); ++i)
        line += (i == 0 ? "" : ", ") + log_line(set[i]);
    line += '\t';
    bool first = true;
    while (!settings.empty()) {
        const std::size_t end = settings.find('\n');
        const std::string_view setting = settings.substr(0, end);
        if (!setting.empty()) {
            line += (first ? "" : "; ") + log_line(setting);
            first = false;
        }
        settings.remove_prefix(end == std::string_view::npos ? settings.size() : end + 1);
    }
    return line;
}

std::string RecordingInstrument::execute(std::string_view message) {
    std::string response = inner_.execute(message);
    record_.write_line(record_line(message, inner_.settings_set(), inner_.describe_settings()));
    return response;
}

void RecordingInstrument::trigger() {
    inner_.trigger();
    record_.write_line(record_line("*TRG", {}, inner_.describe_settings()));
}

}  // namespace sgsim
