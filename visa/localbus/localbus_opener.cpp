// Opening a simulated instrument on the local bus: scan the user's bus
// directory, ask each device socket who it is, claim the one the resource
// name designates and run the USBTMC host protocol over it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bus_directory.h"
#include "frame_socket.h"
#include "localbus_frames.h"
#include "localbus_link.h"
#include "localbus_opener.h"
#include "usbtmc_host.h"

namespace sgvisa {

namespace lb = sgproto::localbus;

namespace {

// A live simulator sends HELLO as soon as it accepts; one that does not
// within this bound is skipped.
constexpr auto kHelloBound = std::chrono::seconds(2);
// A free device grants the claim at once; even an open with no time to wait
// gives it this long.
constexpr auto kClaimGrace = std::chrono::milliseconds(100);
// The capability request after the claim has at least this long, however
// much of the open timeout waiting for the claim used.
constexpr auto kSetupBound = std::chrono::seconds(1);

// A socket a host may trust: a socket, owned by this user, closed to group and others.
bool socket_is_private(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISSOCK(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// Connects to the device socket at `path`; -1 when nobody listens there
// (a stale socket refuses at once) or it cannot be reached.
int connect_to(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Hello {
    lb::DeviceHello device{};
    std::string serial;
    std::string manufacturer;
    std::string product;
};

bool read_hello(int fd, std::vector<std::uint8_t>& rx, Deadline deadline, Hello& out) {
    lb::FrameHeader h{};
    std::vector<std::uint8_t> payload;
    if (localbus::receive_frame(fd, rx, deadline, h, payload) != VI_SUCCESS)
        return false;
    if (h.type != lb::HELLO || !lb::decode_hello(payload, out.device))
        return false;
    lb::decode_hello_strings(std::span(payload).subspan(lb::kDeviceHelloSize), out.serial,
                             out.manufacturer, out.product);
    return true;
}

bool matches(const UsbResourceName& name, const Hello& hello) {
    return hello.device.vendor_id == name.vendor_id && hello.device.product_id == name.product_id &&
           serial_equal(hello.serial, name.serial) &&
           (name.interface_number < 0 || name.interface_number == hello.device.interface_number);
}

// Asks for the claim and waits for it until `deadline`: another process may
// hold the device. Nothing else is sent before the claim is granted.
ViStatus claim(int fd, std::vector<std::uint8_t>& rx, Deadline deadline, std::uint32_t seq) {
    const auto frame = lb::encode_frame(lb::CLAIM, 0, seq, 0, {});
    std::size_t sent = 0;
    ViStatus st = localbus::send_all(fd, frame, deadline, sent);
    if (st == VI_ERROR_TMO)
        return VI_ERROR_RSRC_LOCKED;
    if (st != VI_SUCCESS)
        return st;
    for (;;) {
        lb::FrameHeader h{};
        std::vector<std::uint8_t> payload;
        st = localbus::receive_frame(fd, rx, deadline, h, payload);
        if (st == VI_ERROR_TMO)
            return VI_ERROR_RSRC_LOCKED;
        if (st != VI_SUCCESS)
            return st;
        if (h.type == lb::CLAIM && h.seq == seq)
            return h.status == lb::STATUS_OK ? VI_SUCCESS : VI_ERROR_IO;
    }
}

std::vector<std::string> device_sockets(const std::string& dir) {
    std::vector<std::string> paths;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return paths;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 5 && name.ends_with(".sock"))
            paths.push_back(dir + "/" + name);
    }
    ::closedir(d);
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace

ViStatus open_localbus_transport(const UsbResourceName& name, Deadline deadline,
                                 std::unique_ptr<Transport>& out) {
    const std::string dir = sgproto::bus_directory();
    if (!sgproto::bus_directory_is_private(dir))
        return VI_ERROR_RSRC_NFOUND;

    for (const auto& path : device_sockets(dir)) {
        if (!socket_is_private(path))
            continue;
        const int fd = connect_to(path);
        if (fd < 0)
            continue;
        std::vector<std::uint8_t> rx;
        Hello hello;
        if (!read_hello(fd, rx, Clock::now() + kHelloBound, hello) || !matches(name, hello)) {
            ::close(fd);
            continue;
        }
        constexpr std::uint32_t kClaimSeq = 1;
        const ViStatus st =
            claim(fd, rx, std::max<Deadline>(deadline, Clock::now() + kClaimGrace), kClaimSeq);
        if (st != VI_SUCCESS) {
            ::close(fd);
            return st;
        }
        if (!rx.empty()) {  // the device says nothing unasked after the claim
            ::close(fd);
            return VI_ERROR_IO;
        }
        UsbDeviceFacts facts = facts_from_hello(hello.device, hello.serial);
        facts.manufacturer = hello.manufacturer;
        facts.product = hello.product;
        auto link = std::make_unique<LocalbusLink>(fd, std::move(facts), kClaimSeq + 1);
        return make_usbtmc_transport(std::move(link),
                                     std::max<Deadline>(deadline, Clock::now() + kSetupBound), out);
    }
    return VI_ERROR_RSRC_NFOUND;
}

}  // namespace sgvisa
