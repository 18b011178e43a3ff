// The run loop of a thread: timers, file-descriptor watchers and posted tasks,
// dispatched from one poll(2) loop on the thread that runs it.
//
// Threads: post() may be called from any thread. The other operations are
// also safe from any thread (they take the loop's lock and wake it), but the
// callbacks always run on the thread that is inside runOnce/runFor/runUntil.
// Callbacks run without the lock held, so they may add or remove timers and
// watchers, their own included, post tasks, or run a nested pass.
// No exception leaves the loop: one thrown by a callback is caught, reported
// on standard error and dropped.
#ifndef PLATFORM_RUNLOOP_H
#define PLATFORM_RUNLOOP_H

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

// Seconds on some monotonic time line.
class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual double now() const = 0;
    // False for clocks that move only when told to (ManualClock): the loop
    // then never sleeps towards a timer on that clock.
    [[nodiscard]] virtual bool advancesByItself() const { return true; }
};

// std::chrono::steady_clock in seconds; the default clock of every loop.
class SteadyClock final : public Clock {
public:
    [[nodiscard]] double now() const override;
    [[nodiscard]] static double seconds();
};

// A clock for tests: stands still until advanced. Timers that the advance
// makes due fire on the loop's next pass. Safe to read and advance from any
// thread; advancing from another thread does not wake a sleeping loop (post()
// an empty task for that).
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 0.0);
    [[nodiscard]] double now() const override;
    [[nodiscard]] bool advancesByItself() const override { return false; }
    // Moves forward only: negative, NaN or earlier values are ignored.
    void advance(double seconds);
    void set(double seconds);

private:
    struct State;
    std::shared_ptr<State> mState;
};

using TimerId = std::uint64_t; // 0 is never a valid id
using WatchId = std::uint64_t; // 0 is never a valid id

// Readiness flags for watchers (combine with |).
enum FdEvents : unsigned {
    kFdRead = 1u,
    kFdWrite = 2u,
    kFdError = 4u, // reported only: error, hang-up or a closed descriptor
};

class RunLoop {
public:
    using Task = std::function<void()>;
    using WatchCallback = std::function<void(int fd, unsigned events)>;

    RunLoop();
    explicit RunLoop(std::shared_ptr<Clock> clock);
    ~RunLoop();
    RunLoop(const RunLoop &) = delete;
    RunLoop &operator=(const RunLoop &) = delete;

    // The process-wide loop of the main thread, made on first use and never
    // destroyed (objects with static lifetime may still use it at exit).
    static RunLoop &main();

    // Timers run on this clock. Replacing it keeps each pending timer's
    // remaining delay.
    void setClock(std::shared_ptr<Clock> clock);
    [[nodiscard]] std::shared_ptr<Clock> clock() const;
    [[nodiscard]] double now() const;

    // A one-shot timer due `delaySeconds` from now on the loop's clock.
    // Timers added by a timer callback wait for a later pass, so a timer that
    // re-adds itself with a zero delay runs once per pass, not for ever.
    // Returns 0 on failure.
    TimerId addTimer(double delaySeconds, Task callback);
    // Fires every `intervalSeconds` (> 0) until cancelled; missed periods
    // are skipped, not fired in a burst. Returns 0 for a bad interval.
    TimerId addRepeatingTimer(double intervalSeconds, Task callback);
    // A one-shot timer on the steady clock whatever the loop's clock is: for
    // I/O deadlines, which must pass in real time even under a ManualClock.
    TimerId addRealTimeTimer(double delaySeconds, Task callback);
    // False when the timer is unknown (already fired or cancelled).
    bool cancelTimer(TimerId id);

    // Calls back when `fd` is ready for the requested events (kFdRead,
    // kFdWrite). Error and hang-up are reported with kFdError (plus
    // kFdRead/kFdWrite as requested, so a reader sees its end of file).
    // A watcher whose descriptor turns out closed is reported once with
    // kFdError and then dropped. Returns 0 on failure.
    WatchId addWatch(int fd, unsigned events, WatchCallback callback);
    bool updateWatch(WatchId id, unsigned events);
    bool removeWatch(WatchId id);

    // Runs `task` on a later pass of this loop; thread-safe, wakes the loop.
    // Tasks run in the order they were posted.
    void post(Task task);

    // One pass: waits at most `maxWaitSeconds` for something to do, then
    // runs posted tasks, ready watchers and due timers, in that order.
    // Returns true when any callback ran.
    bool runOnce(double maxWaitSeconds);
    // Runs passes for `seconds` of real time.
    void runFor(double seconds);
    // Runs passes until `predicate` holds (checked before the first pass and
    // after each) or `timeoutSeconds` of real time have passed. Returns
    // whether the predicate held.
    bool runUntil(const std::function<bool()> &predicate, double timeoutSeconds);

    // Counts of pending timers and watchers, for checks.
    [[nodiscard]] std::size_t timerCount() const;
    [[nodiscard]] std::size_t watchCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace platform

#endif // PLATFORM_RUNLOOP_H
