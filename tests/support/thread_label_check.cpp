// Part of every test executable: a test that starts a thread must carry the
// "threads" label, which is what the ThreadSanitizer run selects. Threads are
// counted where every one is made (pthread_create, which std::thread, the
// engine's own threads and the libraries all reach); CTest hands each test
// its labels through AURA_TEST_LABELS, so a test run by hand is not checked.
// The sanitizer builds own pthread_create and leave this file out.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace {

std::atomic<unsigned long> gThreadsStarted{0};

using CreateFunction = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

CreateFunction nextCreate()
{
    static const auto next = reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

bool labelledThreads()
{
    const char *labels = std::getenv("AURA_TEST_LABELS");
    if (!labels) {
        return true; // not run by CTest: nothing to check against
    }
    const std::string list = std::string(",") + labels + ",";
    return list.find(",threads,") != std::string::npos;
}

class ThreadLabelCheck : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo & /*test*/) override
    {
        mAtStart = gThreadsStarted.load(std::memory_order_acquire);
    }
    void OnTestEnd(const testing::TestInfo &test) override
    {
        const unsigned long started = gThreadsStarted.load(std::memory_order_acquire) - mAtStart;
        if (started > 0 && !labelledThreads()) {
            ADD_FAILURE() << test.test_suite_name() << "." << test.name() << " started " << started
                          << " thread(s) but lacks the \"threads\" label: name its suite or the test "
                             "...Threads, or list its suite after THREADS in its add_test_group "
                             "(cmake/TestGroups.cmake)";
        }
    }

private:
    unsigned long mAtStart = 0;
};

const bool gRegistered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new ThreadLabelCheck);
    return true;
}();

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    gThreadsStarted.fetch_add(1, std::memory_order_acq_rel);
    return nextCreate()(thread, attr, start, arg);
}
