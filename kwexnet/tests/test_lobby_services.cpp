// Account, relations, leaderboard and room requests as a server receives
// them, byte for byte, and the replies that answer them.
#include "kwexnet/encode.h"
#include "kwexnet/tarv_requests.h"
#include "kwexnet/tarv_responses.h"
#include "platform/runloop.h"
#include "test_http_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace KwexNet;
using testsupport::RecordedRequest;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

bool gDone = false;
void onDone(HTTPMessenger *, eHTTPError)
{
    gDone = true;
}

// One HTTPS server (certificates are slow to make) for every request test.
class LobbyRequests : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        certs = TestCertificates::create().release();
        ASSERT_TRUE(certs && certs->ok()) << (certs ? certs->error() : "");
        server = new TestHttpServer(certs->serverTls());
        ASSERT_TRUE(server->start());
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete certs;
        server = nullptr;
        certs = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(server, nullptr);
        Tarv::SetGlobalURL("127.0.0.1:" + std::to_string(server->port()) + "/app/", true);
    }

    // Sends what `build` put in the messenger; the request as the server saw it.
    static RecordedRequest exchange(const std::function<bool(HTTPMessenger &)> &build)
    {
        HTTPMessenger m;
        m.setCAFile(certs->caCertificateFile());
        EXPECT_TRUE(build(m)) << Tarv::GetLastRequestError();
        const std::size_t before = server->requestCount();
        gDone = false;
        EXPECT_TRUE(m.sendRequest(&onDone, kHTTPSSLDefault));
        EXPECT_TRUE(platform::RunLoop::main().runUntil([] { return gDone; }, 10.0));
        EXPECT_EQ(server->requestCount(), before + 1);
        const auto seen = server->requests();
        return seen.empty() ? RecordedRequest{} : seen.back();
    }

    static TestCertificates *certs;
    static TestHttpServer *server;
};

TestCertificates *LobbyRequests::certs = nullptr;
TestHttpServer *LobbyRequests::server = nullptr;

TEST_F(LobbyRequests, FormPostsArriveByteForByte)
{
    using Build = std::function<bool(HTTPMessenger &)>;
    struct Case {
        const char *what;
        Build build;
        std::string path;
        std::string body;
    };
    const std::map<unsigned int, std::string> prefs{{3, "three"}, {1, "one"}};
    const std::vector<Case> cases = {
        {"register, four pairs",
         [](auto &m) { return Tarv::CreateRegisterUserRequest(m, 28, "neo", "pw", "n@x.io", "", ""); },
         "/app/registerUser/", "game_id=28&user_name=neo&user_password=pw&email=n%40x.io"},
        {"register, last name without first name",
         [](auto &m) { return Tarv::CreateRegisterUserRequest(m, 28, "neo", "a&b", "e", "", "Anderson"); },
         "/app/registerUser/", "game_id=28&user_name=neo&user_password=a%26b&email=e&last_name=Anderson"},
        {"register, both names",
         [](auto &m) { return Tarv::CreateRegisterUserRequest(m, 28, "u", "p", "e", "T A", "B"); },
         "/app/registerUser/", "game_id=28&user_name=u&user_password=p&email=e&first_name=T+A&last_name=B"},
        {"forgot password, empty language",
         [](auto &m) { return Tarv::CreateForgotPasswordRequest(m, 28, "e", "u", ""); }, "/app/forgotPassword/",
         "game_id=28&email=e&user_name=u&language="},
        {"modify, nothing optional",
         [](auto &m) { return Tarv::CreateModifyAccountRequest(m, "S1", 28, "", "", "", ""); }, "/app/modifyAccount/",
         "session=S1&game_id=28"},
        {"modify, everything",
         [](auto &m) { return Tarv::CreateModifyAccountRequest(m, "S1", 28, "p&q", "e", "f", "l"); },
         "/app/modifyAccount/", "session=S1&game_id=28&user_password=p%26q&email=e&first_name=f&last_name=l"},
        {"preferences in key order",
         [&](auto &m) { return Tarv::CreateUpdatePreferencesRequest(m, "S1", 28, prefs, false); },
         "/app/updatePreferences/", "session=S1&game_id=28&profile_id_1=one&profile_id_3=three"},
        {"global preferences, none",
         [](auto &m) { return Tarv::CreateUpdatePreferencesRequest(m, "S1", 28, {}, true); },
         "/app/updateGlobalPreferences/", "session=S1&game_id=28"},
        {"relations, filter 0",
         [](auto &m) { return Tarv::CreateGetRelationsRequest(m, "S1", 28, Tarv::kRelationNone); },
         "/app/getRelations/", "session=S1&game_id=28"},
        {"relations, filter B",
         [](auto &m) { return Tarv::CreateGetRelationsRequest(m, "S1", 28, Tarv::kRelationBlock); },
         "/app/getRelations/", "session=S1&game_id=28&relation_status=B"},
        {"add relation by id",
         [](auto &m) { return Tarv::CreateAddRelationRequest(m, "S1", 28, "id-7", Tarv::kRelationFriend); },
         "/app/addRelation/", "session=S1&game_id=28&target_user_id=id-7&relation_status=F"},
        {"add relation by name",
         [](auto &m) { return Tarv::CreateAddRelationByUsernameRequest(m, "S1", 28, "trin", Tarv::kRelationIgnore); },
         "/app/addRelationByUsername/", "session=S1&game_id=28&target_user_name=trin&relation_status=I"},
        {"score, empty metadata", [](auto &m) { return Tarv::CreatePostScoreRequest(m, "S1", 28, 4, 123456, ""); },
         "/app/postScore/", "session=S1&game_id=28&profile_id=4&value=123456&metadata="},
        {"leaderboard, empty user id", [](auto &m) { return Tarv::CreateGetLeaderboardRequestNoAuth(m, 28, 2, ""); },
         "/app/getLeaderboardNoAuth/", "game_id=28&profile_id=2"},
        {"leaderboard, user id", [](auto &m) { return Tarv::CreateGetLeaderboardRequestNoAuth(m, 28, 2, "u-1"); },
         "/app/getLeaderboardNoAuth/", "game_id=28&profile_id=2&user_id=u-1"},
        {"join, topic 5", [](auto &m) { return Tarv::CreateJoinGroupByTopicRequest(m, "S1", 28, 5); },
         "/app/joinGroupByTopic/", "session=S1&game_id=28&topic_id=5"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const RecordedRequest seen = exchange(c.build);
        EXPECT_EQ(seen.method, "POST");
        EXPECT_EQ(seen.path, c.path);
        EXPECT_EQ(seen.body, c.body);
        EXPECT_EQ(seen.header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(seen.header("Content-Length"), std::to_string(c.body.size()));
    }
}

TEST_F(LobbyRequests, LeaderboardPageIsARangedGet)
{
    const std::string file = server->url("/boards/b1.xml");
    const RecordedRequest seen =
        exchange([&](auto &m) { return Tarv::CreateGetLeaderboardCDNRequest(m, file, 100, 20, 10); });
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.path, "/boards/b1.xml");
    EXPECT_EQ(seen.header("Range"), "bytes=2000-2999");
    EXPECT_EQ(seen.header("Host"), "127.0.0.1");
    EXPECT_EQ(seen.body, "");

    // The builder itself sets nothing but Host and Range.
    struct Case {
        unsigned length, first, count;
        const char *range;
    };
    for (const Case c : {Case{100, 0, 10, "bytes=0-999"}, Case{100, 20, 10, "bytes=2000-2999"},
                         Case{100000, 30000, 10, "bytes=3000000000-3000999999"},
                         Case{0xFFFFFFFFu, 0xFFFFFFFFu, 1, "bytes=18446744065119617025-18446744069414584319"}}) {
        HTTPMessenger m;
        ASSERT_TRUE(Tarv::CreateGetLeaderboardCDNRequest(m, "http://cdn.test:8080/b.xml", c.length, c.first, c.count));
        EXPECT_EQ(m.getRequestMethod(), kHTTPRequestGet);
        EXPECT_EQ(m.getRequestHeaderFields(),
                  (std::vector<std::pair<std::string, std::string>>{{"Host", "cdn.test"}, {"Range", c.range}}));
        EXPECT_EQ(m.getRequestBody(), "");
    }
}

TEST_F(LobbyRequests, RefusedBuildsLeaveNothingToSend)
{
    using Build = std::function<bool(HTTPMessenger &)>;
    struct Case {
        const char *what;
        bool secure; // the base URL is https://
        Build build;
    };
    const std::vector<Case> refused = {
        {"register over http", false, [](auto &m) { return Tarv::CreateRegisterUserRequest(m, 28, "u", "p", "e", "", ""); }},
        {"modify with a password over http", false,
         [](auto &m) { return Tarv::CreateModifyAccountRequest(m, "S", 28, "p", "", "", ""); }},
        {"modify with a session only over http", false,
         [](auto &m) { return Tarv::CreateModifyAccountRequest(m, "S", 28, "", "e", "", ""); }},
        {"page of length 0", false,
         [](auto &m) { return Tarv::CreateGetLeaderboardCDNRequest(m, "http://h/f", 0, 0, 10); }},
        {"page of count 0", false,
         [](auto &m) { return Tarv::CreateGetLeaderboardCDNRequest(m, "http://h/f", 100, 0, 0); }},
        {"page without a host", false, [](auto &m) { return Tarv::CreateGetLeaderboardCDNRequest(m, "/f", 100, 0, 1); }},
        {"relation code N", true,
         [](auto &m) { return Tarv::CreateAddRelationRequest(m, "S", 28, "t", Tarv::kRelationNotAnswered); }},
        {"relation filter 'x'", true,
         [](auto &m) { return Tarv::CreateGetRelationsRequest(m, "S", 28, Tarv::Relation('x')); }},
    };
    const std::size_t before = server->requestCount();
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        Tarv::SetGlobalURL("127.0.0.1:" + std::to_string(server->port()) + "/app/", c.secure);
        HTTPMessenger m;
        ASSERT_TRUE(m.setRequestInfo("http://127.0.0.1/old", kHTTPRequestGet, kHTTPVersion11));
        EXPECT_FALSE(c.build(m));
        EXPECT_FALSE(m.hasRequest());
        EXPECT_NE(Tarv::GetLastRequestError(), "");
        EXPECT_FALSE(m.sendRequest(&onDone, kHTTPSSLDefault));
    }
    platform::RunLoop::main().runFor(0.05);
    EXPECT_EQ(server->requestCount(), before);
}

// ---------------------------------------------------------------------------
// Replies

std::string doc(const std::string &inner, bool closed = true)
{
    return "<?xml version=\"1.0\"?><appserver>" + inner + (closed ? "</appserver>" : "");
}

std::string relation(const std::string &name, const std::string &status, const std::string &mode = "00000000",
                     int online = 1)
{
    return "<relation game_id=\"28\" user_id=\"me\" target_user_id=\"id-" + name + "\" target_user_name=\"" + name +
           "\" target_user_online_status=\"" + std::to_string(online) + "\" game_mode=\"" + mode +
           "\" game_mode_text=\"t\" relation_status=\"" + status + "\"/>";
}

template <typename Reply>
bool parse(Reply &reply, const std::string &text)
{
    return reply.ParseFromResponseXML(text.data(), static_cast<unsigned int>(text.size()));
}

bool parse(Tarv::CDNLeaderboard &board, const std::string &text, unsigned int firstRank)
{
    return board.ParseFromResponseXML(text.data(), static_cast<unsigned int>(text.size()), firstRank);
}

std::vector<std::string> names(const Tarv::GetRelationsResponse &r, const std::vector<std::size_t> &list)
{
    std::vector<std::string> out;
    for (const std::size_t i : list) {
        out.push_back(r.entries.at(i).target_user_name);
    }
    return out;
}

TEST(LobbyReplies, RelationsSortIntoTheirLists)
{
    using V = std::vector<std::string>;
    struct Case {
        const char *status;
        V friends, blocked, sent, received;
        bool isBlocked;
        int online;
    };
    const std::vector<Case> cases = {
        {"F?F", {"x"}, {}, {}, {}, false, 1}, {"FxN", {}, {}, {"x"}, {}, false, 1},
        {"N-F", {}, {}, {}, {"x"}, false, 1}, {"B-I", {}, {"x"}, {}, {}, true, 0},
        {"B-B", {}, {"x"}, {}, {}, true, 0},  {"B-F", {}, {"x"}, {}, {}, true, 1},
        {"F-B", {}, {}, {}, {}, true, 1},     {"I-F", {}, {}, {}, {}, false, 1},
        {"FF", {}, {}, {}, {}, false, 1},     {"F--F", {}, {}, {}, {}, false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        Tarv::GetRelationsResponse r;
        ASSERT_TRUE(parse(r, doc(relation("x", c.status))));
        EXPECT_EQ(names(r, r.friends), c.friends);
        EXPECT_EQ(names(r, r.blocked), c.blocked);
        EXPECT_EQ(names(r, r.pending_sent), c.sent);
        EXPECT_EQ(names(r, r.pending_received), c.received);
        const bool kept = std::string(c.status).size() == 3;
        ASSERT_EQ(r.entries.size(), kept ? 1u : 0u);
        EXPECT_EQ(r.blocked_names.count("x"), c.isBlocked ? 1u : 0u);
        if (kept) {
            EXPECT_EQ(r.entries[0].blocked, c.isBlocked);
            EXPECT_EQ(r.entries[0].target_user_online_status, c.online);
        }
    }
}

TEST(LobbyReplies, RelationFieldsErrorsAndCopies)
{
    Tarv::GetRelationsResponse r;
    ASSERT_TRUE(parse(r, doc(relation("a", "F F", "00120051") + relation("b", "FNF", "0012005") +
                             "<error id=\"3\" message=\"m\"/>")));
    ASSERT_EQ(r.entries.size(), 2u);
    const auto &a = r.entries[0];
    EXPECT_EQ(a.game_id, 28);
    EXPECT_EQ(a.target_user_id, "id-a");
    EXPECT_EQ(a.game_mode_text, "t");
    EXPECT_EQ(std::vector({a.mode_major, a.mode_minor}), std::vector({12, 5}));
    EXPECT_TRUE(a.mode_flag);
    const auto &b = r.entries[1];
    EXPECT_EQ(std::vector({b.mode_major, b.mode_minor}), std::vector({0, 0}));
    EXPECT_FALSE(b.mode_flag);
    EXPECT_EQ(r.error_id, 3);
    EXPECT_EQ(r.error_message, "m");

    // A copy's lists index its own entries; a new parse starts afresh.
    Tarv::GetRelationsResponse copy = r;
    ASSERT_TRUE(parse(r, doc("")));
    EXPECT_TRUE(r.entries.empty() && r.friends.empty() && r.blocked_names.empty());
    EXPECT_EQ(r.error_id, 0);
    EXPECT_EQ(names(copy, copy.friends), (std::vector<std::string>{"a", "b"}));

    // Cut: false, with what was read sorted.
    EXPECT_FALSE(parse(r, doc(relation("c", "FxF"), false)));
    EXPECT_EQ(names(r, r.friends), std::vector<std::string>{"c"});
}

TEST(LobbyReplies, LeaderboardInformation)
{
    const std::string full = "<current_cdn>http://c/1</current_cdn><current_record_length>100</current_record_length>"
                             "<current_total_records>7</current_total_records><last_cdn>http://c/0</last_cdn>"
                             "<last_record_length>90</last_record_length><last_rank>4</last_rank>";
    Tarv::GetLeaderboardResponse info;
    ASSERT_TRUE(parse(info, doc(full)));
    EXPECT_EQ(info.current_cdn, "http://c/1");
    EXPECT_EQ(info.current_rank, -1);
    EXPECT_EQ(info.current_record_length, 100);
    EXPECT_EQ(info.current_total_records, 7);
    EXPECT_EQ(info.last_cdn, "http://c/0");
    EXPECT_EQ(info.last_rank, 4);
    EXPECT_EQ(info.last_record_length, 90);

    ASSERT_TRUE(parse(info, doc("<current_rank>12</current_rank>" + full)));
    EXPECT_EQ(info.current_rank, 12);
    EXPECT_FALSE(parse(info, doc(full, false)));
    EXPECT_FALSE(parse(info, doc("<current_cdn>x</current_cdn>")));
    EXPECT_EQ(info.current_rank, -1);
    EXPECT_TRUE(parse(info, doc("<error id=\"9\" message=\"no\"/>")));
    EXPECT_EQ(info.error_id, 9);
}

std::string row(const std::string &user, const std::string &wins,
                const std::string &metadata = "<metadata>m</metadata>")
{
    return "<row><score>" + user + "00</score><user_name>" + user + "</user_name><user_id>id-" + user + "</user_id>" +
           wins + "<losses>2</losses><avatar_id>5</avatar_id>" + metadata + "<gamedata>g" + user + "</gamedata></row>";
}

TEST(LobbyReplies, LeaderboardPages)
{
    Tarv::CDNLeaderboard board;
    ASSERT_TRUE(
        parse(board, row("a", "<wins>3</wins>") + row("b", "", "<metadata/>") + row("c", "<wins>1</wins>"), 40));
    ASSERT_EQ(board.entries.size(), 3u);
    const Tarv::cdn_leaderboard_entry first{40, 5, 3, 2, "a00", "a", "id-a", "m", "ga"};
    EXPECT_EQ(board.entries[0], first);
    EXPECT_EQ(board.entries[1].rank, 41u);
    EXPECT_EQ(board.entries[1].wins, 0); // nothing carries over from the row before
    EXPECT_EQ(board.entries[1].metadata, ""); // nor through an empty tag
    EXPECT_EQ(board.entries[2].rank, 42u);
    EXPECT_EQ(board.entries[2].wins, 1);

    // Appended, never emptied; a cut row makes no row; a first row without
    // numbers starts from 0.
    const std::string cut = row("d", "") + "<row><score>9</score><user_name>e";
    ASSERT_TRUE(parse(board, cut, 7));
    ASSERT_EQ(board.entries.size(), 4u);
    EXPECT_EQ(board.entries[3].rank, 7u);
    EXPECT_EQ(board.entries[3].user_name, "d");
    Tarv::CDNLeaderboard fresh;
    ASSERT_TRUE(parse(fresh, std::string("<gamedata>x</gamedata>"), 1));
    ASSERT_EQ(fresh.entries.size(), 1u);
    EXPECT_EQ(fresh.entries[0], (Tarv::cdn_leaderboard_entry{1, 0, 0, 0, "", "", "", "", "x"}));
}

TEST(LobbyReplies, JoinAndLobbyAnswers)
{
    struct Case {
        const char *what;
        std::string text;
        bool complete;
        int error, server, group;
        const char *address;
    };
    const std::string info = "<group_info server_id=\"3\" address=\"10.0.0.2:5000\" group_id=\"9\"/>";
    const std::vector<Case> cases = {
        {"result and group", doc("<result id=\"0\"/>" + info), true, 0, 3, 9, "10.0.0.2:5000"},
        {"group without result", doc(info), false, 0, 3, 9, "10.0.0.2:5000"},
        {"error only", doc("<error id=\"4\" message=\"full\"/>"), true, 4, -1, -1, "untouched"},
        {"cut", doc("<result/>" + info, false), false, 0, 3, 9, "10.0.0.2:5000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Tarv::JoinGroupByTopicResponse join;
        join.server_id = -1;
        join.group_id = -1;
        join.address = "untouched";
        EXPECT_EQ(parse(join, c.text), c.complete);
        EXPECT_EQ(join.error_id, c.error);
        EXPECT_EQ(join.server_id, c.server);
        EXPECT_EQ(join.group_id, c.group);
        EXPECT_EQ(join.address, c.address);
    }
    Tarv::LobbyResponse lobby;
    EXPECT_TRUE(parse(lobby, doc("<result id=\"2\"/>")));
    EXPECT_EQ(lobby.result, 2);
}

TEST(LobbyReplies, HexSessionIds)
{
    struct Case {
        const char *text;
        std::uint64_t value;
    };
    for (const Case c :
         {Case{"1A", 26}, Case{"1a", 26}, Case{"ff", 255}, Case{"", 0}, Case{"1-2", 0x102}, Case{"g1", 1},
          Case{"zZ", 0}, Case{"123456789abcdef01", 0x23456789abcdef01}, Case{"FFFFFFFFFFFFFFFF", ~std::uint64_t{0}}}) {
        SCOPED_TRACE(c.text);
        std::uint64_t value = 99;
        ASSERT_TRUE(Encode::hexStringToLong(c.text, value));
        EXPECT_EQ(value, c.value);
    }
    std::uint64_t value = 99;
    EXPECT_FALSE(Encode::hexStringToLong(nullptr, value));
    EXPECT_EQ(value, 99u);
}

} // namespace
