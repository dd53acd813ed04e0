// Serves a SharedInstrument on the LAN, as a LAN instrument does:
//   a portmapper (version 2) on TCP and UDP, port 111 unless told another,
//     which also answers the GETPORT a discovery broadcasts on the network
//     of the address it serves;
//   the VXI-11 core channel on its own TCP port, and the abort channel on
//     the port create_link gives; service requests go to the controller's
//     interrupt channel;
//   raw SOCKET on TCP port 5025 unless told another;
//   HiSLIP on TCP port 4880 unless told another, on the IPv6 loopback (or
//     every IPv6 address) too when the address is 127.0.0.1 (0.0.0.0).
// A thread listens and hands each connection to a thread of its own (at
// most kMaxConnections at once: more are closed at once), so that no
// client waits for another. stop() (or the destructor) closes them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "network/shared_instrument.h"

namespace sgsim {

namespace network {
class HislipSessions;
}

struct LanOptions {
    std::string address = "127.0.0.1";  // IPv4; 0.0.0.0 for every address
    std::uint16_t portmap_port = 111;   // 0: the kernel picks, for this and the next
    std::uint16_t vxi11_port = 0;
    std::uint16_t socket_port = 5025;
    std::uint16_t hislip_port = 4880;
};

class LanServer {
  public:
    static constexpr std::size_t kMaxConnections = 32;

    LanServer(SharedInstrument& shared, LanOptions options);
    ~LanServer();
    LanServer(const LanServer&) = delete;
    LanServer& operator=(const LanServer&) = delete;

    // Binds every port and starts serving. False, with a one-line reason in
    // `error`, when a port cannot be had (ports below 1024 need root).
    bool start(std::string& error);
    void stop();

    std::uint16_t portmap_port() const { return portmap_port_; }
    std::uint16_t vxi11_port() const { return vxi11_port_; }
    std::uint16_t abort_port() const { return abort_port_; }
    std::uint16_t socket_port() const { return socket_port_; }
    std::uint16_t hislip_port() const { return hislip_port_; }
    // Whether HiSLIP is served on IPv6 too ([::1] or [::]).
    bool hislip_ipv6() const { return hislip6_ >= 0; }
    // "LAN 127.0.0.1: portmapper 111 (TCP, UDP), VXI-11 40001 (abort 40002),
    // SOCKET 5025, HiSLIP 4880", for the ready line.
    std::string describe() const;

  private:
    struct Worker;
    enum class Kind { portmap, core, abort, socket, hislip };

    void listen_loop();
    void accept_one(int listen_fd, Kind kind);
    void answer_udp(int fd);
    // Joins the workers whose connection has ended.
    void reap();

    SharedInstrument& shared_;
    LanOptions options_;
    std::uint32_t address_ = 0;
    int portmap_tcp_ = -1;
    int portmap_udp_ = -1;
    // Bound to the broadcast address of `address`'s network: a socket bound
    // to a unicast address receives no broadcast. Answers go out from
    // portmap_udp_, so that they come from the instrument's address.
    int portmap_broadcast_ = -1;
    int core_ = -1;
    int abort_ = -1;
    int socket_ = -1;
    int hislip_ = -1;
    int hislip6_ = -1;
    std::uint16_t portmap_port_ = 0;
    std::uint16_t vxi11_port_ = 0;
    std::uint16_t abort_port_ = 0;
    std::uint16_t socket_port_ = 0;
    std::uint16_t hislip_port_ = 0;
    std::unique_ptr<network::HislipSessions> hislip_sessions_;
    int stop_pipe_[2] = {-1, -1};
    std::thread listener_;
    std::thread clock_;
    std::mutex workers_mutex_;
    std::list<std::unique_ptr<Worker>> workers_;
    std::uint64_t next_connection_ = 1;
    std::atomic<int> instrument_connections_{0};  // core and SOCKET, for one-connection
    bool started_ = false;
};

}  // namespace sgsim
