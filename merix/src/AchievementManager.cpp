#include "merix/AchievementManager.h"

#include "merix/TarvClient.h"

#include <algorithm>
#include <array>
#include <charconv>

AchievementManager *AchievementManager::mpInstance = nullptr;

bool compare_achievements_by_number(AchievementInfo a, AchievementInfo b)
{
    return a.number < b.number;
}
bool compare_achievements_by_date(AchievementInfo a, AchievementInfo b)
{
    return a.stamp > b.stamp;
}

AchievementManager *AchievementManager::GetInstance()
{
    if (mpInstance == nullptr) {
        mpInstance = new AchievementManager();
        mpInstance->InitializeToAllLocked();
    }
    return mpInstance;
}

void AchievementManager::InitializeToAllLocked()
{
    mList.clear();
    for (int n = 0; n < kAchievementCount; ++n)
        mList.push_back({n, 0});
}

void AchievementManager::getList(int *out) const
{
    if (out == nullptr)
        return;
    for (const AchievementInfo &a : mList) {
        *out++ = a.number;
        *out++ = a.stamp != 0 ? 1 : 0;
    }
}

std::string AchievementManager::SerializeToDBString()
{
    mList.sort(compare_achievements_by_number);
    std::string text;
    for (const AchievementInfo &a : mList)
        text.append(std::to_string(a.stamp)).push_back(',');
    mList.sort(compare_achievements_by_date);
    return text;
}

std::list<AchievementInfo> AchievementManager::ReadDBString(std::string_view text)
{
    std::list<AchievementInfo> read;
    const char *p = text.data();
    const char *const end = text.data() + text.size();
    // Values past the 25th are never merged: they are not read at all, so a
    // text of millions of values costs no more than one of 25.
    while (p != end && read.size() < static_cast<std::size_t>(kAchievementCount)) {
        // Blanks before a value are skipped, as a stream extraction does.
        while (p != end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
        std::uint64_t value = 0;
        // from_chars takes no sign and fails on overflow: both end the read.
        const auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc())
            break;
        p = next;
        if (p == end)
            break; // a value with nothing after it is not taken
        ++p; // its separator, normally the comma
        read.push_back({static_cast<std::int32_t>(read.size()), value});
    }
    return read;
}

void AchievementManager::DeserializeFromDBString(const std::string &text)
{
    std::list<AchievementInfo> read = ReadDBString(text);
    if (read.size() >= static_cast<std::size_t>(kAchievementCount)) {
        MergeAchievements(read);
        mList.sort(compare_achievements_by_date);
    }
    std::array<int, 2 * kAchievementCount> pairs{};
    GetInstance()->getList(pairs.data());
    Tarv_SetAchievementList(pairs.data());
}

void AchievementManager::MergeAchievements(std::list<AchievementInfo> &other)
{
    const std::size_t n = std::min(mList.size(), other.size());
    mList.sort(compare_achievements_by_number);
    other.sort(compare_achievements_by_number);
    auto mine = mList.begin();
    auto theirs = other.begin();
    for (std::size_t k = 0; k < n; ++k, ++mine, ++theirs) {
        const bool mineLocked = mine->stamp == 0;
        const bool theirsLocked = theirs->stamp == 0;
        if (mineLocked && !theirsLocked) {
            mine->stamp = theirs->stamp;
        } else if (!mineLocked && !theirsLocked && theirs->stamp < mine->stamp) {
            mine->stamp = theirs->stamp;
        }
    }
}
