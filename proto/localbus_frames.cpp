#include "proto/localbus_frames.h"

#include <algorithm>

namespace sgproto::localbus {
namespace {

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void encode_header(const FrameHeader& h, std::span<std::uint8_t, kFrameHeaderSize> out) {
    out[0] = h.type;
    out[1] = h.status;
    out[2] = 0;
    out[3] = 0;
    put32(&out[4], h.seq);
    put32(&out[8], h.param);
    put32(&out[12], h.length);
}

bool decode_header(std::span<const std::uint8_t> in, FrameHeader& h) {
    if (in.size() < kFrameHeaderSize)
        return false;
    h.type = in[0];
    h.status = in[1];
    h.seq = get32(&in[4]);
    h.param = get32(&in[8]);
    h.length = get32(&in[12]);
    return true;
}

void encode_hello(const DeviceHello& h, std::span<std::uint8_t, kDeviceHelloSize> out) {
    put16(&out[0], h.vendor_id);
    put16(&out[2], h.product_id);
    out[4] = h.interface_number;
    out[5] = h.bulk_out_endpoint;
    out[6] = h.bulk_in_endpoint;
    out[7] = h.interface_protocol;
    put16(&out[8], h.max_packet_size);
    out[10] = h.interrupt_in_endpoint;
    out[11] = h.interrupt_in_packet_size;
}

std::size_t device_hello_size(std::uint32_t hello_param) {
    return hello_param == 0 ? kShortDeviceHelloSize : hello_param;
}

bool decode_hello(std::span<const std::uint8_t> in, std::size_t size, DeviceHello& h) {
    // A larger hello than ours may carry more fields after the ones we know.
    if ((size < kDeviceHelloSize && size != kShortDeviceHelloSize) || in.size() < size)
        return false;
    h.vendor_id = get16(&in[0]);
    h.product_id = get16(&in[2]);
    h.interface_number = in[4];
    h.bulk_out_endpoint = in[5];
    h.bulk_in_endpoint = in[6];
    h.interface_protocol = in[7];
    h.max_packet_size = get16(&in[8]);
    h.interrupt_in_endpoint = size >= kDeviceHelloSize ? in[10] : 0;
    h.interrupt_in_packet_size = size >= kDeviceHelloSize ? in[11] : 0;
    return true;
}

bool decode_hello(std::span<const std::uint8_t> in, DeviceHello& h) {
    return decode_hello(in, kDeviceHelloSize, h);
}

void encode_setup(const ControlSetup& s, std::span<std::uint8_t, kControlSetupSize> out) {
    out[0] = s.request_type;
    out[1] = s.request;
    put16(&out[2], s.value);
    put16(&out[4], s.index);
    put16(&out[6], s.length);
}

bool decode_setup(std::span<const std::uint8_t> in, ControlSetup& s) {
    if (in.size() < kControlSetupSize)
        return false;
    s.request_type = in[0];
    s.request = in[1];
    s.value = get16(&in[2]);
    s.index = get16(&in[4]);
    s.length = get16(&in[6]);
    return true;
}

void decode_hello_strings(std::span<const std::uint8_t> in, std::string& serial,
                          std::string& manufacturer, std::string& product) {
    std::string* fields[] = {&serial, &manufacturer, &product};
    for (std::string* f : fields)
        f->clear();
    std::size_t field = 0;
    for (std::uint8_t b : in) {
        if (b == 0) {
            if (++field == 3)
                break;
            continue;
        }
        fields[field]->push_back(static_cast<char>(b));
    }
}

std::vector<std::uint8_t> encode_hello_strings(const std::string& serial,
                                               const std::string& manufacturer,
                                               const std::string& product) {
    std::vector<std::uint8_t> out(serial.begin(), serial.end());
    if (manufacturer.empty() && product.empty())
        return out;
    out.push_back(0);
    out.insert(out.end(), manufacturer.begin(), manufacturer.end());
    out.push_back(0);
    out.insert(out.end(), product.begin(), product.end());
    return out;
}

std::vector<std::uint8_t> encode_frame(std::uint8_t type, std::uint8_t status, std::uint32_t seq,
                                       std::uint32_t param, std::span<const std::uint8_t> payload) {
    FrameHeader h;
    h.type = type;
    h.status = status;
    h.seq = seq;
    h.param = param;
    h.length = static_cast<std::uint32_t>(payload.size());
    std::vector<std::uint8_t> frame(kFrameHeaderSize + payload.size());
    encode_header(h, std::span<std::uint8_t, kFrameHeaderSize>(frame.data(), kFrameHeaderSize));
    std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
    return frame;
}

}  // namespace sgproto::localbus
