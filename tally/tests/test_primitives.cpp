// Report primitives (golden bytes), the event record, the library utilities
// and the heartbeat.
#include "platform/keyed_archive.h"
#include "platform/notifications.h"
#include "platform/runloop.h"
#include "support/tally_fixture.h"
#include "tally/TallyEvent.h"
#include "tally/TallyHeartBeater.h"
#include "tally/TallyProtocolData.h"
#include "tally/TallyUtil.h"

#include <fstream>
#include <locale>

namespace {

using tally::Bytes;
using tally::TallyProtocolData;

Bytes bytesOf(std::initializer_list<int> values)
{
    Bytes out;
    for (const int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(TallyProtocolData, GoldenEncodingsOfScalars)
{
    Bytes d;
    TallyProtocolData::appendInt(-1, d);
    EXPECT_EQ(d, bytesOf({0xFF, 0xFF, 0xFF, 0xFF}));
    d.clear();
    TallyProtocolData::appendUshort(0x1234, d);
    EXPECT_EQ(d, bytesOf({0x12, 0x34}));
    d.clear();
    TallyProtocolData::appendDouble(1.0, d);
    EXPECT_EQ(d, bytesOf({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    d.clear();
    TallyProtocolData::appendFloat(-2.5f, d);
    EXPECT_EQ(d, bytesOf({0xC0, 0x20, 0x00, 0x00}));
    d.clear();
    TallyProtocolData::appendLong(-2, d);
    EXPECT_EQ(d, bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
    d.clear();
    TallyProtocolData::appendBoolean(true, d);
    TallyProtocolData::appendBoolean(false, d);
    TallyProtocolData::appendByte(-1, d);
    EXPECT_EQ(d, bytesOf({1, 0, 0xFF}));
    d.clear();
    // 1.5 s after the epoch, and a date before it (truncated toward zero).
    TallyProtocolData::appendTimestamp(platform::Date{1.5}, d);
    TallyProtocolData::appendTimestamp(platform::Date{-0.0015}, d);
    EXPECT_EQ(d, bytesOf({0, 0, 0, 0, 0, 0, 0x05, 0xDC, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(TallyProtocolData, StringsAreCutTo255CharactersAndPrefixedWithUtf8Bytes)
{
    Bytes d;
    TallyProtocolData::appendString(std::string(300, 'a'), d);
    ASSERT_EQ(d.size(), 2u + 255u);
    EXPECT_EQ(d[0], 0x00);
    EXPECT_EQ(d[1], 0xFF);

    d.clear();
    std::string twoByte;
    for (int i = 0; i < 300; ++i) twoByte += "\xC3\xA9"; // é
    TallyProtocolData::appendString(twoByte, d);
    ASSERT_EQ(d.size(), 2u + 510u);
    EXPECT_EQ(d[0], 0x01);
    EXPECT_EQ(d[1], 0xFE);

    d.clear();
    TallyProtocolData::appendString("", d);
    EXPECT_EQ(d, bytesOf({0, 0}));

    // Characters outside the BMP count twice and are never split.
    std::string astral;
    for (int i = 0; i < 128; ++i) astral += "\xF0\x9F\x8E\xB5"; // 256 UTF-16 units
    EXPECT_EQ(TallyProtocolData::limitStringLength(astral).size(), 127u * 4u);
    EXPECT_EQ(TallyProtocolData::limitStringLength(std::string(255, 'x')).size(), 255u);
}

TEST(TallyProtocolData, DataBlocksAndIntervals)
{
    Bytes block(300);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
    Bytes d;
    TallyProtocolData::appendTinyData(block, d);
    ASSERT_EQ(d.size(), 45u);
    EXPECT_EQ(d[0], 0x2C);
    EXPECT_EQ(d[44], 43);
    d.clear();
    TallyProtocolData::appendShortData(block, d);
    ASSERT_EQ(d.size(), 302u);
    EXPECT_EQ(d[0], 0x01);
    EXPECT_EQ(d[1], 0x2C);

    const platform::Date from{1000.0}, to{1001.5};
    EXPECT_EQ(TallyProtocolData::timeIntervalFrom(from, to), 1500);
    EXPECT_EQ(TallyProtocolData::timeIntervalFrom(to, from), -1500);
    EXPECT_EQ(TallyProtocolData::timeIntervalFrom(std::nullopt, to), 0);
    EXPECT_EQ(TallyProtocolData::timeIntervalFrom(from, std::nullopt), 0);
}

class TallyEventTest : public TallyFixture {};

TEST_F(TallyEventTest, RecordBytesDurationAndOffsets)
{
    freezeClock(1000.0);
    tally::TallyEvent plain("E");
    EXPECT_EQ(plain.dataRelativeToSessionStart(platform::Date{1000.0}),
              bytesOf({0, 1, 'E', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    plain.setEnded(platform::Date{1005.0});
    EXPECT_EQ(plain.duration(), 0); // untimed events have no duration

    tally::TallyEvent timed("T", true, tally::TallyParameters{{"k", "v"}});
    EXPECT_TRUE(timed.isUnterminated());
    EXPECT_EQ(timed.duration(), 0);
    timed.setEnded(platform::Date{1002.5});
    EXPECT_FALSE(timed.isUnterminated());
    EXPECT_EQ(timed.duration(), 2500);
    // Created 3 s before the session's start: a negative offset.
    EXPECT_EQ(timed.startOffsetFromSessionStart(platform::Date{1003.0}), -3000);
    const Bytes rec = timed.dataRelativeToSessionStart(platform::Date{999.0});
    EXPECT_EQ(rec, bytesOf({0, 1, 'T', 0, 1, 0, 1, 'k', 0, 1, 'v', 0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 0, 0, 0,
                            0x09, 0xC4}));
}

TEST_F(TallyEventTest, ArchiveKeepsAllSixFields)
{
    tally::TallyEvent e("name", true, tally::TallyParameters{{"a", "1"}, {"b", "x"}});
    e.setEnded(platform::Date{1234.5});
    e.setAutomaticallyEnded(true);
    const auto back = tally::TallyEvent::initWithCoder(e.encodeWithCoder());
    EXPECT_EQ(back.name(), "name");
    EXPECT_EQ(back.started(), e.started());
    EXPECT_EQ(back.ended(), e.ended());
    EXPECT_TRUE(back.timed());
    EXPECT_TRUE(back.automaticallyEnded());
    EXPECT_EQ(back.parameters(), e.parameters());
    EXPECT_THROW((void)tally::TallyEvent::initWithCoder(platform::PlistValue(3)), platform::ArchiveError);
}

class TallyUtilTest : public TallyFixture {};

TEST_F(TallyUtilTest, TranspositionAndItsInverse)
{
    using tally::TallyUtil;
    EXPECT_EQ(TallyUtil::transposeEncode("abcdefghij"), "ahbicjdefg");
    EXPECT_EQ(TallyUtil::transposeDecode("ahbicjdefg"), "abcdefghij");
    EXPECT_EQ(TallyUtil::transposeEncode("abcdefg"), "abcdefg");
    for (const std::string &text : {std::string("h\xC3\xA9llo w\xC3\xB6rld, \xF0\x9F\x8E\xB5 beats!"), std::string(),
                                   std::string(100, 'z') + "\xE2\x82\xAC"}) {
        EXPECT_EQ(TallyUtil::transposeDecode(TallyUtil::transposeEncode(text)), text);
    }
}

TEST_F(TallyUtilTest, DebugModeUnlocksOnlyWithTheCodeOfTheComingWeek)
{
    using tally::TallyUtil;
    TallyUtil::unlockDebugMode(TallyUtil::unlockCode("KEY", 7), "KEY");
    EXPECT_TRUE(TallyUtil::isDebugModeUnlocked());
    TallyUtil::unlockDebugMode(std::nullopt, "KEY");
    EXPECT_FALSE(TallyUtil::isDebugModeUnlocked());
    TallyUtil::unlockDebugMode(TallyUtil::unlockCode("KEY", 8), "KEY");
    EXPECT_FALSE(TallyUtil::isDebugModeUnlocked());
    TallyUtil::unlockDebugMode(TallyUtil::unlockCode("OTHER", 0), "KEY");
    EXPECT_FALSE(TallyUtil::isDebugModeUnlocked());
    EXPECT_EQ(TallyUtil::unlockCode("KEY", 0).size(), 40u);
}

TEST_F(TallyUtilTest, LogLinesAreScrambledOnePerPieceWithTheirDate)
{
    using tally::TallyUtil;
    freezeClock(86400.0);
    TallyUtil::logToFile("first line\nsecond");
    std::ifstream in(TallyUtil::logFilePath());
    std::string a, b, extra;
    ASSERT_TRUE(std::getline(in, a));
    ASSERT_TRUE(std::getline(in, b));
    EXPECT_FALSE(std::getline(in, extra));
    EXPECT_EQ(TallyUtil::transposeDecode(a), "1970-01-02 00:00:00 +0000 first line");
    EXPECT_EQ(TallyUtil::transposeDecode(b), "1970-01-02 00:00:00 +0000 second");
}

TEST_F(TallyUtilTest, ScreenBoundsAndNumbers)
{
    using tally::TallyUtil;
    EXPECT_EQ(TallyUtil::screenBounds(std::string("LaNdScApElEfT")), (tally::TallyRect{0, 0, 480, 320}));
    EXPECT_EQ(TallyUtil::screenBounds(std::string("landscaperight")), (tally::TallyRect{0, 0, 480, 320}));
    EXPECT_EQ(TallyUtil::screenBounds(std::string("portrait")), (tally::TallyRect{0, 0, 320, 480}));
    EXPECT_EQ(TallyUtil::screenBounds(std::nullopt), (tally::TallyRect{0, 0, 320, 480}));

    // A user locale with a decimal comma must not change how numbers read.
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
    EXPECT_EQ(TallyUtil::convertStrToNum("12"), 12.0);
    EXPECT_EQ(TallyUtil::convertStrToNum(" 1.5 "), 1.5);
    EXPECT_EQ(TallyUtil::convertStrToNum("-3"), -3.0);
    EXPECT_EQ(TallyUtil::convertStrToNum("1,5"), std::nullopt);
    EXPECT_EQ(TallyUtil::convertStrToNum("abc"), std::nullopt);
    EXPECT_EQ(TallyUtil::convertStrToNum("12abc"), std::nullopt);
    EXPECT_EQ(TallyUtil::convertStrToNum(""), std::nullopt);
    std::locale::global(previous);
}

TEST_F(TallyUtilTest, GuardedBodiesNeverThrow)
{
    bool after = false;
    tally::tallyGuarded([] { throw std::runtime_error("boom"); });
    tally::tallyGuarded([] { throw 42; });
    after = true;
    EXPECT_TRUE(after);
}

TEST(TallyHeartBeater, OneInstanceBeatingOnTheMainLoopAtItsFirstInterval)
{
    auto clock = std::make_shared<platform::ManualClock>(0.0);
    auto &loop = platform::RunLoop::main();
    const auto previousClock = loop.clock();
    loop.setClock(clock);
    int beats = 0;
    const auto id = platform::NotificationCenter::defaultCenter().addObserver(
        tally::kTallyHeartBeatNotification, [&](const std::string &) { ++beats; });
    auto *first = tally::TallyHeartBeater::createAndStartInstance(1.0);
    auto *second = tally::TallyHeartBeater::createAndStartInstance(5.0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(tally::TallyHeartBeater::instance(), first);
    EXPECT_DOUBLE_EQ(first->interval(), 1.0);
    const int before = beats;
    for (int i = 0; i < 3; ++i) {
        clock->advance(1.0);
        loop.runOnce(0.0);
    }
    EXPECT_EQ(beats - before, 3);
    platform::NotificationCenter::defaultCenter().removeObserver(id);
    loop.setClock(previousClock);
}

} // namespace
