// Login-service requests (every byte that would go out) and replies
// (examples, completeness, hostile and cut documents).
#include "kwexnet/tarv_requests.h"
#include "kwexnet/tarv_responses.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace KwexNet;
using Headers = std::vector<std::pair<std::string, std::string>>;

const std::string kAppKey = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";

void expectFormPost(const HTTPMessenger &m, const std::string &url, const std::string &body)
{
    ASSERT_TRUE(m.hasRequest());
    EXPECT_EQ(m.getRequestURL(), url);
    EXPECT_EQ(m.getRequestMethod(), kHTTPRequestPost);
    EXPECT_EQ(m.getRequestVersion(), kHTTPVersion11);
    EXPECT_EQ(m.getRequestHeaderFields(),
              (Headers{{"Content-Type", "application/x-www-form-urlencoded"},
                       {"Content-Length", std::to_string(body.size())}}));
    EXPECT_EQ(m.getRequestBody(), body);
}

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

TEST(TarvRequests, LogoutPostsExactlySessionAndGame)
{
    Tarv::SetGlobalURL("tarv.test/web_http_app/", true);
    EXPECT_EQ(Tarv::GetGlobalURL(), "https://tarv.test/web_http_app/");
    HTTPMessenger m;
    EXPECT_TRUE(Tarv::CreateLogoutRequest(m, "S1", 28));
    expectFormPost(m, "https://tarv.test/web_http_app/logout/", "session=S1&game_id=28");
    EXPECT_EQ(m.getRequestHeaderFields().at(1).second, "21");
    EXPECT_EQ(Tarv::GetLastRequestError(), "");
}

TEST(TarvRequests, LoginWritesItsSevenFieldsInOrder)
{
    Tarv::SetGlobalURL("secure.tarv.test/app/", true);
    EXPECT_EQ(Tarv::GetGlobalURL(), "https://secure.tarv.test/app/");
    HTTPMessenger m;
    ASSERT_TRUE(Tarv::CreateLoginRequest(m, "jo@example.com", "secret", 28, kAppKey, "01", 0, true));
    expectFormPost(m, "https://secure.tarv.test/app/login/",
                   "email=jo%40example.com&user_password=secret&game_id=28&secret_key=" + kAppKey +
                       "&platform_id=01&protocol_version=0&force_kick=true");

    ASSERT_TRUE(Tarv::CreateLoginRequest(m, "jo", "pw", 4294967295u, kAppKey, "01", 7, false));
    expectFormPost(m, "https://secure.tarv.test/app/login/",
                   "email=jo&user_password=pw&game_id=4294967295&secret_key=" + kAppKey +
                       "&platform_id=01&protocol_version=7&force_kick=false");

    // Empty texts still write their names.
    ASSERT_TRUE(Tarv::CreateLoginRequest(m, "", "", 28, "", "", 255, true));
    expectFormPost(m, "https://secure.tarv.test/app/login/",
                   "email=&user_password=&game_id=28&secret_key=&platform_id=&protocol_version=255"
                   "&force_kick=true");
}

TEST(TarvRequests, ValuesCannotInjectFormFields)
{
    Tarv::SetGlobalURL("secure.tarv.test/", true);
    HTTPMessenger m;
    const std::string password = "pw&game_id=1&force_kick=false x+y%";
    ASSERT_TRUE(Tarv::CreateLoginRequest(m, "a b=c@d.e", password, 28, kAppKey, "01", 0, true));
    const std::string body = m.getRequestBody();
    EXPECT_EQ(body, "email=a+b%3Dc%40d.e&user_password=pw%26game_id%3D1%26force_kick%3Dfalse+x%2By%25"
                    "&game_id=28&secret_key=" + kAppKey + "&platform_id=01&protocol_version=0&force_kick=true");
    const auto pairs = split(body, '&');
    const char *names[] = {"email", "user_password", "game_id", "secret_key", "platform_id",
                           "protocol_version", "force_kick"};
    ASSERT_EQ(pairs.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(split(pairs[i], '=').size(), 2u) << pairs[i];
        EXPECT_EQ(pairs[i].substr(0, pairs[i].find('=')), names[i]);
    }

    ASSERT_TRUE(Tarv::CreateLogoutRequest(m, "S1&game_id=99", 28));
    expectFormPost(m, "https://secure.tarv.test/logout/", "session=S1%26game_id%3D99&game_id=28");
}

TEST(TarvRequests, FormEncodingKeepsOnlyUnreservedBytes)
{
    for (int c = 0; c < 256; ++c) {
        const std::string in(1, static_cast<char>(c));
        const std::string out = Tarv::FormEncode(in);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            EXPECT_EQ(out, in);
        } else if (c == ' ') {
            EXPECT_EQ(out, "+");
        } else {
            char expected[4];
            std::snprintf(expected, sizeof expected, "%%%02X", c);
            EXPECT_EQ(out, expected) << c;
        }
    }
    EXPECT_EQ(Tarv::FormEncode(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(Tarv::FormEncode("\xC3\xA9t\xC3\xA9"), "%C3%A9t%C3%A9");
}

TEST(TarvRequests, LoginIsRefusedWithoutAnHttpsServer)
{
    HTTPMessenger m;
    struct Base {
        const char *host;
        bool secure;
    };
    for (const Base base : {Base{"tarv.test/", false}, Base{"", true}, Base{"", false}}) {
        SCOPED_TRACE(base.host);
        Tarv::SetGlobalURL(base.host, base.secure);
        // An earlier request must not survive to be sent by mistake.
        ASSERT_TRUE(Tarv::CreateForgotPasswordRequest(m, 28, "jo@example.com", "", "en"));
        EXPECT_FALSE(Tarv::CreateLoginRequest(m, "jo", "secret", 28, kAppKey, "01", 0, true));
        EXPECT_FALSE(m.hasRequest());
        EXPECT_EQ(m.getRequestBody(), "");
        EXPECT_NE(Tarv::GetLastRequestError().find("HTTPS"), std::string::npos)
            << Tarv::GetLastRequestError();
    }
    Tarv::SetGlobalURL("tarv.test/", true);
    EXPECT_TRUE(Tarv::CreateLoginRequest(m, "jo", "secret", 28, kAppKey, "01", 0, true));
    EXPECT_EQ(Tarv::GetLastRequestError(), "");
}

TEST(TarvRequests, DiscoveryGoesToTheGivenUrlWhateverTheBase)
{
    Tarv::SetGlobalURL("secure.tarv.test/", true);
    HTTPMessenger m;
    const char *url = "http://find.tarv.test/web_http_app/server/findAvailableServer/";
    ASSERT_TRUE(Tarv::CreateFindServerRequest(m, url, 28));
    expectFormPost(m, url, "game_id=28");

    EXPECT_FALSE(Tarv::CreateFindServerRequest(m, nullptr, 28));
    EXPECT_FALSE(m.hasRequest());
    EXPECT_NE(Tarv::GetLastRequestError(), "");
}

TEST(TarvRequests, EachBuildReplacesTheWholeRequest)
{
    Tarv::SetGlobalURL("secure.tarv.test/", true);
    HTTPMessenger m;
    ASSERT_TRUE(Tarv::CreateLoginRequest(m, "jo", "a much longer password", 28, kAppKey, "01", 0, true));
    ASSERT_TRUE(Tarv::CreateLogoutRequest(m, "S1", 28));
    expectFormPost(m, "https://secure.tarv.test/logout/", "session=S1&game_id=28");
}

// ---------------------------------------------------------------------------
// Replies

// Parses from a heap copy of exactly the given bytes.
template <typename Reply>
bool parse(Reply &reply, const std::string &text)
{
    std::unique_ptr<char[]> copy(new char[text.size()]);
    std::memcpy(copy.get(), text.data(), text.size());
    return reply.ParseFromResponseXML(copy.get(), static_cast<unsigned int>(text.size()));
}

std::string inReply(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<appserver>\n" + body + "\n</appserver>\n";
}

TEST(TarvStatusReplies, ResultOrErrorInAClosedAppserver)
{
    Tarv::RegisterUserResponse r;
    r.result = 5;
    r.error_id = 5;
    EXPECT_TRUE(parse(r, inReply("<result id=\"0\"/>")));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.error_id, 0);

    Tarv::ForgotPasswordResponse e;
    EXPECT_TRUE(parse(e, inReply("<error id=\"12\" message=\"No such user\"/>")));
    EXPECT_EQ(e.error_id, 12);
    EXPECT_EQ(e.error_message, "No such user");
    EXPECT_EQ(e.result, 0);

    // Absent attributes read as empty texts.
    EXPECT_TRUE(parse(e, inReply("<error id=\"3\"/>")));
    EXPECT_EQ(e.error_id, 3);
    EXPECT_EQ(e.error_message, "");
    EXPECT_TRUE(parse(e, inReply("<error message=\"m\"/>")));
    EXPECT_EQ(e.error_id, 0);
    EXPECT_EQ(e.error_message, "m");

    // Names are case-sensitive; a closed reply with no answer is incomplete.
    Tarv::ModifyAccountResponse c;
    EXPECT_FALSE(parse(c, inReply("<Result id=\"4\"/>")));
    EXPECT_EQ(c.result, 0);
    EXPECT_FALSE(parse(c, "<appserver></appserver>"));

    Tarv::LobbyResponse l;
    EXPECT_TRUE(parse(l, "<appserver><result id='9'></result></appserver>"));
    EXPECT_EQ(l.result, 9);
}

TEST(TarvStatusReplies, CutBeforeTheClosingTagIsIncomplete)
{
    Tarv::RegisterUserResponse r;
    EXPECT_FALSE(parse(r, "<appserver>\n<result id=\"7\"/>\n"));
    EXPECT_EQ(r.result, 7);
    // Two answers without the closing tag are still incomplete.
    EXPECT_FALSE(parse(r, "<appserver><result id=\"1\"/><error id=\"2\" message=\"x\"/><result id=\"3\"/>"));
    EXPECT_FALSE(parse(r, "<appserver><result id=\"1\"/></appserver"));

    Tarv::UpdatePreferencesResponse u;
    EXPECT_FALSE(parse(u, "<appserver><success/><error id=\"2\"/>"));
}

TEST(TarvStatusReplies, SuccessStyleReplies)
{
    Tarv::UpdatePreferencesResponse u;
    u.error_id = 8;
    EXPECT_TRUE(parse(u, inReply("<success/>")));
    EXPECT_EQ(u.error_id, 0);
    EXPECT_FALSE(parse(u, inReply("<result id=\"0\"/>")));

    Tarv::AddRelationResponse a;
    EXPECT_TRUE(parse(a, inReply("<error id=\"21\" message=\"Unknown user\"/>")));
    EXPECT_EQ(a.error_id, 21);
    EXPECT_EQ(a.error_message, "Unknown user");
}

TEST(TarvStatusReplies, NumbersReadLikeAtoiWithoutOverflow)
{
    struct Case {
        const char *text;
        std::int32_t value;
    };
    const Case cases[] = {
        {"42", 42},          {" \t-42abc", -42},        {"+7", 7},
        {"x1", 0},           {"", 0},                   {"2147483647", INT_MAX},
        {"2147483648", INT_MAX}, {"99999999999999999999", INT_MAX}, {"-2147483648", INT_MIN},
        {"-99999999999999999999", INT_MIN}, {"0012", 12},
    };
    for (const auto &c : cases) {
        Tarv::LobbyResponse l;
        ASSERT_TRUE(parse(l, inReply(std::string("<result id=\"") + c.text + "\"/>"))) << c.text;
        EXPECT_EQ(l.result, c.value) << c.text;
    }
}

TEST(TarvFindServer, HostsPortAndVersions)
{
    Tarv::FindServerResponse f;
    EXPECT_TRUE(parse(f, inReply("<server type=\"http\" host=\"tarv.test/app/\"/>\n"
                                 "<server type=\"https\" host=\"secure.tarv.test/app/\"/>\n"
                                 "<server type=\"socket\" host=\"chat.tarv.test\" port=\"70000\"/>\n"
                                 "<version platform=\"IPhone\" number=\"1.2\"/>\n"
                                 "<version platform=\"IPad\" number=\"2.0\"/>\n"
                                 "<version platform=\"iphone\" number=\"9.9\"/>")));
    EXPECT_EQ(f.http_host, "tarv.test/app/");
    EXPECT_EQ(f.https_host, "secure.tarv.test/app/");
    EXPECT_EQ(f.socket_host, "chat.tarv.test");
    EXPECT_EQ(f.socket_port, 4464); // 70000 in 16 bits
    EXPECT_EQ(f.iphone_version, "1.2");
    EXPECT_EQ(f.ipad_version, "2.0");
    EXPECT_EQ(f.error_id, 0);

    Tarv::FindServerResponse other;
    EXPECT_TRUE(parse(other, inReply("<server type=\"ftp\" host=\"x\"/><server type=\"HTTP\" host=\"y\"/>")));
    EXPECT_EQ(other.http_host, "");
    EXPECT_EQ(other.https_host, "");
    EXPECT_EQ(other.socket_host, "");

    Tarv::FindServerResponse error;
    EXPECT_TRUE(parse(error, inReply("<error id=\"5\" message=\"Maintenance\"/>")));
    EXPECT_EQ(error.error_id, 5);
    EXPECT_EQ(error.error_message, "Maintenance");
}

TEST(TarvFindServer, CutReplyIsIncompleteSoNoPlainHostIsTrusted)
{
    // Cut after the plain server: the https one may have been lost.
    Tarv::FindServerResponse f;
    EXPECT_FALSE(parse(f, "<appserver><server type=\"http\" host=\"tarv.test/\"/>"));
    EXPECT_FALSE(parse(f, "<appserver><server type=\"http\" host=\"tarv.test/\"/><error id=\"1\"/>"));
}

const std::string kLogin = inReply("<result id=\"0\"/>\n"
                                   "<session_id>4F2A9C01</session_id>\n"
                                   "<user_id>0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d</user_id>\n"
                                   "<user_email>jo@example.com</user_email>\n"
                                   "<user_name>Jo &amp; Co</user_name>\n"
                                   "<user_firstname>Jo</user_firstname>\n"
                                   "<user_lastname>Ann</user_lastname>\n"
                                   "<pid_cdn>http://cdn.tarv.test/pid/</pid_cdn>\n"
                                   "<leaderboard_cdn>http://cdn.tarv.test/lb/</leaderboard_cdn>\n"
                                   "<avatar_cdn>http://cdn.tarv.test/av/</avatar_cdn>\n"
                                   "<profile id=\"1\" name=\"hs\" value=\"100\"/>\n"
                                   "<profile id=\"4\" name=\"ach\" value=\"a|b\"/>\n"
                                   "<profile id=\"1\" name=\"hs\" value=\"999\"/>\n"
                                   "<game id=\"28\" name=\"paddle\" value=\"on\"/>");

TEST(TarvLogin, FillsEveryField)
{
    Tarv::LoginResponse r;
    r.result = 3;
    r.error_id = 3;
    ASSERT_TRUE(parse(r, kLogin));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.session_id, "4F2A9C01");
    EXPECT_EQ(r.user_id, "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d");
    EXPECT_EQ(r.user_email, "jo@example.com");
    EXPECT_EQ(r.user_name, "Jo &amp; Co");
    EXPECT_EQ(r.user_firstname, "Jo");
    EXPECT_EQ(r.user_lastname, "Ann");
    EXPECT_EQ(r.pid_cdn, "http://cdn.tarv.test/pid/");
    EXPECT_EQ(r.leaderboard_cdn, "http://cdn.tarv.test/lb/");
    EXPECT_EQ(r.avatar_cdn, "http://cdn.tarv.test/av/");
    // A repeated id keeps its first value.
    EXPECT_EQ(r.profiles, (std::map<unsigned int, std::string>{{1, "100"}, {4, "a|b"}}));
    EXPECT_EQ(r.games, (std::map<unsigned int, std::string>{{28, "on"}}));
    EXPECT_EQ(r.error_id, 0);

    // The body as the messenger hands it over counts a terminating zero.
    Tarv::LoginResponse z;
    EXPECT_TRUE(z.ParseFromResponseXML(kLogin.c_str(), static_cast<unsigned int>(kLogin.size() + 1)));
    EXPECT_EQ(z.session_id, "4F2A9C01");

    // The maps are emptied by the next parse.
    ASSERT_TRUE(parse(r, inReply("<error id=\"2\" message=\"Wrong password\"/>")));
    EXPECT_TRUE(r.profiles.empty());
    EXPECT_TRUE(r.games.empty());
    EXPECT_EQ(r.error_id, 2);
    EXPECT_EQ(r.error_message, "Wrong password");
}

TEST(TarvLogin, TextIsTheNodeRightAfterTheStartTag)
{
    Tarv::LoginResponse r;
    r.user_firstname = "old";
    ASSERT_TRUE(parse(r, inReply("<result id=\"0\"/><session_id>\nAB</session_id>"
                                 "<user_id></user_id><user_name>N</user_name>"
                                 "<user_firstname/><user_lastname>L</user_lastname>")));
    EXPECT_EQ(r.session_id, "\n");
    EXPECT_EQ(r.user_id, "");
    EXPECT_EQ(r.user_firstname, "");
    EXPECT_EQ(r.user_lastname, "L"); // not swallowed by the empty tag before it
}

TEST(TarvLogin, CompletenessNeedsTheRequiredElementsOrAnError)
{
    const std::string required[] = {"<result id=\"0\"/>", "<session_id>S</session_id>",
                                    "<user_id>U</user_id>", "<user_name>N</user_name>"};
    for (int skip = 0; skip < 4; ++skip) {
        std::string body;
        for (int i = 0; i < 4; ++i) {
            if (i != skip) {
                body += required[i];
            }
        }
        Tarv::LoginResponse r;
        EXPECT_FALSE(parse(r, inReply(body))) << skip;
    }
    Tarv::LoginResponse r;
    EXPECT_TRUE(parse(r, inReply(required[0] + required[1] + required[2] + required[3])));
    // An error with other elements, cut before the closing tag.
    EXPECT_FALSE(parse(r, "<appserver><error id=\"1\" message=\"x\"/><result id=\"0\"/>"
                          "<session_id>S</session_id>"));
    EXPECT_EQ(r.error_id, 1);
}

TEST(TarvReplies, EveryPrefixOfAReplyIsIncomplete)
{
    const auto end = kLogin.find("</appserver>") + std::strlen("</appserver>");
    for (std::size_t cut = 0; cut < kLogin.size(); ++cut) {
        const std::string text = kLogin.substr(0, cut);
        Tarv::LoginResponse login;
        Tarv::FindServerResponse find;
        Tarv::RegisterUserResponse status;
        Tarv::AddRelationResponse success;
        EXPECT_EQ(parse(login, text), cut >= end) << cut;
        EXPECT_EQ(parse(find, text), cut >= end) << cut;
        EXPECT_EQ(parse(status, text), cut >= end) << cut;
        EXPECT_FALSE(parse(success, text));
    }
    Tarv::LoginResponse none;
    EXPECT_FALSE(none.ParseFromResponseXML(nullptr, 100));
    EXPECT_FALSE(none.ParseFromResponseXML(nullptr, 0));
}

TEST(TarvReplies, MangledRepliesNeverClaimToBeComplete)
{
    // Random edits of a real reply: nothing may crash, and a reply without
    // a closing appserver tag is never complete.
    std::mt19937 rng(11);
    const char alphabet[] = "<>/=\"' \n?xa";
    for (int trial = 0; trial < 3000; ++trial) {
        std::string text = kLogin;
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = rng() % text.size();
            switch (rng() % 4) {
            case 0: text[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
            case 1: text.erase(at, 1 + rng() % 20); break;
            case 2: text.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
            default: text[at] = static_cast<char>(rng()); break;
            }
        }
        const bool closed = text.find("</appserver") != std::string::npos;
        Tarv::LoginResponse login;
        Tarv::FindServerResponse find;
        Tarv::LobbyResponse lobby;
        Tarv::UpdatePreferencesResponse prefs;
        const bool complete[] = {parse(login, text), parse(find, text), parse(lobby, text),
                                 parse(prefs, text)};
        for (const bool c : complete) {
            if (c) {
                EXPECT_TRUE(closed) << text;
            }
        }
    }
}

} // namespace
