// Named notifications: observers subscribe to a name and are called, on the
// posting thread, each time something posts that name.
#ifndef PLATFORM_NOTIFICATIONS_H
#define PLATFORM_NOTIFICATIONS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// The application's lifecycle notifications.
inline constexpr const char *kUIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char *kUIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char *kUIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";

using ObserverId = std::uint64_t; // 0 is never a valid id

class NotificationCenter {
public:
    using Callback = std::function<void(const std::string &name)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    // The process-wide centre, never destroyed.
    static NotificationCenter &defaultCenter();

    ObserverId addObserver(const std::string &name, Callback callback);
    bool removeObserver(ObserverId id);
    // Calls the observers of `name` in the order they subscribed. An observer
    // may add or remove observers; one removed during the post is not called.
    // Thread-safe; the lock is not held while observers run.
    void post(const std::string &name);
    [[nodiscard]] std::size_t observerCount(const std::string &name) const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace platform

#endif // PLATFORM_NOTIFICATIONS_H
