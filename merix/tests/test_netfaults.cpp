// The login client through ogc-sim against hostile login services: board
// files that would multiply a field into every row, discovery answers that
// would steer the password, and server text meant for the terminal.
#include "login_fixture.h"

namespace {

using namespace logintest;

class LoginClientFaults : public LoginClient {
protected:
    // The board's information points at `file` on the service itself.
    void boardAt(const std::string &file)
    {
        server->reply("/app/getLeaderboardNoAuth/",
                      xml("<current_cdn>" + server->url(file) +
                          "</current_cdn><current_record_length>40</current_record_length><last_cdn>x</last_cdn>"
                          "<last_record_length>40</last_record_length>"));
    }
};

std::string rows(std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += "<score>5</score><user_name>p" + std::to_string(i) + "</user_name><gamedata>g</gamedata>";
    return out;
}

TEST_F(LoginClientFaults, RefusedLeaderboardPageShowsAnErrorAndTheNextRequestWorks)
{
    boardAt("/board.xml");
    struct Case {
        const char *what;
        std::string page;
    };
    const std::vector<Case> refused = {
        {"a name over the field cap, then 300 rows",
         "<user_name>" + std::string(100000, 'n') + "</user_name>" + rows(300)},
        {"more rows than a page may hold", rows(1001)},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        server->reply("/board.xml", Reply{206, {}, c.page});
        server->reply("/good.xml", Reply{206, {}, "<user_name>cy</user_name><score>7</score><gamedata/>" + rows(1)});
        const std::string out = simFailing("leaderboard 2 settle state wait 0");
        EXPECT_TRUE(has(out, "state status=error text=leaderboard failed: the page was refused: more than 1000 rows "
                             "or a field longer than 4096 bytes\nstate session"))
            << out.substr(0, 2000);
        EXPECT_TRUE(has(out, "state board=2 rows=0\n")) << out.substr(0, 2000);
    }
    // The same client then reads a good board; each row holds its own fields.
    boardAt("/good.xml");
    const std::string out = sim("leaderboard 2 settle state");
    EXPECT_TRUE(has(out, "state status=ok\n")) << out;
    EXPECT_TRUE(has(out, "state board=2 rows=2\nstate row rank=1 name=cy score=7\nstate row rank=2 name=p0 score=5\n"))
        << out;
}

TEST_F(LoginClientFaults, RefusedPageThenAGoodOneInTheSameRun)
{
    boardAt("/board.xml");
    std::atomic<int> pages{0};
    server->handle("/board.xml", [&](const RecordedRequest &) {
        return Reply{206, {}, ++pages == 1 ? rows(1001) : rows(2)};
    });
    const std::string out = simFailing("leaderboard 1 settle state leaderboard 1 settle state");
    const auto first = out.find("state status=error text=leaderboard failed: the page was refused");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_TRUE(has(out.substr(first), "state status=ok\n")) << out;
    EXPECT_TRUE(has(out.substr(first), "state board=1 rows=2\n")) << out;
}

// A discovery answer over plain http names where the password goes.
class PlainDiscovery : public LoginClient {
protected:
    void SetUp() override
    {
        LoginClient::SetUp();
        ASSERT_TRUE(plain.start());
    }
    // ogc-sim discovering at `discovery`, whose answer names the https
    // service at `host` ("HOST:PORT" or "HOST"), then logging in.
    std::string loginThrough(TestHttpServer &discovery, const std::string &host, const std::string &options = "",
                             bool fails = false)
    {
        discovery.reply(kDiscovery, xml("<server type=\"https\" host=\"" + host + "/app/\"/>"));
        const std::string actions = "login ann@example.com pw settle state";
        const std::string all = "--server " + discovery.url(kDiscovery) + " " + options;
        return fails ? simFailing(actions, all) : sim(actions, all);
    }
    std::string tlsPort() const { return std::to_string(server->port()); }
    TestHttpServer plain;
};

TEST_F(PlainDiscovery, MayNotSendThePasswordToAnotherHostOrPort)
{
    struct Case {
        const char *what;
        std::string host;
        std::string options;
        std::string named; // as the refusal names it
    };
    const std::vector<Case> cases = {
        {"another host", "localhost:" + tlsPort(), "", "localhost:" + tlsPort()},
        {"its own host on another port", "127.0.0.1:" + tlsPort(), "", "127.0.0.1:" + tlsPort()},
        {"its own host on the https default port", "127.0.0.1", "", "127.0.0.1:443"},
        {"an allowed host on a port other than the default", "localhost:" + tlsPort(), "--allow-host LocalHost",
         "localhost:" + tlsPort()},
        {"an allowed host on another port", "localhost:" + tlsPort(), "--allow-host localhost:1",
         "localhost:" + tlsPort()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = loginThrough(plain, c.host, c.options, true);
        EXPECT_TRUE(has(out, "discovery error: the discovery answer came over plain http and names the host \"" +
                                 c.named + "\", which is neither the discovery host and port nor an allowed one"))
            << out;
        EXPECT_TRUE(has(out, "state login=logged-out\nstate status=error text=login failed: server discovery failed"))
            << out;
        EXPECT_TRUE(requests("/app/login/").empty());
    }
}

TEST_F(PlainDiscovery, MayNameItsOwnHostAndPortOrAnAllowedOneAndHttpsDiscoveryAnyHost)
{
    struct Case {
        const char *what;
        bool overHttps;
        std::string host;
        std::string options;
    };
    const std::vector<Case> cases = {
        {"plain http naming an allowed host and port", false, "localhost:" + tlsPort(),
         "--allow-host LocalHost:" + tlsPort()},
        {"https naming another host", true, "localhost:" + tlsPort(), ""},
    };
    std::size_t logins = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = loginThrough(c.overHttps ? *server : plain, c.host, c.options);
        EXPECT_TRUE(has(out, "login ok session=" + kSession)) << out;
        EXPECT_EQ(requests("/app/login/").size(), ++logins);
    }
    // Its own host and port is taken; the plain server there speaks no TLS,
    // so the login itself fails.
    const std::string own = "127.0.0.1:" + std::to_string(plain.port());
    const std::string out = loginThrough(plain, own, "--timeout 2", true);
    EXPECT_TRUE(has(out, "discovery ok https://" + own + "/app/")) << out;
    EXPECT_FALSE(has(out, "discovery error")) << out;
}

TEST_F(LoginClientFaults, ServerTextReachesTheTerminalEscaped)
{
    server->reply("/app/login/", xml("<error id=\"3\" message=\"\x1b]0;owned\x07\x1b[2J no\"/>"));
    const std::string refused = simFailing("login ann@example.com pw settle state");
    EXPECT_TRUE(has(refused, "state status=error text=login failed: \\x1b]0;owned\\x07\\x1b[2J no\n")) << refused;
    EXPECT_FALSE(has(refused, "\x1b"));

    boardAt("/board.xml");
    server->reply("/board.xml",
                  Reply{206, {}, "<user_name>a\x1b[31m\rb\\</user_name><score>1\n2</score><gamedata/>"});
    const std::string board = sim("leaderboard 0 settle state");
    EXPECT_TRUE(has(board, "state row rank=1 name=a\\x1b[31m\\rb\\\\ score=1\\n2\n")) << board;
    EXPECT_FALSE(has(board, "\x1b"));
}

TEST_F(LoginClientFaults, LoginReplyWithAnOverlongAchievementsFieldIsRefused)
{
    saveLogin();
    setProfiles("<profile id=\"4\" name=\"a\" value=\"" + std::string(200000, '1') + "," + "\"/>");
    const std::string out = simFailing("start settle state");
    EXPECT_TRUE(has(out, "state login=logged-out\nstate status=error text=login failed: the service's reply was "
                         "malformed"))
        << out.substr(0, 2000);
}

} // namespace
