// What a run of sgdemo against the simulated generator (serial number SIM001)
// is expected to show and send: the commands the generator receives and the
// pieces of the transcript as a terminal shows it (line ends "\r\n").
#pragma once

#include <string>
#include <vector>

namespace sgtest::dialogue {

inline const std::string kIdn = "Simulated Signal Sources,SG-4040,SIM001,1.0";
inline const std::string kNoError = "0,\"No error\"";

// The RF phase: everything sent before the pause.
inline const std::vector<std::string> kRfCommands = {
    "*RST", "*IDN?", "FREQ 1 GHz", "POW 1", "OUTPut:STATe ON", "SYSTem:ERRor?",
};
inline const std::vector<std::string> kAllCommands = {
    "*RST",
    "*IDN?",
    "FREQ 1 GHz",
    "POW 1",
    "OUTPut:STATe ON",
    "SYSTem:ERRor?",
    "LFO:FUNC:SHAP SIN",
    "LFO:FUNC:FREQ 9 kHz",
    "LFO:AMP 3",
    "*RST",
};

inline const std::string kConnect =
    "Enter serial number: SIM001\r\nConnect to USB0::0x4d19::0x0040::SIM001::0::INSTR\r\n";
inline const std::string kPause = "press any key to continue...\r\n";
inline const std::string kLfPhase =
    "switch LF generator and setting shape SINE\r\n"
    "setting frequency to 9 kHz\r\n"
    "setting amplitude 3 V\r\n";
inline const std::string kExit = "press any key to exit...\r\n";

// The RF phase's lines, with the two replies as the terminal shows them.
inline std::string rf_phase(const std::string& idn_shown, const std::string& error_shown) {
    return "IDN: " + idn_shown +
           "setting frequency to 1 GHz\r\nsetting power to 1 dBm\r\npower on\r\n" + error_shown;
}

}  // namespace sgtest::dialogue
