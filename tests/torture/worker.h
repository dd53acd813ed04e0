// A worker process: several operation threads (actors) sharing one
// resource manager session and a few session slots, a watchdog, and the
// main thread, which obeys the supervisor: pause (every thread stops after
// its operation, every session is closed, threads and descriptors are
// counted against the process's steady state), resume, finish.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "board.h"
#include "leak_check.h"
#include "options.h"
#include "reporter.h"
#include "slot.h"
#include "visa.h"

namespace torture {

// How a session reaches a simulated instrument: its local bus (as USB), or
// the LAN, where the same simulator serves it as a VXI-11 INSTR, a raw
// SOCKET and a HiSLIP INSTR resource.
enum class Link { usb, vxi11, socket, hislip };

struct Instrument {
    std::string resource;
    bool io_test = false;
    std::string identification;  // what *IDN? answers, with its linefeed
    Link link = Link::usb;
    // The index of the simulator's local bus resource: the simulator's own
    // records (the device lock a VXI-11 link takes) live in its board.
    int simulator = 0;
};

struct WorkerSetup {
    const Options* options = nullptr;
    Board* board = nullptr;
    std::string work_dir;
    std::uint32_t incarnation = 0;
    std::vector<Instrument> instruments;
    int command_fd = -1;  // 'P' pause, 'R' resume, 'F' finish, from the supervisor
    int reply_fd = -1;    // one line per command done
    std::int64_t run_start_ns = 0;
};

// Each SOCKET session has a connection of its own, and a raw socket has no
// framing that tells one reply from another (docs/behaviour.md): a reply
// nobody read (its call timed out or was ended) is the next read's on the
// same session, whichever thread makes it. A reply is held to its token
// only when no other query of the session overlapped it and nothing was
// left behind on the slot (kept for the slot: a later session in it only
// gets a looser check). Another session's reply is always a fault.
struct SocketStream {
    std::atomic<int> in_flight{0};        // queries between their write and read
    std::atomic<std::uint32_t> begun{0};  // queries begun
    std::atomic<bool> behind{false};      // a reply may have been left unread
};

class Actor;

class Worker {
  public:
    explicit Worker(WorkerSetup setup);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // The process's life; returns its exit status.
    int run();

    const WorkerSetup& setup() const { return setup_; }
    const Options& options() const { return *setup_.options; }
    Board& board() { return *setup_.board; }
    Reporter& reporter() { return reporter_; }
    Slot& slot(int i) { return slots_[i]; }
    const Instrument& instrument(int i) const { return setup_.instruments[i]; }
    int instrument_count() const { return static_cast<int>(setup_.instruments.size()); }
    SocketStream& socket_stream(int slot) { return socket_streams_[slot]; }

    // The resource manager session: viOpen holds `rm_mutex()` shared from
    // the read of the handle to the slot's update, a close of the resource
    // manager holds it alone.
    ViSession rm() const { return rm_.load(); }
    std::shared_mutex& rm_mutex() { return rm_mutex_; }
    // Closes every session and the resource manager and opens a new one
    // (with the others' sessions going under them); caller holds rm_mutex()
    // alone. Returns the new resource manager's status.
    void close_all(Actor* by);
    ViStatus open_rm(Actor* by);

    // Blocks an actor between operations while the process is paused;
    // false when it is to end.
    bool next_operation();

    // An open found no simulated instrument and searched the USB devices:
    // the library has loaded libusb, whose context and event thread stay for
    // the process's life.
    void note_usb_searched() { usb_searched_.store(true); }

  private:
    // Uses each instrument once and closes everything, then takes the
    // process's counts: what the library keeps for the process's life
    // exists from then on, and anything more at a pause is a leak.
    void warm_up();
    void pause_and_check();
    // After a pause, a new resource manager for the threads. A worker
    // started in the round just ended was never paused: the one it opened
    // after its warm-up stays (opening another would leave that one open,
    // with whatever the threads opened through it).
    void resume();
    void reply(const std::string& line);

    WorkerSetup setup_;
    Reporter reporter_;
    Slot slots_[kSlots];
    SocketStream socket_streams_[kSlots];
    std::atomic<ViSession> rm_{VI_NULL};
    std::shared_mutex rm_mutex_;
    std::vector<std::unique_ptr<Actor>> actors_;

    std::mutex state_mutex_;
    std::condition_variable state_changed_;
    bool pausing_ = false;
    bool finishing_ = false;
    int idle_ = 0;  // actors waiting in next_operation()

    LeakCheck leaks_;
    std::atomic<bool> usb_searched_{false};
    std::unique_ptr<Actor> control_;  // the main thread's calls, for the report
};

// The worker process's main: never returns.
[[noreturn]] void run_worker(WorkerSetup setup);

}  // namespace torture
