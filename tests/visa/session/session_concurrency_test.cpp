// Sessions used from several threads at once.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "inotify_watchers.h"
#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

using SessionConcurrency = VisaTest;

// Each query's reply names its command; the replies must never cross over
// between threads sharing one session.
TEST_F(SessionConcurrency, QueriesFromTwoThreadsGetTheirOwnReplies) {
    instrument().set_responder([](const std::string& message) -> std::optional<Reply> {
        return Reply::in_parts({"re:", message});
    });
    const ViSession vi = open_instrument();
    std::atomic<int> wrong{0};
    auto worker = [&](const char* tag) {
        for (int i = 0; i < 300; ++i) {
            char buf[64];
            const std::string expected = std::string("re:") + tag + std::to_string(i) + "\n";
            if (viQueryf(vi, "%s%d\n", "%63T", tag, i, buf) != VI_SUCCESS || expected != buf) {
                ++wrong;
            }
        }
    };
    auto a = std::async(std::launch::async, worker, "A");
    auto b = std::async(std::launch::async, worker, "B");
    ASSERT_EQ(a.wait_for(seconds(60)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(seconds(60)), std::future_status::ready);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(instrument().messages().size(), 600u);
}

// Two threads setting different attributes of one session: each finds its
// own value when it reads it back; neither update is lost to the other.
TEST_F(SessionConcurrency, AttributesSetFromTwoThreadsAreAllKept) {
    const ViSession vi = open_instrument();
    std::atomic<int> lost{0};
    std::atomic<int> started{0};
    auto setter = [&](ViAttr attr, int values) {
        ++started;
        while (started.load() < 2) {  // both at once: the race is short
        }
        for (int i = 0; i < 500000; ++i) {
            const ViAttrState want = static_cast<ViAttrState>(i % values + 1);
            ViUInt32 got = 0;  // wide enough for either attribute's width
            if (viSetAttribute(vi, attr, want) != VI_SUCCESS ||
                viGetAttribute(vi, attr, &got) != VI_SUCCESS ||
                (attr == VI_ATTR_TERMCHAR ? got & 0xff : got) != want)
                ++lost;
        }
    };
    auto a = std::async(std::launch::async, setter, VI_ATTR_TMO_VALUE, 100000);
    auto b = std::async(std::launch::async, setter, VI_ATTR_TERMCHAR, 200);
    ASSERT_EQ(a.wait_for(seconds(60)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(seconds(60)), std::future_status::ready);
    EXPECT_EQ(lost.load(), 0);
}

// viClose of a session another thread is using returns at once and ends
// that operation; the instrument is left ready, and the handle is gone.
TEST_F(SessionConcurrency, CloseDuringABlockedReadEndsItPromptly) {
    const ViSession vi = open_instrument();
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 20000), VI_SUCCESS);
    auto reader = std::async(std::launch::async, [&] {
        char buf[16];
        return viQueryf(vi, "SILENT?\n", "%15T", buf);
    });
    ASSERT_TRUE(instrument().wait_for_blocked_read(seconds(10)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
    ASSERT_EQ(reader.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(reader.get(), VI_ERROR_ABORT);
    EXPECT_EQ(viPrintf(vi, "X\n"), VI_ERROR_INV_OBJECT);

    // Another session to the instrument carries on.
    instrument().answer("*IDN?\n", "ok\n");
    const ViSession other = open_instrument();
    char buf[16];
    EXPECT_EQ(viQueryf(other, "*IDN?\n", "%15T", buf), VI_SUCCESS);
    EXPECT_STREQ(buf, "ok\n");
}

// An operation queued behind another thread's on the same session waits
// within its own timeout; when that runs out it says the session was busy,
// not that the instrument did not answer.
TEST_F(SessionConcurrency, QueuedOperationGivesUpAsBusyWithinItsTimeout) {
    const ViSession vi = open_instrument();
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 1000), VI_SUCCESS);
    auto slow = std::async(std::launch::async, [&] {
        char buf[16];
        return viQueryf(vi, "SILENT?\n", "%15T", buf);
    });
    ASSERT_TRUE(instrument().wait_for_blocked_read(seconds(10)));
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(viPrintf(vi, "QUEUED\n"), VI_ERROR_RSRC_BUSY);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(200));
    EXPECT_LT(waited, milliseconds(900));
    EXPECT_EQ(slow.get(), VI_ERROR_TMO);
    EXPECT_EQ(instrument().messages(), (std::vector<std::string>{"SILENT?\n"}));
}

// Two waiters for one lock: the release wakes both, one gets it and the
// other goes back to waiting until that one closes.
TEST_F(SessionConcurrency, WaitersTakeTheLockInTurn) {
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    auto read_byte = [](int fd, char& c) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1;
    };

    const ViSession holder = open_instrument();
    ViSession got[2] = {VI_NULL, VI_NULL};
    auto waiter = [&](int index) {
        const ViStatus st = viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK,
                                   10000, &got[index]);
        const char c = static_cast<char>('0' + index);
        (void)!write(done[1], &c, 1);
        return st;
    };
    auto first = std::async(std::launch::async, waiter, 0);
    auto second = std::async(std::launch::async, waiter, 1);
    // Both wait: each is registered on the lock file.
    ASSERT_TRUE(wait_for_lock_waiters(lock_file_of(kVendor, kProduct, "SN1234"), 2));
    char c = 0;

    ASSERT_EQ(viClose(holder), VI_SUCCESS);
    ASSERT_TRUE(read_byte(done[0], c));
    const int winner = c - '0';
    ASSERT_TRUE(winner == 0 || winner == 1);
    const int loser = 1 - winner;
    auto& winner_result = winner == 0 ? first : second;
    auto& loser_result = winner == 0 ? second : first;
    EXPECT_EQ(winner_result.get(), VI_SUCCESS);
    EXPECT_EQ(loser_result.wait_for(milliseconds(0)), std::future_status::timeout);

    ASSERT_EQ(viClose(got[winner]), VI_SUCCESS);
    ASSERT_TRUE(read_byte(done[0], c));
    EXPECT_EQ(c - '0', loser);
    EXPECT_EQ(loser_result.get(), VI_SUCCESS);
    EXPECT_EQ(viClose(got[loser]), VI_SUCCESS);

    for (int fd : {done[0], done[1]})
        close(fd);
}

}  // namespace
}  // namespace sgtest
