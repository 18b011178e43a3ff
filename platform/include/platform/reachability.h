// Network reachability: whether the internet can be reached, and a report
// on the run loop whenever that changes.
//
// The Linux back end answers the first question from getifaddrs and the
// routing table, and hears of changes on a netlink route socket watched by
// the run loop. Tests install a back end of their own with
// setReachabilityBackendFactory.
#ifndef PLATFORM_REACHABILITY_H
#define PLATFORM_REACHABILITY_H

#include <functional>
#include <memory>

namespace platform {

class RunLoop;

// Set while a non-loopback IPv4 interface is up and a default route exists.
inline constexpr unsigned kReachabilityReachable = 0x2;

class ReachabilityBackend {
public:
    using Listener = std::function<void(unsigned flags)>;

    virtual ~ReachabilityBackend() = default;
    [[nodiscard]] virtual unsigned currentFlags() = 0;
    // Reports every change of the flags to `listener` on `loop` until
    // stop() or destruction; a second start replaces the first. False when
    // changes cannot be watched.
    virtual bool start(RunLoop &loop, Listener listener) = 0;
    virtual void stop() = 0;
};

// The back end over Linux interfaces and routes.
[[nodiscard]] std::unique_ptr<ReachabilityBackend> makeLinuxReachabilityBackend();

using ReachabilityBackendFactory = std::function<std::unique_ptr<ReachabilityBackend>()>;
// Replaces the back end that makeReachabilityBackend() returns (an empty
// factory restores the Linux one). Main thread only.
void setReachabilityBackendFactory(ReachabilityBackendFactory factory);
[[nodiscard]] std::unique_ptr<ReachabilityBackend> makeReachabilityBackend();

} // namespace platform

#endif // PLATFORM_REACHABILITY_H
