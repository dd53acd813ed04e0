// Opening and listing simulated instruments on the local bus: each device
// has a socket in the user's bus directory, named after its IDs and serial
// number; a connection gets the device's HELLO at once and claims the device
// when it first talks to it.
#include "localbus/localbus_opener.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "frame_socket.h"
#include "localbus_link.h"
#include "proto/bus_directory.h"
#include "proto/localbus_frames.h"
#include "quirks/quirk_table.h"
#include "transport/process_descriptors.h"
#include "usbtmc/usbtmc_host.h"

namespace sgvisa::localbus {

namespace lb = sgproto::localbus;

namespace {

// A live simulator sends HELLO as soon as it accepts; a stopped one still
// accepts connections but never says HELLO. A listing waits this long for
// all the sockets together; an open waits within its own deadline.
constexpr auto kHelloBound = std::chrono::milliseconds(500);

// A socket a host may trust: a socket, owned by this user, closed to group and others.
bool socket_is_private(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISSOCK(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// Connects to the device socket at `path`, waiting until `deadline` while the
// device's listen backlog is full (a busy simulator has not accepted yet: a
// non-blocking connect would fail at once and the device would look absent);
// -1 when nobody listens there (a stale socket refuses at once) or it cannot
// be reached in time. The descriptor returned is non-blocking.
int connect_to(const std::string& path, Deadline deadline) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // A fork child closes its copy: the device sees this one close when
    // this process closes it.
    const int fd =
        open_process_descriptor([] { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); });
    if (fd < 0)
        return -1;
    // A Unix socket's connect waits for room in the backlog within the
    // send timeout.
    const int ms = std::max(ms_until(deadline), 1);
    const timeval bound{ms / 1000, (ms % 1000) * 1000};
    int r = ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    if (r == 0) {
        do
            r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        while (r != 0 && errno == EINTR && Clock::now() < deadline);
        if (r != 0 && errno == EISCONN)
            r = 0;  // a connect interrupted by a signal went on meanwhile
    }
    const timeval none{};
    if (r != 0 || ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        close_process_descriptor(fd);
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

bool parse_hello(const lb::FrameHeader& h, const std::vector<std::uint8_t>& payload, Hello& out) {
    // The frame's param tells the hello's size (older devices: none, 10 bytes).
    const std::size_t size = lb::device_hello_size(h.param);
    if (h.type != lb::HELLO || !lb::decode_hello(payload, size, out.device))
        return false;
    lb::decode_hello_strings(std::span(payload).subspan(size), out.serial, out.manufacturer,
                             out.product);
    return !out.serial.empty();
}

bool matches(const UsbResourceName& name, const Hello& hello) {
    return hello.device.vendor_id == name.vendor_id && hello.device.product_id == name.product_id &&
           serial_equal(hello.serial, name.serial) &&
           (name.interface_number < 0 || name.interface_number == hello.device.interface_number);
}

struct DeviceSocket {
    std::string path;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
};

// The trusted device sockets of the bus directory, in name order.
std::vector<DeviceSocket> device_sockets() {
    std::vector<DeviceSocket> sockets;
    const std::string dir = sgproto::bus_directory();
    if (!sgproto::bus_directory_is_private(dir))
        return sockets;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return sockets;
    while (const dirent* e = ::readdir(d)) {
        DeviceSocket s;
        if (!sgproto::parse_device_socket_name(e->d_name, s.vendor_id, s.product_id, s.serial))
            continue;
        s.path = dir + "/" + e->d_name;
        if (socket_is_private(s.path))
            sockets.push_back(std::move(s));
    }
    ::closedir(d);
    std::sort(sockets.begin(), sockets.end(),
              [](const DeviceSocket& a, const DeviceSocket& b) { return a.path < b.path; });
    return sockets;
}

}  // namespace

ViStatus open_localbus_transport(const UsbResourceName& name, Deadline deadline,
                                 std::unique_ptr<Transport>& out) {
    for (const auto& socket : device_sockets()) {
        // The socket's name says whom it serves: nothing else is connected to.
        if (socket.vendor_id != name.vendor_id || socket.product_id != name.product_id ||
            !serial_equal(socket.serial, name.serial))
            continue;
        const int fd = connect_to(socket.path, deadline);
        if (fd < 0)
            continue;
        std::vector<std::uint8_t> rx;
        std::vector<std::uint8_t> payload;
        lb::FrameHeader h{};
        Hello hello;
        // The socket's name says the device is this one: on a loaded machine
        // its HELLO may take a while, and the open waits for it as long as
        // it waits for anything.
        if (localbus::receive_frame(fd, rx, deadline, h, payload) != VI_SUCCESS ||
            !parse_hello(h, payload, hello) || !matches(name, hello) || !rx.empty()) {
            close_process_descriptor(fd);
            continue;
        }
        UsbDeviceFacts facts = facts_from_hello(hello.device, hello.serial);
        facts.manufacturer = hello.manufacturer;
        facts.product = hello.product;
        const usbtmc::HostQuirks quirks = quirks::quirks_for(facts.vendor_id, facts.product_id);
        constexpr std::uint32_t kFirstSeq = 1;
        auto link =
            std::make_unique<LocalbusLink>(fd, std::move(facts), kFirstSeq, false, socket.path);
        return usbtmc::make_usbtmc_transport(std::move(link), out, quirks);
    }
    return VI_ERROR_RSRC_NFOUND;
}

std::vector<LocalbusDevice> list_localbus_devices(Deadline deadline) {
    struct Pending {
        int fd = -1;
        std::string path;
        std::vector<std::uint8_t> rx;
    };
    std::vector<Pending> pending;
    // All the HELLOs are awaited together, within one bound.
    const Deadline until = std::min(deadline, Clock::now() + kHelloBound);
    for (const auto& socket : device_sockets()) {
        const int fd = connect_to(socket.path, until);
        if (fd >= 0)
            pending.push_back({fd, socket.path, {}});
    }
    std::vector<LocalbusDevice> devices;
    while (!pending.empty()) {
        std::vector<pollfd> fds;
        for (const auto& p : pending)
            fds.push_back({p.fd, POLLIN, 0});
        const int r = ::poll(fds.data(), fds.size(), ms_until(until));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        for (std::size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0)
                continue;
            lb::FrameHeader h{};
            std::vector<std::uint8_t> payload;
            // Ready: a frame (or what there is of it) can be read without waiting.
            const ViStatus st =
                localbus::receive_frame(pending[i].fd, pending[i].rx, Clock::now(), h, payload);
            if (st == VI_ERROR_TMO)
                continue;  // part of the frame so far
            Hello hello;
            if (st == VI_SUCCESS && parse_hello(h, payload, hello)) {
                LocalbusDevice device;
                device.name.vendor_id = hello.device.vendor_id;
                device.name.product_id = hello.device.product_id;
                device.name.serial = std::move(hello.serial);
                device.name.interface_number = hello.device.interface_number;
                device.manufacturer = std::move(hello.manufacturer);
                device.product = std::move(hello.product);
                device.interface_protocol = hello.device.interface_protocol;
                device.socket = pending[i].path;
                devices.push_back(std::move(device));
            }
            close_process_descriptor(pending[i].fd);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const auto& p : pending)
        close_process_descriptor(p.fd);
    std::sort(devices.begin(), devices.end(),
              [](const LocalbusDevice& a, const LocalbusDevice& b) { return a.socket < b.socket; });
    return devices;
}

void list_localbus_resources(Deadline deadline, std::vector<UsbResourceName>& out) {
    for (LocalbusDevice& device : list_localbus_devices(deadline))
        out.push_back(std::move(device.name));
}

}  // namespace sgvisa::localbus
