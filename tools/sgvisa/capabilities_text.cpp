#include "capabilities_text.h"

#include <cstdio>

#include "proto/usbtmc.h"

namespace sgvisa_tool {
namespace {

namespace tmc = sgproto::usbtmc;

// A binary-coded decimal version, e.g. 0x0100 -> "1.00".
std::string bcd_version(std::uint8_t low, std::uint8_t high) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x.%02x", high, low);
    return buf;
}

struct Bit {
    std::size_t byte;
    std::uint8_t mask;
    const char* name;
};

CapabilityLine line_of(std::span<const std::uint8_t> answer, const char* area,
                       std::size_t version_at, std::initializer_list<Bit> bits) {
    CapabilityLine line{area, bcd_version(answer[version_at], answer[version_at + 1]), {}, {}};
    for (const Bit& bit : bits)
        ((answer[bit.byte] & bit.mask) != 0 ? line.present : line.absent).push_back(bit.name);
    return line;
}

}  // namespace

std::vector<CapabilityLine> describe_capabilities(std::span<const std::uint8_t> answer,
                                                  bool usb488_interface) {
    std::vector<CapabilityLine> lines;
    if (answer.size() < 6 || answer[0] != tmc::STATUS_SUCCESS)
        return lines;
    lines.push_back(
        line_of(answer, "USBTMC", 2,
                {{tmc::kCapsInterface, tmc::kInterfaceCapIndicatorPulse, "INDICATOR_PULSE"},
                 {tmc::kCapsInterface, 0x02, "talk-only"},
                 {tmc::kCapsInterface, 0x01, "listen-only"},
                 {tmc::kCapsDevice, tmc::kDeviceCapTermChar, "TermChar"}}));
    if (usb488_interface && answer.size() >= 16)
        lines.push_back(
            line_of(answer, "USB488", 12,
                    {{tmc::kCapsUsb488Interface, tmc::kUsb488CapIeee4882, "IEEE 488.2 interface"},
                     {tmc::kCapsUsb488Interface, tmc::kUsb488CapRemoteLocal,
                      "REN_CONTROL/GO_TO_LOCAL/LOCAL_LOCKOUT"},
                     {tmc::kCapsUsb488Interface, tmc::kUsb488CapTrigger, "TRIGGER"},
                     {tmc::kCapsUsb488Device, tmc::kUsb488DeviceScpi, "SCPI"},
                     {tmc::kCapsUsb488Device, tmc::kUsb488DeviceSr1, "SR1 (service request)"},
                     {tmc::kCapsUsb488Device, tmc::kUsb488DeviceRl1, "RL1 (remote/local)"},
                     {tmc::kCapsUsb488Device, tmc::kUsb488DeviceDt1, "DT1 (device trigger)"}}));
    return lines;
}

}  // namespace sgvisa_tool
