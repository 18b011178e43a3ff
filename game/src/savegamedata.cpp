#include "game/savegamedata.h"

#include "platform/device.h"
#include "platform/files.h"
#include "platform/plist.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>

namespace paddle::savegamedata {
namespace {

struct SavedData {
    std::array<char, kLoginBufferBytes> login{};
    std::array<char, kLoginBufferBytes> password{};
    unsigned int face = 0;
    std::array<unsigned int, kScoreSlots> newScores{};
    std::array<unsigned int, kScoreSlots> lastScores{};
    // What this process changed since it last read or wrote the file: a save
    // writes these and takes everything else from the file, so another
    // instance's saves in between are kept.
    bool loginChanged = false; // login and password
    bool faceChanged = false;
    std::array<bool, kScoreSlots> newChanged{};
    std::array<bool, kScoreSlots> lastChanged{};
};

SavedData &saved()
{
    static SavedData data;
    return data;
}

unsigned int &failedSaves()
{
    static unsigned int count = 0;
    return count;
}

// How long a save or load waits for another instance's (a write of a few
// megabytes at most).
constexpr double kLockSeconds = 10.0;

std::string lockPath()
{
    return PreferencesPath() + ".lock";
}

// Temporary files of saves that were killed hold the password: removed as
// soon as the file's lock is ours (no save is in progress then). Without
// the lock, only those whose process is gone or that are old.
void removeLeftovers(const platform::FileLock &lock)
{
    if (lock.locked()) {
        platform::removeTemporaryFilesOf(PreferencesPath());
    } else {
        platform::removeStaleTemporaryFiles(platform::documentsDirectory());
    }
}

// Bounded and always terminated: a longer text keeps its first 63 bytes.
void copyText(std::array<char, kLoginBufferBytes> &to, const char *from)
{
    to.fill('\0');
    if (from == nullptr)
        return;
    const std::size_t n = ::strnlen(from, kLoginBufferBytes - 1);
    std::memcpy(to.data(), from, n);
}

void copyText(std::array<char, kLoginBufferBytes> &to, const std::string &from)
{
    copyText(to, from.c_str());
}

void setAside(const std::string &path)
{
    const std::string aside = platform::moveFileAside(path);
    platform::consoleLog("preferences: " + path + " could not be read" +
                         (aside.empty() ? std::string("; it was removed") : "; moved to " + aside));
}

std::optional<platform::PlistDict> readDictionary()
{
    const std::string path = PreferencesPath();
    const auto bytes = platform::readWholeFile(path, kMaxPreferencesBytes);
    if (!bytes) {
        // No file is a first start. One that is there but cannot be read
        // would lose every key of the game's at the next save: kept aside.
        if (platform::fileExists(path))
            setAside(path);
        return std::nullopt;
    }
    const std::optional<platform::PlistValue> root = platform::plistFromBytes(*bytes);
    if (!root || root->get<platform::PlistDict>() == nullptr) {
        setAside(path);
        return std::nullopt;
    }
    return *root->get<platform::PlistDict>();
}

unsigned int toScore(const platform::PlistValue &value)
{
    const auto *n = value.get<std::int64_t>();
    if (n == nullptr || *n < 0)
        return 0;
    return static_cast<unsigned int>(std::min<std::int64_t>(*n, UINT32_MAX));
}

void readScores(const platform::PlistDict &dict, const char *key, std::array<unsigned int, kScoreSlots> &out)
{
    out.fill(0);
    const auto it = dict.find(key);
    if (it == dict.end())
        return;
    const auto *array = it->second.get<platform::PlistArray>();
    if (array == nullptr)
        return;
    for (std::size_t i = 0; i < kScoreSlots && i < array->size(); ++i)
        out[i] = toScore((*array)[i]);
}

platform::PlistArray scoreArray(const std::array<unsigned int, kScoreSlots> &scores)
{
    platform::PlistArray array;
    for (const unsigned int s : scores)
        array.emplace_back(std::int64_t{s});
    return array;
}

} // namespace

std::string PreferencesPath()
{
    return platform::documentsDirectory() + "/" + kPreferencesFileName;
}

bool LoadMerixLogin()
{
    const platform::FileLock lock(lockPath(), kLockSeconds);
    removeLeftovers(lock);
    SavedData fresh;
    const auto dict = readDictionary();
    if (!dict) {
        saved() = fresh;
        return false;
    }
    const auto text = [&](const char *key) -> std::string {
        const auto it = dict->find(key);
        const auto *s = it == dict->end() ? nullptr : it->second.get<std::string>();
        return s == nullptr ? std::string() : *s;
    };
    copyText(fresh.login, text(kLoginKey));
    copyText(fresh.password, text(kPasswordKey));
    if (const auto it = dict->find(kFaceKey); it != dict->end())
        fresh.face = toScore(it->second);
    readScores(*dict, kNewHighScoresKey, fresh.newScores);
    readScores(*dict, kLastHighScoresKey, fresh.lastScores);
    saved() = fresh;
    return true;
}

void RemoveLeftoverFiles()
{
    // Most launches find nothing: no lock file is made for them.
    std::error_code ec;
    const std::string prefix = std::string(kPreferencesFileName) + ".tmp.";
    bool found = false;
    for (std::filesystem::directory_iterator it(platform::applicationRoot() + "/Documents", ec), end;
         !ec && it != end && !found; it.increment(ec)) {
        found = it->path().filename().string().starts_with(prefix);
    }
    if (!found)
        return;
    const platform::FileLock lock(lockPath(), kLockSeconds);
    removeLeftovers(lock);
}

void SetMerixLogin(const char *login, const char *password)
{
    copyText(saved().login, login);
    copyText(saved().password, password);
    saved().loginChanged = true;
    SaveMerixLogin();
}

const char *GetMerixLogin()
{
    return saved().login.data();
}
const char *GetMerixPassword()
{
    return saved().password.data();
}

void SetMerixFace(unsigned int face)
{
    saved().face = face;
    saved().faceChanged = true;
}
unsigned int GetMerixFace()
{
    return saved().face;
}

bool SaveMerixLogin()
{
    const std::string path = PreferencesPath();
    const platform::FileLock lock(lockPath(), kLockSeconds);
    const auto fail = [&](const std::string &why) {
        ++failedSaves();
        platform::consoleLog("preferences: could not save " + path + ": " + why +
                             "; the file keeps what it held before");
        return false;
    };
    // A lock file that cannot be made (a full or read-only folder) leaves the
    // write to tell; one that another instance holds this long is a failure.
    if (!lock.locked() && lock.error() == EWOULDBLOCK)
        return fail("another instance kept the file locked");
    removeLeftovers(lock);

    // Keys that other code keeps in the same file stay as they are; of ours,
    // what this process changed is written and the rest is taken from the
    // file (where it holds them), so saves of other instances are kept.
    platform::PlistDict dict = readDictionary().value_or(platform::PlistDict{});
    SavedData merged = saved();
    const auto fileText = [&](const char *key) -> const std::string * {
        const auto it = dict.find(key);
        return it == dict.end() ? nullptr : it->second.get<std::string>();
    };
    if (!merged.loginChanged && fileText(kLoginKey) != nullptr && fileText(kPasswordKey) != nullptr) {
        copyText(merged.login, *fileText(kLoginKey));
        copyText(merged.password, *fileText(kPasswordKey));
    }
    if (const auto it = dict.find(kFaceKey);
        !merged.faceChanged && it != dict.end() && it->second.get<std::int64_t>() != nullptr) {
        merged.face = toScore(it->second);
    }
    const auto mergeScores = [&](const char *key, std::array<unsigned int, kScoreSlots> &scores,
                                 const std::array<bool, kScoreSlots> &changed, bool raiseOnly) {
        const auto it = dict.find(key);
        const auto *array = it == dict.end() ? nullptr : it->second.get<platform::PlistArray>();
        for (std::size_t i = 0; array != nullptr && i < kScoreSlots && i < array->size(); ++i) {
            if ((*array)[i].get<std::int64_t>() == nullptr)
                continue;
            const unsigned int stored = toScore((*array)[i]);
            // A posted score only ever rises, whichever instance posted it.
            if (!changed[i] || (raiseOnly && stored > scores[i]))
                scores[i] = stored;
        }
    };
    mergeScores(kNewHighScoresKey, merged.newScores, merged.newChanged, false);
    mergeScores(kLastHighScoresKey, merged.lastScores, merged.lastChanged, true);

    dict[kLoginKey] = platform::PlistValue(std::string(merged.login.data()));
    dict[kPasswordKey] = platform::PlistValue(std::string(merged.password.data()));
    dict[kFaceKey] = platform::PlistValue(std::int64_t{merged.face});
    dict[kNewHighScoresKey] = platform::PlistValue(scoreArray(merged.newScores));
    dict[kLastHighScoresKey] = platform::PlistValue(scoreArray(merged.lastScores));
    const auto bytes = platform::plistToFileBytes(platform::PlistValue(std::move(dict)), kMaxPreferencesBytes);
    if (!bytes)
        return fail("the preferences would be larger than a load reads (" + std::to_string(kMaxPreferencesBytes) +
                    " bytes)");
    if (!platform::writeFileAtomically(path, *bytes, 0600))
        return fail(std::strerror(errno));
    // In step with the file; what changed has been written.
    merged.loginChanged = merged.faceChanged = false;
    merged.newChanged.fill(false);
    merged.lastChanged.fill(false);
    saved() = merged;
    return true;
}

unsigned int GetFailedSaveCount()
{
    return failedSaves();
}

unsigned int GetNewHighScore(unsigned int slot)
{
    return slot < kScoreSlots ? saved().newScores[slot] : 0;
}
unsigned int GetLastHighScore(unsigned int slot)
{
    return slot < kScoreSlots ? saved().lastScores[slot] : 0;
}

void SetNewHighScore(unsigned int slot, unsigned int score)
{
    if (slot >= kScoreSlots)
        return;
    saved().newScores[slot] = score;
    saved().newChanged[slot] = true;
    SaveMerixLogin();
}

void RaiseLastHighScore(unsigned int slot, unsigned int score)
{
    if (slot >= kScoreSlots || score <= saved().lastScores[slot])
        return;
    saved().lastScores[slot] = score;
    saved().lastChanged[slot] = true;
    SaveMerixLogin();
}

void CopyMerixLastHighScore()
{
    SavedData &data = saved();
    for (unsigned slot = 0; slot < kScoreSlots; ++slot) {
        if (data.newScores[slot] > data.lastScores[slot]) {
            data.lastScores[slot] = data.newScores[slot];
            data.lastChanged[slot] = true;
        }
    }
    SaveMerixLogin();
}

void ForgetAll()
{
    saved() = SavedData{};
}

} // namespace paddle::savegamedata
