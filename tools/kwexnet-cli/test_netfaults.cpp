// kwexnet-cli against hostile peers: a TLS login service that redirects to a
// plain server or to another host, failures that must be named for what
// they are, and a discovery reply that names no server.
#include "cli.h"
#include "cli_run.h"

#include <platform/runloop.h>

#include "test_http_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

const std::string kLoginSuccess = "<appserver><result id=\"0\"/><session_id>S9</session_id><user_id>7</user_id>"
                                  "<user_name>Ducky</user_name></appserver>";
const std::string kResultOk = "<appserver><result id=\"0\"/></appserver>";

std::string discoveryReply(const std::string &httpHost, const std::string &httpsHost)
{
    std::string reply = "<appserver>";
    if (!httpHost.empty()) reply += "<server type=\"http\" host=\"" + httpHost + "\"/>";
    if (!httpsHost.empty()) reply += "<server type=\"https\" host=\"" + httpsHost + "\"/>";
    return reply + "<server type=\"socket\" host=\"127.0.0.1\" port=\"9339\"/></appserver>";
}

// A login service on TLS (test CA) under /svc/, and a plain server and a
// second TLS server that answer everything as the service would.
class KwexnetCliRedirects : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certs = TestCertificates::create(); }
    static void TearDownTestSuite() { certs.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(certs && certs->ok());
        tls = std::make_unique<TestHttpServer>(certs->serverTls());
        other = std::make_unique<TestHttpServer>(certs->serverTls());
        for (TestHttpServer *server : {tls.get(), other.get(), &plain}) {
            serveTheService(*server);
            ASSERT_TRUE(server->start());
        }
        ca = certs->caCertificateFile();
    }

    static void serveTheService(TestHttpServer &server)
    {
        server.reply("/svc/login/", Reply{200, {}, kLoginSuccess});
        server.reply("/svc/logout/", Reply{200, {}, kResultOk});
        server.reply("/find/", Reply{200, {}, discoveryReply("", "127.0.0.1/svc/")});
        server.handle("/form", [](const RecordedRequest &r) { return Reply{200, {}, "got " + r.body}; });
    }

    // The four commands that send something, run against base URL `prefix`
    // on the TLS server: the path each posts to there, and the path of the
    // service that answers it.
    struct Command {
        std::string name;
        std::string path;
        std::string target;
        std::vector<std::string> args;
    };
    std::vector<Command> commands(const std::string &prefix) const
    {
        const std::string base = tls->url(prefix);
        return {
            {"login", prefix + "login/", "/svc/login/",
             {"login", "--server", base, "--email", "e@example.com", "--password", "pw"}},
            {"logout", prefix + "logout/", "/svc/logout/", {"logout", "--server", base, "--session", "S1"}},
            {"discover", prefix + "find/", "/find/", {"discover", "--server", base + "find/"}},
            {"http POST", prefix + "form", "/form", {"http", "POST", base + "form", "--data", "a=1"}},
        };
    }
    CliRun run(std::vector<std::string> args) const
    {
        args.insert(args.end(), {"--cacert", ca});
        return cli(args);
    }

    static std::unique_ptr<TestCertificates> certs;
    std::unique_ptr<TestHttpServer> tls;
    std::unique_ptr<TestHttpServer> other;
    TestHttpServer plain;
    std::string ca;
};
std::unique_ptr<TestCertificates> KwexnetCliRedirects::certs;

TEST_F(KwexnetCliRedirects, RedirectFromHttpsToPlainHttpSendsNothingAndFails)
{
    for (const int status : {301, 302, 303, 307, 308}) {
        for (const auto &command : commands("/r" + std::to_string(status) + "/")) {
            SCOPED_TRACE(command.name + " " + std::to_string(status));
            tls->redirect(command.path, plain.url(command.target), status);
            const CliRun r = run(command.args);
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.out, "status=-1\nerror=3\n");
            EXPECT_NE(r.err.find(": exchange failed: redirect from https to plain http refused: http://127.0.0.1:" +
                                 std::to_string(plain.port())),
                      std::string::npos)
                << r.err;
        }
    }
    EXPECT_EQ(plain.connectionCount(), 0u);
    EXPECT_EQ(plain.requestCount(), 0u);
}

TEST_F(KwexnetCliRedirects, RedirectsWithinTheSameHttpsHostStillWork)
{
    struct Case {
        int status;
        Command command;
        std::string expected; // a line of standard output
    };
    const auto moved = commands("/moved/");
    const std::vector<Case> cases = {
        {307, moved[0], "session_id=S9\n"},
        {308, moved[1], "result=0\n"},
        {301, moved[2], "https_host=127.0.0.1/svc/\n"},
        {302, moved[3], "error=0\ngot "}, // a POST that a 302 turns into a GET, without its body
        {307, moved[3], "error=0\ngot a=1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command.name + " " + std::to_string(c.status));
        tls->redirect(c.command.path, c.command.target, c.status);
        const CliRun r = run(c.command.args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    }
    EXPECT_EQ(plain.requestCount(), 0u);
}

TEST_F(KwexnetCliRedirects, CredentialsFollowNoRedirectToAnotherHostButDiscoveryMay)
{
    for (const auto &command : commands("/away/")) {
        SCOPED_TRACE(command.name);
        tls->redirect(command.path, other->url(command.target), 307);
        const CliRun r = run(command.args);
        const bool credentials = command.name == "login" || command.name == "logout";
        if (credentials) {
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.out, "status=-1\nerror=3\n");
            EXPECT_NE(r.err.find("refused: the request carries credentials for 127.0.0.1:" + std::to_string(tls->port())),
                      std::string::npos)
                << r.err;
        } else {
            EXPECT_EQ(r.code, 0) << r.err;
        }
    }
    const auto seen = other->requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].path, "/find/");
    EXPECT_EQ(seen[1].path, "/form");
}

// --- failures named by their cause ----------------------------------------------------

TEST(KwexnetCliFailures, EachFailureIsNamedAndTheErrorCodeStays)
{
    TestHttpServer server;
    server.neverAnswer("/hang");
    server.redirect("/loop", "/loop");
    server.reply("/big", Reply{200, {}, std::string(5000, 'b')});
    server.cutInsideHeader("/not-http", "this is no HTTP at all\r\n\r\n");
    server.cutInsideHeader("/bad-chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n");
    server.shortBody("/short", 100, "only this");
    ASSERT_TRUE(server.start());
    const std::string closed = "http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()) + "/";
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const std::vector<Case> cases = {
        {{"http", "GET", server.url("/hang"), "--timeout", "0.5"}, "timed out after 0.5 seconds"},
        {{"http", "GET", server.url("/loop")}, "too many redirects, a redirect loop perhaps"},
        {{"http", "GET", server.url("/big"), "--max-bytes", "1000"}, "the reply is larger than the size cap"},
        {{"http", "GET", server.url("/not-http")}, "malformed reply"},
        {{"http", "GET", server.url("/bad-chunk")}, "malformed reply"},
        {{"http", "GET", server.url("/short")}, "the connection was reset or closed before the reply was complete"},
        {{"http", "GET", closed}, "connection refused"},
        {{"discover", "--server", server.url("/loop")}, "too many redirects"},
        {{"discover", "--server", server.url("/find/"), "--max-bytes", "10"}, "the reply is larger than the size cap"},
    };
    server.reply("/find/", Reply{200, {}, kResultOk});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2]);
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, "status=-1\nerror=3\n");
        EXPECT_NE(r.err.find(": exchange failed: " + c.named), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("refused, reset, timed out or cut short"), std::string::npos) << r.err;
    }
    const CliRun badCap = cli({"http", "GET", server.url("/big"), "--max-bytes", "0"});
    EXPECT_EQ(badCap.code, 2);
}

TEST(KwexnetCliDiscover, ReplyThatNamesNoServerHostFails)
{
    TestHttpServer server;
    server.reply("/none/", Reply{200, {}, discoveryReply("", "")});
    server.reply("/plain-only/", Reply{200, {}, discoveryReply("127.0.0.1/svc/", "")});
    ASSERT_TRUE(server.start());
    const CliRun none = cli({"discover", "--server", server.url("/none/")});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.out.find("http_host=\nhttps_host=\nsocket_host=127.0.0.1\n"), std::string::npos) << none.out;
    EXPECT_EQ(none.err, "kwexnet-cli: discover: the reply names no server host (no http or https server)\n");
    const CliRun plainOnly = cli({"discover", "--server", server.url("/plain-only/")});
    EXPECT_EQ(plainOnly.code, 0) << plainOnly.err;
    EXPECT_EQ(plainOnly.err, "");
}

} // namespace

namespace {

// Every command that carries a session or a password, against a plain-http
// service that would answer each one: none may reach it.
TEST(KwexnetCliPlainHttp, NoSessionOrPasswordGoesOverPlainHttp)
{
    TestHttpServer server;
    for (const char *path : {"login/", "logout/", "registerUser/", "modifyAccount/", "updatePreferences/", "getRelations/",
                             "addRelationByUsername/", "postScore/", "joinGroupByTopic/", "forgotPassword/"}) {
        server.reply(std::string("/app/") + path, Reply{200, {}, kResultOk});
    }
    ASSERT_TRUE(server.start());
    const std::string base = server.url("/app/");
    const std::vector<std::vector<std::string>> commands = {
        {"login", "--server", base, "--email", "e@example.com", "--password", "pw"},
        {"logout", "--server", base, "--session", "S1"},
        {"register", "--server", base, "--user-name", "u", "--password", "pw", "--email", "e@example.com"},
        {"modify", "--server", base, "--session", "S1", "--email", "e@example.com"},
        {"modify", "--server", base, "--session", "S1", "--password", "pw"},
        {"prefs", "--server", base, "--session", "S1", "1=2"},
        {"relations", "--server", base, "--session", "S1"},
        {"relate", "--server", base, "--session", "S1", "--target-name", "n", "--status", "F"},
        {"post-score", "--server", base, "--session", "S1", "--profile-id", "2", "--value", "5"},
        {"join", "--server", base, "--session", "S1"},
    };
    for (const auto &args : commands) {
        SCOPED_TRACE(args[0] + " " + args[4]);
        const CliRun r = cli(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("no HTTPS server is known"), std::string::npos) << r.err;
    }
    EXPECT_EQ(server.requestCount(), 0u);
    // The requests that carry neither still go.
    const CliRun forgot = cli({"forgot", "--server", base, "--email", "e@example.com", "--user-name", "u"});
    EXPECT_EQ(forgot.code, 0) << forgot.err;
    EXPECT_EQ(server.requestCount(), 1u);
}

} // namespace

namespace {

// A board file that would multiply a 1 MiB name into every row, or hold
// more rows than a page may: the command fails with the reason, and the
// next one over a good file works.
TEST(KwexnetCliLeaderboard, RefusedPageFailsAndTheNextOneWorks)
{
    TestHttpServer server;
    const auto info = [&](const std::string &file) {
        return Reply{200, {}, "<appserver><current_cdn>" + server.url(file) +
                                  "</current_cdn><current_record_length>40</current_record_length>"
                                  "<last_cdn>x</last_cdn><last_record_length>40</last_record_length></appserver>"};
    };
    std::string rows;
    for (int i = 0; i < 300; ++i)
        rows += "<gamedata/>";
    server.handle("/big/getLeaderboardNoAuth/", [&](const RecordedRequest &) { return info("/big.xml"); });
    server.reply("/big.xml", Reply{206, {}, "<user_name>" + std::string(1 << 20, 'n') + "</user_name>" + rows});
    server.handle("/many/getLeaderboardNoAuth/", [&](const RecordedRequest &) { return info("/many.xml"); });
    server.reply("/many.xml", Reply{206, {}, rows + rows + rows + rows});
    server.handle("/good/getLeaderboardNoAuth/", [&](const RecordedRequest &) { return info("/good.xml"); });
    server.reply("/good.xml", Reply{206, {}, "<user_name>a</user_name><gamedata/><score>2</score><gamedata/>"});
    ASSERT_TRUE(server.start());
    for (const char *board : {"/big/", "/many/"}) {
        SCOPED_TRACE(board);
        const CliRun r = cli({"leaderboard", "--server", server.url(board), "--profile-id", "2", "--first", "0",
                              "--count", "25"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out.find("row["), std::string::npos) << r.out.substr(0, 500);
        EXPECT_NE(r.err.find("leaderboard: the page was refused: more than 1000 rows or a field longer than 4096 "
                             "bytes"),
                  std::string::npos)
            << r.err;
    }
    const CliRun good =
        cli({"leaderboard", "--server", server.url("/good/"), "--profile-id", "2", "--first", "0", "--count", "25"});
    EXPECT_EQ(good.code, 0) << good.err;
    EXPECT_NE(good.out.find("row[1].user_name=a\n"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("row[2].user_name=\nrow[2].user_id=\nrow[2].score=2\n"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("rows=2\n"), std::string::npos) << good.out;
}

} // namespace
