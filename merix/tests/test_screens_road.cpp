// The road through the online screens as a player taps it, in ogc-sim with a
// manual clock, against the HTTPS login test server.
#include <game/savegamedata.h>
#include <platform/files.h>

#include "files.h"
#include "test_http_server.h"
#include "test_tcp_server.h"
#include "tools.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TcpScript;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;
using testsupport::TestTcpServer;

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
        host = server->url("/app/").substr(std::string("https://").size());
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

    // Runs ogc-sim; `exitCode` is what it must end with (1: an action failed).
    std::string sim(const std::string &actions, int exitCode = 0)
    {
        int code = -1;
        const std::string command =
            auratest::quote(OGC_SIM_PATH) + " --manual-clock --server " + server->url(kDiscovery) + " --cacert " +
            auratest::quote(sCerts->caCertificateFile()) + " --data " + auratest::quote(data.path()) + " --resources " +
            auratest::quote(resources.path()) + " " + actions + " 2>/dev/null";
        std::string out = auratest::capture(command, &code);
        EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == exitCode) << code << ": " << actions << "\n" << out;
        return out;
    }

    // Runs ogc-sim on actions given line by line on its standard input; after
    // each step's lines, waits (bounded) for the step's condition while
    // ogc-sim waits for more. Returns its standard output.
    struct Step {
        std::string lines;
        std::function<bool()> until;
    };
    std::string simSteps(const std::vector<Step> &steps, int exitCode = 0)
    {
        const std::string outFile = data.path() + "/sim-out.txt";
        const std::string command = auratest::quote(OGC_SIM_PATH) + " --manual-clock --server " +
                                    server->url(kDiscovery) + " --cacert " +
                                    auratest::quote(sCerts->caCertificateFile()) + " --data " +
                                    auratest::quote(data.path()) + " --resources " + auratest::quote(resources.path()) +
                                    " >" + auratest::quote(outFile) + " 2>/dev/null";
        FILE *in = ::popen(command.c_str(), "w");
        if (in == nullptr) {
            ADD_FAILURE() << "ogc-sim did not start";
            return {};
        }
        for (std::size_t i = 0; i < steps.size(); ++i) {
            std::fputs((steps[i].lines + "\n").c_str(), in);
            std::fflush(in);
            if (steps[i].until) {
                EXPECT_TRUE(steps[i].until()) << "step " << i << ": " << steps[i].lines;
            }
        }
        const int status = ::pclose(in);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exitCode) << status;
        std::ifstream file(outFile);
        std::stringstream out;
        out << file.rdbuf();
        return out.str();
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
    std::string host;
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
                                "press pressProfile: tick 3 screen",
                                1);
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

// The output cut at each "screen state" line: what each "screen" (and a
// "tree" after it) printed.
std::vector<std::string> snapshots(const std::string &out)
{
    std::vector<std::string> shots;
    for (std::size_t at = out.find("screen state"); at != std::string::npos;) {
        const std::size_t next = out.find("screen state", at + 1);
        shots.push_back(out.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return shots;
}

std::size_t countOf(const std::string &text, const std::string &part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string relation(const std::string &name, const std::string &status, int online)
{
    return "<relation game_id=\"28\" user_id=\"me\" target_user_id=\"id-" + name + "\" target_user_name=\"" + name +
           "\" target_user_online_status=\"" + std::to_string(online) +
           "\" game_mode=\"00120051\" game_mode_text=\"Level 3\" relation_status=\"" + status + "\"/>";
}

// Each flow a player goes through on the screens, from the opened screens
// to what the servers received and what the screens show.
// Lines that run `before`, type each text with a return after all but the
// last (the keyboard's way down a form), then run `after`.
std::vector<ScreensRoad::Step> typing(const std::string &before, const std::vector<std::string> &texts,
                                      const std::string &after)
{
    std::vector<ScreensRoad::Step> steps{{before, {}}};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            steps.push_back({"return", {}});
        steps.push_back({"type " + texts[i], {}});
    }
    steps.push_back({after, {}});
    return steps;
}

TEST_F(ScreensRoad, Flows)
{
    const std::string open = "show-button tap 296 456 tick 12";
    const std::string loggedIn = "login ann@example.com secret settle " + open;
    std::unique_ptr<TestTcpServer> chat;
    struct Flow {
        const char *name;
        std::function<void()> before;
        std::function<std::vector<Step>()> steps;
        std::function<void(const std::string &out)> check;
        int exitCode = 0; // 1: an action the flow takes fails, and ogc-sim says so
    };
    const Flow flows[] = {
        {"log in with the keyboard and the Login button", nullptr,
         [&]() -> std::vector<Step> {
             // Return in the e-mail field moves to the password field.
             return typing(open + " tap 160 450 tick 3 tap 160 68", {"ann@example.com", "secret"},
                           "tap 160 148 tick 2 settle tick 4 screen state");
         },
         [&](const std::string &out) {
             EXPECT_TRUE(has(out, "state login=logged-in")) << out;
             EXPECT_TRUE(has(out, "current=mainMenu")) << out;
             const auto logins = requests("/app/login/");
             ASSERT_EQ(logins.size(), 1u);
             EXPECT_TRUE(has(logins[0].body, "email=ann%40example.com&user_password=secret&")) << logins[0].body;
         }},
        {"log in with return in the password field", nullptr,
         [&]() -> std::vector<Step> {
             return {{open + " tap 160 450 tick 3 tap 160 68", {}}, {"type ann@example.com", {}},
                     {"tap 160 103", {}},                           {"type secret", {}},
                     {"return", {}},                                {"tick 2 screen settle tick 4 screen state", {}}};
         },
         [&](const std::string &out) {
             std::size_t at = 0;
             EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=loginWaitMenu")) << out;
             EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=mainMenu")) << out;
             EXPECT_TRUE(has(out, "state login=logged-in")) << out;
             ASSERT_EQ(requests("/app/login/").size(), 1u);
         }},
        {"create an account", [&] { server->reply("/app/registerUser/", xml("<result id=\"0\"/>")); },
         [&]() -> std::vector<Step> {
             return typing(open + " tap 160 450 tick 3 tap 160 266 tick 3 screen tap 160 60",
                           {"newbie", "pw1", "new@example.com"},
                           "tap 160 262 tick 1 settle tick 3 settle tick 4 screen state");
         },
         [&](const std::string &out) {
             EXPECT_TRUE(has(out, "current=createMenu")) << out;
             EXPECT_TRUE(has(out, "register ok")) << out;
             EXPECT_TRUE(has(out, "state login=logged-in")) << out;
             EXPECT_TRUE(has(out, "current=mainMenu")) << out;
             const auto registers = requests("/app/registerUser/");
             ASSERT_EQ(registers.size(), 1u);
             EXPECT_EQ(registers[0].body,
                       "game_id=28&user_name=newbie&user_password=pw1&email=new%40example.com");
             const auto logins = requests("/app/login/");
             ASSERT_EQ(logins.size(), 1u);
             EXPECT_TRUE(has(logins[0].body, "email=new%40example.com&user_password=pw1&")) << logins[0].body;
         }},
        {"an account the service refuses",
         [&] { server->reply("/app/registerUser/", xml("<error id=\"7\" message=\"user name taken\"/>")); },
         [&]() -> std::vector<Step> {
             // Return down the form: from the last field it is sent.
             return typing(open + " tap 160 450 tick 3 tap 160 266 tick 3 tap 160 60",
                           {"ann", "pw1", "ann@example.com"}, "return return return tick 1 settle tick 3 screen tree");
         },
         [&](const std::string &out) {
             const auto shots = snapshots(out);
             ASSERT_EQ(shots.size(), 1u) << out;
             EXPECT_TRUE(has(shots[0], "current=createMenu")) << shots[0];
             EXPECT_TRUE(has(shots[0], "text=\"register failed: user name taken\"")) << shots[0];
             EXPECT_EQ(requests("/app/registerUser/").size(), 1u);
             EXPECT_TRUE(requests("/app/login/").empty());
         },
         1},
        {"add a friend through the pop-up, then the blocked players",
         [&] {
             server->reply("/app/addRelationByUsername/", xml("<success/>"));
             server->handle("/app/getRelations/", [this](const RecordedRequest &) {
                 std::string list = relation("eve", "B-N", 1);
                 if (!requests("/app/addRelationByUsername/").empty())
                     list += relation("bob", "F-F", 1);
                 return xml(list);
             });
         },
         [&]() -> std::vector<Step> {
             return {{loggedIn + " tap 235 215 tick 3 settle tick 2 screen tree tap 290 80 tick 1 tap 160 70", {}},
                     {"type bob", {}},
                     {"tap 90 120 settle tick 2 screen tree tap 230 170 tick 2 screen tree tap 230 120 tick 1 screen",
                      {}}};
         },
         [&](const std::string &out) {
             const auto adds = requests("/app/addRelationByUsername/");
             ASSERT_EQ(adds.size(), 1u) << out;
             EXPECT_TRUE(has(adds[0].body, "&game_id=28&target_user_name=bob&relation_status=F")) << adds[0].body;
             ASSERT_EQ(requests("/app/getRelations/").size(), 2u) << "on entry and after the add";
             const auto shots = snapshots(out);
             ASSERT_EQ(shots.size(), 4u) << out;
             EXPECT_TRUE(has(shots[0], "current=friendMenu")) << shots[0];
             EXPECT_FALSE(has(shots[0], "text=\"bob")) << shots[0];
             EXPECT_FALSE(has(shots[0], "text=\"eve")) << shots[0] << "blocked players are not friends";
             EXPECT_TRUE(has(shots[1], "UIView frame=(10,40,300,160)")) << shots[1] << "the pop-up";
             EXPECT_TRUE(has(shots[1], "text=\"bob IDS_ONLINE\"")) << shots[1];
             EXPECT_FALSE(has(shots[1], "text=\"eve")) << shots[1];
             EXPECT_TRUE(has(shots[2], "text=\"eve IDS_BLOCKED\"")) << shots[2];
             EXPECT_TRUE(has(shots[2], "text=\"IDS_BLOCKED_PLAYERS\"")) << shots[2];
             EXPECT_FALSE(has(shots[2], "text=\"bob")) << shots[2];
             EXPECT_FALSE(has(shots[3], "(10,40,300,160)")) << shots[3] << "OK closes the pop-up";
         }},
        {"join and leave a chat room",
         [&] {
             chat = std::make_unique<TestTcpServer>();
             chat->script({TcpScript().waitForBytes(92), TcpScript().waitForBytes(92)});
             ASSERT_TRUE(chat->start());
             server->reply(kDiscovery, xml("<server type=\"https\" host=\"" + host +
                                           "\"/><server type=\"socket\" host=\"127.0.0.1\" port=\"" +
                                           std::to_string(chat->port()) + "\"/>"));
             server->reply("/app/joinGroupByTopic/",
                           xml("<result/><group_info server_id=\"3\" address=\"127.0.0.1:1\" group_id=\"9\"/>"));
         },
         [&]() -> std::vector<Step> {
             // The login joins a room and connects; the chat screen shows
             // it, its back leaves it: the socket server sees the close
             // while ogc-sim still runs. Back on the screen, it joins again.
             return {{loggedIn + " tap 85 255 tick 3 settle tick 2 screen", [&] { return chat->waitForBytes(0, 92, 10); }},
                     {"tap 30 30 tick 3 screen",
                      [&] { return chat->waitForFinished(0, 10) && chat->connectionCount() == 1; }},
                     {"tap 85 255 tick 3 settle tick 3 screen", [&] { return chat->waitForBytes(1, 92, 10); }},
                     {"tap 296 28 tick 12 screen", [&] { return chat->waitForFinished(1, 10); }}};
         },
         [&](const std::string &out) {
             std::size_t at = 0;
             EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=chatMenu")) << out;
             EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=mainMenu")) << out;
             EXPECT_TRUE(has(lineAfter(out, "screen state", at), "current=chatMenu")) << out;
             EXPECT_EQ(countOf(out, "chat left the room"), 2u) << out;
             EXPECT_EQ(requests("/app/joinGroupByTopic/").size(), 2u) << "at login and on the way back in";
             EXPECT_EQ(chat->received(1).substr(0, 92), chat->received(0).substr(0, 92)) << "the same registration";
         }},
        {"the achievements with their state",
         [&] {
             std::string stamps;
             for (int n = 0; n < 25; ++n)
                 stamps += (n == 2 ? "500" : n == 7 ? "900" : "0") + std::string(",");
             server->reply("/app/login/",
                           xml("<result id=\"0\"/><session_id>00c0ffee12ab</session_id><user_id>0a1b2c3d</user_id>"
                               "<user_name>ann</user_name><profile id=\"4\" name=\"a\" value=\"" +
                               stamps + "\"/>"));
         },
         [&]() -> std::vector<Step> { return {{loggedIn + " tap 85 215 tick 3 screen tree", {}}}; },
         [&](const std::string &out) {
             const auto shots = snapshots(out);
             ASSERT_EQ(shots.size(), 1u) << out;
             const std::string &tree = shots[0];
             EXPECT_TRUE(has(tree, "current=achievementMenu")) << tree;
             EXPECT_EQ(countOf(tree, "text=\"IDS_ACHIEVEMENT_"), 25u) << tree;
             EXPECT_EQ(countOf(tree, " IDS_UNLOCKED\""), 2u) << tree;
             EXPECT_EQ(countOf(tree, " IDS_LOCKED\""), 23u) << tree;
             EXPECT_TRUE(has(tree, "text=\"IDS_ACHIEVEMENT_2 IDS_UNLOCKED\"")) << tree;
             EXPECT_TRUE(has(tree, "text=\"IDS_ACHIEVEMENT_7 IDS_UNLOCKED\"")) << tree;
         }},
    };
    for (const Flow &flow : flows) {
        SCOPED_TRACE(flow.name);
        // A fresh server and application folder for each.
        std::filesystem::remove_all(data.path());
        std::filesystem::create_directories(data.path());
        SetUp();
        if (flow.before)
            flow.before();
        flow.check(simSteps(flow.steps(), flow.exitCode));
        chat.reset();
    }
}

} // namespace
