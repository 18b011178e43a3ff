// The game's 25 achievements as the online account keeps them: each with the
// stamp of its unlocking (0: locked; larger is later). The list travels to
// the account as text, "<stamp>," per achievement in number order, and is
// merged back so that each achievement keeps its earliest known unlock.
//
// The list holds the 25 locked records from its first use, so that nothing
// reads or sends an empty list before a login has merged the account's.
//
// Main thread only.
#ifndef MERIX_ACHIEVEMENT_MANAGER_H
#define MERIX_ACHIEVEMENT_MANAGER_H

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int kAchievementCount = 25;

struct AchievementInfo {
    std::int32_t number = 0;
    std::uint64_t stamp = 0; // 0: locked

    friend bool operator==(const AchievementInfo &, const AchievementInfo &) = default;
};

[[nodiscard]] bool compare_achievements_by_number(AchievementInfo a, AchievementInfo b);
// Newest first, locked last.
[[nodiscard]] bool compare_achievements_by_date(AchievementInfo a, AchievementInfo b);

class AchievementManager {
public:
    static AchievementManager *GetInstance();

    AchievementManager() = default;
    virtual ~AchievementManager() = default;

    // The 25 locked records, in number order.
    void InitializeToAllLocked();
    // One {number, unlocked} pair per record, in the list's order; nothing
    // past the list's length is written.
    void getList(int *out) const;
    // The stored text; leaves the list sorted newest first.
    [[nodiscard]] std::string SerializeToDBString();
    // Merges a text of 25 or more values into the list (only the first 25
    // count) and hands the single instance's pairs to the login client.
    void DeserializeFromDBString(const std::string &text);
    // Each record takes the other list's stamp where that is an earlier
    // unlock (or this one is locked), over the shorter length.
    void MergeAchievements(std::list<AchievementInfo> &other);

    [[nodiscard]] const std::list<AchievementInfo> &records() const { return mList; }

    // The values of a stored text in order. A value is taken only when some
    // character follows it; a sign, a character that is no digit or a value
    // past 64 bits ends the reading. At most the first 25 values are read:
    // no more are ever merged.
    [[nodiscard]] static std::list<AchievementInfo> ReadDBString(std::string_view text);

private:
    static AchievementManager *mpInstance;
    std::list<AchievementInfo> mList;
};

#endif // MERIX_ACHIEVEMENT_MANAGER_H
