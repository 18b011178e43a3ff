// The application's user defaults: one dictionary of settings kept as an XML
// property list in Library/Preferences, read at first use (or after
// reload()) and written back, atomically, on every change.
#ifndef PLATFORM_USER_DEFAULTS_H
#define PLATFORM_USER_DEFAULTS_H

#include "platform/plist.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {

class UserDefaults {
public:
    // The defaults of the current application root (see files.h).
    static UserDefaults &standardUserDefaults();

    [[nodiscard]] PlistDict dictionaryRepresentation();
    [[nodiscard]] std::optional<PlistValue> objectForKey(const std::string &key);
    void setObject(const std::string &key, PlistValue value);
    void setBool(const std::string &key, bool value) { setObject(key, PlistValue(value)); }
    void removeObjectForKey(const std::string &key);
    // Drops what is in memory; the next read loads the file again (after
    // the application root changed, or another process wrote the file).
    void reload();
    [[nodiscard]] std::string filePath() const;

    // The boolean reading of a value: booleans as they are, numbers when not
    // zero, strings that start with Y, y, T, t or a non-zero digit.
    [[nodiscard]] static bool boolValue(const PlistValue &value);

private:
    UserDefaults();
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace platform

#endif // PLATFORM_USER_DEFAULTS_H
