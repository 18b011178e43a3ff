// The analytics session, its limits, its archive and the stored sessions.
#include "platform/keyed_archive.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyUtil.h"
#include "tally/TallySession.h"

#include <atomic>
#include <thread>

namespace {

using tally::TallySession;

class TallySessionTest : public TallyFixture {
protected:
    std::shared_ptr<TallySession> start(const std::string &key = "KEY1")
    {
        return TallySession::createActiveTallySession(key);
    }
    // A well-formed record, told apart from others by its application version.
    static tally::Bytes record(int n) { return TallySession("K", tally::cat("v", n)).data(); }
    static reporttest::Session decode(const tally::Bytes &record)
    {
        std::string error;
        auto s = reporttest::decodeSessionRecord(std::string(record.begin(), record.end()), &error);
        EXPECT_TRUE(s.has_value()) << error;
        return s.value_or(reporttest::Session{});
    }
};

TEST_F(TallySessionTest, EventLimitsOnNamesLogAndParameters)
{
    auto s = start();
    tally::TallyParameters ten, eleven;
    for (int i = 0; i < 10; ++i) ten[std::to_string(i)] = "v";
    eleven = ten;
    eleven["x"] = "v";
    s->recordEvent("ten", ten, false);
    EXPECT_TRUE(s->eventLogComplete());
    s->recordEvent("eleven", eleven, false);
    EXPECT_FALSE(s->eventLogComplete());
    EXPECT_EQ(s->eventCounts().count("eleven"), 0u);
    EXPECT_EQ(s->eventLog().size(), 1u);
    s->recordEvent("", std::nullopt, false);
    EXPECT_EQ(s->eventLog().size(), 1u);

    auto names = start("KEY2");
    for (int i = 0; i < 100; ++i) names->recordEvent(tally::cat("n", i), std::nullopt, false);
    EXPECT_TRUE(names->eventLogComplete());
    names->recordEvent("n100", std::nullopt, false);
    EXPECT_FALSE(names->eventLogComplete());
    EXPECT_EQ(names->eventCounts().size(), 100u);
    EXPECT_EQ(names->eventLog().size(), 100u);
    names->recordEvent("n5", std::nullopt, false);
    EXPECT_EQ(names->eventCounts().at("n5"), 2);
    EXPECT_EQ(names->eventLog().size(), 101u);

    auto log = start("KEY3");
    for (int i = 0; i < 1000; ++i) log->recordEvent("same", std::nullopt, false);
    EXPECT_TRUE(log->eventLogComplete());
    log->recordEvent("same", std::nullopt, false);
    EXPECT_EQ(log->eventCounts().at("same"), 1001);
    EXPECT_EQ(log->eventLog().size(), 1000u);
    EXPECT_FALSE(log->eventLogComplete());
    // The report carries exactly what was kept.
    const auto decoded = decode(log->data());
    EXPECT_EQ(decoded.events.size(), 1000u);
    EXPECT_EQ(decoded.countOf("same"), 1001);
    EXPECT_FALSE(decoded.eventLogComplete);
}

TEST_F(TallySessionTest, ErrorsPageViewsAndUserFacts)
{
    freezeClock();
    auto s = start();
    for (int i = 0; i < 11; ++i) s->recordErrorWithExceptionString(tally::cat("id", i), "m", "x");
    EXPECT_EQ(s->totalErrorCount(), 11);
    EXPECT_EQ(s->errors().size(), 10u);
    const std::runtime_error boom("boom");
    const tally::TallyError error{"failed", "no network"};
    auto other = start("K2");
    other->recordError("e1", "m1", &boom);
    other->recordError("e2", "m2", &error);
    other->recordError("e3", "m3", static_cast<const std::exception *>(nullptr));
    const auto decodedErrors = decode(other->data()).errors;
    ASSERT_EQ(decodedErrors.size(), 3u);
    EXPECT_EQ(decodedErrors[0].exception, "std::exception: boom");
    EXPECT_EQ(decodedErrors[1].exception, "failed: no network");
    EXPECT_EQ(decodedErrors[2].exception, "nil");

    s->maybeIncrementPageView();
    advance(0.2);
    s->maybeIncrementPageView();
    EXPECT_EQ(s->pageViewCount(), 1);
    advance(0.5);
    s->maybeIncrementPageView();
    EXPECT_EQ(s->pageViewCount(), 2);

    s->setAge(0);
    s->setAge(151);
    EXPECT_FALSE(s->age().has_value());
    s->setAge(30);
    ASSERT_TRUE(s->age().has_value());
    s->setGender("M");
    EXPECT_EQ(s->gender(), -1);
    s->setGender("f");
    EXPECT_EQ(s->gender(), 0);
    s->setUserID("player");
    const auto decoded = decode(s->data());
    EXPECT_TRUE(decoded.ageKnown);
    EXPECT_EQ(decoded.gender, 0);
    EXPECT_EQ(decoded.userId, "player");
    EXPECT_EQ(decoded.pageViews, 2);
    EXPECT_EQ(decoded.totalErrors, 11);
}

TEST_F(TallySessionTest, TimedEventsPausesAndLength)
{
    freezeClock();
    auto s = start();
    EXPECT_EQ(s->sessionLength(), -1);
    s->recordEvent("t", std::nullopt, true);
    s->recordEvent("t", std::nullopt, true);
    advance(1.0);
    s->endTimedEvent("t", tally::TallyParameters{{"k", "v"}});
    advance(1.0);
    s->endTimedEvent("t", std::nullopt); // already ended: nothing changes
    for (const auto &e : s->eventLog()) {
        EXPECT_EQ(e.duration(), 1000);
        EXPECT_EQ(e.parameters(), (tally::TallyParameters{{"k", "v"}}));
    }
    s->recordEvent("open", std::nullopt, true);
    s->pauseSession();
    s->endSessionAndSend(false, false);
    EXPECT_EQ(s->sessionLength(), 2000);
    advance(3.0);
    s->resumeSession();
    EXPECT_EQ(s->totalPauseIntervalMillis(), 3000);
    advance(1.0);
    s->endSessionAndSend(false, false);
    EXPECT_EQ(s->sessionLength(), 6000);
    const auto log = s->eventLog();
    EXPECT_TRUE(log.back().automaticallyEnded());
    EXPECT_EQ(log.back().duration(), 6000 - 2000); // closed again at the later end
}

TEST_F(TallySessionTest, ArchiveRoundTripAndUnknownVersions)
{
    auto s = start();
    s->recordEvent("a", tally::TallyParameters{{"p", "q"}}, false);
    s->recordErrorWithExceptionString("id", "msg", "exc");
    s->setUserID("u");
    s->setAge(20);
    const auto archived = s->encodeWithCoder();
    const auto back = TallySession::initWithCoder(archived);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->data(), s->data());
    EXPECT_FALSE(back->eventLoggingEnabled());

    auto dict = *archived.get<platform::PlistDict>();
    dict["serializationVersion"] = 2;
    EXPECT_EQ(TallySession::initWithCoder(platform::PlistValue(dict)), nullptr);
    dict["serializationVersion"] = 1;
    dict["errors"] = platform::PlistArray{platform::PlistValue(platform::PlistArray{platform::PlistValue(1)})};
    EXPECT_THROW((void)TallySession::initWithCoder(platform::PlistValue(dict)), platform::ArchiveError);
}

TEST_F(TallySessionTest, UnfinishedSessionIsTakenOverAsCrashedUnlessItsVersionIsUnknown)
{
    auto first = start();
    first->recordEvent("before-crash", std::nullopt, false);
    // A new start in the same place finds the file: the session was not ended.
    auto second = start();
    ASSERT_NE(first, second);
    const auto stored = TallySession::savedSessions();
    ASSERT_EQ(stored.size(), 1u);
    const auto decoded = decode(stored[0]);
    EXPECT_EQ(decoded.countOf("before-crash"), 1);
    EXPECT_EQ(decoded.length, -1);

    // Version 2 in the current file: not taken over, file replaced.
    auto dict = *second->encodeWithCoder().get<platform::PlistDict>();
    dict["serializationVersion"] = 2;
    ASSERT_TRUE(platform::archiveRootObjectToFile(platform::PlistValue(dict), TallySession::currentSessionFilePath()));
    (void)start();
    EXPECT_EQ(TallySession::savedSessions().size(), 1u);
}

TEST_F(TallySessionTest, StoredSessionsAreTrimmedToTheNewest)
{
    auto s = start();
    std::vector<tally::Bytes> records;
    for (int i = 0; i < 50; ++i) records.push_back(record(i));
    TallySession::setSavedSessions(records);
    s->endSession();
    auto stored = TallySession::savedSessions();
    ASSERT_EQ(stored.size(), 50u);
    EXPECT_EQ(stored.front(), records[1]);
    EXPECT_TRUE(decode(stored.back()).length >= 0);

    records.resize(10);
    TallySession::setSavedSessions(records);
    TallySession::setMaxSessions(3);
    start()->endSession();
    stored = TallySession::savedSessions();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0], records[8]);
    EXPECT_EQ(stored[1], records[9]);
}

TEST_F(TallySessionTest, DamagedStoredFileIsMovedAsideAndLaterSessionsAreKept)
{
    auto s = start();
    const std::string path = TallySession::sessionsFilePath();
    const std::string junk = "bplist00 this is not an archive";
    ASSERT_TRUE(platform::writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t *>(junk.data()),
                                                              junk.size())));
    EXPECT_TRUE(TallySession::savedSessions().empty());
    EXPECT_TRUE(platform::fileExists(path + ".damaged"));
    s->endSession();
    start()->endSession();
    EXPECT_EQ(TallySession::savedSessions().size(), 2u);
}

TEST_F(TallySessionTest, OldFileNamesStayInUseAndKeysDoNotMix)
{
    (void)start("A");
    const std::string dotted = TallySession::sessionsFilePath();
    EXPECT_NE(dotted.find("/.tallyStored"), std::string::npos);
    const std::string old = std::string(platform::libraryDirectory())
                                .append("/tallyStored")
                                .append(std::to_string(TallySession::apiKeyHash("A")))
                                .append(".archive");
    ASSERT_TRUE(platform::touchFile(old));
    EXPECT_EQ(TallySession::sessionsFilePath(), old);
    const auto seven = record(7);
    TallySession::setSavedSessions({seven});
    EXPECT_EQ(TallySession::savedSessions(), std::vector<tally::Bytes>{seven});

    (void)start("B");
    EXPECT_NE(TallySession::sessionsFilePath(), old);
    EXPECT_TRUE(TallySession::savedSessions().empty());
    EXPECT_NE(TallySession::apiKeyHash("A"), TallySession::apiKeyHash("B"));
}

TEST_F(TallySessionTest, SentMarkerAndFirstRunTimestamp)
{
    freezeClock(5000.0);
    auto s = start();
    EXPECT_FALSE(TallySession::sentSession());
    TallySession::setSentSession();
    EXPECT_TRUE(TallySession::sentSession());
    EXPECT_EQ(TallySession::initialTimestamp(), platform::Date{5000.0});
    advance(100);
    EXPECT_EQ(TallySession::initialTimestamp(), platform::Date{5000.0});
}

// A reader must never see a half-written current-session file, however the
// writes and the reads interleave.
class TallySessionThreads : public TallySessionTest {};

TEST_F(TallySessionThreads, CurrentSessionFileIsNeverTorn)
{
    auto s = start();
    const std::string path = TallySession::currentSessionFilePath();
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            try {
                if (platform::unarchiveObjectWithFile(path)) ++reads;
            } catch (const platform::ArchiveError &) {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 300; ++i) s->recordEvent(tally::cat("e", i % 50), std::nullopt, false);
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

} // namespace
