// The achievement list: its stored text, reading it back and merging.
#include <merix/AchievementManager.h>
#include <merix/OGCBridge.h>
#include <merix/TarvClient.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace {

std::string text(const std::vector<std::uint64_t> &stamps, bool lastComma = true)
{
    std::string out;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        out += std::to_string(stamps[i]);
        if (i + 1 < stamps.size() || lastComma)
            out += ',';
    }
    return out;
}

std::vector<std::uint64_t> stampsByNumber(const AchievementManager &m)
{
    std::vector<std::uint64_t> out(kAchievementCount, 99);
    for (const auto &a : m.records())
        out.at(static_cast<std::size_t>(a.number)) = a.stamp;
    return out;
}

std::vector<int> order(const AchievementManager &m)
{
    std::vector<int> out;
    for (const auto &a : m.records())
        out.push_back(a.number);
    return out;
}

TEST(AchievementList, WritesTextInNumberOrderAndSortsNewestFirst)
{
    AchievementManager m;
    m.InitializeToAllLocked();
    std::string locked;
    for (int i = 0; i < 25; ++i)
        locked += "0,";
    EXPECT_EQ(m.SerializeToDBString(), locked);

    std::vector<std::uint64_t> stamps(25, 0);
    stamps[3] = 5;
    stamps[7] = 9;
    std::list<AchievementInfo> other;
    for (int n = 0; n < 25; ++n)
        other.push_back({n, stamps[static_cast<std::size_t>(n)]});
    m.MergeAchievements(other);
    EXPECT_EQ(m.SerializeToDBString(), text(stamps));
    const std::vector<int> expected = {7,  3,  0,  1,  2,  4,  5,  6,  8,  9,  10, 11, 12,
                                       13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    EXPECT_EQ(order(m), expected);

    int pairs[50];
    std::fill(std::begin(pairs), std::end(pairs), -1);
    m.getList(pairs);
    EXPECT_EQ(pairs[0], 7);
    EXPECT_EQ(pairs[1], 1);
    EXPECT_EQ(pairs[4], 0);
    EXPECT_EQ(pairs[5], 0);
}

TEST(AchievementList, ReadsOnlyWellFormedValues)
{
    struct Case {
        const char *name;
        std::string input;
        std::size_t count;
    };
    const std::string full = text(std::vector<std::uint64_t>(25, 1));
    const std::vector<Case> cases = {
        {"three values", "1,2,3,", 3},
        {"25 values", full, 25},
        {"last comma missing", text(std::vector<std::uint64_t>(25, 1), false), 24},
        {"26 values: the 26th is never merged, so not read", text(std::vector<std::uint64_t>(26, 1)), 25},
        {"a million values", text(std::vector<std::uint64_t>(1000000, 1)), 25},
        {"empty", "", 0},
        {"negative value ends the read", "1,2,-5,4,", 2},
        {"plus sign ends the read", "1,+2,", 1},
        {"overflow ends the read", "1,18446744073709551616,3,", 1},
        {"largest value is read", "18446744073709551615,", 1},
        {"letters end the read", "1,x,3,", 1},
        {"blanks before a value", "1, 2,", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto read = AchievementManager::ReadDBString(c.input);
        ASSERT_EQ(read.size(), c.count);
        int n = 0;
        for (const auto &a : read)
            EXPECT_EQ(a.number, n++);
    }
    EXPECT_EQ(AchievementManager::ReadDBString("18446744073709551615,").front().stamp, UINT64_MAX);
}

TEST(AchievementList, MergeKeepsTheEarliestUnlock)
{
    struct Case {
        std::uint64_t mine;
        std::uint64_t theirs;
        std::uint64_t kept;
    };
    const std::vector<Case> cases = {{40, 30, 30}, {40, 50, 40}, {40, 0, 40}, {0, 70, 70}, {0, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.mine) + " with " + std::to_string(c.theirs));
        AchievementManager m;
        m.InitializeToAllLocked();
        std::list<AchievementInfo> seed;
        for (int n = 0; n < 25; ++n)
            seed.push_back({n, n == 2 ? c.mine : 0});
        m.MergeAchievements(seed);
        std::list<AchievementInfo> other;
        for (int n = 24; n >= 0; --n)
            other.push_back({n, n == 2 ? c.theirs : 0}); // any order
        m.MergeAchievements(other);
        EXPECT_EQ(stampsByNumber(m)[2], c.kept);
    }
}

TEST(AchievementList, DeserializeMergesCompleteTextsAndAlwaysHandsOnThePairs)
{
    AchievementManager *m = AchievementManager::GetInstance();
    // The single list is usable from its first use: 25 locked records.
    ASSERT_EQ(m->records().size(), 25u);
    std::string first = getSerializedString();
    EXPECT_EQ(first.size(), 50u);

    // 24 values (last comma missing) and a short text change nothing.
    std::vector<std::uint64_t> stamps(25, 0);
    stamps[4] = 11;
    std::string cut = text(stamps, false);
    deserializeString(cut);
    EXPECT_EQ(stampsByNumber(*m)[4], 0u);
    std::string shortText = "1,2,3,";
    deserializeString(shortText);
    EXPECT_EQ(stampsByNumber(*m)[0], 0u);
    // The pairs reach the client even so, every number present and locked.
    const int *pairs = Tarv_GetAchievementList();
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(pairs[2 * i + 1], 0);

    // 26 values: only the first 25 numbers count; the client sees the unlock.
    std::vector<std::uint64_t> longer(26, 0);
    longer[4] = 11;
    longer[25] = 5;
    std::string longText = text(longer);
    deserializeString(longText);
    EXPECT_EQ(stampsByNumber(*m)[4], 11u);
    EXPECT_EQ(m->records().size(), 25u);
    EXPECT_EQ(Tarv_GetAchievementList()[0], 4);
    EXPECT_EQ(Tarv_GetAchievementList()[1], 1);

    clearAchievements();
    EXPECT_EQ(getSerializedString(), first);
}

TEST(Bridge, FixedAnswers)
{
    EXPECT_STREQ(getHelpText(2), "Third paragraph of Help Test");
    EXPECT_EQ(getHelpIcon(2), nullptr);
    EXPECT_STREQ(getHelpIcon(3), "More_Icons.png");
    for (int i : {-1, 4}) {
        EXPECT_EQ(getHelpText(i), nullptr);
        EXPECT_EQ(getHelpIcon(i), nullptr);
    }
    EXPECT_EQ(checkDisplayAchievement(17), 1);
    EXPECT_EQ(getHS(), 0);
}

} // namespace
