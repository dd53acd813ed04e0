// USB488's interrupt-IN endpoint used from several threads of one process,
// against sgsim on the local bus: viReadSTB back to back and alongside
// service request enables and queries, service requests made just after a
// status byte was read, disabling while requests flood in, and handlers
// that disable their events and close their own session.
// Each scenario runs in a child process with a bound, so that a hang fails
// the test instead of stopping the suite; the child's exit status counts
// what went wrong, and it prints the details.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "localbus/frame_socket.h"
#include "proto/bus_directory.h"
#include "proto/localbus_frames.h"
#include "proto/usbtmc.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "usbtmc/usb488_status.h"
#include "visa.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kName[] = "USB0::0x4d19::0x0040::SRQT::INSTR";

class ServiceRequestThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = tmp_.make_subdir("run");
        ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
        sim_ = std::make_unique<SimProcess>(runtime_, "SRQT");
        ASSERT_TRUE(sim_->ready());
    }

    // Runs `scenario` in a child process; its result is the exit status (0:
    // all well), 128 + signal, or SIGKILL's when it outlasts `bound`.
    static int in_child(const std::function<int()>& scenario, milliseconds bound) {
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(std::min(scenario(), 127));
        return wait_for_exit(pid, bound);
    }

    TempDir tmp_;
    std::string runtime_;
    std::unique_ptr<SimProcess> sim_;
};

ViSession open_session(ViSession rm) {
    ViSession vi = VI_NULL;
    if (viOpen(rm, kName, VI_NULL, 2000, &vi) != VI_SUCCESS)
        return VI_NULL;
    return vi;
}

// Counts the calls that did not return what they should, printing the first few.
struct Faults {
    std::atomic<int> count{0};
    void check(bool ok, const char* what, ViStatus st) {
        if (ok)
            return;
        if (count.fetch_add(1) < 5)
            std::fprintf(stderr, "%s: status 0x%08lX\n", what, static_cast<unsigned long>(st));
    }
};

// One thread reads the status byte on and on, a second enables and disables
// service request events, a third queries: each call does its own work, and
// the session survives (two interrupt readers on one source used to kill it
// within tens of milliseconds).
TEST_F(ServiceRequestThreads, ReadStbEventTogglingAndQueriesTogetherKeepTheSession) {
    const int faults = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            if (vi == VI_NULL)
                return 100;
            viSetAttribute(vi, VI_ATTR_TMO_VALUE, 5000);  // ample on a loaded machine
            Faults f;
            const auto end = Clock::now() + milliseconds(1500);
            std::thread stb([&] {
                while (Clock::now() < end) {
                    ViUInt16 status = 0;
                    const ViStatus st = viReadSTB(vi, &status);
                    f.check(st == VI_SUCCESS, "viReadSTB", st);
                }
            });
            std::thread toggle([&] {
                while (Clock::now() < end) {
                    ViStatus st = viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL);
                    f.check(st == VI_SUCCESS, "viEnableEvent", st);
                    st = viDisableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE);
                    f.check(st == VI_SUCCESS, "viDisableEvent", st);
                }
            });
            int queries = 0;
            while (Clock::now() < end) {
                char idn[128] = "";
                const ViStatus st = viQueryf(vi, "*IDN?\n", "%127t", idn);
                f.check(st == VI_SUCCESS && std::strstr(idn, ",SRQT,") != nullptr, "*IDN?", st);
                ++queries;
            }
            stb.join();
            toggle.join();
            f.check(queries > 0, "no query done", queries);
            viClose(rm);
            return f.count.load();
        },
        milliseconds(20000));
    EXPECT_EQ(faults, 0);
}

// viReadSTB back to back: every one gets its status byte, none waits for a
// notification that went to the reader of the call before.
TEST_F(ServiceRequestThreads, BackToBackReadStbNeverTimesOut) {
    const int faults = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            if (vi == VI_NULL)
                return 100;
            viSetAttribute(vi, VI_ATTR_TMO_VALUE, 5000);  // ample on a loaded machine
            Faults f;
            const auto end = Clock::now() + milliseconds(2000);
            int reads = 0;
            while (Clock::now() < end && f.count == 0) {
                ViUInt16 status = 0xFFFF;
                const ViStatus st = viReadSTB(vi, &status);
                f.check(st == VI_SUCCESS && status == 0, "viReadSTB", st);
                ++reads;
            }
            std::fprintf(stderr, "%d status bytes read\n", reads);
            viClose(rm);
            return f.count.load();
        },
        milliseconds(20000));
    EXPECT_EQ(faults, 0);
}

// A service request the instrument makes just after a status byte was read
// waits for the next reader: enabling the event then hands it over.
TEST_F(ServiceRequestThreads, ServiceRequestRightAfterAStatusByteIsNotLost) {
    const int faults = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            if (vi == VI_NULL)
                return 100;
            Faults f;
            ViStatus st = viPrintf(vi, "*ESE 1;*SRE 32\n");
            f.check(st == VI_SUCCESS, "set-up", st);
            for (int i = 0; i < 40 && f.count == 0; ++i) {
                ViUInt16 status = 0;
                st = viReadSTB(vi, &status);  // also takes RQS back
                f.check(st == VI_SUCCESS, "viReadSTB", st);
                st = viPrintf(vi, "*CLS;*OPC\n");  // a new reason for service
                f.check(st == VI_SUCCESS, "*OPC", st);
                st = viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL);
                f.check(st == VI_SUCCESS, "viEnableEvent", st);
                st = viWaitOnEvent(vi, VI_EVENT_SERVICE_REQ, 2000, VI_NULL, VI_NULL);
                f.check(st == VI_SUCCESS, "viWaitOnEvent", st);
                st = viDisableEvent(vi, VI_EVENT_SERVICE_REQ, VI_ALL_MECH);
                f.check(st == VI_SUCCESS, "viDisableEvent", st);
            }
            viClose(rm);
            return f.count.load();
        },
        milliseconds(60000));
    EXPECT_EQ(faults, 0);
}

namespace lb = sgproto::localbus;

// Another host on the bus that asks for the status byte and goes away
// without reading its notification, which then waits in the device's
// interrupt queue. Its READ_STATUS_BYTE is tagged with a tag taken from this
// process's sequence, which the session's next requests do not come to. False
// when the device does not answer as expected.
bool leave_a_status_notification() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path =
        sgproto::device_socket_path(sgproto::bus_directory(), 0x4d19, 0x0040, "SRQT");
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return false;
    std::vector<std::uint8_t> rx;
    auto answered = [&](std::uint8_t type, std::uint32_t param,
                        std::span<const std::uint8_t> payload) {
        lb::FrameHeader h{};
        std::vector<std::uint8_t> data;
        const auto deadline = sgvisa::Clock::now() + std::chrono::seconds(5);
        std::size_t sent = 0;
        if (type != 0 &&
            sgvisa::localbus::send_all(fd, lb::encode_frame(type, 0, 1, param, payload), deadline,
                                       sent) != VI_SUCCESS)
            return false;
        return sgvisa::localbus::receive_frame(fd, rx, deadline, h, data) == VI_SUCCESS &&
               h.status == lb::STATUS_OK &&
               (type != lb::CONTROL_IN || (data.size() == 3 && data[0] == 1));
    };
    lb::ControlSetup setup{0xA1, sgproto::usbtmc::USB488_READ_STATUS_BYTE,
                           sgvisa::usbtmc::take_status_tag(), 0, 3};
    std::array<std::uint8_t, lb::kControlSetupSize> bytes{};
    lb::encode_setup(setup, bytes);
    const bool ok = answered(0, 0, {}) &&  // the HELLO
                    answered(lb::CLAIM, lb::kClaimTakeOver, {}) &&
                    answered(lb::CONTROL_IN, 0, bytes) && answered(lb::RELEASE, 0, {});
    ::close(fd);
    return ok;
}

// A status byte notification nobody read (its host went away, or its
// viReadSTB gave up first) makes the device refuse the next READ_STATUS_BYTE
// as busy until the endpoint is read: viReadSTB lets its reader take the
// stale notification and asks again, within its timeout.
TEST_F(ServiceRequestThreads, AStatusNotificationLeftUnreadDelaysTheNextReadStbOnly) {
    const int faults = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            if (vi == VI_NULL)
                return 100;
            Faults f;
            for (int i = 0; i < 50 && f.count == 0; ++i) {
                f.check(leave_a_status_notification(), "the other host", 0);
                ViUInt16 status = 0xFFFF;
                const ViStatus st = viReadSTB(vi, &status);
                f.check(st == VI_SUCCESS && status == 0, "viReadSTB", st);
            }
            viClose(rm);
            return f.count.load();
        },
        milliseconds(20000));
    EXPECT_EQ(faults, 0);
}

// The same with service requests queued in front of the stale notification
// (nobody listened for them): the device says busy until its reader has
// read them all and the stale one, one packet at a time. viReadSTB asked
// again a fixed number of times and then gave up with VI_ERROR_IO.
TEST_F(ServiceRequestThreads, AStatusNotificationBehindServiceRequestsDelaysTheNextReadStbOnly) {
    const int faults = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            if (vi == VI_NULL)
                return 100;
            Faults f;
            ViStatus st = viPrintf(vi, "*ESE 1;*OPC\n");
            f.check(st == VI_SUCCESS, "set-up", st);
            for (int round = 0; round < 5 && f.count == 0; ++round) {
                for (int i = 0; i < 8; ++i) {
                    st = viPrintf(vi, "*SRE 0;*SRE 32\n");  // one request each
                    f.check(st == VI_SUCCESS, "*SRE", st);
                }
                f.check(leave_a_status_notification(), "the other host", 0);
                ViUInt16 status = 0xFFFF;
                st = viReadSTB(vi, &status);
                f.check(st == VI_SUCCESS && (status & 0x20) != 0, "viReadSTB", st);
            }
            viClose(rm);
            return f.count.load();
        },
        milliseconds(20000));
    EXPECT_EQ(faults, 0);
}

// While another session keeps the instrument requesting service (each
// *SRE 32 enables an event summary bit that is on: a new request), this one
// enables and disables the event over and over. Disabling waited for the
// interrupt reader while holding the lock that reader needed: a deadlock.
TEST_F(ServiceRequestThreads, DisablingWhileRequestsFloodInNeverHangs) {
    const int status = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            const ViSession flood = open_session(rm);
            if (vi == VI_NULL || flood == VI_NULL)
                return 100;
            Faults f;
            ViStatus st = viPrintf(flood, "*ESE 1;*OPC\n");
            f.check(st == VI_SUCCESS, "set-up", st);
            std::atomic<bool> done{false};
            std::thread requests([&] {
                while (!done) {
                    const ViStatus w = viPrintf(flood, "*SRE 0;*SRE 32\n");
                    f.check(w == VI_SUCCESS, "*SRE", w);
                }
            });
            const auto end = Clock::now() + milliseconds(1500);
            int rounds = 0;
            while (Clock::now() < end) {
                st = viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL);
                f.check(st == VI_SUCCESS, "viEnableEvent", st);
                st = viDisableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE);
                f.check(st == VI_SUCCESS, "viDisableEvent", st);
                ++rounds;
            }
            done = true;
            requests.join();
            std::fprintf(stderr, "%d enable/disable rounds\n", rounds);
            viClose(rm);
            return f.count.load();
        },
        milliseconds(10000));
    EXPECT_EQ(status, 0) << "137: hung, killed at the bound";
}

struct HandlerCall {
    std::mutex mutex;
    std::condition_variable done;
    bool called = false;
    ViStatus disabled = 1;
    ViStatus closed = 1;
};

// Disables its own service request events and closes its own session.
ViStatus _VI_FUNCH close_own_session(ViSession vi, ViEventType, ViEvent, ViAddr user) {
    auto* call = static_cast<HandlerCall*>(user);
    const ViStatus disabled = viDisableEvent(vi, VI_EVENT_SERVICE_REQ, VI_ALL_MECH);
    const ViStatus closed = viClose(vi);
    std::lock_guard lock(call->mutex);
    call->called = true;
    call->disabled = disabled;
    call->closed = closed;
    call->done.notify_all();
    return VI_SUCCESS;
}

// Handlers run on a library thread under no library lock: one may disable
// its own events and close its own session; the process's other sessions
// still get the next request.
TEST_F(ServiceRequestThreads, HandlerMayDisableItsEventsAndCloseItsOwnSession) {
    const int faults = in_child(
        [] {
            ViSession rm = VI_NULL;
            viOpenDefaultRM(&rm);
            const ViSession vi = open_session(rm);
            const ViSession other = open_session(rm);
            if (vi == VI_NULL || other == VI_NULL)
                return 100;
            Faults f;
            HandlerCall call;
            ViStatus st = viInstallHandler(vi, VI_EVENT_SERVICE_REQ, close_own_session, &call);
            f.check(st == VI_SUCCESS, "viInstallHandler", st);
            st = viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_HNDLR, VI_NULL);
            f.check(st == VI_SUCCESS, "viEnableEvent", st);
            st = viEnableEvent(other, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL);
            f.check(st == VI_SUCCESS, "viEnableEvent (other)", st);
            st = viPrintf(other, "*CLS;*ESE 1;*SRE 32;*OPC\n");
            f.check(st == VI_SUCCESS, "*OPC", st);
            {
                std::unique_lock lock(call.mutex);
                const bool called =
                    call.done.wait_for(lock, milliseconds(5000), [&] { return call.called; });
                f.check(called, "handler never called", 0);
                f.check(call.disabled == VI_SUCCESS, "viDisableEvent in the handler",
                        call.disabled);
                f.check(call.closed == VI_SUCCESS, "viClose in the handler", call.closed);
            }
            ViUInt32 tmo = 0;
            st = viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo);
            f.check(st == VI_ERROR_INV_OBJECT, "the handler's session still open", st);
            st = viWaitOnEvent(other, VI_EVENT_SERVICE_REQ, 5000, VI_NULL, VI_NULL);
            f.check(st == VI_SUCCESS, "first request (other)", st);
            ViUInt16 status = 0;
            st = viReadSTB(other, &status);
            f.check(st == VI_SUCCESS && status == 0x60, "viReadSTB (other)", st);
            st = viPrintf(other, "*CLS;*OPC\n");
            f.check(st == VI_SUCCESS, "*OPC again", st);
            st = viWaitOnEvent(other, VI_EVENT_SERVICE_REQ, 5000, VI_NULL, VI_NULL);
            f.check(st == VI_SUCCESS, "next request (other)", st);
            viClose(rm);
            return f.count.load();
        },
        milliseconds(20000));
    EXPECT_EQ(faults, 0);
}

}  // namespace
}  // namespace sgtest
