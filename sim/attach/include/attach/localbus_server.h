// Puts a UsbtmcDevice on the simulator's local bus: a Unix stream socket in
// the user's private bus directory, served by a single-threaded poll() loop.
// Every connection gets the device's HELLO; one connection at a time holds
// the claim and its transfers reach the device. Connections wait for the
// claim, take it over or release it as localbus_frames.h describes. The
// device's interrupt packets go to every connection waiting for one,
// claimed or not; a packet none of them received (their hosts went away)
// goes back to the device for the next one.
//
// The device's bulk-IN transfers go through a model of its bulk-IN FIFO as
// a host controller sees it (packet_stream.h): packets of 512 bytes (what
// the HELLO says), shaped by the packet-level quirks, and a BULK_IN is
// answered with the bytes up to a short or zero-length packet, or `max`
// bytes; the rest waits for the next BULK_IN. A transfer is taken from the
// device only while a BULK_IN waits and the FIFO cannot answer it, so a
// transfer that fits the BULK_IN is its whole answer, as without the model;
// the transfers the device commits on its own (leftover, late) go into the
// FIFO before the next BULK_IN is answered. When the holder's
// connection closes, the FIFO is emptied and the device reset; under
// halt-after-close its bulk endpoints then halt (a BULK_IN is answered
// STATUS_STALL, a BULK_OUT too) until CLEAR_HALT of each.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "attach/packet_stream.h"
#include "device/device_identity.h"
#include "device/usbtmc_device.h"

namespace sgsim {

class LocalbusServer {
  public:
    LocalbusServer(UsbtmcDevice& device, DeviceIdentity identity);
    ~LocalbusServer();  // closes every connection and removes the socket
    LocalbusServer(const LocalbusServer&) = delete;
    LocalbusServer& operator=(const LocalbusServer&) = delete;

    enum class StartResult { kListening, kAlreadyRunning, kFailed };

    // Creates the bus directory if needed and listens on the device's socket,
    // replacing a stale one. kAlreadyRunning when a device answers on it.
    StartResult start(std::string& error);

    const std::string& socket_path() const { return path_; }

    // When set, run() holds `m` whenever it works the device (everything
    // but its wait in poll()): the device's instrument is shared with the
    // LAN services' threads, which hold it too.
    void share_device(std::mutex* m) { device_mutex_ = m; }
    // When set, the device takes no frame from its hosts while `held()`
    // (asked under the shared mutex): they wait in their connections, as
    // behind another link's lock; a host that hangs up meanwhile is
    // dropped unheard. The loop also wakes when `wake_fd` (an eventfd)
    // becomes readable: the lock went, or another side of the instrument
    // raised a service request the device's hosts are to hear of.
    void hold_frames_while(std::function<bool()> held, int wake_fd) {
        frames_held_ = std::move(held);
        wake_fd_ = wake_fd;
    }

    // Serves connections until `stop_fd` becomes readable (or hangs up).
    // Returns false, with a message in `error`, when poll() itself fails.
    bool run(int stop_fd, std::string& error);

  private:
    struct Connection;
    struct InterruptDelivery;

    void accept_all();
    void read_from(Connection& c);
    void handle_frame(Connection& c, std::uint8_t type, std::uint32_t seq, std::uint32_t param,
                      const std::uint8_t* payload, std::uint32_t length);
    void answer(Connection& c, std::uint8_t type, std::uint8_t status, std::uint32_t seq,
                const std::uint8_t* payload, std::size_t length, std::uint32_t param = 0);
    void flush(Connection& c);
    // The interrupt packets whose answers to `c` have now gone out in full.
    void note_sent(Connection& c);
    void send_hello(Connection& c);
    // Answers the holder's BULK_IN when it can, after the transfers the
    // device committed.
    void serve_bulk_in();
    // Hands the device's interrupt packets to the connections waiting,
    // passing over those whose host has hung up.
    void serve_interrupts();
    void interrupt_in(Connection& c, std::uint32_t seq, std::uint32_t max);
    void cancel(Connection& c, std::uint32_t seq);
    // Answers `c`'s pending BULK_IN STATUS_CANCELLED, with the packets it
    // had received from the FIFO meanwhile.
    void cancel_bulk_in(Connection& c);
    void claim(Connection& c, std::uint32_t seq, std::uint32_t how);
    void release(Connection& c, std::uint32_t seq);
    // Gives `c` the claim, taking it from its holder, and answers its CLAIM.
    void grant(Connection& c);
    // Grants the waiting claims that can be granted now.
    void grant_claims();
    void drop_closed();
    // Gives the device back the packets of `closed` that none of the
    // connections they were handed to received, oldest in front.
    void put_back_undelivered(const std::vector<Connection*>& closed);

    UsbtmcDevice& device_;
    std::mutex* device_mutex_ = nullptr;
    std::function<bool()> frames_held_;
    int wake_fd_ = -1;
    DeviceIdentity identity_;
    std::string path_;
    int listen_fd_ = -1;
    ino_t socket_inode_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::deque<Connection*> claim_waiters_;
    Connection* owner_ = nullptr;
    PacketStream bulk_in_fifo_;
    std::vector<std::uint8_t> bulk_in_answer_;
    bool accept_paused_ = false;
    std::uint64_t interrupts_taken_ = 0;
};

}  // namespace sgsim
