// A simulated instrument that misbehaves on cue, for the faults a device
// written apart from the project can cause: a raw-socket peer on the local
// bus (proto/localbus_frames.h) that stands at the device's socket in front
// of an in-process simulated generator, relays the frames both ways, and
// adds its misdeed. The library sees one device with the serial number it
// was given (USB0::0x4d19::0x0040::<serial>::INSTR).
//
// Its own tests use it through the C API; any test (or a program's test
// through a child process that shares XDG_RUNTIME_DIR) can point the library
// at it the same way:
//   RogueDevice device("ENDLESS", Misdeed::endless_reply);
//   viOpen(rm, device.resource_name().c_str(), ...);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sgtest {

class InProcessSim;

enum class Misdeed {
    none,
    // After a connection's first request (or the next one, when set later),
    // frames that answer nothing, without pause, on the transfers'
    // connection: their seqs are those of the requests that come next, their
    // type is one never asked there.
    flood_answers,
    // The same on the interrupt-IN connection, whose requests (a CANCEL
    // included) are no longer answered.
    flood_interrupt,
    // Every INTERRUPT_IN answered at once with a service request.
    request_storm,
    // A reply that never ends: each BULK_IN after a REQUEST_DEV_DEP_MSG_IN
    // gets a DEV_DEP_MSG_IN transfer of 'x' bytes without EOM.
    endless_reply,
    // CLAIMs are never answered.
    silent_claim,
};

class RogueDevice {
  public:
    // Listens in the current bus directory (XDG_RUNTIME_DIR must already
    // point at the test's own directory).
    explicit RogueDevice(const std::string& serial, Misdeed misdeed = Misdeed::none);
    ~RogueDevice();  // stop()
    RogueDevice(const RogueDevice&) = delete;
    RogueDevice& operator=(const RogueDevice&) = delete;

    std::string resource_name() const;
    // From each connection's next request on.
    void set_misdeed(Misdeed misdeed);
    // Requests of `type` (a sgproto::localbus::FrameType) the host has sent.
    std::size_t requests(std::uint8_t type) const;
    // Waits until requests(type) >= count; false when `within` passes first.
    bool wait_requests(std::uint8_t type, std::size_t count,
                       std::chrono::milliseconds within) const;
    // Closes every connection and stops listening: a wait stuck on this
    // device ends with its connection.
    void stop();

  private:
    void accept_loop();
    void relay(int host_fd);
    Misdeed misdeed() const;
    void count(std::uint8_t type);

    std::string serial_;
    std::unique_ptr<InProcessSim> sim_;
    std::string path_;   // where the library finds us
    std::string aside_;  // where the simulator listens now
    int listen_fd_ = -1;
    int stop_fd_ = -1;  // eventfd: readable once stopping
    mutable std::mutex mutex_;
    mutable std::condition_variable counted_;
    Misdeed misdeed_;
    std::map<std::uint8_t, std::size_t> requests_;
    std::vector<std::thread> threads_;  // the relays
    std::thread acceptor_;
    bool stopped_ = false;
};

}  // namespace sgtest
