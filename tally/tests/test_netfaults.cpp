// The analytics library when files are damaged, cannot be written or are
// left half-done by a kill, and when the game is killed at random moments
// while the report server is down, slow, failing or cutting replies.
#include "deep_plist.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/keyed_archive.h"
#include "platform/notifications.h"
#include "support/driver_process.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyUtil.h"
#include "test_http_server.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

using tally::Bytes;
using tally::TallyAPI;
using tally::TallySession;

std::size_t occurrences(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class TallyStoreFaults : public TallyFixture {
protected:
    // A fresh application root and library, for one case of a table.
    void freshRoot(const std::string &name)
    {
        TallyAPI::resetForTesting();
        const std::string root = mRoot + "/" + name;
        ASSERT_TRUE(platform::createDirectories(root));
        platform::setApplicationRoot(root);
        platform::UserDefaults::standardUserDefaults().reload();
    }
    std::vector<reporttest::Report> reports(const testsupport::TestHttpServer &server)
    {
        TallyAPI::waitForPendingReports();
        std::vector<reporttest::Report> out;
        for (const auto &r : server.requests()) {
            std::string error;
            auto report = reporttest::decodeReport(r.body, &error);
            EXPECT_TRUE(report.has_value()) << "the service could not read a report: " << error;
            if (report) out.push_back(std::move(*report));
        }
        return out;
    }
    // Ends a session holding `event` without a report: it joins the stored ones.
    static void storeSessionWith(const std::string &event)
    {
        auto s = TallySession::createActiveTallySession("KEY");
        s->recordEvent(event, std::nullopt, false);
        s->saveSession();
    }
};

// Reports go out on the library's sending threads.
class TallyReportFaultsThreads : public TallyStoreFaults {};

TEST_F(TallyReportFaultsThreads, DamagedStoredRecordIsSetAsideAndTheHealthyOnesAreSent)
{
    testsupport::TestHttpServer server;
    server.reply("/aap.do", testsupport::Reply{200, {}, "OK"});
    ASSERT_TRUE(server.start());
    // Each damage keeps the stored file a valid property list.
    const std::vector<std::pair<std::string, std::function<void(Bytes &)>>> damages = {
        {"a byte of an event name that is no UTF-8",
         [](Bytes &r) {
             const std::string name = "DAMAGED";
             *std::search(r.begin(), r.end(), name.begin(), name.end()) = 0xFF;
         }},
        {"a string length one too long", [](Bytes &r) { ++r[3]; }},
        {"cut short by a byte", [](Bytes &r) { r.pop_back(); }},
        {"a byte after its end", [](Bytes &r) { r.push_back(0); }},
        {"an ad impression it does not hold", [](Bytes &r) { r.back() = 1; }},
    };
    for (std::size_t i = 0; i < damages.size(); ++i) {
        SCOPED_TRACE(damages[i].first);
        freshRoot("case" + std::to_string(i));
        for (const char *event : {"HEALTHY_A", "DAMAGED", "HEALTHY_B"}) storeSessionWith(event);
        auto stored = TallySession::savedSessions();
        ASSERT_EQ(stored.size(), 3u);
        damages[i].second(stored[1]);
        ASSERT_TRUE(TallySession::setSavedSessions(stored));

        const std::size_t before = server.requestCount();
        TallyAPI::setServerURL(server.url("/aap.do"));
        TallyAPI::startSession("KEY");
        const auto all = reports(server);
        ASSERT_EQ(all.size(), before + 1);
        const auto &sessions = all.back().sessions;
        ASSERT_EQ(sessions.size(), 2u);
        EXPECT_TRUE(sessions[0].hasEvent("HEALTHY_A"));
        EXPECT_TRUE(sessions[1].hasEvent("HEALTHY_B"));
        // The service took them: nothing waits any more, and the damaged
        // record is kept aside, never sent.
        EXPECT_TRUE(TallySession::savedSessions().empty());
        const auto aside = platform::unarchiveObjectWithFile(TallySession::sessionsFilePath() + ".rejected");
        ASSERT_TRUE(aside.has_value());
        ASSERT_TRUE(aside->is<platform::PlistArray>());
        ASSERT_EQ(aside->get<platform::PlistArray>()->size(), 1u);
        EXPECT_EQ(aside->get<platform::PlistArray>()->at(0), platform::PlistValue(platform::PlistData(stored[1])));
    }
}

TEST_F(TallyStoreFaults, DamagedCurrentSessionFileIsMovedAsideNotDeleted)
{
    (void)TallySession::createActiveTallySession("KEY");
    const std::string path = TallySession::currentSessionFilePath();
    TallySession::resetForTesting();
    const std::string junk = "bplist00 not a session at all";
    ASSERT_TRUE(platform::writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t *>(junk.data()), junk.size())));
    testing::internal::CaptureStderr();
    auto s = TallySession::createActiveTallySession("KEY");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(platform::readWholeFile(path + ".damaged"), Bytes(junk.begin(), junk.end()));
    EXPECT_NE(said.find(path + ".damaged"), std::string::npos) << said;
    EXPECT_TRUE(TallySession::savedSessions().empty());
    // The new session has a readable file of its own.
    s->recordEvent("AFTER", std::nullopt, false);
    const auto archived = platform::unarchiveObjectWithFile(path);
    ASSERT_TRUE(archived.has_value());
    EXPECT_EQ(TallySession::initWithCoder(*archived)->eventCounts().count("AFTER"), 1u);
}

TEST_F(TallyStoreFaults, FailedWritesOfTheCurrentSessionAreSaidOncePerSession)
{
    auto s = TallySession::createActiveTallySession("KEY");
    const std::string path = TallySession::currentSessionFilePath();
    ASSERT_TRUE(platform::removeFile(path));
    // A folder in the file's place: every write fails, as on a full disk.
    ASSERT_TRUE(platform::createDirectories(path + "/blocker"));
    testing::internal::CaptureStderr();
    s->recordEvent("LOST_1", std::nullopt, false);
    s->recordEvent("LOST_2", std::nullopt, false);
    s->pauseSession();
    s->resumeSession();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(s->lastSaveSucceeded());
    EXPECT_EQ(occurrences(said, "Tally: could not save the current session to " + path), 1u) << said;

    ASSERT_TRUE(platform::removeTree(path));
    s->recordEvent("KEPT", std::nullopt, false);
    EXPECT_TRUE(s->lastSaveSucceeded());
    EXPECT_TRUE(platform::fileExists(path));
}

TEST_F(TallyStoreFaults, SessionFoundAgainAfterAnInterruptedHandOverIsStoredOnce)
{
    const std::string path = [] {
        (void)TallySession::createActiveTallySession("KEY");
        return TallySession::currentSessionFilePath();
    }();
    // A start that took the previous session over, and was killed before it
    // replaced the current-session file: the next start finds it again.
    auto s = TallySession::createActiveTallySession("KEY");
    s->recordEvent("CRASHED", std::nullopt, false);
    const auto crashedFile = platform::readWholeFile(path);
    ASSERT_TRUE(crashedFile.has_value());
    (void)TallySession::createActiveTallySession("KEY");
    ASSERT_TRUE(platform::writeFileAtomically(path, *crashedFile));
    (void)TallySession::createActiveTallySession("KEY");
    // An end killed after storing the session and before removing its file.
    auto ended = TallySession::currentSession();
    ended->recordEvent("ENDED", std::nullopt, false);
    ended->endSessionAndSend(false, false);
    ASSERT_TRUE(ended->saveToDisk());
    const auto endedFile = platform::readWholeFile(path);
    ended->saveSession();
    ASSERT_TRUE(platform::writeFileAtomically(path, *endedFile));
    (void)TallySession::createActiveTallySession("KEY");

    std::map<std::string, int> copies;
    for (const auto &record : TallySession::savedSessions()) {
        std::string error;
        const auto session = reporttest::decodeSessionRecord(std::string(record.begin(), record.end()), &error);
        ASSERT_TRUE(session.has_value()) << error;
        for (const auto &[name, count] : session->eventCounts) copies[name] += 1;
    }
    EXPECT_EQ(copies["CRASHED"], 1);
    EXPECT_EQ(copies["ENDED"], 1);
}

TEST_F(TallyReportFaultsThreads, DeviceIdThatCannotBeSavedIsTheSameInEveryReport)
{
    ASSERT_TRUE(platform::createDirectories(mRoot + "/Library/.deviceIdentifier/blocker"));
    testsupport::TestHttpServer server;
    server.reply("/aap.do", testsupport::Reply{200, {}, "OK"});
    ASSERT_TRUE(server.start());
    TallyAPI::setServerURL(server.url("/aap.do"));
    testing::internal::CaptureStderr();
    TallyAPI::startSession("KEY");
    TallyAPI::waitForPendingReports();
    auto &center = platform::NotificationCenter::defaultCenter();
    center.post(platform::kUIApplicationWillResignActiveNotification);
    TallyAPI::waitForPendingReports();
    center.post(platform::kUIApplicationDidBecomeActiveNotification);
    TallyAPI::endSession();
    const auto all = reports(server);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].id.size(), 6u + 40u);
    for (const auto &r : all) EXPECT_EQ(r.id, all[0].id);
    EXPECT_EQ(occurrences(said, "could not save the device identifier"), 1u) << said;
}

// --- tally-driver launches --------------------------------------------------------

class TallyDriverFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tally-faults-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        mData = dir;
        mServer.reply("/ok", testsupport::Reply{200, {}, "OK"});
        mServer.reply("/slow", testsupport::Reply{200, {}, "OK", 0.3});
        mServer.reply("/500", testsupport::Reply{500, {}, "no"});
        mServer.cutInsideHeader("/cut", "HTTP/1.1 200 OK\r\nContent-Le");
        ASSERT_TRUE(mServer.start());
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(mData, ec);
    }
    std::vector<std::string> base(const std::string &dir, const std::string &path = "/ok") const
    {
        return {"--server", mServer.url(path), "--data", dir};
    }
    // Every report the server took in, decoded, and whether it was accepted
    // (answered 200 at once or slowly; the others fail or are cut).
    std::vector<std::pair<reporttest::Report, bool>> received() const
    {
        std::vector<std::pair<reporttest::Report, bool>> out;
        for (const auto &r : mServer.requests()) {
            std::string error;
            auto report = reporttest::decodeReport(r.body, &error);
            EXPECT_TRUE(report.has_value()) << error;
            if (report) out.emplace_back(std::move(*report), r.path == "/ok" || r.path == "/slow");
        }
        return out;
    }
    static std::vector<std::string> temporaryFilesUnder(const std::string &dir)
    {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto &e : std::filesystem::recursive_directory_iterator(dir, ec)) {
            if (e.path().filename().string().find(".tmp.") != std::string::npos) found.push_back(e.path().string());
        }
        return found;
    }

    std::string mData;
    testsupport::TestHttpServer mServer;
};

TEST_F(TallyDriverFaults, TemporaryFilesOfKilledWritersAreRemovedAtLaunch)
{
    // Process ids above any the kernel gives: their writers are gone.
    const std::vector<std::string> stale = {
        mData + "/Library/.tallyCurrent-1.archive.tmp.2147483000.0",
        mData + "/Library/.tallyStored-1.archive.tmp.2147483000.4",
        mData + "/Library/Preferences/defaults.plist.tmp.2147483001.1",
        mData + "/Library/Caches/Tally/tallyCache_imageCache_K.archive.tmp.2147483002.2",
        mData + "/Documents/tallyResponse17.tmp.2147483003.3",
    };
    // This test process is alive: its file may be a write in progress.
    const std::string live = mData + "/Library/.deviceIdentifier.tmp." + std::to_string(::getpid()) + ".0";
    for (const auto &path : stale) {
        ASSERT_TRUE(platform::createDirectories(std::filesystem::path(path).parent_path().string()));
        ASSERT_TRUE(platform::touchFile(path));
    }
    ASSERT_TRUE(platform::touchFile(live));
    auto args = base(mData);
    args.emplace_back("launch");
    ASSERT_EQ(drivertest::runDriver(args), 0);
    EXPECT_EQ(temporaryFilesUnder(mData), std::vector<std::string>{live});
}

TEST_F(TallyDriverFaults, DeeplyNestedFilesAreMovedAsideAndTheGameStillStarts)
{
    // The files a launch reads, named as the library names them.
    const std::string probe = mData + "/probe";
    auto args = base(probe);
    args.emplace_back("launch");
    ASSERT_EQ(drivertest::runDriver(args), 0);
    std::string current, timestamp;
    for (const auto &e : std::filesystem::directory_iterator(probe + "/Library")) {
        const std::string name = e.path().filename().string();
        if (name.starts_with(".tallyCurrent")) current = name;
        if (name.starts_with(".initialTimestamp")) timestamp = name;
    }
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(timestamp.empty());
    const std::string stored = ".tallyStored" + current.substr(std::string(".tallyCurrent").size());

    for (const bool xml : {true, false}) {
        for (const std::size_t levels : {std::size_t{100000}, std::size_t{200000}, std::size_t{1000000}}) {
            const std::string what = (xml ? "xml " : "binary ") + std::to_string(levels);
            SCOPED_TRACE(what);
            const std::string dir = mData + "/" + (xml ? "xml" : "binary") + std::to_string(levels);
            ASSERT_TRUE(platform::createDirectories(dir + "/Library/Preferences"));
            const std::string xmlText = xml ? testsupport::deepXmlPlist(levels) : std::string();
            const Bytes plain = xml ? Bytes(xmlText.begin(), xmlText.end()) : testsupport::deepBinaryPlist(levels, false);
            const Bytes archive = xml ? plain : testsupport::deepBinaryPlist(levels, true);
            const std::vector<std::pair<std::string, const Bytes *>> files = {
                {dir + "/Library/Preferences/defaults.plist", &plain},
                {dir + "/Library/" + current, &archive},
                {dir + "/Library/" + stored, &archive},
                {dir + "/Library/" + timestamp, &archive},
            };
            for (const auto &[path, bytes] : files) ASSERT_TRUE(platform::writeFileAtomically(path, *bytes));

            args = base(dir);
            for (const char *a : {"launch", "event", "AFTER_DEEP", "terminate"}) args.emplace_back(a);
            ASSERT_EQ(drivertest::runDriver(args), 0);
            for (const auto &[path, bytes] : files) {
                SCOPED_TRACE(path);
                std::error_code ec;
                EXPECT_EQ(std::filesystem::file_size(path + ".damaged", ec), bytes->size());
                // Whatever is there now was written afresh.
                EXPECT_TRUE(!platform::fileExists(path) || std::filesystem::file_size(path, ec) < 4096);
            }
        }
    }
    // Every launch reported its own session.
    int ended = 0;
    for (const auto &[report, accepted] : received()) {
        for (const auto &session : report.sessions) ended += session.hasEvent("AFTER_DEEP") ? 1 : 0;
    }
    EXPECT_GE(ended, 6);
}

TEST_F(TallyDriverFaults, SessionsThatTheFullDiskCannotStoreKeepTheirEventsOrSaySo)
{
    // Six ended sessions wait in a stored list of a few KiB; then every file
    // is limited to 2 KiB: a current-session file of ten events still fits,
    // the stored list with one more session does not.
    const std::string down = "http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()) + "/aap.do";
    std::map<std::string, std::string> said; // event -> "saved" or "unsaved"
    auto launch = [&](const std::string &server, const std::string &prefix, int events, rlim_t limit) {
        std::vector<std::string> args = {"--server", server, "--data", mData, "launch"};
        for (int e = 0; e < events; ++e) args.insert(args.end(), {"event", tally::cat(prefix, e)});
        args.emplace_back("terminate");
        drivertest::Child child = drivertest::spawnDriverWithFileLimit(args, limit);
        ASSERT_GT(child.pid, 0);
        drivertest::LineReader output(child.stdoutFd);
        output.readToEnd();
        EXPECT_EQ(drivertest::waitExit(child.pid), 0) << prefix;
        ::close(child.stdoutFd);
        for (const auto &line : output.lines()) {
            std::istringstream in(line);
            std::string word, name;
            in >> word >> name;
            if (word == "saved" || word == "unsaved") said[name] = word;
        }
    };
    const rlim_t unlimited = RLIM_INFINITY;
    for (int i = 0; i < 6; ++i) launch(down, tally::cat("A", i, "E"), 10, unlimited);
    std::uintmax_t stored = 0;
    for (const auto &e : std::filesystem::directory_iterator(mData + "/Library")) {
        if (e.path().filename().string().starts_with(".tallyStored")) stored = e.file_size();
    }
    ASSERT_GT(stored, 2048u);
    // An ended session that cannot join the stored list; then a launch that
    // finds it and still cannot store it.
    launch(down, "B", 10, 2048);
    launch(down, "D", 1, 2048);
    if (HasFatalFailure()) return;
    for (int e = 0; e < 10; ++e) EXPECT_EQ(said[tally::cat("B", e)], "saved");
    // The earlier session holds the file: the new event has nowhere to go.
    EXPECT_EQ(said["D0"], "unsaved");
    // Space again: one report carries every session still waiting.
    launch(mServer.url("/ok"), "C", 0, unlimited);
    std::set<std::string> accepted;
    for (const auto &[report, ok] : received()) {
        if (!ok) continue;
        for (const auto &session : report.sessions) {
            for (const auto &[name, count] : session.eventCounts) accepted.insert(name);
        }
    }
    std::size_t savedCount = 0;
    for (const auto &[name, word] : said) {
        if (word != "saved") continue;
        ++savedCount;
        EXPECT_EQ(accepted.count(name), 1u) << name << " was saved, then lost";
    }
    EXPECT_EQ(savedCount, 6u * 10u + 10u);
    EXPECT_TRUE(temporaryFilesUnder(mData).empty());
}

// Thirty launches killed at random moments (the same ones at every run),
// against a server that is down, answers 500, answers slowly or cuts its
// reply; then one clean launch. No event that a driver said it saved may be
// missing from the accepted reports, no report may carry a session twice,
// no stored session that a driver said the service acknowledged may be sent
// again in a report built later, and no temporary file may be left over.
// The drivers' sending threads race their kills.
class TallyKillCampaignThreads : public TallyDriverFaults {};

TEST_F(TallyKillCampaignThreads, LosesNoSavedEventAndResendsNoAcknowledgedSession)
{
    const std::string data = mData + "/campaign";
    const std::string down = "http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()) + "/aap.do";
    std::mt19937 random(35);
    std::set<std::string> saved;
    struct Ack {
        std::int64_t at;
        std::vector<std::int64_t> sessions;
    };
    std::vector<Ack> acks;
    int killed = 0;
    auto launch = [&](std::vector<std::string> args, double killAfter) {
        drivertest::Child child = drivertest::spawnDriver(args, false, true);
        ASSERT_GT(child.pid, 0);
        drivertest::LineReader output(child.stdoutFd);
        const bool running = output.readFor(killAfter);
        if (running) {
            ::kill(child.pid, SIGKILL);
            ++killed;
        }
        output.readToEnd();
        const int status = drivertest::waitExit(child.pid);
        ::close(child.stdoutFd);
        EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        for (const auto &line : output.lines()) {
            std::istringstream in(line);
            std::string word, value;
            in >> word;
            if (word == "saved") {
                in >> value;
                saved.insert(value);
            } else if (word == "acknowledged") {
                Ack ack{};
                std::string at, sessions;
                in >> at >> sessions;
                ack.at = std::stoll(at.substr(3));
                std::istringstream list(sessions.substr(9));
                for (std::string start; std::getline(list, start, ',');) ack.sessions.push_back(std::stoll(start));
                acks.push_back(ack);
            }
        }
    };
    const std::vector<std::string> servers = {down, mServer.url("/500"), mServer.url("/slow"), mServer.url("/cut"),
                                              mServer.url("/ok")};
    for (int i = 0; i < 30; ++i) {
        std::vector<std::string> args = {"--server", servers[random() % servers.size()], "--data", data, "launch"};
        const int events = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < events; ++e) {
            args.insert(args.end(), {"event", tally::cat("L", i, "E", e)});
            if (random() % 3 == 0) args.emplace_back(tally::cat("k=", e));
            if (random() % 4 == 0) args.insert(args.end(), {"pause", "resume"});
        }
        args.insert(args.end(), {"wait", "0.2"});
        if (random() % 2 == 0) args.emplace_back("terminate");
        // Half the kills land in the first writes of a launch, where most
        // files are created; the others anywhere in it.
        const double window = random() % 2 == 0 ? 0.04 : 0.35;
        launch(args, std::uniform_real_distribution<double>(0.0, window)(random));
        if (HasFatalFailure()) return;
    }
    // A clean launch: its report carries every session still waiting.
    launch({"--server", mServer.url("/ok"), "--data", data, "launch"}, 60.0);
    RecordProperty("killed", killed);
    RecordProperty("saved_events", static_cast<int>(saved.size()));
    RecordProperty("acknowledgements", static_cast<int>(acks.size()));

    const auto all = received();
    std::set<std::string> accepted;
    for (const auto &[report, ok] : all) {
        if (!ok) continue;
        for (const auto &session : report.sessions) {
            for (const auto &[name, count] : session.eventCounts) accepted.insert(name);
        }
    }
    EXPECT_GE(saved.size(), 10u);
    for (const auto &name : saved) EXPECT_EQ(accepted.count(name), 1u) << name << " was saved, then lost";
    for (const auto &[report, ok] : all) {
        std::set<std::int64_t> starts;
        for (const auto &session : report.sessions) {
            EXPECT_TRUE(starts.insert(session.startTime).second)
                << "session " << session.startTime << " twice in the report of " << report.reportTime;
        }
    }
    EXPECT_FALSE(acks.empty());
    for (const auto &ack : acks) {
        for (const auto &[report, ok] : all) {
            if (report.reportTime <= ack.at) continue; // built before the acknowledgement
            for (const auto &session : report.sessions) {
                EXPECT_EQ(std::count(ack.sessions.begin(), ack.sessions.end(), session.startTime), 0)
                    << "session " << session.startTime << " acknowledged at " << ack.at << " sent again in a report of "
                    << report.reportTime;
            }
        }
    }
    EXPECT_TRUE(temporaryFilesUnder(data).empty());
}

} // namespace
