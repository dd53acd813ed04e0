// The simulated generator as a USB gadget: FunctionFS delivers the host's
// control requests as events on ep0, and the bulk endpoints are the files ep1
// (OUT) and ep2 (IN), the interrupt-IN endpoint ep3. One thread: ep0 is
// polled directly, the endpoint files through the kernel AIO completions'
// eventfd.
#include "attach/gadget_attachment.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "gadget_aio.h"
#include "gadget_descriptors.h"
#include "gadget_session.h"

namespace sgsim {
namespace {

using gadget::GadgetSession;
using gadget::KernelAio;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

bool write_all(int fd, const std::vector<std::uint8_t>& data) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    return n == static_cast<ssize_t>(data.size());
}

int fail(const std::string& what) {
    std::fprintf(stderr, "sgsim: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

}  // namespace

int run_gadget(const std::string& ffs_dir, UsbtmcDevice& device, const std::string& interface_name,
               volatile std::sig_atomic_t& stop, void (*on_ready)()) {
    const Fd ep0(::open((ffs_dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
    if (ep0.get() < 0)
        return fail("cannot open " + ffs_dir + "/ep0");
    if (!write_all(ep0.get(), gadget::descriptors_blob(device.has_interrupt_in())))
        return fail("the gadget refused the USB descriptors");
    if (!write_all(ep0.get(), gadget::strings_blob(interface_name)))
        return fail("the gadget refused the USB strings");
    // The endpoint files exist now. Without O_NONBLOCK a transfer queued
    // while the function is disabled would wait for it to be enabled.
    const Fd ep_out(::open((ffs_dir + "/ep1").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    const Fd ep_in(::open((ffs_dir + "/ep2").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    const Fd ep_interrupt(device.has_interrupt_in()
                              ? ::open((ffs_dir + "/ep3").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)
                              : -1);
    if (ep_out.get() < 0 || ep_in.get() < 0 ||
        (device.has_interrupt_in() && ep_interrupt.get() < 0))
        return fail("cannot open the gadget's endpoint files in " + ffs_dir);
    const int flags = ::fcntl(ep0.get(), F_GETFL);
    if (flags < 0 || ::fcntl(ep0.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("cannot make ep0 non-blocking");

    // The stop signals are delivered only inside ppoll(), so a stop request
    // can never slip in between the check of `stop` and the wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t saved_mask;
    if (::pthread_sigmask(SIG_BLOCK, &stop_signals, &saved_mask) != 0)
        return fail("cannot block the stop signals");
    sigset_t wait_mask = saved_mask;
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);

    int rc = 0;
    {
        GadgetSession session(device, ep0.get(), ep_out.get(), ep_in.get(), ep_interrupt.get(),
                              wait_mask);
        KernelAio aio(8);  // destroyed first: cancels transfers into the session's buffers
        if (!aio.ok()) {
            std::fprintf(stderr, "sgsim: %s\n", aio.error().c_str());
            rc = 1;
        } else {
            on_ready();
        }
        while (rc == 0 && !stop) {
            std::array<pollfd, 2> fds{{{ep0.get(), POLLIN, 0}, {aio.event_fd(), POLLIN, 0}}};
            const int wait = session.wait_ms();
            timespec ts{wait / 1000, (wait % 1000) * 1000000L};
            const int r = ::ppoll(fds.data(), fds.size(), wait < 0 ? nullptr : &ts, &wait_mask);
            if (r < 0 && errno != EINTR) {
                rc = fail("waiting for the gadget");
                break;
            }
            if (stop)
                break;
            // ep0 first: a DISABLE/ENABLE pair must reset the device before
            // the data of the host's new session is handed to it.
            if (!session.on_ep0(aio)) {
                rc = 1;
                break;
            }
            session.on_completions(aio);
            session.serve(aio);
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    return rc;
}

}  // namespace sgsim
