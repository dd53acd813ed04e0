// Runs the whole program in-process (run_session) against a FakeUsbtmcDevice
// that stands in for the generator behind the USBTMC host, so that a fault
// row shows the operator's transcript, the exit status and what reached the
// generator, for faults the simulated generator cannot produce.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "fake_usbtmc_device.h"
#include "usbtmc/usb_link.h"

namespace sgfault {

struct ProgramRun {
    std::string transcript;  // standard output, as the operator reads it
    int exit_status = -1;
    int keys_waited = 0;
    std::chrono::milliseconds took{0};
};

// Serial number the program is given; the fake device answers to it.
inline const std::string kSerial = "FAULT01";

// Wraps a link: decorates transfers with faults the fake device has no
// switch for. Returns the link to hand the USBTMC host.
using LinkDecorator =
    std::unique_ptr<sgvisa::usbtmc::UsbLink> (*)(std::unique_ptr<sgvisa::usbtmc::UsbLink> link);

// Runs the program with `device` (and optionally `decorate` around its link)
// as the generator. XDG_RUNTIME_DIR points at an empty private directory for
// the run, so no simulated generator can answer instead.
ProgramRun run_program(const std::shared_ptr<sgtest::FakeUsbtmcDevice>& device,
                       LinkDecorator decorate = nullptr);

// Opens the generator through the VISA API as the program does and sends
// one *IDN? query with its read format; returns viQueryf's status and what
// the 64-byte buffer holds.
ViStatus query_once(const std::shared_ptr<sgtest::FakeUsbtmcDevice>& device, LinkDecorator decorate,
                    std::string& shown);

// The transcript of a connected run whose two queries showed `idn` and `error`.
std::string connected_transcript(const std::string& idn, const std::string& error);

}  // namespace sgfault
