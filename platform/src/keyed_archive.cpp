#include "platform/keyed_archive.h"

#include "platform/files.h"

#include <cerrno>
#include <cmath>
#include <limits>

namespace platform {
namespace {

constexpr const char *kArchiverName = "AuraKeyedArchive";
constexpr std::int64_t kArchiveVersion = 1;

template <typename T> const T *typedOrThrow(const PlistValue *v, const std::string &key)
{
    if (v == nullptr) return nullptr;
    const T *typed = v->get<T>();
    if (typed == nullptr) throw ArchiveError(std::string("archive: wrong kind under key ").append(key));
    return typed;
}

} // namespace

KeyedArchiver::KeyedArchiver(const std::string &className) { mDict["$class"] = className; }

void KeyedArchiver::encodeObject(const std::string &key, PlistValue value)
{
    if (!value.isNull()) mDict[key] = std::move(value);
}
void KeyedArchiver::encodeInt(const std::string &key, std::int32_t value) { mDict[key] = std::int64_t{value}; }
void KeyedArchiver::encodeInt64(const std::string &key, std::int64_t value) { mDict[key] = value; }
void KeyedArchiver::encodeBool(const std::string &key, bool value) { mDict[key] = value; }
void KeyedArchiver::encodeDouble(const std::string &key, double value) { mDict[key] = value; }
void KeyedArchiver::encodeFloat(const std::string &key, float value) { mDict[key] = static_cast<double>(value); }

bool isArchivedObject(const PlistValue &value, const std::string &className)
{
    const auto *dict = value.get<PlistDict>();
    if (dict == nullptr) return false;
    const auto it = dict->find("$class");
    if (it == dict->end()) return false;
    const auto *name = it->second.get<std::string>();
    return name != nullptr && *name == className;
}

KeyedUnarchiver::KeyedUnarchiver(const PlistValue &value, const std::string &className)
{
    if (!isArchivedObject(value, className)) {
        throw ArchiveError(std::string("archive: not an object of class ").append(className));
    }
    mDict = value.get<PlistDict>();
}

bool KeyedUnarchiver::containsValueForKey(const std::string &key) const { return mDict->count(key) != 0; }

const PlistValue *KeyedUnarchiver::decodeObject(const std::string &key) const
{
    const auto it = mDict->find(key);
    return it == mDict->end() ? nullptr : &it->second;
}

std::int32_t KeyedUnarchiver::decodeInt(const std::string &key) const
{
    const auto *v = typedOrThrow<std::int64_t>(decodeObject(key), key);
    if (v == nullptr) return 0;
    if (*v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max()) {
        throw ArchiveError(std::string("archive: 32-bit value out of range under key ").append(key));
    }
    return static_cast<std::int32_t>(*v);
}

std::int64_t KeyedUnarchiver::decodeInt64(const std::string &key) const
{
    const auto *v = typedOrThrow<std::int64_t>(decodeObject(key), key);
    return v == nullptr ? 0 : *v;
}

bool KeyedUnarchiver::decodeBool(const std::string &key) const
{
    const auto *v = typedOrThrow<bool>(decodeObject(key), key);
    return v != nullptr && *v;
}

double KeyedUnarchiver::decodeDouble(const std::string &key) const
{
    const auto *v = typedOrThrow<double>(decodeObject(key), key);
    return v == nullptr ? 0.0 : *v;
}

float KeyedUnarchiver::decodeFloat(const std::string &key) const
{
    return static_cast<float>(decodeDouble(key));
}

std::vector<std::uint8_t> archivedData(const PlistValue &root)
{
    PlistDict wrapper;
    wrapper["$archiver"] = kArchiverName;
    wrapper["$version"] = kArchiveVersion;
    wrapper["$top"] = root;
    return plistToBinary(PlistValue(std::move(wrapper)));
}

PlistValue unarchiveData(std::span<const std::uint8_t> bytes)
{
    auto plist = plistFromBinary(bytes);
    if (!plist) throw ArchiveError("archive: not a binary property list");
    const auto *dict = plist->get<PlistDict>();
    if (dict == nullptr) throw ArchiveError("archive: root is not a dictionary");
    const auto archiver = dict->find("$archiver");
    const auto version = dict->find("$version");
    const auto top = dict->find("$top");
    if (archiver == dict->end() || version == dict->end() || top == dict->end() ||
        archiver->second != PlistValue(kArchiverName) || version->second != PlistValue(kArchiveVersion)) {
        throw ArchiveError("archive: unknown archive format");
    }
    return top->second;
}

bool archiveRootObjectToFile(const PlistValue &root, const std::string &path)
{
    const auto bytes = archivedData(root);
    return !bytes.empty() && writeFileAtomically(path, bytes);
}

std::optional<PlistValue> unarchiveObjectWithFile(const std::string &path)
{
    if (!fileExists(path)) return std::nullopt;
    auto bytes = readWholeFile(path);
    if (!bytes) throw ArchiveError(std::string("archive: cannot read ").append(path));
    return unarchiveData(*bytes);
}

} // namespace platform
