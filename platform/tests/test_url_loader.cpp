#include "platform/runloop.h"
#include "platform/url_loader.h"
#include "test_http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace {

using platform::RunLoop;
using platform::SteadyClock;
using platform::UrlExchange;
using platform::UrlFailure;
using platform::UrlRequest;
using platform::UrlResponse;
using testsupport::Reply;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

// Runs one exchange on `loop` and returns its completion (nullopt: none came).
std::optional<UrlResponse> exchange(RunLoop &loop, UrlRequest request, double limitSeconds = 10.0)
{
    UrlExchange ex(loop);
    std::optional<UrlResponse> result;
    bool returned = false;
    bool calledInsideStart = false;
    const bool started = ex.start(std::move(request), [&](UrlResponse r) {
        calledInsideStart = !returned;
        result = std::move(r);
    });
    returned = true;
    EXPECT_TRUE(started);
    if (!started)
        return std::nullopt;
    EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }, limitSeconds));
    EXPECT_FALSE(calledInsideStart);
    EXPECT_FALSE(ex.inFlight());
    return result;
}

UrlRequest get(const std::string &url)
{
    UrlRequest r;
    r.url = url;
    r.timeoutSeconds = 10;
    return r;
}

class UrlLoader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    RunLoop loop;
    TestHttpServer server;
};

// --- complete exchanges -----------------------------------------------------

TEST_F(UrlLoader, GetReportsStatusHeadersAndBody)
{
    server.reply("/hello", Reply{201, {{"Content-Type", "text/plain"}, {"X-Twice", "a"}, {"X-Twice", "b"}}, "hi there"});
    auto r = exchange(loop, get(server.url("/hello?x=1")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_TRUE(r->headerComplete);
    EXPECT_EQ(r->statusCode, 201);
    EXPECT_EQ(r->body, "hi there");
    EXPECT_EQ(r->headers["Content-Type"], "text/plain");
    EXPECT_EQ(r->headers["Content-Length"], "8");
    EXPECT_EQ(r->headers["X-Twice"], "a, b");

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/hello?x=1");
    EXPECT_EQ(seen[0].body, "");
}

TEST_F(UrlLoader, PostSendsExactlyTheGivenBytesAndHeaders)
{
    server.reply("/post", Reply{200, {}, "ok"});
    UrlRequest req = get(server.url("/post"));
    req.method = "POST";
    static constexpr char kBody[] = "a=1&b=two words\0\xff";
    req.body.assign(kBody, sizeof kBody - 1);
    req.headers = {{"X-Custom", "v1"}, {"Content-Length", "3"}, {"X-Empty", ""}};
    req.httpVersion = platform::UrlHttpVersion::Http10;
    auto r = exchange(loop, req);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_EQ(r->body, "ok");

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    const auto &s = seen[0];
    EXPECT_EQ(s.method, "POST");
    EXPECT_EQ(s.version, "HTTP/1.0");
    EXPECT_EQ(s.body, req.body);
    // The body's own length, whatever the caller claimed.
    EXPECT_EQ(s.header("Content-Length"), std::to_string(sizeof kBody - 1));
    EXPECT_EQ(s.headerCount("Content-Length"), 1u);
    EXPECT_EQ(s.header("X-Custom"), "v1");
    EXPECT_EQ(s.header("X-Empty"), "");
    // Nothing the caller did not ask for.
    EXPECT_FALSE(s.header("Content-Type"));
    EXPECT_FALSE(s.header("Expect"));
}

TEST_F(UrlLoader, LargePostBodyGoesOutWithoutExpectContinue)
{
    server.handle("/echo", [](const testsupport::RecordedRequest &r) {
        return Reply{200, {}, std::to_string(r.body.size())};
    });
    UrlRequest req = get(server.url("/echo"));
    req.method = "POST";
    req.body.assign(3 * 1024 * 1024, 'z');
    req.headers = {{"Content-Type", "application/octet-stream"}};
    auto r = exchange(loop, req);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_EQ(r->body, std::to_string(req.body.size()));
    EXPECT_EQ(server.requests().at(0).header("Content-Type"), "application/octet-stream");
    EXPECT_FALSE(server.requests().at(0).header("Expect"));
}

TEST_F(UrlLoader, RedirectIsFollowedOnlyWhenAsked)
{
    server.redirect("/old", "/new");
    server.reply("/new", Reply{200, {{"X-Final", "yes"}}, "moved here"});
    auto r = exchange(loop, get(server.url("/old")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_EQ(r->statusCode, 200);
    EXPECT_EQ(r->body, "moved here");
    EXPECT_EQ(r->headers.count("Location"), 0u); // only the final response's fields
    EXPECT_EQ(r->headers["X-Final"], "yes");
    EXPECT_EQ(r->effectiveUrl, server.url("/new"));

    UrlRequest noFollow = get(server.url("/old"));
    noFollow.followRedirects = false;
    r = exchange(loop, noFollow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_EQ(r->statusCode, 302);
    EXPECT_EQ(r->headers["Location"], "/new");
}

TEST_F(UrlLoader, RedirectToAnotherSchemeIsRefused)
{
    server.redirect("/evil", "file:///etc/passwd");
    auto r = exchange(loop, get(server.url("/evil")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Other);
    EXPECT_EQ(r->body, "");
}

// --- failures -----------------------------------------------------------------

TEST_F(UrlLoader, ConnectionClosedBeforeTheHeaderEndsIsAnIncompleteHeader)
{
    server.cutInsideHeader("/cut");
    server.closeAtOnce("/close");
    server.cutInsideHeader("/garbage", "this is no HTTP\r\n");
    for (const char *path : {"/cut", "/close"}) {
        SCOPED_TRACE(path);
        auto r = exchange(loop, get(server.url(path)));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->failure, UrlFailure::IncompleteHeader);
        EXPECT_FALSE(r->headerComplete);
        EXPECT_EQ(r->statusCode, -1);
        EXPECT_TRUE(r->headers.empty());
    }
    auto r = exchange(loop, get(server.url("/garbage")));
    ASSERT_TRUE(r);
    EXPECT_NE(r->failure, UrlFailure::None);
    EXPECT_FALSE(r->headerComplete);
}

TEST_F(UrlLoader, BodyShorterThanItsContentLengthIsAFailure)
{
    server.shortBody("/short", 100, "only this");
    auto r = exchange(loop, get(server.url("/short")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Other);
    EXPECT_TRUE(r->headerComplete);
    EXPECT_EQ(r->statusCode, 200);
}

TEST_F(UrlLoader, RefusedConnectionIsAnotherFailure)
{
    const auto port = testsupport::unusedLoopbackPort();
    ASSERT_NE(port, 0);
    auto r = exchange(loop, get("http://127.0.0.1:" + std::to_string(port) + "/"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Other);
    EXPECT_FALSE(r->errorText.empty());
}

TEST_F(UrlLoader, SilentServerTimesOutWithoutBlockingTheLoop)
{
    server.neverAnswer("/silent");
    UrlRequest req = get(server.url("/silent"));
    req.timeoutSeconds = 0.3;
    UrlExchange ex(loop);
    std::optional<UrlResponse> result;
    int ticks = 0;
    const auto tick = loop.addRepeatingTimer(0.02, [&] { ++ticks; });
    const double start = SteadyClock::seconds();
    ASSERT_TRUE(ex.start(req, [&](UrlResponse r) { result = std::move(r); }));
    ASSERT_TRUE(loop.runUntil([&] { return result.has_value(); }, 10.0));
    const double elapsed = SteadyClock::seconds() - start;
    loop.cancelTimer(tick);
    EXPECT_EQ(result->failure, UrlFailure::Other);
    EXPECT_GE(elapsed, 0.25);
    EXPECT_LT(elapsed, 5.0);
    EXPECT_GE(ticks, 5); // other timers kept running meanwhile
}

TEST_F(UrlLoader, ResponseLargerThanTheLimitFails)
{
    server.reply("/big", Reply{200, {}, std::string(10000, 'b')});
    UrlRequest req = get(server.url("/big"));
    req.maxResponseBytes = 4096;
    auto r = exchange(loop, req);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Other);
}

TEST_F(UrlLoader, InvalidRequestsAreRefusedAtStartWithoutACompletion)
{
    UrlExchange ex(loop);
    bool called = false;
    auto done = [&](UrlResponse) { called = true; };
    for (const char *url : {"", "file:///etc/passwd", "ftp://127.0.0.1/", "http://", "http://127.0.0.1/a b",
                            "127.0.0.1/path", "http://127.0.0.1/\r\nX: y"}) {
        SCOPED_TRACE(url);
        EXPECT_FALSE(ex.start(get(url), done));
    }
    UrlRequest badHeader = get(server.url("/"));
    badHeader.headers = {{"X-Split", "a\r\nInjected: yes"}};
    EXPECT_FALSE(ex.start(badHeader, done));
    badHeader.headers = {{"Bad Name", "v"}};
    EXPECT_FALSE(ex.start(badHeader, done));
    UrlRequest badMethod = get(server.url("/"));
    badMethod.method = "GET /x HTTP/1.1\r\n";
    EXPECT_FALSE(ex.start(badMethod, done));
    loop.runFor(0.05);
    EXPECT_FALSE(called);
    EXPECT_EQ(server.requestCount(), 0u);
}

// --- exchange control -----------------------------------------------------------

TEST_F(UrlLoader, CancelledExchangeNeverCompletes)
{
    server.neverAnswer("/hold");
    server.reply("/slow", Reply{200, {}, "late", 0.1});
    UrlExchange ex(loop);
    int calls = 0;
    ASSERT_TRUE(ex.start(get(server.url("/hold")), [&](UrlResponse) { ++calls; }));
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount() == 1; }, 10.0));
    ex.cancel();
    EXPECT_FALSE(ex.inFlight());
    loop.runFor(0.05);
    EXPECT_EQ(loop.watchCount(), 0u); // the connection was dropped

    // Cancelled after the exchange ended but before its completion ran: a
    // timer chain that fires on every pass, after that pass's watchers, sees
    // the socket go away in the pass that ends the exchange.
    ASSERT_TRUE(ex.start(get(server.url("/slow")), [&](UrlResponse) { ++calls; }));
    bool cancelledBetween = false;
    std::function<void()> watchEveryPass = [&] {
        if (server.requestCount() == 2 && loop.watchCount() == 0 && ex.inFlight()) {
            ex.cancel();
            cancelledBetween = true;
            return;
        }
        loop.addTimer(0, watchEveryPass);
    };
    loop.addTimer(0, watchEveryPass);
    ASSERT_TRUE(loop.runUntil([&] { return cancelledBetween || calls > 0; }, 10.0));
    loop.runFor(0.1);
    EXPECT_TRUE(cancelledBetween);
    EXPECT_EQ(calls, 0);
}

TEST_F(UrlLoader, StartingAgainReplacesTheExchangeInFlight)
{
    server.neverAnswer("/hold");
    server.reply("/ok", Reply{200, {}, "second"});
    UrlExchange ex(loop);
    std::vector<std::string> bodies;
    ASSERT_TRUE(ex.start(get(server.url("/hold")), [&](UrlResponse r) { bodies.push_back("first:" + r.body); }));
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount() == 1; }, 10.0));
    ASSERT_TRUE(ex.start(get(server.url("/ok")), [&](UrlResponse r) { bodies.push_back(r.body); }));
    ASSERT_TRUE(loop.runUntil([&] { return !bodies.empty(); }, 10.0));
    loop.runFor(0.05);
    EXPECT_EQ(bodies, (std::vector<std::string>{"second"}));
}

TEST_F(UrlLoader, CompletionMayStartTheNextExchangeAndDestroyItsOwner)
{
    server.reply("/one", Reply{200, {}, "1"});
    server.reply("/two", Reply{200, {}, "2"});
    auto ex = std::make_unique<UrlExchange>(loop);
    std::string log;
    bool startedAgain = false;
    ASSERT_TRUE(ex->start(get(server.url("/one")), [&](UrlResponse r) {
        log += r.body;
        startedAgain = ex->start(get(server.url("/two")), [&](UrlResponse r2) {
            log += r2.body;
            ex.reset(); // the owner goes away inside its own completion
        });
    }));
    ASSERT_TRUE(loop.runUntil([&] { return !ex; }, 10.0));
    EXPECT_TRUE(startedAgain);
    EXPECT_EQ(log, "12");
    loop.runFor(0.05);
    EXPECT_EQ(loop.watchCount(), 0u);
}

TEST_F(UrlLoader, ExchangesOnOneLoopRunSideBySide)
{
    server.reply("/a", Reply{200, {}, "A", 0.3});
    server.reply("/b", Reply{200, {}, "B", 0.3});
    UrlExchange first(loop);
    UrlExchange second(loop);
    std::string a, b;
    const double start = SteadyClock::seconds();
    ASSERT_TRUE(first.start(get(server.url("/a")), [&](UrlResponse r) { a = r.body; }));
    ASSERT_TRUE(second.start(get(server.url("/b")), [&](UrlResponse r) { b = r.body; }));
    ASSERT_TRUE(loop.runUntil([&] { return !a.empty() && !b.empty(); }, 10.0));
    EXPECT_EQ(a + b, "AB");
    EXPECT_LT(SteadyClock::seconds() - start, 0.55); // not one after the other
}

// --- TLS --------------------------------------------------------------------------

class UrlLoaderTls : public ::testing::Test {
protected:
    void SetUp() override
    {
        certs = TestCertificates::create();
        ASSERT_TRUE(certs->ok()) << certs->error();
    }
    RunLoop loop;
    std::unique_ptr<TestCertificates> certs;
};

TEST_F(UrlLoaderTls, UntrustedCertificateFailsVerificationUnlessRelaxed)
{
    TestHttpServer server(certs->selfSignedTls());
    server.reply("/secure", Reply{200, {}, "secret"});
    ASSERT_TRUE(server.start());

    auto r = exchange(loop, get(server.url("/secure")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Certificate);
    EXPECT_EQ(r->body, "");
    EXPECT_EQ(server.requestCount(), 0u); // nothing was sent over it

    UrlRequest relaxed = get(server.url("/secure"));
    relaxed.insecureSkipVerify = true;
    r = exchange(loop, relaxed);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_EQ(r->body, "secret");
}

TEST_F(UrlLoaderTls, CertificateFromAnExtraTrustedAuthorityIsAccepted)
{
    TestHttpServer server(certs->serverTls());
    server.reply("/secure", Reply{200, {}, "secret"});
    ASSERT_TRUE(server.start());

    auto r = exchange(loop, get(server.url("/secure")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Certificate);

    UrlRequest trusted = get(server.url("/secure"));
    trusted.caFile = certs->caCertificateFile();
    r = exchange(loop, trusted);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);
    EXPECT_EQ(r->body, "secret");

    // The name in the certificate is checked too.
    trusted.url = "https://localhost:" + std::to_string(server.port()) + "/secure";
    r = exchange(loop, trusted);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::None);

    trusted.caFile = certs->directory() + "/missing.pem";
    trusted.url = server.url("/secure");
    r = exchange(loop, trusted);
    ASSERT_TRUE(r);
    EXPECT_NE(r->failure, UrlFailure::None);
}

TEST_F(UrlLoaderTls, CutHeaderAndShortBodyOverTls)
{
    TestHttpServer server(certs->serverTls());
    server.cutInsideHeader("/cut");
    server.shortBody("/short", 50, "abc");
    ASSERT_TRUE(server.start());
    UrlRequest req = get(server.url("/cut"));
    req.caFile = certs->caCertificateFile();
    auto r = exchange(loop, req);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::IncompleteHeader);
    req.url = server.url("/short");
    r = exchange(loop, req);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, UrlFailure::Other);
}

// --- blocking exchanges on worker threads ---------------------------------------

TEST(UrlLoaderBlockingThreads, WorkerThreadsExchangeAndTimeOut)
{
    TestHttpServer server;
    server.reply("/data", Reply{200, {}, "payload"});
    server.neverAnswer("/silent");
    ASSERT_TRUE(server.start());

    std::atomic<int> good{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&] {
            UrlRequest req = get(server.url("/data"));
            const UrlResponse r = platform::loadUrlBlocking(req);
            if (r.failure == UrlFailure::None && r.statusCode == 200 && r.body == "payload")
                ++good;
        });
    UrlResponse silent;
    double elapsed = 0;
    workers.emplace_back([&] {
        UrlRequest req = get(server.url("/silent"));
        req.timeoutSeconds = 0.3;
        const double start = SteadyClock::seconds();
        silent = platform::loadUrlBlocking(req);
        elapsed = SteadyClock::seconds() - start;
    });
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(good.load(), 4);
    EXPECT_EQ(silent.failure, UrlFailure::Other);
    EXPECT_GE(elapsed, 0.25);
    EXPECT_LT(elapsed, 5.0);

    EXPECT_EQ(platform::loadUrlBlocking(get("gopher://127.0.0.1/")).failure, UrlFailure::Other);
}

} // namespace
