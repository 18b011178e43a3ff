#include "game/savegamedata.h"

#include "platform/files.h"
#include "platform/plist.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
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
};

SavedData &saved()
{
    static SavedData data;
    return data;
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

std::optional<platform::PlistDict> readDictionary()
{
    const std::string path = PreferencesPath();
    const auto bytes = platform::readWholeFile(path, kMaxPreferencesBytes);
    if (!bytes) {
        // No file is a first start. One that is there but cannot be read
        // would lose every key of the game's at the next save: kept aside.
        if (platform::fileExists(path))
            platform::moveFileAside(path);
        return std::nullopt;
    }
    std::optional<platform::PlistValue> root;
    if (bytes->size() >= 8 && std::memcmp(bytes->data(), "bplist00", 8) == 0) {
        root = platform::plistFromBinary(*bytes);
    } else {
        root = platform::plistFromXml(std::string(bytes->begin(), bytes->end()));
    }
    if (!root || root->get<platform::PlistDict>() == nullptr) {
        platform::moveFileAside(path);
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

void SetMerixLogin(const char *login, const char *password)
{
    copyText(saved().login, login);
    copyText(saved().password, password);
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
}
unsigned int GetMerixFace()
{
    return saved().face;
}

bool SaveMerixLogin()
{
    // Keys that other code keeps in the same file stay as they are.
    platform::PlistDict dict = readDictionary().value_or(platform::PlistDict{});
    const SavedData &data = saved();
    dict[kLoginKey] = platform::PlistValue(std::string(data.login.data()));
    dict[kPasswordKey] = platform::PlistValue(std::string(data.password.data()));
    dict[kFaceKey] = platform::PlistValue(std::int64_t{data.face});
    dict[kNewHighScoresKey] = platform::PlistValue(scoreArray(data.newScores));
    dict[kLastHighScoresKey] = platform::PlistValue(scoreArray(data.lastScores));
    const std::string xml = platform::plistToXml(platform::PlistValue(std::move(dict)));
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(xml.data());
    return platform::writeFileAtomically(PreferencesPath(), std::span(bytes, xml.size()), 0600);
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
    SaveMerixLogin();
}

void RaiseLastHighScore(unsigned int slot, unsigned int score)
{
    if (slot >= kScoreSlots || score <= saved().lastScores[slot])
        return;
    saved().lastScores[slot] = score;
    SaveMerixLogin();
}

void CopyMerixLastHighScore()
{
    SavedData &data = saved();
    for (unsigned slot = 0; slot < kScoreSlots; ++slot) {
        data.lastScores[slot] = std::max(data.lastScores[slot], data.newScores[slot]);
    }
    SaveMerixLogin();
}

void ForgetAll()
{
    saved() = SavedData{};
}

} // namespace paddle::savegamedata
