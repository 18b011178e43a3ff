// Watching threads from a test: waiting for what another thread makes true,
// and this process's tasks as the kernel lists them.
#ifndef AURA_TESTS_SUPPORT_THREADS_H
#define AURA_TESTS_SUPPORT_THREADS_H

#include <chrono>
#include <string>
#include <thread>

namespace auratest {

// Polls until done() or the time is up; false when it never became true.
template <class F>
bool waitFor(F &&done, std::chrono::milliseconds limit = std::chrono::seconds(2))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Sanitizers start threads of their own, so a thread is followed by its OS id.
bool taskExists(unsigned int tid);
// The name the OS holds for a task (cut to 15 bytes).
std::string taskName(unsigned int tid);

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_THREADS_H
