#include "kwexnet/http_messenger.h"

#include <platform/runloop.h>

#include "test_http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {

using KwexNet::HTTPMessenger;
using testsupport::Reply;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

// What the plain-function callbacks saw.
struct Completion {
    HTTPMessenger *messenger = nullptr;
    KwexNet::eHTTPError error = KwexNet::kHTTPErrorNone;
    int status = 0;
    std::string body;
    bool afterSendReturned = false;
};

std::vector<Completion> gCompletions;
bool gSendReturned = false;

void record(HTTPMessenger *m, KwexNet::eHTTPError error)
{
    Completion c;
    c.messenger = m;
    c.error = error;
    c.status = m->getResponseStatusCode();
    unsigned char *body = nullptr;
    unsigned long length = 0;
    if (m->getResponseBody(&body, length))
        c.body.assign(reinterpret_cast<const char *>(body), length - 1);
    delete[] body;
    c.afterSendReturned = gSendReturned;
    gCompletions.push_back(c);
}

platform::RunLoop &mainLoop() { return platform::RunLoop::main(); }

bool waitForCompletions(std::size_t count, double seconds = 10.0)
{
    return mainLoop().runUntil([&] { return gCompletions.size() >= count; }, seconds);
}

// Builds a request and sends it, noting when sendRequest has returned.
bool send(HTTPMessenger &m, const std::string &url, KwexNet::eHTTPRequestMethod method = KwexNet::kHTTPRequestGet,
          KwexNet::eHTTPSSLSecuritySetting security = KwexNet::kHTTPSSLDefault,
          KwexNet::HTTPCallback callback = &record)
{
    m.clearRequest();
    m.clearResponse();
    if (!m.setRequestInfo(url.c_str(), method, KwexNet::kHTTPVersion11))
        return false;
    gSendReturned = false;
    const bool ok = m.sendRequest(callback, security);
    gSendReturned = true;
    return ok;
}

class HTTPMessengerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gCompletions.clear();
        gSendReturned = false;
    }
    void TearDown() override
    {
        // Nothing of this test may leak into the next one's loop.
        mainLoop().runFor(0.02);
    }
};

class HTTPMessengerServer : public HTTPMessengerTest {
protected:
    void SetUp() override
    {
        HTTPMessengerTest::SetUp();
        ASSERT_TRUE(server.start());
    }
    TestHttpServer server;
};

// --- building a request --------------------------------------------------------

TEST_F(HTTPMessengerTest, SettersRefuseMisuseAndChangeNothing)
{
    HTTPMessenger m;
    const unsigned long three = 3;
    const unsigned long zero = 0;
    EXPECT_FALSE(m.setRequestHeaderField("A", "b")); // no request yet
    EXPECT_FALSE(m.setRequestBody(reinterpret_cast<const unsigned char *>("abc"), three));
    EXPECT_FALSE(m.setRequestInfo(nullptr, KwexNet::kHTTPRequestGet, KwexNet::kHTTPVersion11));
    EXPECT_FALSE(m.hasRequest());
    EXPECT_FALSE(m.sendRequest(&record, KwexNet::kHTTPSSLDefault));

    ASSERT_TRUE(m.setRequestInfo("http://127.0.0.1/x", KwexNet::kHTTPRequestPost, KwexNet::kHTTPVersion10));
    EXPECT_FALSE(m.setRequestHeaderField(nullptr, "v"));
    EXPECT_FALSE(m.setRequestHeaderField("A", nullptr));
    EXPECT_FALSE(m.setRequestHeaderField("X-Split", "a\r\nInjected: yes"));
    EXPECT_FALSE(m.setRequestHeaderField("Bad Name", "v"));
    EXPECT_FALSE(m.setRequestHeaderField("X-Utf8", "\xC3")); // cut UTF-8 sequence
    EXPECT_FALSE(m.setRequestBody(nullptr, three));
    EXPECT_FALSE(m.setRequestBody(reinterpret_cast<const unsigned char *>("abc"), zero));
    EXPECT_TRUE(m.getRequestHeaderFields().empty());
    EXPECT_EQ(m.getRequestBody(), "");

    // Same name, any case: the value is replaced in place.
    EXPECT_TRUE(m.setRequestHeaderField("Content-Type", "text/plain"));
    EXPECT_TRUE(m.setRequestHeaderField("X-Other", "1"));
    EXPECT_TRUE(m.setRequestHeaderField("content-type", "text/xml"));
    const std::vector<std::pair<std::string, std::string>> expected{{"Content-Type", "text/xml"}, {"X-Other", "1"}};
    EXPECT_EQ(m.getRequestHeaderFields(), expected);
    EXPECT_EQ(m.getRequestMethod(), KwexNet::kHTTPRequestPost);
    EXPECT_EQ(m.getRequestVersion(), KwexNet::kHTTPVersion10);

    // Text that is no URL is refused and the request stays as it was.
    EXPECT_FALSE(m.setRequestInfo("http://127.0.0.1/a b", KwexNet::kHTTPRequestGet, KwexNet::kHTTPVersion11));
    EXPECT_FALSE(m.setRequestInfo("http://127.0.0.1/\xFF", KwexNet::kHTTPRequestGet, KwexNet::kHTTPVersion11));
    EXPECT_EQ(m.getRequestURL(), "http://127.0.0.1/x");

    // A new request line starts from scratch.
    ASSERT_TRUE(m.setRequestInfo("http://127.0.0.1/y", KwexNet::kHTTPRequestGet, KwexNet::kHTTPVersion11));
    EXPECT_TRUE(m.getRequestHeaderFields().empty());
    m.clearRequest();
    EXPECT_FALSE(m.hasRequest());
    EXPECT_FALSE(m.sendRequest(&record, KwexNet::kHTTPSSLDefault));
}

TEST_F(HTTPMessengerTest, ResponseBodyIsHandedOutZeroTerminatedOrNotAtAll)
{
    TestHttpServer server;
    server.reply("/abc", Reply{200, {}, "abc"});
    server.reply("/empty", Reply{204, {}, ""});
    ASSERT_TRUE(server.start());
    HTTPMessenger m;

    unsigned char *body = reinterpret_cast<unsigned char *>(&m); // must be overwritten
    unsigned long length = 99;
    EXPECT_FALSE(m.getResponseBody(&body, length));
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(length, 0u);

    ASSERT_TRUE(send(m, server.url("/abc")));
    ASSERT_TRUE(waitForCompletions(1));
    ASSERT_TRUE(m.getResponseBody(&body, length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(body), 4), std::string("abc\0", 4));
    delete[] body;

    ASSERT_TRUE(send(m, server.url("/empty")));
    ASSERT_TRUE(waitForCompletions(2));
    EXPECT_EQ(gCompletions[1].error, KwexNet::kHTTPErrorNone);
    EXPECT_EQ(m.getResponseStatusCode(), 204);
    length = 99;
    body = reinterpret_cast<unsigned char *>(&m);
    EXPECT_FALSE(m.getResponseBody(&body, length));
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(length, 0u);

    m.clearResponse();
    EXPECT_EQ(m.getResponseStatusCode(), -1);
}

// --- exchanges -------------------------------------------------------------------

TEST_F(HTTPMessengerServer, FormPostGoesOutByteForByteAndItsReplyIsReported)
{
    server.reply("/app/login/", Reply{200, {{"Content-Type", "text/xml"}}, "<login status=\"0\"/>"});
    HTTPMessenger m;
    const std::string form = "email=jo@example.com&user_password=p&ss w+rd&game_id=28";
    const unsigned long length = form.size();
    ASSERT_TRUE(m.setRequestInfo(server.url("/app/login/").c_str(), KwexNet::kHTTPRequestPost, KwexNet::kHTTPVersion11));
    ASSERT_TRUE(m.setRequestHeaderField("Content-Type", "application/x-www-form-urlencoded"));
    ASSERT_TRUE(m.setRequestHeaderField("Content-Length", std::to_string(length).c_str()));
    ASSERT_TRUE(m.setRequestBody(reinterpret_cast<const unsigned char *>(form.data()), length));
    gSendReturned = false;
    ASSERT_TRUE(m.sendRequest(&record, KwexNet::kHTTPSSLDefault));
    gSendReturned = true;
    EXPECT_TRUE(gCompletions.empty());
    ASSERT_TRUE(waitForCompletions(1));

    const Completion &c = gCompletions[0];
    EXPECT_EQ(c.messenger, &m);
    EXPECT_EQ(c.error, KwexNet::kHTTPErrorNone);
    EXPECT_EQ(c.status, 200);
    EXPECT_EQ(c.body, "<login status=\"0\"/>");
    EXPECT_TRUE(c.afterSendReturned);
    EXPECT_EQ(m.getResponseHeaderFields().at("Content-Type"), "text/xml");

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/app/login/");
    EXPECT_EQ(seen[0].version, "HTTP/1.1");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(seen[0].header("Content-Length"), std::to_string(form.size()));
    EXPECT_EQ(seen[0].headerCount("Content-Length"), 1u);
    EXPECT_EQ(seen[0].body, form);

    // The request survives the exchange and can be sent again as it is.
    ASSERT_TRUE(m.sendRequest(&record, KwexNet::kHTTPSSLDefault));
    ASSERT_TRUE(waitForCompletions(2));
    EXPECT_EQ(server.requests().at(1).body, form);
}

TEST_F(HTTPMessengerServer, Http10RequestLineAndRedirectsFollowed)
{
    server.redirect("/moved", "/here");
    server.reply("/here", Reply{200, {}, "arrived"});
    HTTPMessenger m;
    ASSERT_TRUE(m.setRequestInfo(server.url("/moved").c_str(), KwexNet::kHTTPRequestGet, KwexNet::kHTTPVersion10));
    ASSERT_TRUE(m.sendRequest(&record, KwexNet::kHTTPSSLDefault));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorNone);
    EXPECT_EQ(gCompletions[0].status, 200);
    EXPECT_EQ(gCompletions[0].body, "arrived");
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].version, "HTTP/1.0");
    EXPECT_EQ(seen[1].target, "/here");
}

TEST_F(HTTPMessengerServer, HeaderCutShortIsErrorOneWithNoResponse)
{
    server.cutInsideHeader("/cut");
    server.closeAtOnce("/nothing");
    HTTPMessenger m;
    for (const char *path : {"/cut", "/nothing"}) {
        SCOPED_TRACE(path);
        gCompletions.clear();
        ASSERT_TRUE(send(m, server.url(path)));
        ASSERT_TRUE(waitForCompletions(1));
        EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorIncomplete);
        EXPECT_EQ(gCompletions[0].status, -1);
        EXPECT_TRUE(m.getResponseHeaderFields().empty());
    }
}

TEST_F(HTTPMessengerServer, BodyCutShortIsErrorThreeNotSuccess)
{
    server.shortBody("/short", 1000, "just the start");
    HTTPMessenger m;
    ASSERT_TRUE(send(m, server.url("/short")));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorOther);
    EXPECT_EQ(gCompletions[0].status, -1);
    EXPECT_EQ(gCompletions[0].body, "");
    EXPECT_TRUE(m.getResponseHeaderFields().empty());
}

TEST_F(HTTPMessengerTest, ClosedPortIsErrorThree)
{
    const auto port = testsupport::unusedLoopbackPort();
    ASSERT_NE(port, 0);
    HTTPMessenger m;
    ASSERT_TRUE(send(m, "http://127.0.0.1:" + std::to_string(port) + "/"));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorOther);
    EXPECT_TRUE(gCompletions[0].afterSendReturned);
    EXPECT_EQ(m.getResponseStatusCode(), -1);
}

TEST_F(HTTPMessengerServer, SilentServerIsErrorThreeAfterTheTimeOut)
{
    server.neverAnswer("/silent");
    HTTPMessenger m;
    m.setTimeout(0.5);
    m.setTimeout(0.0); // ignored: an exchange always has a limit
    m.setTimeout(-1.0);
    const double start = platform::SteadyClock::seconds();
    ASSERT_TRUE(send(m, server.url("/silent")));
    ASSERT_TRUE(waitForCompletions(1, 10.0));
    const double elapsed = platform::SteadyClock::seconds() - start;
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorOther);
    EXPECT_GE(elapsed, 0.45);
    EXPECT_LT(elapsed, 5.0);
}

// --- certificates ------------------------------------------------------------------

TEST_F(HTTPMessengerTest, UntrustedCertificateIsErrorTwoAndRelaxedSettingProceeds)
{
    auto certs = TestCertificates::create();
    ASSERT_TRUE(certs->ok()) << certs->error();
    TestHttpServer server(certs->selfSignedTls());
    server.reply("/s", Reply{200, {}, "over tls"});
    ASSERT_TRUE(server.start());
    HTTPMessenger m;

    ASSERT_TRUE(send(m, server.url("/s")));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorCertificate);
    EXPECT_EQ(gCompletions[0].status, -1);
    EXPECT_EQ(server.requestCount(), 0u);

    ASSERT_TRUE(send(m, server.url("/s"), KwexNet::kHTTPRequestGet, KwexNet::kHTTPSSLRelaxed));
    ASSERT_TRUE(waitForCompletions(2));
    EXPECT_EQ(gCompletions[1].error, KwexNet::kHTTPErrorNone);
    EXPECT_EQ(gCompletions[1].body, "over tls");
}

TEST_F(HTTPMessengerTest, ServerSignedByAnAddedAuthorityIsTrusted)
{
    auto certs = TestCertificates::create();
    ASSERT_TRUE(certs->ok()) << certs->error();
    TestHttpServer server(certs->serverTls());
    server.reply("/s", Reply{200, {}, "trusted"});
    ASSERT_TRUE(server.start());
    HTTPMessenger m;
    ASSERT_TRUE(send(m, server.url("/s")));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorCertificate);

    m.setCAFile(certs->caCertificateFile());
    ASSERT_TRUE(send(m, server.url("/s")));
    ASSERT_TRUE(waitForCompletions(2));
    EXPECT_EQ(gCompletions[1].error, KwexNet::kHTTPErrorNone);
    EXPECT_EQ(gCompletions[1].status, 200);
    EXPECT_EQ(gCompletions[1].body, "trusted");
}

// --- exchange control -----------------------------------------------------------------

int gChainLeft = 0;
std::string gChainUrl;

// Sends the next request from inside the completion of the previous one.
void resendFromCallback(HTTPMessenger *m, KwexNet::eHTTPError error)
{
    record(m, error);
    if (--gChainLeft > 0) {
        m->clearRequest();
        m->clearResponse();
        m->setRequestInfo(gChainUrl.c_str(), KwexNet::kHTTPRequestGet, KwexNet::kHTTPVersion11);
        gSendReturned = false;
        const bool sent = m->sendRequest(&resendFromCallback, KwexNet::kHTTPSSLDefault);
        gSendReturned = true;
        EXPECT_TRUE(sent);
    }
}

TEST_F(HTTPMessengerServer, CallbackMayReuseTheMessengerAtOnce)
{
    std::atomic<int> served{0};
    server.handle("/count", [&served](const testsupport::RecordedRequest &) {
        return Reply{200, {}, std::to_string(++served)};
    });
    HTTPMessenger m;
    gChainLeft = 3;
    gChainUrl = server.url("/count");
    ASSERT_TRUE(send(m, gChainUrl, KwexNet::kHTTPRequestGet, KwexNet::kHTTPSSLDefault, &resendFromCallback));
    ASSERT_TRUE(waitForCompletions(3));
    mainLoop().runFor(0.05);
    ASSERT_EQ(gCompletions.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(gCompletions[i].error, KwexNet::kHTTPErrorNone);
        EXPECT_EQ(gCompletions[i].body, std::to_string(i + 1));
        EXPECT_TRUE(gCompletions[i].afterSendReturned);
    }
}

void deleteFromCallback(HTTPMessenger *m, KwexNet::eHTTPError error)
{
    record(m, error);
    delete m;
}

TEST_F(HTTPMessengerServer, CallbackMayDeleteTheMessenger)
{
    server.reply("/x", Reply{200, {}, "x"});
    auto *m = new HTTPMessenger();
    ASSERT_TRUE(send(*m, server.url("/x"), KwexNet::kHTTPRequestGet, KwexNet::kHTTPSSLDefault, &deleteFromCallback));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(gCompletions[0].body, "x");
}

TEST_F(HTTPMessengerServer, AbortAndResendingInFlightSilenceTheFirstExchange)
{
    server.neverAnswer("/hold");
    server.reply("/ok", Reply{200, {}, "second"});
    HTTPMessenger m;

    ASSERT_TRUE(send(m, server.url("/hold")));
    ASSERT_TRUE(mainLoop().runUntil([&] { return server.requestCount() == 1; }, 10.0));
    m.abortRequest();
    mainLoop().runFor(0.1);
    EXPECT_TRUE(gCompletions.empty());

    ASSERT_TRUE(send(m, server.url("/hold")));
    ASSERT_TRUE(mainLoop().runUntil([&] { return server.requestCount() == 2; }, 10.0));
    ASSERT_TRUE(send(m, server.url("/ok"))); // replaces the one in flight
    ASSERT_TRUE(waitForCompletions(1));
    mainLoop().runFor(0.1);
    ASSERT_EQ(gCompletions.size(), 1u);
    EXPECT_EQ(gCompletions[0].error, KwexNet::kHTTPErrorNone);
    EXPECT_EQ(gCompletions[0].body, "second");
}

TEST_F(HTTPMessengerServer, DestroyedMessengerGetsNoCallback)
{
    server.reply("/slow", Reply{200, {}, "late", 0.1});
    {
        HTTPMessenger m;
        ASSERT_TRUE(send(m, server.url("/slow")));
        ASSERT_TRUE(mainLoop().runUntil([&] { return server.requestCount() == 1; }, 10.0));
    }
    mainLoop().runFor(0.3);
    EXPECT_TRUE(gCompletions.empty());
}

} // namespace
