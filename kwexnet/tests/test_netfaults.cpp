// The login service's requests and replies against a hostile network: which
// requests may go over plain http, and what a crafted reply may cost in
// memory while it is read.
#include "kwexnet/tarv_requests.h"
#include "kwexnet/tarv_responses.h"
#include "kwexnet/xml_reader.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

// Live bytes on the heap, through every operator new of this program, and
// the highest they reached since the last reset.
namespace {
std::atomic<long long> gLive{0};
std::atomic<long long> gPeak{0};

void *counted(std::size_t n)
{
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        throw std::bad_alloc();
    const long long now = gLive += static_cast<long long>(malloc_usable_size(p));
    for (long long peak = gPeak.load(); now > peak && !gPeak.compare_exchange_weak(peak, now);) {
    }
    return p;
}

void uncounted(void *p) noexcept
{
    if (p != nullptr) {
        gLive -= static_cast<long long>(malloc_usable_size(p));
        std::free(p);
    }
}
} // namespace

void *operator new(std::size_t n) { return counted(n); }
void *operator new[](std::size_t n) { return counted(n); }
void operator delete(void *p) noexcept { uncounted(p); }
void operator delete[](void *p) noexcept { uncounted(p); }
void operator delete(void *p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void *p, std::size_t) noexcept { uncounted(p); }

namespace {

using namespace KwexNet;

// Bytes the heap grew by at its highest while `work` ran.
long long peakGrowth(const std::function<void()> &work)
{
    const long long base = gLive.load();
    gPeak = base;
    work();
    return gPeak.load() - base;
}

std::string repeat(const std::string &piece, std::size_t times)
{
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

template <typename Reply>
bool parse(Reply &reply, const std::string &text)
{
    return reply.ParseFromResponseXML(text.data(), static_cast<unsigned int>(text.size()));
}

TEST(TarvHostileRequests, EveryRequestWithASessionOrAPasswordNeedsHttps)
{
    struct Builder {
        const char *name;
        bool credentials; // carries a session or a password
        std::function<bool(HTTPMessenger &)> build;
    };
    const std::map<unsigned int, std::string> prefs = {{1, "2"}};
    const std::vector<Builder> builders = {
        {"find server", false, [](auto &m) { return Tarv::CreateFindServerRequest(m, "http://h/find/", 28); }},
        {"login", true, [](auto &m) { return Tarv::CreateLoginRequest(m, "e", "p", 28, "k", "01", 0, true); }},
        {"logout", true, [](auto &m) { return Tarv::CreateLogoutRequest(m, "S", 28); }},
        {"register", true, [](auto &m) { return Tarv::CreateRegisterUserRequest(m, 28, "u", "p", "e", "", ""); }},
        {"forgot password", false, [](auto &m) { return Tarv::CreateForgotPasswordRequest(m, 28, "e", "u", "en"); }},
        {"modify with a password", true,
         [](auto &m) { return Tarv::CreateModifyAccountRequest(m, "S", 28, "p", "", "", ""); }},
        {"modify without a password", true,
         [](auto &m) { return Tarv::CreateModifyAccountRequest(m, "S", 28, "", "e", "", ""); }},
        {"preferences", true,
         [&](auto &m) { return Tarv::CreateUpdatePreferencesRequest(m, "S", 28, prefs, false); }},
        {"global preferences", true,
         [&](auto &m) { return Tarv::CreateUpdatePreferencesRequest(m, "S", 28, prefs, true); }},
        {"relations", true, [](auto &m) { return Tarv::CreateGetRelationsRequest(m, "S", 28, Tarv::kRelationNone); }},
        {"add relation", true,
         [](auto &m) { return Tarv::CreateAddRelationRequest(m, "S", 28, "t", Tarv::kRelationFriend); }},
        {"add relation by name", true,
         [](auto &m) { return Tarv::CreateAddRelationByUsernameRequest(m, "S", 28, "t", Tarv::kRelationBlock); }},
        {"post score", true, [](auto &m) { return Tarv::CreatePostScoreRequest(m, "S", 28, 2, 5, ""); }},
        {"leaderboard information", false,
         [](auto &m) { return Tarv::CreateGetLeaderboardRequestNoAuth(m, 28, 2, "u"); }},
        {"leaderboard page", false,
         [](auto &m) { return Tarv::CreateGetLeaderboardCDNRequest(m, "http://h/board", 40, 0, 25); }},
        {"join a room", true, [](auto &m) { return Tarv::CreateJoinGroupByTopicRequest(m, "S", 28, 0); }},
    };
    for (const auto &b : builders) {
        SCOPED_TRACE(b.name);
        HTTPMessenger m;
        Tarv::SetGlobalURL("tarv.test/app/", false);
        EXPECT_EQ(b.build(m), !b.credentials);
        EXPECT_EQ(m.hasRequest(), !b.credentials);
        if (b.credentials) {
            EXPECT_NE(Tarv::GetLastRequestError().find("no HTTPS server is known"), std::string::npos)
                << Tarv::GetLastRequestError();
        }
        Tarv::SetGlobalURL("tarv.test/app/", true);
        EXPECT_TRUE(b.build(m)) << Tarv::GetLastRequestError();
        EXPECT_TRUE(m.hasRequest());
    }
}

// Each hostile reply is a few megabytes; reading it may cost at most four
// times its size (plus a little for the reader itself), and the replies
// past a cap are refused.
TEST(TarvHostileReplies, ReadingAReplyCostsASmallMultipleOfItsSize)
{
    constexpr long long kSlack = 1 << 20;
    const std::string bigName(1 << 20, 'n');
    struct Case {
        const char *what;
        std::string reply;
        std::function<bool(const std::string &)> parse;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"discovery with a million empty attributes",
         "<appserver><server" + repeat(" a=\"\"", 1000000) + " type=\"https\" host=\"h/\"/></appserver>",
         [](const std::string &r) { Tarv::FindServerResponse x; return parse(x, r); }, false},
        {"login whose achievements field holds two million values",
         "<appserver><result id=\"0\"/><session_id>S</session_id><user_id>u</user_id><user_name>n</user_name>"
         "<profile id=\"4\" value=\"" + repeat("0,", 2000000) + "\"/></appserver>",
         [](const std::string &r) { Tarv::LoginResponse x; return parse(x, r); }, false},
        {"login with 200,000 profiles",
         "<appserver><result id=\"0\"/><session_id>S</session_id><user_id>u</user_id><user_name>n</user_name>" +
             [] {
                 std::string p;
                 for (int i = 0; i < 200000; ++i)
                     p += "<profile id=\"" + std::to_string(i) + "\" value=\"\"/>";
                 return p;
             }() + "</appserver>",
         [](const std::string &r) { Tarv::LoginResponse x; return parse(x, r); }, false},
        {"200,000 relations",
         "<appserver>" + repeat("<relation relation_status=\"FFF\"/>", 200000) + "</appserver>",
         [](const std::string &r) { Tarv::GetRelationsResponse x; return parse(x, r); }, false},
        {"a page whose first row's name is 1 MiB, then 300 rows",
         "<user_name>" + bigName + "</user_name>" + repeat("<gamedata/>", 300),
         [](const std::string &r) {
             Tarv::CDNLeaderboard x;
             const bool ok = x.ParseFromResponseXML(r.data(), static_cast<unsigned int>(r.size()), 1);
             EXPECT_TRUE(x.entries.empty());
             return ok;
         },
         false},
        {"a page of 300,000 empty rows", repeat("<gamedata/>", 300000),
         [](const std::string &r) {
             Tarv::CDNLeaderboard x;
             return x.ParseFromResponseXML(r.data(), static_cast<unsigned int>(r.size()), 1);
         },
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bool accepted = !c.accepted;
        const long long cost = peakGrowth([&] { accepted = c.parse(c.reply); });
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_LE(cost, 4 * static_cast<long long>(c.reply.size()) + kSlack) << "reply of " << c.reply.size();
    }
}

TEST(TarvHostileReplies, CapsLeaveOrdinaryRepliesAlone)
{
    // The largest page and login that are still read.
    std::string rows;
    const std::string field(Tarv::CDNLeaderboard::kMaxFieldBytes, 'x');
    for (std::size_t i = 0; i < Tarv::CDNLeaderboard::kMaxPageRows; ++i)
        rows += (i == 0 ? "<user_name>" + field + "</user_name><wins>3</wins>" : std::string()) + "<gamedata>g</gamedata>";
    Tarv::CDNLeaderboard page;
    ASSERT_TRUE(page.ParseFromResponseXML(rows.data(), static_cast<unsigned int>(rows.size()), 1));
    ASSERT_EQ(page.entries.size(), Tarv::CDNLeaderboard::kMaxPageRows);
    EXPECT_EQ(page.entries[0].user_name, field);
    EXPECT_EQ(page.entries[0].wins, 3);
    // Each row holds only its own fields.
    EXPECT_EQ(page.entries[1].user_name, "");
    EXPECT_EQ(page.entries[1].wins, 0);
    EXPECT_EQ(page.entries[1].rank, 2u);

    // One row more, or one byte more in a field, refuses the page whole and
    // keeps the rows read before it.
    const std::string more = rows + "<gamedata/>";
    EXPECT_FALSE(page.ParseFromResponseXML(more.data(), static_cast<unsigned int>(more.size()), 1));
    const std::string longer = "<score>" + field + "y</score><gamedata/>";
    EXPECT_FALSE(page.ParseFromResponseXML(longer.data(), static_cast<unsigned int>(longer.size()), 1));
    EXPECT_EQ(page.entries.size(), Tarv::CDNLeaderboard::kMaxPageRows);

    std::string login = "<appserver><result id=\"0\"/><session_id>S</session_id><user_id>u</user_id>"
                        "<user_name>n</user_name>";
    for (std::size_t i = 0; i < Tarv::LoginResponse::kMaxLoginEntries; ++i) {
        login += "<profile id=\"" + std::to_string(i) + "\" value=\"" +
                 std::string(i == 4 ? Tarv::LoginResponse::kMaxLoginValueBytes : 1, '1') + "\"/>";
    }
    Tarv::LoginResponse reply;
    EXPECT_TRUE(parse(reply, login + "</appserver>"));
    EXPECT_EQ(reply.profiles.size(), Tarv::LoginResponse::kMaxLoginEntries);
    EXPECT_FALSE(parse(reply, login + "<profile id=\"9999\" value=\"1\"/></appserver>"));

    std::string attributes;
    for (unsigned long i = 0; i < String::XmlReader::kMaxAttributes; ++i)
        attributes += " a" + std::to_string(i) + "=\"\"";
    for (const bool over : {false, true}) {
        const std::string tag = "<e" + attributes + (over ? " b=\"\"" : "") + "/>";
        String::XmlReader reader(tag.data(), tag.size());
        EXPECT_EQ(reader.Read(), !over);
        EXPECT_EQ(reader.getNodeType(), over ? String::XmlReader::kNodeNone : String::XmlReader::kNodeElement);
    }
}

} // namespace
