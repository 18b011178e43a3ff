// The saved online data in "ZLV_Preferences.plist".
#include <game/savegamedata.h>
#include <platform/files.h>
#include <platform/plist.h>

#include "files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

namespace {

namespace save = paddle::savegamedata;

platform::PlistDict readFile()
{
    const auto bytes = platform::readWholeFile(save::PreferencesPath());
    if (!bytes)
        return {};
    const auto root = platform::plistFromXml(std::string(bytes->begin(), bytes->end()));
    return root && root->get<platform::PlistDict>() ? *root->get<platform::PlistDict>() : platform::PlistDict{};
}

class SaveGameData : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        platform::setApplicationRoot(dir.path());
        save::ForgetAll();
    }
    auratest::TempDir dir{"savegame"};
};

TEST_F(SaveGameData, WritesItsKeysPrivatelyAndKeepsOthers)
{
    // A key that other code keeps in the same file.
    platform::PlistDict other;
    other["SoundVolume"] = platform::PlistValue(std::int64_t{7});
    const std::string xml = platform::plistToXml(platform::PlistValue(other));
    ASSERT_TRUE(platform::createDirectories(platform::documentsDirectory()));
    ASSERT_TRUE(platform::writeFileAtomically(save::PreferencesPath(),
                                              {reinterpret_cast<const std::uint8_t *>(xml.data()), xml.size()}));

    const std::string longMail(100, 'm');
    save::SetMerixLogin(longMail.c_str(), "secret");
    save::SetMerixFace(4);
    save::SetNewHighScore(3, 900);
    save::RaiseLastHighScore(3, 800);
    save::RaiseLastHighScore(3, 700); // never lowers
    save::RaiseLastHighScore(9, 1); // no such slot

    struct stat st {};
    ASSERT_EQ(::stat(save::PreferencesPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const auto dict = readFile();
    ASSERT_TRUE(dict.count("SoundVolume"));
    EXPECT_EQ(*dict.at("SoundVolume").get<std::int64_t>(), 7);
    EXPECT_EQ(*dict.at(save::kLoginKey).get<std::string>(), std::string(63, 'm'));
    EXPECT_EQ(*dict.at(save::kPasswordKey).get<std::string>(), "secret");
    EXPECT_EQ(*dict.at(save::kFaceKey).get<std::int64_t>(), 4);
    EXPECT_EQ(*dict.at(save::kNewHighScoresKey).get<platform::PlistArray>()->at(3).get<std::int64_t>(), 900);
    EXPECT_EQ(*dict.at(save::kLastHighScoresKey).get<platform::PlistArray>()->at(3).get<std::int64_t>(), 800);

    // Read back as the shell does at start: the 64-byte buffer stays terminated.
    save::ForgetAll();
    ASSERT_TRUE(save::LoadMerixLogin());
    EXPECT_EQ(std::strlen(save::GetMerixLogin()), 63u);
    EXPECT_EQ(save::GetMerixFace(), 4u);
    EXPECT_EQ(save::GetLastHighScore(3), 800u);
    EXPECT_EQ(save::GetNewHighScore(6), 0u);

    save::CopyMerixLastHighScore();
    EXPECT_EQ(save::GetLastHighScore(3), 900u);
}

TEST_F(SaveGameData, FaceWithoutSaveLeavesTheFileAndADamagedFileIsSetAside)
{
    save::SetMerixLogin("a@b.c", "pw");
    const auto before = platform::readWholeFile(save::PreferencesPath());
    save::SetMerixFace(9);
    EXPECT_EQ(platform::readWholeFile(save::PreferencesPath()), before);

    const std::string junk = "<plist><dict><key>x</key>";
    ASSERT_TRUE(platform::writeFileAtomically(save::PreferencesPath(),
                                              {reinterpret_cast<const std::uint8_t *>(junk.data()), junk.size()}));
    EXPECT_FALSE(save::LoadMerixLogin());
    EXPECT_STREQ(save::GetMerixLogin(), "");
    EXPECT_TRUE(platform::fileExists(save::PreferencesPath() + ".damaged"));
}

// A large file of the game's own keys is read whole and kept; one the
// reader cannot take (past the cap, or no file at all) is moved aside
// intact before the next save writes a fresh one.
TEST_F(SaveGameData, LargeFilesAreKeptAndUntakableOnesSetAside)
{
    ASSERT_TRUE(platform::createDirectories(platform::documentsDirectory()));
    const std::string path = save::PreferencesPath();
    const auto write = [&](const std::string &bytes) {
        ASSERT_TRUE(platform::writeFileAtomically(path, {reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                                         bytes.size()}));
    };
    platform::PlistDict game;
    game["GameState"] = platform::PlistValue(platform::PlistData(1100 * 1000, 0x5a));
    game["SoundVolume"] = platform::PlistValue(std::int64_t{7});
    const std::string large = platform::plistToXml(platform::PlistValue(game));
    ASSERT_GT(large.size(), std::size_t{1} << 20);
    const std::string huge(save::kMaxPreferencesBytes + 1, ' ');

    struct Case {
        const char *name;
        std::function<void()> make;
        bool kept;            // the other keys survive the save
        std::string damaged;  // what lies aside afterwards ("" none)
    };
    const Case cases[] = {
        {"a 1.4 MB file of valid keys", [&] { write(large); }, true, ""},
        {"a file past the cap", [&] { write(huge); }, false, huge},
        {"a folder in the file's place",
         [&] { ASSERT_TRUE(platform::createDirectories(path + "/inside")); }, false, "dir"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        platform::removeTree(path + ".damaged");
        platform::removeTree(path);
        c.make();
        save::ForgetAll();
        (void)save::LoadMerixLogin();
        save::SetMerixLogin("a@b.c", "pw");
        const auto dict = readFile();
        EXPECT_EQ(*dict.at(save::kLoginKey).get<std::string>(), "a@b.c");
        EXPECT_EQ(dict.count("GameState") == 1 && dict.count("SoundVolume") == 1, c.kept);
        if (c.kept) {
            EXPECT_EQ(*dict.at("GameState").get<platform::PlistData>(), platform::PlistData(1100 * 1000, 0x5a));
            EXPECT_FALSE(platform::fileExists(path + ".damaged"));
        } else if (c.damaged == "dir") {
            EXPECT_TRUE(platform::fileExists(path + ".damaged/inside"));
        } else {
            const auto aside = platform::readWholeFile(path + ".damaged", c.damaged.size());
            ASSERT_TRUE(aside);
            EXPECT_TRUE(std::equal(aside->begin(), aside->end(), c.damaged.begin(), c.damaged.end()));
        }
    }
}

} // namespace
