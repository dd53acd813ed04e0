// The kernel AIO wrapper the gadget uses for its endpoint files, on a pipe:
// completions carry their tag and result and are signalled on the eventfd.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "attach/gadget_aio.h"

namespace {

using sgsim::gadget::KernelAio;

class Pipe {
  public:
    Pipe() { EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0); }
    ~Pipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int read_end() const { return fds_[0]; }
    int write_end() const { return fds_[1]; }

  private:
    int fds_[2] = {-1, -1};
};

bool readable_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1 && (p.revents & POLLIN) != 0;
}

TEST(KernelAio, ReadAndWriteCompleteWithTheirTagsAndSizesOnTheEventFd) {
    KernelAio aio(4);
    ASSERT_TRUE(aio.ok()) << aio.error();
    Pipe pipe;
    std::string out = "usbtmc";
    ASSERT_EQ(aio.submit(pipe.write_end(), true, out.data(), out.size(), 7), 0);
    ASSERT_TRUE(readable_within(aio.event_fd(), 5000));
    auto done = aio.collect();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].tag, 7u);
    EXPECT_EQ(done[0].result, 6);

    char in[16] = {};
    ASSERT_EQ(aio.submit(pipe.read_end(), false, in, sizeof in, 9), 0);
    ASSERT_TRUE(readable_within(aio.event_fd(), 5000));
    done = aio.collect();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].tag, 9u);
    EXPECT_EQ(done[0].result, 6);
    EXPECT_EQ(std::string(in, 6), "usbtmc");

    // Collected completions are gone; the eventfd is drained.
    EXPECT_TRUE(aio.collect().empty());
    EXPECT_FALSE(readable_within(aio.event_fd(), 0));
}

TEST(KernelAio, AFailedTransferReportsMinusErrno) {
    KernelAio aio(2);
    ASSERT_TRUE(aio.ok()) << aio.error();
    Pipe pipe;
    char buf[4] = {};
    // Reading the write end of a pipe fails; depending on the kernel at
    // submission or in the completion.
    const int r = aio.submit(pipe.write_end(), false, buf, sizeof buf, 3);
    if (r == 0) {
        ASSERT_TRUE(readable_within(aio.event_fd(), 5000));
        const auto done = aio.collect();
        ASSERT_EQ(done.size(), 1u);
        EXPECT_LT(done[0].result, 0);
    } else {
        EXPECT_EQ(r, -EBADF);
    }
    EXPECT_EQ(aio.submit(-1, true, buf, sizeof buf, 4), -EBADF);
}

}  // namespace
