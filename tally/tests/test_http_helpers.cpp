// The HTTP client's helpers against a scripted server, the URL builder, and
// the session's device facts, location cut, untimed events and the send
// that leaves the current session out.
#include "platform/device.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyHTTP.h"
#include "tally/TallySession.h"
#include "test_http_server.h"

#include <unistd.h>

#include <fstream>
#include <variant>

namespace {

using tally::Bytes;
using tally::TallyHeaders;
using tally::TallyHTTPEater;
using tally::TallyQuery;
using tally::TallySession;

TEST(TallyHTTPEater, HelpersSendTheirMethodBodyAndFieldsAndFollowRedirects)
{
    testsupport::TestHttpServer server;
    server.handle("/echo", [](const testsupport::RecordedRequest &r) {
        return testsupport::Reply{201, {{"X-Seen", r.method}}, "got:" + r.body};
    });
    server.redirect("/moved", "/echo");
    ASSERT_TRUE(server.start());
    const Bytes body{'a', '=', '1', 0, 0xff};
    const TallyHeaders fields{{"X-Game", "paddle"}, {"Content-Type", "application/x-test"}};
    struct Case {
        const char *name;
        std::function<tally::TallyHTTPResponse()> send;
        const char *method;
        std::string body;
        bool withFields;
    };
    const std::vector<Case> cases{
        {"get", [&] { return TallyHTTPEater::get(server.url("/echo?q=1")); }, "GET", "", false},
        {"get with fields", [&] { return TallyHTTPEater::get(server.url("/echo"), fields); }, "GET", "", true},
        {"post", [&] { return TallyHTTPEater::post(server.url("/echo"), body); }, "POST",
         std::string(body.begin(), body.end()), false},
        {"post with fields", [&] { return TallyHTTPEater::post(server.url("/echo"), body, fields); }, "POST",
         std::string(body.begin(), body.end()), true},
        {"redirected get", [&] { return TallyHTTPEater::get(server.url("/moved")); }, "GET", "", false},
    };
    std::size_t seen = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto response = c.send();
        EXPECT_EQ(response.statusCode(), 201);
        EXPECT_TRUE(response.isSuccess());
        EXPECT_FALSE(response.error().has_value());
        EXPECT_EQ(std::string(response.body().begin(), response.body().end()), "got:" + c.body);
        EXPECT_EQ(response.headers().count("X-Seen") ? response.headers().at("X-Seen") : "", c.method);
        const auto requests = server.requests();
        ASSERT_GT(requests.size(), seen);
        const auto &r = requests.back();
        seen = requests.size();
        EXPECT_EQ(r.method, c.method);
        EXPECT_EQ(r.path, "/echo");
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(r.header("X-Game"), c.withFields ? std::optional<std::string>("paddle") : std::nullopt);
        if (c.withFields) {
            EXPECT_EQ(r.header("Content-Type"), std::optional<std::string>("application/x-test"));
        }
    }
    EXPECT_EQ(server.requests().front().target, "/echo?q=1");

    // Nothing listening: a failure with no status, after the helper's own
    // time-out at most.
    const auto refused =
        TallyHTTPEater::get("http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()) + "/");
    EXPECT_EQ(refused.statusCode(), 0);
    EXPECT_TRUE(refused.isError());
    EXPECT_TRUE(refused.error().has_value());
}

TEST(TallyHTTPEater, QueryEncodingAndUrlBuilder)
{
    EXPECT_EQ(TallyHTTPEater::queryDictionaryToString({}), "");
    EXPECT_EQ(TallyHTTPEater::queryDictionaryToString({{"b", "2"}, {"a", "1"}}), "a=1&b=2");
    using Query = std::variant<std::monostate, std::string, TallyQuery>;
    struct Case {
        std::optional<std::string> protocol, host;
        int port;
        std::optional<std::string> path;
        Query query;
        const char *url;
    };
    const std::vector<Case> cases{
        {std::nullopt, "ads.example.com", 0, std::nullopt, {}, "http://ads.example.com"},
        {"https", "ads.example.com", 80, "aap.do", {}, "https://ads.example.com/aap.do"},
        {"https", "ads.example.com", 443, "v1/aap.do", std::string("x=1"), "https://ads.example.com:443/v1/aap.do?x=1"},
        {std::nullopt, "127.0.0.1", 8080, "p", TallyQuery{{"k", "v"}, {"a", "b"}}, "http://127.0.0.1:8080/p?a=b&k=v"},
        {"ftp", std::nullopt, 21, std::nullopt, TallyQuery{}, "ftp://:21?"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(TallyHTTPEater::urlWithProtocol(c.protocol, c.host, c.port, c.path, c.query), c.url);
    }
}

class TallySessionFacts : public TallyFixture {
protected:
    std::filesystem::path write(const std::string &name, const std::string &text)
    {
        const auto path = std::filesystem::path(mRoot) / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
        return path;
    }
};

TEST_F(TallySessionFacts, MemoryFrequencyAndLocationCut)
{
    // This machine, against what the C library says of it.
    const auto pages = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES));
    const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(TallySession::deviceMemory(), static_cast<std::int32_t>(pages * pageSize >> 20));
    EXPECT_GT(TallySession::deviceMemory(), 0);

    struct Memory {
        const char *text;
        std::uint64_t bytes;
    };
    for (const auto &m : std::vector<Memory>{
             {"MemTotal:        2097152 kB\nMemFree: 1 kB\n", 2097152ull * 1024},
             {"MemFree: 5 kB\nMemTotal: 3 kB\n", 3072},
             {"MemTotalX: 5 kB\n", 0},
             {"MemTotal: lots\n", 0},
             {"MemTotal: -4 kB\n", 0},
             {"MemTotal: 4\n", 0},
             {"", 0},
         }) {
        EXPECT_EQ(platform::physicalMemoryBytes(write("meminfo", m.text)), m.bytes) << m.text;
    }
    EXPECT_EQ(platform::physicalMemoryBytes(mRoot + "/none"), 0u);

    const auto sys = std::filesystem::path(mRoot) / "cpu";
    const auto cpuinfo = write("cpuinfo", "processor\t: 0\ncpu MHz\t\t: 2300.500\n");
    EXPECT_EQ(platform::cpuFrequencyHz(sys, cpuinfo), 2300500000u); // no cpufreq: the cpuinfo line
    write("cpu/cpu0/cpufreq/cpuinfo_max_freq", "3400000\n");
    EXPECT_EQ(platform::cpuFrequencyHz(sys, cpuinfo), 3400000000u);
    write("cpu/cpu0/cpufreq/cpuinfo_max_freq", "garbage\n");
    EXPECT_EQ(platform::cpuFrequencyHz(sys, cpuinfo), 2300500000u);
    EXPECT_EQ(platform::cpuFrequencyHz(sys, write("cpuinfo", "cpu MHz : fast\n")), 0u);
    const std::uint64_t here = platform::cpuFrequencyHz();
    EXPECT_EQ(TallySession::deviceCPUFrequency(), static_cast<std::uint32_t>(std::min<std::uint64_t>(here, UINT32_MAX)));

    struct Cut {
        double in, out;
    };
    for (const auto &c : std::vector<Cut>{{52.5200669, 52.52}, {-122.4194155, -122.419}, {0.0009, 0.0},
                                          {-0.0009, 0.0}, {179.9999, 179.999}, {12.0, 12.0}}) {
        EXPECT_DOUBLE_EQ(TallySession::reduceLocationPrecision(c.in), c.out) << c.in;
    }
}

TEST_F(TallySessionFacts, UntimedEventWithParametersIsCountedAndLogged)
{
    const auto s = TallySession::createActiveTallySession("KEY");
    s->recordEvent("LEVEL_DONE", tally::TallyParameters{{"level", "3"}, {"stars", "2"}});
    s->recordEvent("LEVEL_DONE", std::nullopt);
    tally::TallyParameters eleven;
    for (int i = 0; i < 11; ++i) eleven["p" + std::to_string(i)] = "v";
    s->recordEvent("TOO_MANY", eleven);
    ASSERT_EQ(s->eventLog().size(), 2u);
    EXPECT_FALSE(s->eventLog()[0].timed());
    EXPECT_EQ(s->eventLog()[0].parameters(), (tally::TallyParameters{{"level", "3"}, {"stars", "2"}}));
    EXPECT_EQ(s->eventLog()[1].parameters(), std::nullopt);
    EXPECT_EQ(s->eventCounts().at("LEVEL_DONE"), 2);
    EXPECT_EQ(s->eventCounts().count("TOO_MANY"), 0u);
    EXPECT_FALSE(s->eventLogComplete());
}

TEST_F(TallySessionFacts, AdditionalInfoSendCarriesStoredSessionsOnlyAndKeepsThem)
{
    testsupport::TestHttpServer server;
    server.reply("/aap.do", {200, {}, "OK"});
    ASSERT_TRUE(server.start());
    tally::TallyAPI::setServerURL(server.url("/aap.do"));
    TallySession::setMaxSessions(50);
    const auto current = TallySession::createActiveTallySession("KEY");
    TallySession::addRecordToSavedSessions(TallySession("KEY", "stored-1").data());
    TallySession::addRecordToSavedSessions(TallySession("KEY", "stored-2").data());
    current->recordEvent("NOT_SENT", std::nullopt);

    TallySession::sendSessionsToServerForAdditionalInfo();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    std::string error;
    const auto report = reporttest::decodeReport(requests[0].body, &error);
    ASSERT_TRUE(report.has_value()) << error;
    EXPECT_EQ(report->adsRequested, 0);
    ASSERT_EQ(report->sessions.size(), 2u);
    EXPECT_EQ(report->sessions[0].appVersion, "stored-1");
    EXPECT_EQ(report->sessions[1].appVersion, "stored-2");
    // The short send decides nothing: the stored sessions wait for a report
    // that does.
    EXPECT_EQ(TallySession::savedSessions().size(), 2u);
    EXPECT_FALSE(TallySession::sentSession());
}

} // namespace
