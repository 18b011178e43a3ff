#include "platform/runloop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using platform::ManualClock;
using platform::RunLoop;
using platform::SteadyClock;

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    void closeRead()
    {
        if (read >= 0)
            ::close(read);
        read = -1;
    }
    void closeWrite()
    {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
};

// --- timers on a manual clock: exact, no sleeping ---------------------------

TEST(RunLoopTimers, OneShotFiresOnceWhenTheClockReachesIt)
{
    auto clock = std::make_shared<ManualClock>(100.0);
    RunLoop loop(clock);
    int fired = 0;
    ASSERT_NE(loop.addTimer(5.0, [&] { ++fired; }), 0u);

    loop.runOnce(0);
    clock->advance(4.999);
    loop.runOnce(0);
    EXPECT_EQ(fired, 0);

    clock->advance(0.001);
    loop.runOnce(0);
    EXPECT_EQ(fired, 1);
    clock->advance(100);
    loop.runOnce(0);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(loop.timerCount(), 0u);
}

TEST(RunLoopTimers, DueTimersFireEarliestFirstAndCancelledOnesNever)
{
    auto clock = std::make_shared<ManualClock>();
    RunLoop loop(clock);
    std::string order;
    loop.addTimer(3.0, [&] { order += 'c'; });
    loop.addTimer(1.0, [&] { order += 'a'; });
    const auto cancelled = loop.addTimer(2.0, [&] { order += 'x'; });
    loop.addTimer(2.0, [&] { order += 'b'; });
    EXPECT_TRUE(loop.cancelTimer(cancelled));
    EXPECT_FALSE(loop.cancelTimer(cancelled));
    EXPECT_FALSE(loop.cancelTimer(0));

    clock->advance(10);
    loop.runOnce(0);
    EXPECT_EQ(order, "abc");
}

TEST(RunLoopTimers, RepeatingTimerSkipsMissedPeriodsAndStopsWhenCancelledFromItsCallback)
{
    auto clock = std::make_shared<ManualClock>();
    RunLoop loop(clock);
    int fired = 0;
    platform::TimerId id = 0;
    id = loop.addRepeatingTimer(1.0, [&] {
        if (++fired == 3)
            loop.cancelTimer(id);
    });
    ASSERT_NE(id, 0u);
    EXPECT_EQ(loop.addRepeatingTimer(0.0, [] {}), 0u);
    EXPECT_EQ(loop.addRepeatingTimer(-1.0, [] {}), 0u);

    clock->advance(1.0);
    loop.runOnce(0);
    EXPECT_EQ(fired, 1);
    clock->advance(5.5); // five periods late: one firing, not five
    loop.runOnce(0);
    EXPECT_EQ(fired, 2);
    clock->advance(0.9); // next one is a full period after the late firing
    loop.runOnce(0);
    EXPECT_EQ(fired, 2);
    clock->advance(0.1);
    loop.runOnce(0);
    EXPECT_EQ(fired, 3);
    clock->advance(10);
    loop.runOnce(0);
    EXPECT_EQ(fired, 3);
    EXPECT_EQ(loop.timerCount(), 0u);
}

TEST(RunLoopTimers, CallbacksMayAddAndCancelTimersDuringAPass)
{
    auto clock = std::make_shared<ManualClock>();
    RunLoop loop(clock);
    std::vector<std::string> log;
    platform::TimerId victim = loop.addTimer(1.0, [&] { log.push_back("victim"); });
    loop.addTimer(0.5, [&] {
        log.push_back("first");
        loop.cancelTimer(victim);
        // A zero delay means the next pass, even though it is already due.
        loop.addTimer(0.0, [&] { log.push_back("added"); });
    });
    clock->advance(2.0);
    loop.runOnce(0);
    EXPECT_EQ(log, (std::vector<std::string>{"first"}));
    loop.runOnce(0);
    EXPECT_EQ(log, (std::vector<std::string>{"first", "added"}));
}

TEST(RunLoopTimers, ReplacingTheClockKeepsEachTimersRemainingDelay)
{
    auto first = std::make_shared<ManualClock>(1000.0);
    RunLoop loop(first);
    int fired = 0;
    loop.addTimer(10.0, [&] { ++fired; });
    first->advance(4.0); // 6 s left

    auto second = std::make_shared<ManualClock>(0.0);
    loop.setClock(second);
    EXPECT_DOUBLE_EQ(loop.now(), 0.0);
    second->advance(5.9);
    loop.runOnce(0);
    EXPECT_EQ(fired, 0);
    second->advance(0.1);
    loop.runOnce(0);
    EXPECT_EQ(fired, 1);
}

TEST(RunLoopTimers, ManualClockTimersDoNotHoldUpTheLoopAndRealTimeTimersStillRun)
{
    auto clock = std::make_shared<ManualClock>();
    RunLoop loop(clock);
    bool manualFired = false;
    bool realFired = false;
    loop.addTimer(0.05, [&] { manualFired = true; });
    loop.addRealTimeTimer(0.05, [&] { realFired = true; });
    EXPECT_TRUE(loop.runUntil([&] { return realFired; }, 5.0));
    EXPECT_FALSE(manualFired); // the manual clock did not move
    clock->advance(0.05);
    loop.runOnce(0);
    EXPECT_TRUE(manualFired);
}

TEST(RunLoopTimers, SteadyClockTimerWaitsItsDelay)
{
    RunLoop loop;
    double firedAt = 0;
    const double start = SteadyClock::seconds();
    loop.addTimer(0.05, [&] { firedAt = SteadyClock::seconds(); });
    EXPECT_TRUE(loop.runUntil([&] { return firedAt > 0; }, 5.0));
    EXPECT_GE(firedAt - start, 0.05);
    EXPECT_LT(firedAt - start, 2.0);
}

// --- posted tasks, run control, exceptions ----------------------------------

TEST(RunLoopPost, TasksRunInOrderOnALaterPassAndTheirOwnPostsWaitOneMore)
{
    RunLoop loop;
    std::string log;
    loop.post([&] {
        log += 'a';
        loop.post([&] { log += 'c'; });
    });
    loop.post([&] { log += 'b'; });
    EXPECT_EQ(log, "");
    loop.runOnce(0);
    EXPECT_EQ(log, "ab");
    loop.runOnce(0);
    EXPECT_EQ(log, "abc");
}

TEST(RunLoopPost, ThrowingCallbacksAreContainedAndTheLoopGoesOn)
{
    auto clock = std::make_shared<ManualClock>();
    RunLoop loop(clock);
    bool after = false;
    loop.post([] { throw std::runtime_error("task"); });
    loop.addTimer(0, [] { throw 42; });
    loop.post([&] { after = true; });
    EXPECT_NO_THROW(loop.runOnce(0));
    EXPECT_NO_THROW(loop.runOnce(0));
    EXPECT_TRUE(after);
    EXPECT_EQ(loop.timerCount(), 0u);
    EXPECT_FALSE(loop.runUntil([]() -> bool { throw std::runtime_error("predicate"); }, 0.01));
}

TEST(RunLoopPost, RunUntilGivesUpAfterItsTimeOutAndRunForLastsItsTime)
{
    RunLoop loop;
    double start = SteadyClock::seconds();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 0.1));
    double elapsed = SteadyClock::seconds() - start;
    EXPECT_GE(elapsed, 0.1);
    EXPECT_LT(elapsed, 2.0);

    start = SteadyClock::seconds();
    loop.runFor(0.05);
    elapsed = SteadyClock::seconds() - start;
    EXPECT_GE(elapsed, 0.05);
    EXPECT_LT(elapsed, 2.0);

    EXPECT_TRUE(loop.runUntil([] { return true; }, 0));
}

TEST(RunLoopPost, MainLoopIsOneObject)
{
    EXPECT_EQ(&RunLoop::main(), &RunLoop::main());
}

// --- file-descriptor watchers -----------------------------------------------

TEST(RunLoopWatch, ReadReadinessIsReportedUntilRemovedFromItsOwnCallback)
{
    RunLoop loop;
    Pipe p;
    ASSERT_GE(p.read, 0);
    std::string got;
    platform::WatchId id = 0;
    id = loop.addWatch(p.read, platform::kFdRead, [&](int fd, unsigned events) {
        EXPECT_TRUE(events & platform::kFdRead);
        char buf[16];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        if (got.size() >= 6)
            loop.removeWatch(id);
    });
    ASSERT_NE(id, 0u);
    loop.runOnce(0);
    EXPECT_EQ(got, "");

    ASSERT_EQ(::write(p.write, "abc", 3), 3);
    EXPECT_TRUE(loop.runUntil([&] { return got == "abc"; }, 5.0));
    ASSERT_EQ(::write(p.write, "def", 3), 3);
    EXPECT_TRUE(loop.runUntil([&] { return got == "abcdef"; }, 5.0));
    EXPECT_EQ(loop.watchCount(), 0u);
    ASSERT_EQ(::write(p.write, "ghi", 3), 3);
    loop.runOnce(0.02);
    EXPECT_EQ(got, "abcdef");
}

TEST(RunLoopWatch, WriteReadinessHangUpAndUpdatingTheEventSet)
{
    RunLoop loop;
    Pipe p;
    ASSERT_GE(p.read, 0);
    unsigned seen = 0;
    const auto id = loop.addWatch(p.write, platform::kFdWrite, [&](int, unsigned events) { seen |= events; });
    EXPECT_TRUE(loop.runUntil([&] { return (seen & platform::kFdWrite) != 0; }, 5.0));

    // Not interested in anything: no callback, even though writable.
    seen = 0;
    ASSERT_TRUE(loop.updateWatch(id, 0));
    loop.runOnce(0.02);
    EXPECT_EQ(seen, 0u);
    ASSERT_TRUE(loop.removeWatch(id));
    EXPECT_FALSE(loop.removeWatch(id));
    EXPECT_FALSE(loop.updateWatch(id, platform::kFdRead));

    // The writer goes away: the reader hears of it as readable end of file.
    unsigned readerEvents = 0;
    loop.addWatch(p.read, platform::kFdRead, [&](int, unsigned events) { readerEvents |= events; });
    p.closeWrite();
    EXPECT_TRUE(loop.runUntil([&] { return readerEvents != 0; }, 5.0));
    EXPECT_TRUE(readerEvents & platform::kFdRead);
}

TEST(RunLoopWatch, AWatcherOnAClosedDescriptorIsReportedOnceAndDropped)
{
    RunLoop loop;
    int calls = 0;
    unsigned events = 0;
    Pipe p;
    ASSERT_GE(p.read, 0);
    const int fd = p.read;
    p.closeRead();
    ASSERT_NE(loop.addWatch(fd, platform::kFdRead, [&](int, unsigned e) { ++calls, events = e; }), 0u);
    loop.runOnce(0.02);
    loop.runOnce(0.02);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(events & platform::kFdError);
    EXPECT_EQ(loop.watchCount(), 0u);
    EXPECT_EQ(loop.addWatch(-1, platform::kFdRead, [](int, unsigned) {}), 0u);
}

// --- threads ------------------------------------------------------------------

TEST(RunLoopThreads, PostsFromManyThreadsAllRunOnTheLoopThread)
{
    RunLoop loop;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    int ran = 0; // touched only on the loop thread
    bool wrongThread = false;
    const auto loopThread = std::this_thread::get_id();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                loop.post([&] {
                    wrongThread = wrongThread || std::this_thread::get_id() != loopThread;
                    ++ran;
                });
        });
    EXPECT_TRUE(loop.runUntil([&] { return ran == kThreads * kEach; }, 20.0));
    for (auto &t : threads)
        t.join();
    loop.runOnce(0);
    EXPECT_EQ(ran, kThreads * kEach);
    EXPECT_FALSE(wrongThread);
}

TEST(RunLoopThreads, APostWakesALoopAsleepInAPass)
{
    RunLoop loop;
    std::atomic<bool> ran{false};
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.post([&] { ran = true; });
    });
    const double start = SteadyClock::seconds();
    // One pass allowed to sleep 10 s: only the wake-up can end it early.
    while (!ran && SteadyClock::seconds() - start < 10.0)
        loop.runOnce(10.0);
    const double elapsed = SteadyClock::seconds() - start;
    poster.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(elapsed, 5.0);
}

TEST(RunLoopThreads, ATimerAddedFromAnotherThreadShortensTheCurrentSleep)
{
    RunLoop loop;
    std::atomic<bool> fired{false};
    std::thread adder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.addTimer(0.01, [&] { fired = true; });
    });
    const double start = SteadyClock::seconds();
    while (!fired && SteadyClock::seconds() - start < 10.0)
        loop.runOnce(10.0);
    const double elapsed = SteadyClock::seconds() - start;
    adder.join();
    EXPECT_TRUE(fired);
    EXPECT_LT(elapsed, 5.0);
}

} // namespace
