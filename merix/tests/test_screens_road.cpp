// The road through the online screens as a player taps it, in ogc-sim with a
// manual clock, against the HTTPS login test server.
#include <game/savegamedata.h>
#include <platform/files.h>

#include "files.h"
#include "test_http_server.h"
#include "tools.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

const std::string kDiscovery = "/web_http_app/server/findAvailableServer/";

Reply xml(const std::string &inner)
{
    return Reply{200, {{"Content-Type", "text/xml"}}, "<appserver>" + inner + "</appserver>"};
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The first line of `out` that starts with `prefix`, from `from` on.
std::string lineAfter(const std::string &out, const std::string &prefix, std::size_t &from)
{
    const std::size_t at = out.find(prefix, from);
    if (at == std::string::npos)
        return {};
    const std::size_t end = out.find('\n', at);
    from = end;
    return out.substr(at, end - at);
}

class ScreensRoad : public ::testing::Test {
public:
    static void SetUpTestSuite() { sCerts = TestCertificates::create().release(); }
    static void TearDownTestSuite()
    {
        delete sCerts;
        sCerts = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(sCerts != nullptr && sCerts->ok());
        server = std::make_unique<TestHttpServer>(sCerts->serverTls());
        ASSERT_TRUE(server->start());
        const std::string host = server->url("/app/").substr(std::string("https://").size());
        server->reply(kDiscovery, xml("<server type=\"https\" host=\"" + host + "\"/>"));
        server->reply("/app/login/",
                      xml("<result id=\"0\"/><session_id>00c0ffee12ab</session_id><user_id>0a1b2c3d-4e5f-6a7b-"
                          "8c9d-0e1f2a3b4c5d</user_id><user_name>ann</user_name><profile id=\"5\" name=\"f\" "
                          "value=\"3\"/>"));
        server->reply("/app/updatePreferences/", xml("<success/>"));
        server->reply("/app/joinGroupByTopic/", xml("<result/>"));
        server->reply("/app/forgotPassword/", xml("<result id=\"0\"/>"));
        server->reply("/app/getLeaderboardNoAuth/", xml("<result id=\"0\"/>"));
        for (const auto &[name, w, h] :
             std::vector<std::tuple<std::string, unsigned, unsigned>>{{"OGC_button.png", 48, 48},
                                                                      {"OGC_button_dwn.png", 48, 48},
                                                                      {"OGC_BAckground.png", 320, 480},
                                                                      {"OGC_BACK_button.png", 40, 40}}) {
            ASSERT_TRUE(testsupport::writePlaceholderPng(std::filesystem::path(resources.path()) / name, w, h));
        }
        platform::setApplicationRoot(data.path());
        paddle::savegamedata::ForgetAll();
    }

    std::string sim(const std::string &actions)
    {
        int code = -1;
        const std::string command =
            auratest::quote(OGC_SIM_PATH) + " --manual-clock --server " + server->url(kDiscovery) + " --cacert " +
            auratest::quote(sCerts->caCertificateFile()) + " --data " + auratest::quote(data.path()) + " --resources " +
            auratest::quote(resources.path()) + " " + actions + " 2>/dev/null";
        std::string out = auratest::capture(command, &code);
        EXPECT_EQ(code, 0) << actions;
        return out;
    }

    std::vector<RecordedRequest> requests(const std::string &path) const
    {
        std::vector<RecordedRequest> out;
        for (auto &r : server->requests()) {
            if (r.path == path)
                out.push_back(r);
        }
        return out;
    }

    static TestCertificates *sCerts;
    auratest::TempDir data{"ogc-screens"};
    auratest::TempDir resources{"ogc-resources"};
    std::unique_ptr<TestHttpServer> server;
};

TestCertificates *ScreensRoad::sCerts = nullptr;

TEST_F(ScreensRoad, LogInByTapsAndSaveTheLogin)
{
    // The song picker offers the music folder's songs.
    auratest::TempDir music{"ogc-road-music"};
    for (const char *song : {"Song 0", "Song 1"}) {
        ASSERT_TRUE(auratest::run("sox -n -r 48000 -c 2 -b 16 " + auratest::quote(music / (std::string(song) + ".wav")) +
                                  " synth 3 sine 440 vol 0.1"));
    }
    ::setenv("XDG_MUSIC_DIR", music.path().c_str(), 1);
    const std::string out = sim("show-button tap 296 456 tree tick 12 screen "
                                "tap 160 450 tick 3 screen "
                                "tap 160 68 type ann@example.com tap 160 103 type secret "
                                "tap 160 148 tick 2 screen settle tick 4 screen "
                                "tap 296 28 screen tick 12 screen tree "
                                "pick 0 1 tick 30 pick 0 1 screen");
    std::size_t at = 0;
    EXPECT_TRUE(has(out, "UIView frame=(0,0,320,480) hidden=0 alpha=1\n      UIImageView frame=(0,0,320,480) "
                         "hidden=0 alpha=1 image=\"OGC_BAckground.png\""))
        << out;
    EXPECT_TRUE(has(out, "OGCButton frame=(272,4,48,48)")) << out;
    EXPECT_EQ(lineAfter(out, "screen state", at), "screen state=1 sub=3 current=mainMenu view-set=1 in-ogc=1 pauses=1");
    EXPECT_EQ(lineAfter(out, "screen state", at),
              "screen state=1 sub=3 current=loginMenu view-set=0 in-ogc=1 pauses=1");
    EXPECT_EQ(lineAfter(out, "screen state", at),
              "screen state=1 sub=3 current=loginWaitMenu view-set=1 in-ogc=1 pauses=1");
    EXPECT_EQ(lineAfter(out, "screen state", at), "screen state=1 sub=3 current=mainMenu view-set=0 in-ogc=1 pauses=1");
    EXPECT_EQ(lineAfter(out, "screen state", at), "screen state=2 sub=3 current=mainMenu view-set=0 in-ogc=0 pauses=1");
    EXPECT_EQ(lineAfter(out, "screen state", at), "screen state=0 sub=0 current=none view-set=0 in-ogc=0 pauses=1");
    // Closed: the controller's view holds the button alone, back at rest.
    EXPECT_TRUE(has(out.substr(at), "UIWindow frame=(0,0,320,480) hidden=0 alpha=1\n  UIView frame=(0,0,320,480) "
                                    "hidden=0 alpha=1\n    OGCButton frame=(272,432,48,48)"))
        << out.substr(at);

    // The songs picked again queue again; the first goes on at 1 s.
    EXPECT_TRUE(has(out, "screen music state=1 index=0 item=Song 0 time=1.00 queue=Song 0,Song 1,Song 0,Song 1")) << out;
    ::unsetenv("XDG_MUSIC_DIR");

    const auto logins = requests("/app/login/");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_TRUE(has(logins[0].body, "email=ann%40example.com&user_password=secret&")) << logins[0].body;
    const auto prefs = platform::readWholeFile(paddle::savegamedata::PreferencesPath());
    ASSERT_TRUE(prefs);
    const std::string text(prefs->begin(), prefs->end());
    EXPECT_TRUE(has(text, "ann@example.com")) << text;
    EXPECT_TRUE(has(text, "secret")) << text;
}

TEST_F(ScreensRoad, ForgottenPasswordAndLeaderboardPaging)
{
    // A failed login shows its error; back, then Forgot: the e-mail typed
    // for the login is in the field, and return sends it.
    server->reply("/app/login/", Reply{500, {}, ""});
    const std::string out = sim("show-button tap 296 456 tick 3 tap 160 450 tick 3 "
                                "tap 160 68 type ann@example.com tap 160 148 settle tick 3 screen tree "
                                "tap 30 30 tick 3 tap 160 207 tick 3 screen tree "
                                "tap 160 68 return tick 3 screen settle "
                                "tap 296 28 tick 12 launch-leaderboards tick 6 screen "
                                "press pressDecrement: settle press pressIncrement: settle "
                                "press pressProfile: tick 3 screen");
    std::size_t at = 0;
    EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=loginWaitMenu")) << out;
    // The error under the header, until back.
    EXPECT_TRUE(
        has(out, "UILabel frame=(15,128,290,40) hidden=0 alpha=1 text=\"login failed: the service answered HTTP 500\""))
        << out;
    EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=retrieveMenu")) << out;
    EXPECT_TRUE(has(out, "text=\"IDS_RETRIEVE_PASSWORD\"")) << out;
    EXPECT_TRUE(has(out, "UITextField frame=(15,56.5,290,23) hidden=0 alpha=1 text=\"ann@example.com\" "
                         "placeholder=\"<enter E-mail>\""))
        << out;
    EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=loginWaitMenu")) << out;
    EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=leaderboardMenu")) << out;
    EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=loginMenu")) << out;

    // With no login e-mail the field is empty, and return still asks.
    const std::string empty = sim("show-button tap 296 456 tick 3 tap 160 450 tick 3 tap 160 207 tick 3 "
                                  "tap 160 68 return tick 3 screen settle");
    EXPECT_TRUE(has(empty, "current=loginWaitMenu")) << empty;

    const auto forgot = requests("/app/forgotPassword/");
    ASSERT_EQ(forgot.size(), 2u);
    EXPECT_TRUE(has(forgot[0].body, "&email=ann%40example.com&")) << forgot[0].body;
    EXPECT_TRUE(has(forgot[1].body, "&email=&")) << forgot[1].body;
    std::vector<std::string> boards;
    for (const auto &r : requests("/app/getLeaderboardNoAuth/")) {
        const std::size_t p = r.body.find("profile_id=");
        boards.push_back(p == std::string::npos ? "" : r.body.substr(p + 11, 1));
    }
    // The board on display, then 0 down to 5 and 5 up to 0.
    EXPECT_EQ(boards, (std::vector<std::string>{"2", "7", "2"}));
}

} // namespace
