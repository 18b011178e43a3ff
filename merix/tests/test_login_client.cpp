// The login client as the game runs it, through ogc-sim, against a scripted
// HTTPS login service (test CA) and a scripted socket server.
#include "login_fixture.h"

namespace {

using namespace logintest;

TEST_F(LoginClient, SavedLoginDiscoversLogsInMergesAndUpdatesPreferences)
{
    saveLogin();
    // The first login brings achievement 2 at 300; the second 2 at 500 and 3 at 50.
    std::atomic<int> logins{0};
    server->handle("/app/login/", [&](const RecordedRequest &) {
        const int n = ++logins;
        const std::string list = n == 1 ? listWith({{2, 300}}) : listWith({{2, 500}, {3, 50}});
        return xml(loginReply("<profile id=\"4\" name=\"a\" value=\"" + list +
                              "\"/><profile id=\"5\" name=\"f\" value=\"7\"/>"));
    });
    const std::string out = sim("start settle state login ann@example.com pa.ss settle state");

    const auto all = server->requests();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].path, kDiscovery);
    EXPECT_EQ(all[0].body, "game_id=28");
    const auto logins0 = requests("/app/login/");
    ASSERT_EQ(logins0.size(), 2u);
    const Form expected = {{"email", "ann@example.com"},
                           {"user_password", "pa ss&word"},
                           {"game_id", "28"},
                           {"secret_key", "7f3c9a2e-5b1d-4e8a-9c6f-2d0b4a7e1c35"},
                           {"platform_id", "01"},
                           {"protocol_version", "0"},
                           {"force_kick", "true"}};
    EXPECT_EQ(formFields(logins0[0].body), expected);
    EXPECT_EQ(requests(kDiscovery).size(), 1u) << "the server found once is kept";

    const auto prefs = requests("/app/updatePreferences/");
    ASSERT_EQ(prefs.size(), 2u);
    const Form first = {{"session", kSession},
                        {"game_id", "28"},
                        {"profile_id_1", "0"},
                        {"profile_id_4", listWith({{2, 300}})},
                        {"profile_id_5", "7"}};
    EXPECT_EQ(formFields(prefs[0].body), first);
    // The earliest unlock wins: 2 keeps 300, 3 takes 50.
    EXPECT_EQ(formFields(prefs[1].body)[3].second, listWith({{2, 300}, {3, 50}}));
    EXPECT_TRUE(has(out, "state login=logged-in")) << out;
    EXPECT_TRUE(has(out, "state face=7")) << out;
    EXPECT_TRUE(has(out, "state session=" + kSession + " user=" + kUser)) << out;
    EXPECT_TRUE(has(out, "state pairs=2:1,3:1,0:0")) << out;
    EXPECT_EQ(requests("/app/joinGroupByTopic/").size(), 2u);
    EXPECT_EQ(formFields(requests("/app/joinGroupByTopic/")[0].body).back(),
              (std::pair<std::string, std::string>{"topic_id", "0"}));
}

TEST_F(LoginClient, FreshInstallSendsTheLockedListNeverAnEmptyOne)
{
    const std::string out = sim("start wait 0.1 login new@example.com pw settle state");
    EXPECT_EQ(requests("/app/login/").size(), 1u) << "no saved login: start logs nobody in";
    const auto prefs = requests("/app/updatePreferences/");
    ASSERT_EQ(prefs.size(), 1u);
    EXPECT_EQ(formFields(prefs[0].body)[3], (std::pair<std::string, std::string>{"profile_id_4", lockedList()}));
    // The login-wait screen's part: the login is saved, privately.
    paddle::savegamedata::LoadMerixLogin();
    EXPECT_STREQ(paddle::savegamedata::GetMerixLogin(), "new@example.com");
    struct stat st {};
    ASSERT_EQ(::stat(paddle::savegamedata::PreferencesPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LoginClient, PostsImprovedScoresInSlotOrderAndKeepsFailedOnesForLater)
{
    saveLogin();
    // Slot 2's first post fails; every other post is accepted.
    std::atomic<int> slot2{0};
    server->handle("/app/postScore/", [&](const RecordedRequest &r) {
        if (has(r.body, "profile_id=4") && ++slot2 == 1)
            return Reply{500, {}, "down"};
        return Reply{200, {}, ""};
    });
    int status = 0;
    const std::string out = sim(
        "start settle score 0 100 score 1 0 score 2 50 score 5 7 send-scores settle state send-scores settle state", "",
        &status);
    EXPECT_EQ(status, 1 << 8) << "a refused post is a failed action";
    const auto posts = requests("/app/postScore/");
    ASSERT_EQ(posts.size(), 4u) << out;
    const std::vector<std::pair<std::string, std::string>> want = {{"2", "100"}, {"4", "50"}, {"7", "7"}, {"4", "50"}};
    for (std::size_t i = 0; i < posts.size(); ++i) {
        const Form f = formFields(posts[i].body);
        ASSERT_EQ(f.size(), 5u);
        EXPECT_EQ(f[0], (std::pair<std::string, std::string>{"session", kSession}));
        EXPECT_EQ(f[2].second, want[i].first);
        EXPECT_EQ(f[3].second, want[i].second);
        EXPECT_EQ(f[4], (std::pair<std::string, std::string>{"metadata", ""}));
    }
    // Each post completed (none cancelled by the next): two accepted, one refused.
    EXPECT_TRUE(has(out, "post slot=0 value=100 ok\npost slot=2 value=50 failed: the service answered HTTP 500\n"
                         "post slot=5 value=7 ok\n"))
        << out;
    EXPECT_TRUE(has(out, "state scores=100/100,0/0,50/0,0/0,0/0,7/7")) << out;
    EXPECT_TRUE(has(out, "state scores=100/100,0/0,50/50,0/0,0/0,7/7")) << out;
    paddle::savegamedata::LoadMerixLogin();
    EXPECT_EQ(paddle::savegamedata::GetLastHighScore(2), 50u);
}

TEST_F(LoginClient, LoggedOutPostsNothingAndLeavesTheFileAlone)
{
    (void)sim("score 0 100");
    const std::string before = preferencesFile();
    ASSERT_FALSE(before.empty());
    (void)sim("send-scores wait 0.2 state");
    EXPECT_EQ(server->requestCount(), 0u);
    EXPECT_EQ(preferencesFile(), before);
}

TEST_F(LoginClient, LogoutSendsTheSessionAndLocksEveryPair)
{
    saveLogin();
    setProfiles("<profile id=\"4\" value=\"" + listWith({{1, 9}}) + "\"/>");
    const std::string out = sim("start settle logout settle state");
    const auto logout = requests("/app/logout/");
    ASSERT_EQ(logout.size(), 1u);
    EXPECT_EQ(logout[0].body, "session=" + kSession + "&game_id=28");
    EXPECT_TRUE(has(out, "state login=logged-out")) << out;
    EXPECT_TRUE(has(out, "state list=" + lockedList())) << out;
    EXPECT_TRUE(has(out, "state pairs=0:0,1:0,2:0,3:0")) << out;
    const auto all = lines(out);
    const auto pairs =
        std::find_if(all.begin(), all.end(), [](const std::string &l) { return l.rfind("state pairs=", 0) == 0; });
    ASSERT_NE(pairs, all.end());
    EXPECT_EQ(countOf(*pairs, ":1"), 0u) << *pairs;
}

TEST_F(LoginClient, FailedLoginsEndInErrorNeverPending)
{
    struct Case {
        const char *name;
        std::function<void(LoginClient &)> arrange;
        const char *text;
    };
    const std::vector<Case> cases = {
        {"http-only discovery",
         [](LoginClient &t) { t.discover("", 0, "127.0.0.1:" + std::to_string(t.server->port()) + "/app/"); },
         "no HTTPS server"},
        {"time-out", [](LoginClient &t) { t.server->neverAnswer("/app/login/"); }, "login failed"},
        {"malformed reply",
         [](LoginClient &t) {
             t.server->reply("/app/login/", Reply{200, {}, "<appserver><result id=\"0\"/>"});
         },
         "malformed"},
        {"refused",
         [](LoginClient &t) { t.server->reply("/app/login/", xml("<error id=\"3\" message=\"bad password\"/>")); },
         "bad password"},
        {"server error",
         [](LoginClient &t) {
             t.server->reply("/app/login/", Reply{500, {}, ""});
         },
         "HTTP 500"},
        {"discovery refused",
         [](LoginClient &t) {
             t.server->reply(kDiscovery, Reply{404, {}, ""});
         },
         "discovery"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange(*this);
        int status = 0;
        const std::string out = sim("login ann@example.com Pw0rdXYZ settle state", "--timeout 1", &status);
        EXPECT_EQ(status, 1 << 8) << "a failed login is a failed action";
        EXPECT_TRUE(has(out, "state status=error text=")) << out;
        EXPECT_TRUE(has(out, c.text)) << out;
        EXPECT_TRUE(has(out, "state login=logged-out")) << out;
        if (std::string(c.name) == "http-only discovery") {
            EXPECT_EQ(requests("/app/login/").size(), 0u);
            for (const auto &r : server->requests())
                EXPECT_FALSE(has(r.body, "Pw0rdXYZ")) << r.path;
        }
    }
}

TEST_F(LoginClient, RecoverSendsItsFourFieldsAndReportsTheOutcome)
{
    Reply slow = xml("<result id=\"0\"/>");
    slow.delaySeconds = 0.3;
    server->reply("/app/forgotPassword/", slow);
    std::string out = sim("recover ann@example.com state settle state");
    const auto sent = requests("/app/forgotPassword/");
    ASSERT_EQ(sent.size(), 1u);
    const Form want = {{"game_id", "28"}, {"email", "ann@example.com"}, {"user_name", ""}, {"language", "de"}};
    EXPECT_EQ(formFields(sent[0].body), want);
    const auto all = lines(out);
    const auto pending = std::find(all.begin(), all.end(), "state status=pending");
    ASSERT_NE(pending, all.end()) << out;
    EXPECT_NE(std::find(pending, all.end(), "state status=ok"), all.end()) << out;

    server->reply("/app/forgotPassword/", xml("<error id=\"5\" message=\"no such account\"/>"));
    int status = 0;
    out = sim("recover ann@example.com settle state", "", &status);
    EXPECT_EQ(status, 1 << 8);
    EXPECT_TRUE(has(out, "state status=error text=recover failed: no such account")) << out;
}

TEST_F(LoginClient, LeaderboardFetchesItsFirstPageByRange)
{
    const std::string row = [] {
        std::string rows;
        for (const char *name : {"cy", "di"}) {
            rows += std::string("<score>5</score><user_name>") + name +
                    "</user_name><user_id>u</user_id><wins>1</wins><losses>0</losses><avatar_id>2</avatar_id>"
                    "<metadata/><gamedata>g</gamedata>";
        }
        return rows;
    }();
    server->reply("/app/getLeaderboardNoAuth/",
                  xml("<current_cdn>" + server->url("/board.xml") +
                      "</current_cdn><current_record_length>40</current_record_length><last_cdn>x</last_cdn>"
                      "<last_record_length>40</last_record_length>"));
    server->reply("/board.xml", Reply{206, {}, row});
    const std::string out = sim("leaderboard 3 settle state");
    const auto info = requests("/app/getLeaderboardNoAuth/");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].body, "game_id=28&profile_id=5");
    const auto page = requests("/board.xml");
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].method, "GET");
    EXPECT_EQ(page[0].header("Range").value_or(""), "bytes=0-999");
    EXPECT_TRUE(has(out, "state board=3 rows=2\nstate row rank=1 name=cy score=5\nstate row rank=2 name=di")) << out;
}

std::string wireMessage(const std::string &payload, const std::string &recipient)
{
    KwexNet::TCPHeader h(static_cast<unsigned int>(payload.size()), KwexNet::kMessageRoutingRoom,
                         KwexNet::kMessageEncryptionNone, 0x99, kOther.c_str(), recipient.c_str(), 28, 1);
    std::string out(KwexNet::TCPHeader::kSize, '\0');
    unsigned long size = 0;
    h.serialize(out.data(), size);
    return out + payload;
}

TEST_F(LoginClient, ChatRegistersDropsOthersMessagesAndReconnects)
{
    saveLogin();
    TestTcpServer chat;
    chat.script({TcpScript()
                     .waitForBytes(92)
                     .send(wireMessage("not yours", kOther))
                     .send(wireMessage("hello", kUser))
                     .waitForBytes(92 + 92 + 4)
                     .close(),
                 TcpScript().waitForBytes(92).send(wireMessage("second", kUser)).pause(5)});
    ASSERT_TRUE(chat.start());
    discover(server->url("/app/").substr(8), chat.port());
    const std::string out = sim("start settle wait 1 say hiya wait 3 state");

    std::uint64_t session = 0;
    ASSERT_TRUE(KwexNet::Encode::hexStringToLong(kSession.c_str(), session));
    KwexNet::TCPHeader expected(0, KwexNet::kMessageRoutingRegister, KwexNet::kMessageEncryptionNone, session,
                                kUser.c_str(), "", 28, 1);
    std::string registration(92, '\0');
    unsigned long size = 0;
    expected.serialize(registration.data(), size);
    EXPECT_EQ(registration.substr(86, 3), std::string("\x00\x1c\x01", 3));
    const std::string first = chat.received(0);
    ASSERT_GE(first.size(), 92u + 96u) << out;
    EXPECT_EQ(first.substr(0, 92), registration);
    EXPECT_EQ(static_cast<unsigned char>(first[92 + 4]), 1u) << "chat lines go to the room";
    EXPECT_EQ(first.substr(92 + 92), "hiya");
    EXPECT_TRUE(has(out, "chat dropped a message for " + kOther)) << out;
    EXPECT_FALSE(has(out, "not yours")) << out;
    EXPECT_TRUE(has(out, "chat message from " + kOther + ": hello")) << out;
    ASSERT_GE(chat.connectionCount(), 2u) << out;
    EXPECT_EQ(chat.received(1).substr(0, 92), registration);
    EXPECT_TRUE(has(out, "chat message from " + kOther + ": second")) << out;
}

TEST_F(LoginClient, ChatDropsAPeerAnnouncingAnOverLongPayload)
{
    saveLogin();
    std::string huge = wireMessage("", kUser);
    huge[0] = '\x7f'; // a payload length near 2 GiB
    TestTcpServer chat;
    chat.script({TcpScript().waitForBytes(92).send(huge + "partial").pause(5),
                 TcpScript().waitForBytes(92).send(wireMessage("fresh", kUser)).pause(5)});
    ASSERT_TRUE(chat.start());
    discover(server->url("/app/").substr(8), chat.port());
    const std::string out = sim("start settle wait 2.5 state");
    EXPECT_TRUE(has(out, "chat disconnected (a message announced an over-long payload)")) << out;
    // The new connection starts with fresh framing: its first message decodes.
    EXPECT_TRUE(has(out, "chat message from " + kOther + ": fresh")) << out;
}

TEST_F(LoginClient, CancelAbandonsTheLoginInFlight)
{
    server->neverAnswer("/app/login/");
    const std::string out = sim("login ann@example.com pw wait 0.3 cancel settle state");
    EXPECT_TRUE(has(out, "login cancelled")) << out;
    EXPECT_TRUE(has(out, "state login=logged-out\nstate status=none text=cancelled")) << out;
    EXPECT_FALSE(has(out, "still busy")) << out;
}

TEST_F(LoginClient, ChatBacksOffAgainstADeadPort)
{
    saveLogin();
    discover(server->url("/app/").substr(8), testsupport::unusedLoopbackPort());
    const std::string out = sim("start settle wait 10 state", "--manual-clock");
    const std::size_t attempts = countOf(out, "chat connecting");
    EXPECT_GE(attempts, 3u) << out;
    EXPECT_LE(attempts, 6u) << out;
}

} // namespace
