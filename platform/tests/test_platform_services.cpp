// The platform services the analytics library stands on: property lists and
// keyed archives, atomic files, directories, notifications, user defaults,
// the device identifier and SHA-1.
#include "app_root.h"
#include "platform/date.h"
#include "platform/device.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/keyed_archive.h"
#include "platform/notifications.h"
#include "platform/plist.h"
#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::TempRoot;

platform::PlistValue sampleValue()
{
    platform::PlistDict dict;
    dict["negative"] = std::int64_t{-1234567890123};
    dict["min"] = std::int64_t{INT64_MIN};
    dict["real"] = 2.5;
    dict["text"] = std::string("h\xC3\xA9llo");
    dict["data"] = platform::PlistData{0, 1, 2, 255};
    dict["date"] = platform::Date{1700000000.25};
    dict["flag"] = false;
    dict["list"] = platform::PlistArray{platform::PlistValue(1), platform::PlistValue("two")};
    return platform::PlistValue(dict);
}

TEST(PlatformPlist, BinaryAndXmlKeepEveryKindOfValue)
{
    const auto value = sampleValue();
    const auto bin = platform::plistToBinary(value);
    ASSERT_GE(bin.size(), 8u);
    EXPECT_EQ(std::string(bin.begin(), bin.begin() + 8), "bplist00");
    const auto back = platform::plistFromBinary(bin);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, value);

    const auto xml = platform::plistToXml(value);
    const auto fromXml = platform::plistFromXml(xml);
    ASSERT_TRUE(fromXml.has_value());
    const auto *dict = fromXml->get<platform::PlistDict>();
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(dict->at("negative"), platform::PlistValue(std::int64_t{-1234567890123}));
    EXPECT_EQ(dict->at("text"), platform::PlistValue(std::string("h\xC3\xA9llo")));
}

TEST(PlatformPlist, RejectsGarbageAndTruncation)
{
    const auto bin = platform::plistToBinary(sampleValue());
    for (std::size_t cut : {std::size_t{0}, std::size_t{7}, std::size_t{9}, bin.size() / 2, bin.size() - 1}) {
        std::vector<std::uint8_t> part(bin.begin(), bin.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(platform::plistFromBinary(part).has_value()) << "cut at " << cut;
    }
    const std::vector<std::uint8_t> junk{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(platform::plistFromBinary(junk).has_value());
}

TEST(PlatformPlist, NulInsideAKeyOrStringIsRefusedNotFatal)
{
    platform::PlistDict dict;
    dict["abcd"] = std::string("wxyz");
    const auto bin = platform::plistToBinary(platform::PlistValue(dict));
    for (const std::string needle : {"abcd", "wxyz"}) {
        auto bad = bin;
        const auto at = std::search(bad.begin(), bad.end(), needle.begin(), needle.end());
        ASSERT_NE(at, bad.end());
        *(at + 1) = 0;
        EXPECT_FALSE(platform::plistFromBinary(bad).has_value()) << needle;
    }
    EXPECT_TRUE(platform::plistFromBinary(bin).has_value());
}

TEST(PlatformKeyedArchive, ObjectsKeepKeysAndKindsAndRejectWrongKinds)
{
    platform::KeyedArchiver ar("Thing");
    ar.encodeInt("count", -7);
    ar.encodeInt64("big", std::int64_t{1} << 40);
    ar.encodeBool("flag", true);
    ar.encodeFloat("accuracy", 1.5f);
    ar.encodeObject("name", std::string("x"));
    ar.encodeObject("nothing", platform::PlistValue());
    const platform::PlistValue obj(ar.take());

    const auto data = platform::archivedData(obj);
    const auto back = platform::unarchiveData(data);
    platform::KeyedUnarchiver un(back, "Thing");
    EXPECT_EQ(un.decodeInt("count"), -7);
    EXPECT_EQ(un.decodeInt64("big"), std::int64_t{1} << 40);
    EXPECT_TRUE(un.decodeBool("flag"));
    EXPECT_FLOAT_EQ(un.decodeFloat("accuracy"), 1.5f);
    EXPECT_EQ(un.decodeObjectOf<std::string>("name"), std::string("x"));
    EXPECT_FALSE(un.containsValueForKey("nothing"));
    EXPECT_EQ(un.decodeInt("missing"), 0);
    EXPECT_THROW((void)un.decodeBool("name"), platform::ArchiveError);
    EXPECT_THROW((void)un.decodeInt("big"), platform::ArchiveError);
    EXPECT_THROW(platform::KeyedUnarchiver(back, "Other"), platform::ArchiveError);

    // A plain property list is not an archive.
    EXPECT_THROW((void)platform::unarchiveData(platform::plistToBinary(sampleValue())), platform::ArchiveError);
}

TEST(PlatformFiles, AtomicWriteReplacesWholeFilesAndLeavesNoTemporaries)
{
    TempRoot root;
    const std::string path = platform::libraryDirectory() + "/file.bin";
    const std::vector<std::uint8_t> first(1000, 1), second(10, 2);
    ASSERT_TRUE(platform::writeFileAtomically(path, first));
    ASSERT_TRUE(platform::writeFileAtomically(path, second));
    EXPECT_EQ(platform::readWholeFile(path), second);
    std::size_t entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(platform::libraryDirectory())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    // A folder that cannot be written leaves the old file whole.
    EXPECT_FALSE(platform::writeFileAtomically(root.path() + "/no/such/dir/file", second));
    EXPECT_EQ(platform::readWholeFile(path, 5), std::nullopt); // over the size cap
}

TEST(PlatformFiles, DirectoriesLiveUnderTheConfiguredRoot)
{
    TempRoot root;
    EXPECT_EQ(platform::libraryDirectory(), root.path() + "/Library");
    EXPECT_EQ(platform::documentsDirectory(), root.path() + "/Documents");
    EXPECT_EQ(platform::cachesDirectory(), root.path() + "/Library/Caches");
    EXPECT_TRUE(std::filesystem::is_directory(root.path() + "/Library/Caches"));
}

TEST(PlatformNotifications, ObserversRunInOrderAndCanBeRemoved)
{
    platform::NotificationCenter center;
    std::vector<int> calls;
    const auto a = center.addObserver("n", [&](const std::string &) { calls.push_back(1); });
    platform::ObserverId b = 0;
    b = center.addObserver("n", [&](const std::string &) {
        calls.push_back(2);
        center.removeObserver(b);
    });
    center.addObserver("other", [&](const std::string &) { calls.push_back(9); });
    center.post("n");
    center.post("n");
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 1}));
    EXPECT_TRUE(center.removeObserver(a));
    EXPECT_FALSE(center.removeObserver(a));
    EXPECT_EQ(center.observerCount("n"), 0u);
}

TEST(PlatformUserDefaults, ValuesPersistInTheRootsFile)
{
    TempRoot root;
    auto &defaults = platform::UserDefaults::standardUserDefaults();
    EXPECT_FALSE(defaults.objectForKey("TallySendUsageInfo").has_value());
    defaults.setBool("TallySendUsageInfo", false);
    defaults.reload();
    const auto v = defaults.objectForKey("TallySendUsageInfo");
    ASSERT_TRUE(v.has_value());
    EXPECT_FALSE(platform::UserDefaults::boolValue(*v));
    defaults.removeObjectForKey("TallySendUsageInfo");
    defaults.reload();
    EXPECT_FALSE(defaults.objectForKey("TallySendUsageInfo").has_value());

    EXPECT_TRUE(platform::UserDefaults::boolValue(platform::PlistValue("YES")));
    EXPECT_FALSE(platform::UserDefaults::boolValue(platform::PlistValue("NO")));
    EXPECT_TRUE(platform::UserDefaults::boolValue(platform::PlistValue(3)));
}

TEST(PlatformDevice, IdentifierIsRandomPerInstallationAndStable)
{
    std::string first, again, other;
    {
        TempRoot root;
        first = platform::deviceUniqueIdentifier();
        again = platform::deviceUniqueIdentifier();
        EXPECT_TRUE(platform::fileExists(root.path() + "/Library/.deviceIdentifier"));
    }
    {
        TempRoot root;
        other = platform::deviceUniqueIdentifier();
    }
    EXPECT_EQ(first.size(), 40u);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(PlatformDigest, Sha1OfKnownTexts)
{
    EXPECT_EQ(platform::toLowerHex(platform::sha1(std::string("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(platform::toLowerHex(platform::sha1(std::string())), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(PlatformDate, ReplaceableSourceAndDescription)
{
    platform::setDateSource([] { return 86400.0 * 365; });
    EXPECT_EQ(platform::currentDate().secondsSince1970, 86400.0 * 365);
    EXPECT_EQ(platform::describeDate(platform::currentDate()), "1971-01-01 00:00:00 +0000");
    platform::setDateSource({});
    EXPECT_GT(platform::currentDate().secondsSince1970, 1.6e9);
}

} // namespace
