#include "platform/runloop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

// Longest single sleep when nothing bounds it: keeps the loop responsive to
// state that changes without a wake-up (no eventfd, predicates set by threads).
constexpr double kIdleSliceSeconds = 0.010;

double sanitizeDelay(double seconds)
{
    if (!(seconds > 0.0)) // also catches NaN
        return 0.0;
    return std::min(seconds, 1.0e9);
}

int toPollMilliseconds(double seconds)
{
    if (!(seconds > 0.0))
        return 0;
    const double ms = std::ceil(seconds * 1000.0);
    if (ms >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return static_cast<int>(ms);
}

template <typename F>
void invokeGuarded(const char *what, F &&f) noexcept
{
    try {
        f();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "platform::RunLoop: %s threw: %s\n", what, e.what());
    } catch (...) {
        std::fprintf(stderr, "platform::RunLoop: %s threw an unknown exception\n", what);
    }
}

} // namespace

double SteadyClock::seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double SteadyClock::now() const { return seconds(); }

struct ManualClock::State {
    mutable std::mutex mutex;
    double now = 0.0;
};

ManualClock::ManualClock(double start) : mState(std::make_shared<State>()) { mState->now = start; }

double ManualClock::now() const
{
    std::lock_guard lock(mState->mutex);
    return mState->now;
}

void ManualClock::advance(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0.0)
        return; // a monotonic clock never goes back
    std::lock_guard lock(mState->mutex);
    mState->now += seconds;
}

void ManualClock::set(double seconds)
{
    if (!std::isfinite(seconds))
        return;
    std::lock_guard lock(mState->mutex);
    mState->now = std::max(mState->now, seconds);
}

struct RunLoop::Impl {
    struct Timer {
        double due = 0.0;
        double interval = 0.0; // 0 for one-shot timers
        bool realTime = false;
        std::shared_ptr<Task> callback;
    };
    struct Watch {
        int fd = -1;
        unsigned events = 0;
        std::shared_ptr<WatchCallback> callback;
    };

    mutable std::mutex mutex;
    std::shared_ptr<Clock> clock;
    std::map<TimerId, Timer> timers;
    std::map<WatchId, Watch> watches;
    std::deque<Task> posted;
    std::uint64_t nextId = 1;
    int wakeFd = -1;
    // Thread currently inside a pass; others must wake the loop after a change.
    std::atomic<std::thread::id> runner{};

    explicit Impl(std::shared_ptr<Clock> c) : clock(std::move(c))
    {
        if (!clock)
            clock = std::make_shared<SteadyClock>();
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }

    ~Impl()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    void wake() const
    {
        if (wakeFd < 0)
            return;
        const std::uint64_t one = 1;
        // EAGAIN means the counter is already non-zero: the loop is woken anyway.
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    void wakeIfOtherThread() const
    {
        const std::thread::id r = runner.load(std::memory_order_acquire);
        if (r != std::thread::id{} && r != std::this_thread::get_id())
            wake();
    }

    void drainWake() const
    {
        std::uint64_t value = 0;
        while (::read(wakeFd, &value, sizeof value) > 0) {
        }
    }

    TimerId add(double delay, double interval, bool realTime, Task callback)
    {
        if (!callback)
            return 0;
        try {
            auto fn = std::make_shared<Task>(std::move(callback));
            TimerId id = 0;
            {
                std::lock_guard lock(mutex);
                const double base = realTime ? SteadyClock::seconds() : clock->now();
                id = nextId++;
                timers.emplace(id, Timer{base + sanitizeDelay(delay), interval, realTime, std::move(fn)});
            }
            wakeIfOtherThread();
            return id;
        } catch (...) {
            return 0;
        }
    }
};

RunLoop::RunLoop() : RunLoop(std::make_shared<SteadyClock>()) {}

RunLoop::RunLoop(std::shared_ptr<Clock> clock) : mImpl(std::make_unique<Impl>(std::move(clock))) {}

RunLoop::~RunLoop() = default;

RunLoop &RunLoop::main()
{
    // Deliberately never destroyed: messengers and timers owned by static
    // objects may still talk to it during exit.
    static RunLoop *const loop = new RunLoop();
    return *loop;
}

void RunLoop::setClock(std::shared_ptr<Clock> clock)
{
    if (!clock)
        clock = std::make_shared<SteadyClock>();
    {
        std::lock_guard lock(mImpl->mutex);
        const double oldNow = mImpl->clock->now();
        const double newNow = clock->now();
        for (auto &[id, timer] : mImpl->timers) {
            if (!timer.realTime)
                timer.due = newNow + std::max(0.0, timer.due - oldNow);
        }
        mImpl->clock = std::move(clock);
    }
    mImpl->wakeIfOtherThread();
}

std::shared_ptr<Clock> RunLoop::clock() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->clock;
}

double RunLoop::now() const { return clock()->now(); }

TimerId RunLoop::addTimer(double delaySeconds, Task callback)
{
    return mImpl->add(delaySeconds, 0.0, false, std::move(callback));
}

TimerId RunLoop::addRepeatingTimer(double intervalSeconds, Task callback)
{
    if (!(intervalSeconds > 0.0) || !std::isfinite(intervalSeconds))
        return 0;
    return mImpl->add(intervalSeconds, intervalSeconds, false, std::move(callback));
}

TimerId RunLoop::addRealTimeTimer(double delaySeconds, Task callback)
{
    return mImpl->add(delaySeconds, 0.0, true, std::move(callback));
}

bool RunLoop::cancelTimer(TimerId id)
{
    std::shared_ptr<Task> doomed; // destroyed outside the lock
    std::lock_guard lock(mImpl->mutex);
    auto it = mImpl->timers.find(id);
    if (it == mImpl->timers.end())
        return false;
    doomed = std::move(it->second.callback);
    mImpl->timers.erase(it);
    return true;
}

WatchId RunLoop::addWatch(int fd, unsigned events, WatchCallback callback)
{
    if (fd < 0 || !callback)
        return 0;
    try {
        auto fn = std::make_shared<WatchCallback>(std::move(callback));
        WatchId id = 0;
        {
            std::lock_guard lock(mImpl->mutex);
            id = mImpl->nextId++;
            mImpl->watches.emplace(id, Impl::Watch{fd, events & (kFdRead | kFdWrite), std::move(fn)});
        }
        mImpl->wakeIfOtherThread();
        return id;
    } catch (...) {
        return 0;
    }
}

bool RunLoop::updateWatch(WatchId id, unsigned events)
{
    {
        std::lock_guard lock(mImpl->mutex);
        auto it = mImpl->watches.find(id);
        if (it == mImpl->watches.end())
            return false;
        it->second.events = events & (kFdRead | kFdWrite);
    }
    mImpl->wakeIfOtherThread();
    return true;
}

bool RunLoop::removeWatch(WatchId id)
{
    std::shared_ptr<WatchCallback> doomed;
    std::lock_guard lock(mImpl->mutex);
    auto it = mImpl->watches.find(id);
    if (it == mImpl->watches.end())
        return false;
    doomed = std::move(it->second.callback);
    mImpl->watches.erase(it);
    return true;
}

void RunLoop::post(Task task)
{
    if (!task)
        return;
    try {
        std::lock_guard lock(mImpl->mutex);
        mImpl->posted.push_back(std::move(task));
    } catch (...) {
        return;
    }
    mImpl->wake();
}

std::size_t RunLoop::timerCount() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->timers.size();
}

std::size_t RunLoop::watchCount() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->watches.size();
}

bool RunLoop::runOnce(double maxWaitSeconds)
{
    Impl &d = *mImpl;
    const std::thread::id me = std::this_thread::get_id();
    const std::thread::id outer = d.runner.exchange(me, std::memory_order_acq_rel);
    bool ranAny = false;

    try {
        // 1. Decide how long to sleep and what to watch.
        std::vector<pollfd> fds;
        std::vector<WatchId> fdOwners;
        double wait = sanitizeDelay(maxWaitSeconds);
        {
            std::lock_guard lock(d.mutex);
            if (!d.posted.empty())
                wait = 0.0;
            const double clockNow = d.clock->now();
            const double realNow = SteadyClock::seconds();
            const bool clockMoves = d.clock->advancesByItself();
            for (const auto &[id, timer] : d.timers) {
                const double left = timer.due - (timer.realTime ? realNow : clockNow);
                if (left <= 0.0)
                    wait = 0.0;
                else if (timer.realTime || clockMoves)
                    wait = std::min(wait, left);
            }
            if (d.wakeFd < 0)
                wait = std::min(wait, kIdleSliceSeconds);
            fds.reserve(d.watches.size() + 1);
            fdOwners.reserve(d.watches.size());
            for (const auto &[id, watch] : d.watches) {
                short want = 0;
                if (watch.events & kFdRead)
                    want |= POLLIN;
                if (watch.events & kFdWrite)
                    want |= POLLOUT;
                fds.push_back(pollfd{watch.fd, want, 0});
                fdOwners.push_back(id);
            }
            if (d.wakeFd >= 0)
                fds.push_back(pollfd{d.wakeFd, POLLIN, 0});
        }

        // 2. Sleep.
        const int ready = ::poll(fds.data(), fds.size(), toPollMilliseconds(wait));
        if (ready > 0 && d.wakeFd >= 0 && (fds.back().revents & POLLIN))
            d.drainWake();

        // 3. Posted tasks: those present now; tasks they post wait for the next pass.
        std::deque<Task> tasks;
        {
            std::lock_guard lock(d.mutex);
            tasks.swap(d.posted);
        }
        while (!tasks.empty()) {
            Task task = std::move(tasks.front());
            tasks.pop_front();
            ranAny = true;
            invokeGuarded("posted task", task);
        }

        // 4. Watchers that were ready when poll returned and still exist.
        if (ready > 0) {
            for (std::size_t i = 0; i < fdOwners.size(); ++i) {
                const short rev = fds[i].revents;
                if (rev == 0)
                    continue;
                std::shared_ptr<WatchCallback> fn;
                unsigned events = 0;
                int fd = -1;
                {
                    std::lock_guard lock(d.mutex);
                    auto it = d.watches.find(fdOwners[i]);
                    if (it == d.watches.end())
                        continue;
                    const unsigned want = it->second.events;
                    const bool failed = (rev & (POLLERR | POLLHUP | POLLNVAL)) != 0;
                    if ((want & kFdRead) && (rev & (POLLIN | POLLHUP | POLLERR)))
                        events |= kFdRead;
                    if ((want & kFdWrite) && (rev & (POLLOUT | POLLERR | POLLHUP)))
                        events |= kFdWrite;
                    if (failed)
                        events |= kFdError;
                    if (events == 0)
                        continue;
                    fd = it->second.fd;
                    fn = it->second.callback;
                    if (rev & POLLNVAL) // the descriptor is not open: it would spin forever
                        d.watches.erase(it);
                }
                ranAny = true;
                invokeGuarded("watcher", [&] { (*fn)(fd, events); });
            }
        }

        // 5. Timers due now, earliest first. The list is fixed here, so timers
        // that these callbacks add (or re-arm) wait for a later pass.
        std::vector<std::pair<double, TimerId>> due;
        {
            std::lock_guard lock(d.mutex);
            const double clockNow = d.clock->now();
            const double realNow = SteadyClock::seconds();
            for (const auto &[id, timer] : d.timers) {
                const double at = timer.realTime ? realNow : clockNow;
                if (timer.due <= at)
                    due.emplace_back(timer.due, id);
            }
        }
        std::sort(due.begin(), due.end());
        for (const auto &[when, id] : due) {
            std::shared_ptr<Task> fn;
            {
                std::lock_guard lock(d.mutex);
                auto it = d.timers.find(id);
                if (it == d.timers.end())
                    continue; // cancelled by an earlier callback of this pass
                Impl::Timer &timer = it->second;
                fn = timer.callback;
                if (timer.interval > 0.0) {
                    const double at = timer.realTime ? SteadyClock::seconds() : d.clock->now();
                    timer.due += timer.interval;
                    if (timer.due <= at) // fell behind: skip the missed periods
                        timer.due = at + timer.interval;
                } else {
                    d.timers.erase(it);
                }
            }
            ranAny = true;
            invokeGuarded("timer", *fn);
        }
    } catch (...) {
        // Only allocation failures get here; the pass is simply cut short.
    }

    d.runner.store(outer, std::memory_order_release);
    return ranAny;
}

void RunLoop::runFor(double seconds)
{
    const double deadline = SteadyClock::seconds() + sanitizeDelay(seconds);
    do {
        runOnce(deadline - SteadyClock::seconds());
    } while (SteadyClock::seconds() < deadline);
}

bool RunLoop::runUntil(const std::function<bool()> &predicate, double timeoutSeconds)
{
    auto holds = [&] {
        bool result = false;
        invokeGuarded("runUntil predicate", [&] { result = predicate && predicate(); });
        return result;
    };
    if (holds())
        return true;
    const double deadline = SteadyClock::seconds() + sanitizeDelay(timeoutSeconds);
    for (;;) {
        // Short slices: the predicate may change on another thread without waking us.
        const double left = deadline - SteadyClock::seconds();
        runOnce(std::min(std::max(left, 0.0), kIdleSliceSeconds));
        if (holds())
            return true;
        if (SteadyClock::seconds() >= deadline)
            return false;
    }
}

} // namespace platform
