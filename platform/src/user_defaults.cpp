#include "platform/user_defaults.h"

#include "platform/device.h"
#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

struct UserDefaults::Impl {
    std::mutex mutex;
    bool loaded = false;
    PlistDict values;

    static constexpr std::size_t kMaxFileBytes = std::size_t{4} << 20;

    static std::string path() { return libraryDirectory() + "/Preferences/defaults.plist"; }

    void loadLocked()
    {
        if (loaded) return;
        loaded = true;
        values.clear();
        const std::string file = path();
        if (!fileExists(file)) return;
        if (auto bytes = readWholeFile(file, kMaxFileBytes)) {
            if (auto plist = plistFromBytes(*bytes)) {
                if (auto *dict = plist->get<PlistDict>()) {
                    values = std::move(*dict);
                    return;
                }
            }
        }
        // Too large, unreadable, or no dictionary of settings: the defaults
        // start empty, and the file is kept aside rather than met again.
        const std::string aside = moveFileAside(file);
        consoleLog("user defaults: " + file + " could not be read" +
                   (aside.empty() ? std::string(" and was removed") : "; moved to " + aside));
    }

    void saveLocked()
    {
        createDirectories(libraryDirectory() + "/Preferences");
        // Never a file the next load would refuse and set aside.
        const auto bytes = plistToFileBytes(PlistValue(values), kMaxFileBytes);
        if (!bytes)
            consoleLog("user defaults: " + path() + " not saved: the settings would be larger than a load reads");
        else if (!writeFileAtomically(path(), *bytes))
            consoleLog("user defaults: " + path() + " not saved: " + std::strerror(errno));
    }
};

UserDefaults::UserDefaults() : mImpl(std::make_unique<Impl>()) {}

UserDefaults &UserDefaults::standardUserDefaults()
{
    static auto *defaults = new UserDefaults();
    return *defaults;
}

PlistDict UserDefaults::dictionaryRepresentation()
{
    std::lock_guard lock(mImpl->mutex);
    mImpl->loadLocked();
    return mImpl->values;
}

std::optional<PlistValue> UserDefaults::objectForKey(const std::string &key)
{
    std::lock_guard lock(mImpl->mutex);
    mImpl->loadLocked();
    const auto it = mImpl->values.find(key);
    if (it == mImpl->values.end()) return std::nullopt;
    return it->second;
}

void UserDefaults::setObject(const std::string &key, PlistValue value)
{
    std::lock_guard lock(mImpl->mutex);
    mImpl->loadLocked();
    if (value.isNull()) {
        mImpl->values.erase(key);
    } else {
        mImpl->values[key] = std::move(value);
    }
    mImpl->saveLocked();
}

void UserDefaults::removeObjectForKey(const std::string &key) { setObject(key, PlistValue()); }

void UserDefaults::reload()
{
    std::lock_guard lock(mImpl->mutex);
    mImpl->loaded = false;
}

std::string UserDefaults::filePath() const { return Impl::path(); }

bool UserDefaults::boolValue(const PlistValue &value)
{
    if (const auto *b = value.get<bool>()) return *b;
    if (const auto *i = value.get<std::int64_t>()) return *i != 0;
    if (const auto *r = value.get<double>()) return *r != 0.0;
    if (const auto *s = value.get<std::string>()) {
        for (const char c : *s) {
            if (c == ' ' || c == '\t' || c == '+' || c == '-' || c == '0') continue;
            return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
        }
    }
    return false;
}

} // namespace platform
