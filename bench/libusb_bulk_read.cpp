#include "libusb_bulk_read.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>

#include "proto/usbtmc.h"

namespace sgbench {
namespace {

namespace tmc = sgproto::usbtmc;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBoundMs = 60000;
constexpr std::size_t kOutPayload = 4096;  // as the library sends messages
constexpr std::size_t kPacket = 512;

struct Endpoints {
    int interface = -1;
    unsigned char out = 0;
    unsigned char in = 0;
};

bool find_endpoints(libusb_device* dev, Endpoints& ep) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0)
        return false;
    for (int i = 0; i < config->bNumInterfaces && ep.interface < 0; ++i) {
        const libusb_interface_descriptor& d = config->interface[i].altsetting[0];
        if (d.bInterfaceClass != tmc::kInterfaceClass ||
            d.bInterfaceSubClass != tmc::kInterfaceSubclass)
            continue;
        for (int e = 0; e < d.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& x = d.endpoint[e];
            if ((x.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            (x.bEndpointAddress & LIBUSB_ENDPOINT_IN ? ep.in : ep.out) = x.bEndpointAddress;
        }
        ep.interface = d.bInterfaceNumber;
    }
    libusb_free_config_descriptor(config);
    return ep.interface >= 0 && ep.in != 0 && ep.out != 0;
}

class Device {
  public:
    Device(libusb_device_handle* h, const Endpoints& ep) : h_(h), ep_(ep) {}

    bool bulk(unsigned char endpoint, unsigned char* data, std::size_t length, int& done) {
        const int rc =
            libusb_bulk_transfer(h_, endpoint, data, static_cast<int>(length), &done, kBoundMs);
        if (rc != 0)
            std::fprintf(stderr, "bench: bulk transfer on 0x%02x: %s\n", endpoint,
                         libusb_error_name(rc));
        return rc == 0;
    }

    // One bulk-OUT transfer carrying `msg_id` and `n` bytes of `data`.
    bool out(std::uint8_t msg_id, std::uint32_t size, std::uint8_t attributes,
             const unsigned char* data, std::size_t n) {
        frame_.assign(tmc::kHeaderSize + n + tmc::padding_for(n), 0);
        tmc::BulkHeader h;
        h.msg_id = msg_id;
        h.tag = next_tag();
        h.transfer_size = size;
        h.attributes = attributes;
        tmc::encode_header(
            h, std::span<std::uint8_t, tmc::kHeaderSize>(frame_.data(), tmc::kHeaderSize));
        if (n > 0)
            std::memcpy(frame_.data() + tmc::kHeaderSize, data, n);
        int done = 0;
        return bulk(ep_.out, frame_.data(), frame_.size(), done);
    }

    bool message(const unsigned char* data, std::size_t n) {
        for (std::size_t off = 0; off < n; off += kOutPayload) {
            const std::size_t piece = std::min(kOutPayload, n - off);
            if (!out(tmc::DEV_DEP_MSG_OUT, static_cast<std::uint32_t>(piece),
                     off + piece == n ? tmc::kAttrEom : 0, data + off, piece))
                return false;
        }
        return true;
    }

    // One request for `chunk` bytes and its answer in one bulk-IN transfer;
    // the data go to `to`. Sets `end` at EOM.
    bool read(std::size_t chunk, unsigned char* to, std::size_t& got, bool& end) {
        if (!out(tmc::REQUEST_DEV_DEP_MSG_IN, static_cast<std::uint32_t>(chunk), 0, nullptr, 0))
            return false;
        const std::size_t want = (tmc::kHeaderSize + chunk + 3 + kPacket - 1) / kPacket * kPacket;
        in_.resize(want);
        int done = 0;
        if (!bulk(ep_.in, in_.data(), want, done))
            return false;
        tmc::BulkHeader h;
        if (!tmc::decode_header(std::span(in_.data(), static_cast<std::size_t>(done)), h) ||
            h.msg_id != tmc::DEV_DEP_MSG_IN || h.transfer_size > chunk ||
            tmc::kHeaderSize + h.transfer_size > static_cast<std::size_t>(done)) {
            std::fprintf(stderr,
                         "bench: bare libusb: a bulk-IN transfer of %d bytes is no answer\n", done);
            return false;
        }
        std::memcpy(to, in_.data() + tmc::kHeaderSize, h.transfer_size);
        got = h.transfer_size;
        end = (h.attributes & tmc::kAttrEom) != 0;
        return true;
    }

  private:
    std::uint8_t next_tag() {
        tag_ = static_cast<std::uint8_t>(tag_ % 255 + 1);
        return tag_;
    }

    libusb_device_handle* h_;
    Endpoints ep_;
    std::uint8_t tag_ = 0;
    std::vector<unsigned char> frame_;
    std::vector<unsigned char> in_;
};

bool rounds(Device& d, int count, std::size_t chunk, const std::vector<unsigned char>& message,
            std::vector<double>& us) {
    std::vector<unsigned char> got(message.size() + chunk);
    for (int i = 0; i < count; ++i) {
        if (!d.message(reinterpret_cast<const unsigned char*>("RECEIVE\n"), 8) ||
            !d.message(message.data(), message.size()) ||
            !d.message(reinterpret_cast<const unsigned char*>("SEND\n"), 5))
            return false;
        std::size_t have = 0;
        bool end = false;
        const auto t0 = Clock::now();
        while (!end && have < message.size()) {
            std::size_t n = 0;
            if (!d.read(chunk, got.data() + have, n, end))
                return false;
            have += n;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (have != message.size() || std::memcmp(got.data(), message.data(), have) != 0) {
            std::fprintf(stderr, "bench: bare libusb read %zu bytes, not the message\n", have);
            return false;
        }
    }
    return true;
}

}  // namespace

bool run_bare_libusb_bulk_read(int count, std::size_t chunk,
                               const std::vector<unsigned char>& message, std::vector<double>& us) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return false;
    bool ok = false;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x4d19, 0x0040);
    Endpoints ep;
    if (h == nullptr || !find_endpoints(libusb_get_device(h), ep)) {
        std::fprintf(stderr, "bench: no USBTMC device 4d19:0040\n");
    } else {
        libusb_set_auto_detach_kernel_driver(h, 1);
        const int rc = libusb_claim_interface(h, ep.interface);
        if (rc != 0) {
            std::fprintf(stderr, "bench: claim: %s\n", libusb_error_name(rc));
        } else {
            Device d(h, ep);
            ok = rounds(d, count, chunk, message, us);
            libusb_release_interface(h, ep.interface);  // the kernel driver comes back
        }
    }
    if (h != nullptr)
        libusb_close(h);
    libusb_exit(ctx);
    return ok;
}

}  // namespace sgbench
