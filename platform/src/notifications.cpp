#include "platform/notifications.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform {

struct NotificationCenter::Impl {
    struct Entry {
        ObserverId id;
        std::string name;
        std::shared_ptr<InfoCallback> callback;
    };
    mutable std::mutex mutex;
    std::vector<Entry> entries;
    ObserverId nextId = 1;
};

NotificationCenter::NotificationCenter() : mImpl(std::make_unique<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter &NotificationCenter::defaultCenter()
{
    static auto *center = new NotificationCenter();
    return *center;
}

ObserverId NotificationCenter::addObserver(const std::string &name, Callback callback)
{
    if (!callback)
        return 0;
    return addObserver(name, InfoCallback([cb = std::move(callback)](const Notification &n) { cb(n.name); }));
}

ObserverId NotificationCenter::addObserver(const std::string &name, InfoCallback callback)
{
    if (!callback) return 0;
    std::lock_guard lock(mImpl->mutex);
    const ObserverId id = mImpl->nextId++;
    mImpl->entries.push_back({id, name, std::make_shared<InfoCallback>(std::move(callback))});
    return id;
}

bool NotificationCenter::removeObserver(ObserverId id)
{
    std::lock_guard lock(mImpl->mutex);
    const auto it = std::find_if(mImpl->entries.begin(), mImpl->entries.end(),
                                 [id](const Impl::Entry &e) { return e.id == id; });
    if (it == mImpl->entries.end()) return false;
    mImpl->entries.erase(it);
    return true;
}

void NotificationCenter::post(const std::string &name)
{
    post(name, {});
}

void NotificationCenter::post(const std::string &name, UserInfo userInfo)
{
    const Notification notification{name, std::move(userInfo)};
    std::vector<ObserverId> ids;
    {
        std::lock_guard lock(mImpl->mutex);
        for (const auto &e : mImpl->entries) {
            if (e.name == name) ids.push_back(e.id);
        }
    }
    for (const ObserverId id : ids) {
        std::shared_ptr<InfoCallback> callback;
        {
            std::lock_guard lock(mImpl->mutex);
            const auto it = std::find_if(mImpl->entries.begin(), mImpl->entries.end(),
                                         [id](const Impl::Entry &e) { return e.id == id; });
            if (it == mImpl->entries.end()) continue; // removed by an earlier observer
            callback = it->callback;
        }
        (*callback)(notification);
    }
}

std::size_t NotificationCenter::observerCount(const std::string &name) const
{
    std::lock_guard lock(mImpl->mutex);
    return static_cast<std::size_t>(std::count_if(mImpl->entries.begin(), mImpl->entries.end(),
                                                  [&](const Impl::Entry &e) { return e.name == name; }));
}

} // namespace platform
