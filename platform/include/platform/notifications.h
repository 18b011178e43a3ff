// Named notifications: observers subscribe to a name and are called, on the
// posting thread, each time something posts that name. A post may carry user
// information (keyed values) for the observers that ask for it.
#ifndef PLATFORM_NOTIFICATIONS_H
#define PLATFORM_NOTIFICATIONS_H

#include "platform/geometry.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>

namespace platform {

// The application's lifecycle notifications.
inline constexpr const char *kUIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char *kUIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char *kUIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";

using ObserverId = std::uint64_t; // 0 is never a valid id

using NotificationValue = std::variant<std::monostate, bool, std::int64_t, double, std::string, Rect>;
using UserInfo = std::map<std::string, NotificationValue>;

struct Notification {
    std::string name;
    UserInfo userInfo;

    // The value under `key` when it holds a T, else nullptr.
    template <typename T>
    [[nodiscard]] const T *get(const std::string &key) const
    {
        const auto it = userInfo.find(key);
        return it == userInfo.end() ? nullptr : std::get_if<T>(&it->second);
    }
};

class NotificationCenter {
public:
    using Callback = std::function<void(const std::string &name)>;
    using InfoCallback = std::function<void(const Notification &notification)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    // The process-wide centre, never destroyed.
    static NotificationCenter &defaultCenter();

    ObserverId addObserver(const std::string &name, Callback callback);
    ObserverId addObserver(const std::string &name, InfoCallback callback);
    bool removeObserver(ObserverId id);
    // Calls the observers of `name` in the order they subscribed. An observer
    // may add or remove observers; one removed during the post is not called.
    // Thread-safe; the lock is not held while observers run.
    void post(const std::string &name);
    void post(const std::string &name, UserInfo userInfo);
    [[nodiscard]] std::size_t observerCount(const std::string &name) const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace platform

#endif // PLATFORM_NOTIFICATIONS_H
