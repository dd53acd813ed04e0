// Events and asynchronous I/O against the in-memory instrument: the queue
// and its bound, event contexts and their attributes, handlers on a library
// thread that may call the library, suspended handlers, and viTerminate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "visa_fixture.h"

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Events : public VisaTest {
  protected:
    void SetUp() override {
        VisaTest::SetUp();
        vi_ = open_instrument(VI_NULL);
    }
    ViSession vi_ = VI_NULL;
};

template <typename T>
T attribute(ViObject vi, ViAttr attr) {
    T value{};
    EXPECT_EQ(viGetAttribute(vi, attr, &value), VI_SUCCESS) << std::hex << attr;
    return value;
}

struct HandlerLog {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    ViSession session = VI_NULL;
    ViStatus status_seen = 1;
    std::thread::id thread;
    ViStatus library_call = 1;  // a call into the library from the handler
};

ViStatus _VI_FUNCH on_event(ViSession vi, ViEventType, ViEvent context, ViAddr user) {
    auto* log = static_cast<HandlerLog*>(user);
    ViStatus status = 1;
    viGetAttribute(context, VI_ATTR_STATUS, &status);
    const ViStatus call = viPrintf(vi, "FROM HANDLER\n");
    std::lock_guard lock(log->mutex);
    ++log->calls;
    log->session = vi;
    log->status_seen = status;
    log->thread = std::this_thread::get_id();
    log->library_call = call;
    log->changed.notify_all();
    return VI_SUCCESS;
}

ViStatus _VI_FUNCH count_event(ViSession, ViEventType, ViEvent, ViAddr user) {
    auto* log = static_cast<HandlerLog*>(user);
    std::lock_guard lock(log->mutex);
    ++log->calls;
    log->changed.notify_all();
    return VI_SUCCESS;
}

bool wait_for_calls(HandlerLog& log, int calls) {
    std::unique_lock lock(log.mutex);
    return log.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log.calls >= calls; });
}

TEST_F(Events, QueuedCompletionsCarryTheOperationAndTheQueueIsBounded) {
    EXPECT_EQ(viWaitOnEvent(vi_, VI_EVENT_IO_COMPLETION, 0, nullptr, nullptr), VI_ERROR_NENABLED);
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS_EVENT_EN);

    instrument().push_output("test\n", true);
    ViByte buf[10];
    ViJobId job = VI_NULL;
    ASSERT_EQ(viReadAsync(vi_, buf, sizeof buf, &job), VI_SUCCESS);
    EXPECT_NE(job, static_cast<ViJobId>(VI_NULL));
    ViEventType type = 0;
    ViEvent context = VI_NULL;
    ASSERT_EQ(viWaitOnEvent(vi_, VI_EVENT_IO_COMPLETION, 2000, &type, &context), VI_SUCCESS);
    EXPECT_EQ(type, VI_EVENT_IO_COMPLETION);
    EXPECT_EQ(attribute<ViEventType>(context, VI_ATTR_EVENT_TYPE), VI_EVENT_IO_COMPLETION);
    EXPECT_EQ(attribute<ViStatus>(context, VI_ATTR_STATUS), VI_SUCCESS);
    EXPECT_EQ(attribute<ViUInt32>(context, VI_ATTR_RET_COUNT), 5u);
    EXPECT_EQ(attribute<ViJobId>(context, VI_ATTR_JOB_ID), job);
    EXPECT_EQ(attribute<ViBuf>(context, VI_ATTR_BUFFER), buf);
    char name[VI_FIND_BUFLEN];
    EXPECT_EQ(viGetAttribute(context, VI_ATTR_OPER_NAME, name), VI_SUCCESS);
    EXPECT_STREQ(name, "viReadAsync");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "test\n");
    EXPECT_EQ(viSetAttribute(context, VI_ATTR_STATUS, 0), VI_ERROR_ATTR_READONLY);
    EXPECT_EQ(viClose(context), VI_SUCCESS);
    EXPECT_EQ(viGetAttribute(context, VI_ATTR_STATUS, name), VI_ERROR_INV_OBJECT);

    // Two places in the queue, three completions: one is lost, and the wait
    // that follows says so. A handler counts them as they happen.
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_MAX_QUEUE_LENGTH, 2), VI_SUCCESS);
    HandlerLog log;
    ASSERT_EQ(viInstallHandler(vi_, VI_EVENT_IO_COMPLETION, count_event, &log), VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_HNDLR, VI_NULL), VI_SUCCESS);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(viWriteAsync(vi_, reinterpret_cast<ViConstBuf>("W\n"), 2, &job), VI_SUCCESS);
    ASSERT_TRUE(wait_for_calls(log, 3));
    EXPECT_EQ(viWaitOnEvent(vi_, VI_EVENT_IO_COMPLETION, 0, &type, VI_NULL),
              VI_WARN_QUEUE_OVERFLOW);
    EXPECT_EQ(viWaitOnEvent(vi_, VI_ALL_ENABLED_EVENTS, 0, &type, VI_NULL), VI_SUCCESS);
    const auto start = Clock::now();
    EXPECT_EQ(viWaitOnEvent(vi_, VI_EVENT_IO_COMPLETION, 100, &type, VI_NULL), VI_ERROR_TMO);
    EXPECT_GE(Clock::now() - start, milliseconds(100));
    EXPECT_EQ(viDiscardEvents(vi_, VI_EVENT_IO_COMPLETION, VI_QUEUE), VI_SUCCESS_QUEUE_EMPTY);
    EXPECT_EQ(viDisableEvent(vi_, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_SUCCESS);
    EXPECT_EQ(viDisableEvent(vi_, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_SUCCESS_EVENT_DIS);
}

TEST_F(Events, HandlersRunOnALibraryThreadMayCallTheLibraryAndCanBeSuspended) {
    HandlerLog log;
    EXPECT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_HNDLR, VI_NULL),
              VI_ERROR_HNDLR_NINSTALLED);
    ASSERT_EQ(viInstallHandler(vi_, VI_EVENT_IO_COMPLETION, on_event, &log), VI_SUCCESS);
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_HNDLR, VI_NULL), VI_SUCCESS);
    ViJobId job = VI_NULL;
    ASSERT_EQ(viWriteAsync(vi_, reinterpret_cast<ViConstBuf>("A\n"), 2, &job), VI_SUCCESS);
    ASSERT_TRUE(wait_for_calls(log, 1));
    {
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(log.session, vi_);
        EXPECT_EQ(log.status_seen, VI_SUCCESS);
        EXPECT_NE(log.thread, std::this_thread::get_id());
        EXPECT_EQ(log.library_call, VI_SUCCESS);
    }

    // Suspended: kept, then handled once the handler mechanism is back. The
    // queue, enabled too, tells when the completion has happened.
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_SUSPEND_HNDLR | VI_QUEUE, VI_NULL),
              VI_SUCCESS);
    ASSERT_EQ(viWriteAsync(vi_, reinterpret_cast<ViConstBuf>("B\n"), 2, &job), VI_SUCCESS);
    ASSERT_EQ(viWaitOnEvent(vi_, VI_EVENT_IO_COMPLETION, 5000, nullptr, VI_NULL), VI_SUCCESS);
    {
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(log.calls, 1);
    }
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_HNDLR, VI_NULL), VI_SUCCESS);
    ASSERT_TRUE(wait_for_calls(log, 2));

    EXPECT_EQ(viUninstallHandler(vi_, VI_EVENT_IO_COMPLETION, on_event, nullptr),
              VI_ERROR_INV_HNDLR_REF);
    EXPECT_EQ(viUninstallHandler(vi_, VI_EVENT_IO_COMPLETION, VI_ANY_HNDLR, nullptr), VI_SUCCESS);
    EXPECT_EQ(viInstallHandler(vi_, VI_EVENT_TRIG, on_event, &log), VI_ERROR_INV_EVENT);
    EXPECT_EQ(instrument().messages(),
              (std::vector<std::string>{"A\n", "FROM HANDLER\n", "B\n", "FROM HANDLER\n"}));
}

// What a handler saw of its event context after its resource manager was
// closed, by another thread or by the handler itself.
struct ClosingLog {
    ViSession rm = VI_NULL;
    bool close_from_handler = false;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool done = false;
    ViEvent context = VI_NULL;
    ViStatus read = 1;
    ViEventType type = 0;
};

ViStatus _VI_FUNCH read_context_after_rm_close(ViSession, ViEventType, ViEvent context,
                                               ViAddr user) {
    auto* log = static_cast<ClosingLog*>(user);
    {
        std::lock_guard lock(log->mutex);
        log->entered = true;
        log->context = context;
        log->changed.notify_all();
    }
    if (log->close_from_handler) {
        viClose(log->rm);
    } else {
        // The library tells nobody when a close has begun; the resource
        // manager's handle going away is the first thing to see of it.
        ViUInt32 tmo = 0;
        const auto give_up = Clock::now() + std::chrono::seconds(5);
        while (viGetAttribute(log->rm, VI_ATTR_TMO_VALUE, &tmo) == VI_SUCCESS &&
               Clock::now() < give_up)
            std::this_thread::yield();
    }
    ViEventType type = 0;
    const ViStatus read = viGetAttribute(context, VI_ATTR_EVENT_TYPE, &type);
    std::lock_guard lock(log->mutex);
    log->read = read;
    log->type = type;
    log->done = true;
    log->changed.notify_all();
    return VI_SUCCESS;
}

// The event context a handler is given stays valid until the handler
// returns, even when its resource manager is closed meanwhile (whose close
// removes every other object opened through it), and is closed after.
TEST_F(Events, AHandlersContextOutlivesTheCloseOfItsResourceManager) {
    for (const bool from_handler : {false, true}) {
        SCOPED_TRACE(from_handler ? "closed by the handler" : "closed by another thread");
        ClosingLog log;
        log.close_from_handler = from_handler;
        ASSERT_EQ(viOpenDefaultRM(&log.rm), VI_SUCCESS);
        ViSession vi = VI_NULL;
        ASSERT_EQ(viOpen(log.rm, instrument().resource_name().c_str(), VI_NULL, 1000, &vi),
                  VI_SUCCESS);
        ASSERT_EQ(viInstallHandler(vi, VI_EVENT_IO_COMPLETION, read_context_after_rm_close, &log),
                  VI_SUCCESS);
        ASSERT_EQ(viEnableEvent(vi, VI_EVENT_IO_COMPLETION, VI_HNDLR, VI_NULL), VI_SUCCESS);
        ViJobId job = VI_NULL;
        ASSERT_EQ(viWriteAsync(vi, reinterpret_cast<ViConstBuf>("A\n"), 2, &job), VI_SUCCESS);
        std::unique_lock lock(log.mutex);
        ASSERT_TRUE(
            log.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log.entered; }));
        if (!from_handler) {
            lock.unlock();
            const auto start = Clock::now();
            EXPECT_EQ(viClose(log.rm), VI_SUCCESS);
            EXPECT_LT(Clock::now() - start, milliseconds(2000));
            lock.lock();
        }
        ASSERT_TRUE(log.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log.done; }));
        EXPECT_EQ(log.read, VI_SUCCESS);
        EXPECT_EQ(log.type, VI_EVENT_IO_COMPLETION);
        if (!from_handler) {
            // viClose waited for the running handler, and its context went after it.
            ViEventType type = 0;
            EXPECT_EQ(viGetAttribute(log.context, VI_ATTR_EVENT_TYPE, &type), VI_ERROR_INV_OBJECT);
        }
    }
}

TEST_F(Events, TerminateEndsAWaitingAndARunningJob) {
    ASSERT_EQ(viEnableEvent(vi_, VI_EVENT_IO_COMPLETION, VI_QUEUE, VI_NULL), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 20000), VI_SUCCESS);
    ViByte running_buf[8];
    ViByte waiting_buf[8];
    ViJobId running = VI_NULL;
    ViJobId waiting = VI_NULL;
    ASSERT_EQ(viReadAsync(vi_, running_buf, sizeof running_buf, &running), VI_SUCCESS);
    ASSERT_EQ(viReadAsync(vi_, waiting_buf, sizeof waiting_buf, &waiting), VI_SUCCESS);
    ASSERT_TRUE(instrument().wait_for_blocked_read(milliseconds(10000)));
    const auto start = Clock::now();
    EXPECT_EQ(viTerminate(vi_, 0, waiting), VI_SUCCESS);
    EXPECT_EQ(viTerminate(vi_, 0, running), VI_SUCCESS);
    EXPECT_EQ(viTerminate(vi_, 0, 999), VI_ERROR_INV_JOB_ID);
    for (int i = 0; i < 2; ++i) {
        ViEvent context = VI_NULL;
        ASSERT_EQ(viWaitOnEvent(vi_, VI_EVENT_IO_COMPLETION, 5000, nullptr, &context) >= 0, true);
        EXPECT_EQ(attribute<ViStatus>(context, VI_ATTR_STATUS), VI_ERROR_ABORT);
        viClose(context);
    }
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
}

}  // namespace
}  // namespace sgtest
