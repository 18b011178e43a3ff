// Keyed archives: objects written as dictionaries of named values, stored as
// binary property lists.
//
// An archived object is a dictionary with its class name under "$class" and
// one entry per key. A file or data block holds a small wrapper dictionary
// ("$archiver", "$version", "$top") around the root value, so a stray
// property list is not taken for an archive. Reading a damaged archive, or a
// value of the wrong kind under a key, throws ArchiveError; a missing key
// reads as the kind's zero (or nullptr for objects).
#ifndef PLATFORM_KEYED_ARCHIVE_H
#define PLATFORM_KEYED_ARCHIVE_H

#include "platform/plist.h"

#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace platform {

class ArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class KeyedArchiver {
public:
    explicit KeyedArchiver(const std::string &className);

    // A null value writes nothing, as a nil object does.
    void encodeObject(const std::string &key, PlistValue value);
    void encodeInt(const std::string &key, std::int32_t value);
    void encodeInt64(const std::string &key, std::int64_t value);
    void encodeBool(const std::string &key, bool value);
    void encodeDouble(const std::string &key, double value);
    void encodeFloat(const std::string &key, float value);

    [[nodiscard]] PlistDict &&take() { return std::move(mDict); }

private:
    PlistDict mDict;
};

class KeyedUnarchiver {
public:
    // Throws ArchiveError unless `value` is an object of class `className`.
    KeyedUnarchiver(const PlistValue &value, const std::string &className);

    [[nodiscard]] bool containsValueForKey(const std::string &key) const;
    [[nodiscard]] std::int32_t decodeInt(const std::string &key) const;
    [[nodiscard]] std::int64_t decodeInt64(const std::string &key) const;
    [[nodiscard]] bool decodeBool(const std::string &key) const;
    [[nodiscard]] double decodeDouble(const std::string &key) const;
    [[nodiscard]] float decodeFloat(const std::string &key) const;
    // nullptr when absent.
    [[nodiscard]] const PlistValue *decodeObject(const std::string &key) const;
    // nullopt when absent; throws when present but of another kind.
    template <typename T> [[nodiscard]] std::optional<T> decodeObjectOf(const std::string &key) const
    {
        const PlistValue *v = decodeObject(key);
        if (v == nullptr) return std::nullopt;
        const T *typed = v->get<T>();
        if (typed == nullptr) throw ArchiveError(std::string("archive: wrong kind under key ").append(key));
        return *typed;
    }

private:
    const PlistDict *mDict = nullptr;
};

// True when `value` is an archived object of class `className`.
[[nodiscard]] bool isArchivedObject(const PlistValue &value, const std::string &className);

// The archive's bytes (binary property list) for a root value.
[[nodiscard]] std::vector<std::uint8_t> archivedData(const PlistValue &root);
// Throws ArchiveError when the bytes are not an archive.
[[nodiscard]] PlistValue unarchiveData(std::span<const std::uint8_t> bytes);
// Written atomically (temporary file, then rename); false on failure.
[[nodiscard]] bool archiveRootObjectToFile(const PlistValue &root, const std::string &path);
// nullopt when the file does not exist; throws ArchiveError when it cannot be
// read or is not an archive.
[[nodiscard]] std::optional<PlistValue> unarchiveObjectWithFile(const std::string &path);

} // namespace platform

#endif // PLATFORM_KEYED_ARCHIVE_H
