// The thread-label check run on a test that starts a thread: CTest runs it
// once without the "threads" label, where the test must fail, and once with
// it, where it must pass.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(ThreadLabelCheck, StartsOneThread)
{
    std::atomic<bool> ran{false};
    std::thread worker([&ran] { ran.store(true); });
    worker.join();
    EXPECT_TRUE(ran.load());
}
