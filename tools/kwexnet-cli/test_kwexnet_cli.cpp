// kwexnet-cli run in-process against scripted servers on 127.0.0.1: a fake
// login service over HTTPS (discovery, login, logout), plain HTTP exchanges,
// and the decryptor.
#include "cli.h"
#include "cli_run.h"

#include <kwexnet/tarv_requests.h>
#include <platform/runloop.h>

#include "test_http_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

// name=value lines as a map (the first occurrence of a name wins).
std::map<std::string, std::string> fields(const std::string &text)
{
    std::map<std::string, std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            result.emplace(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return result;
}

void expectFormPost(const RecordedRequest &request, const std::string &path, const std::string &body)
{
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, path);
    EXPECT_EQ(request.version, "HTTP/1.1");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.headerCount("Content-Length"), 1u);
    EXPECT_EQ(request.header("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(request.body, body);
}

const std::string kPassword = "se&cret";
const std::string kExpectedLoginBody = std::string("email=player%40example.com&user_password=se%26cret&game_id=28") +
                                       "&secret_key=" + kwexnet_cli::kLoginApplicationKey +
                                       "&platform_id=01&protocol_version=0&force_kick=true";

const std::string kLoginSuccess = R"(<?xml version="1.0" encoding="UTF-8"?>
<appserver>
  <result id="0"/>
  <session_id>5f2a9c</session_id>
  <user_id>1042</user_id>
  <user_email>player@example.com</user_email>
  <user_name>Ducky</user_name>
  <user_firstname>Dana</user_firstname>
  <user_lastname>Quill</user_lastname>
  <pid_cdn>http://cdn.example/pid/</pid_cdn>
  <leaderboard_cdn>http://cdn.example/boards/</leaderboard_cdn>
  <avatar_cdn>http://cdn.example/avatars/</avatar_cdn>
  <profile id="4" name="achievements" value="1;0;1"/>
  <profile id="1" name="highscore" value="12000"/>
  <profile id="5" name="face" value="7"/>
  <game id="28" name="Aura" value="1"/>
</appserver>
)";

// A login service under /web_http_app/ on one HTTPS server: discovery names
// this very server; login succeeds for the password kPassword only; logout
// knows the session "S1" only.
class FakeLoginService {
public:
    explicit FakeLoginService(const TestCertificates &certs) : server(certs.serverTls()) {}

    bool start()
    {
        if (!server.start()) {
            return false;
        }
        const std::string self = "127.0.0.1:" + std::to_string(server.port()) + "/web_http_app/";
        server.reply(kwexnet_cli::kDiscoveryPath,
                     Reply{200, {{"Content-Type", "text/xml"}},
                           "<appserver>\n"
                           "  <server type=\"http\" host=\"" + self + "\"/>\n"
                           "  <server type=\"https\" host=\"" + self + "\"/>\n"
                           "  <server type=\"socket\" host=\"127.0.0.1\" port=\"9339\"/>\n"
                           "  <version platform=\"IPhone\" number=\"1.2.0\"/>\n"
                           "  <version platform=\"IPad\" number=\"1.3.0\"/>\n"
                           "</appserver>\n"});
        answerLogin(kLoginSuccess);
        server.handle("/web_http_app/logout/", [](const RecordedRequest &request) {
            if (request.body.rfind("session=S1&", 0) != 0) {
                return Reply{200, {}, R"(<appserver><error id="7" message="Unknown session"/></appserver>)"};
            }
            return Reply{200, {}, R"(<appserver><result id="0"/></appserver>)"};
        });
        return true;
    }

    // The reply to a login with the right password.
    void answerLogin(const std::string &success)
    {
        server.handle("/web_http_app/login/", [success](const RecordedRequest &request) {
            if (request.body.find("&user_password=se%26cret&") == std::string::npos) {
                return Reply{200, {}, R"(<appserver><error id="3" message="Wrong e-mail or password"/></appserver>)"};
            }
            return Reply{200, {}, success};
        });
    }

    std::string base() const { return server.url("/web_http_app/"); }

    TestHttpServer server;
};

class KwexnetCliService : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certs = TestCertificates::create(); }
    static void TearDownTestSuite() { certs.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(certs && certs->ok()) << (certs ? certs->error() : "no certificates");
        service = std::make_unique<FakeLoginService>(*certs);
        ASSERT_TRUE(service->start());
        caFile = certs->caCertificateFile();
    }

    static std::unique_ptr<TestCertificates> certs;
    std::unique_ptr<FakeLoginService> service;
    std::string caFile;
};

std::unique_ptr<TestCertificates> KwexnetCliService::certs;

// --- the login service ---------------------------------------------------------

TEST_F(KwexnetCliService, DiscoveryThenLoginPrintsEveryFieldAndSendsTheExactForm)
{
    const CliRun found = cli({"discover", "--server", service->server.url(kwexnet_cli::kDiscoveryPath), "--cacert", caFile});
    ASSERT_EQ(found.code, 0) << found.err;
    const std::string self = "127.0.0.1:" + std::to_string(service->server.port()) + "/web_http_app/";
    EXPECT_EQ(found.out, "status=200\nerror=0\n"
                         "http_host=" + self + "\nhttps_host=" + self + "\n"
                         "socket_host=127.0.0.1\nsocket_port=9339\n"
                         "iphone_version=1.2.0\nipad_version=1.3.0\n"
                         "error_id=0\nerror_message=\n");
    EXPECT_EQ(found.err, "");

    const std::string httpsHost = fields(found.out)["https_host"];
    const CliRun login = cli({"login", "--server", "https://" + httpsHost, "--email", "player@example.com", "--password",
                           kPassword, "--cacert", caFile});
    ASSERT_EQ(login.code, 0) << login.err;
    EXPECT_EQ(login.out, "status=200\nerror=0\n"
                         "result=0\nsession_id=5f2a9c\nuser_id=1042\nuser_email=player@example.com\n"
                         "user_name=Ducky\nuser_firstname=Dana\nuser_lastname=Quill\n"
                         "pid_cdn=http://cdn.example/pid/\nleaderboard_cdn=http://cdn.example/boards/\n"
                         "avatar_cdn=http://cdn.example/avatars/\n"
                         "profiles[1]=12000\nprofiles[4]=1;0;1\nprofiles[5]=7\ngames[28]=1\n"
                         "error_id=0\nerror_message=\n");
    EXPECT_EQ(login.err, "");

    const auto seen = service->server.requests();
    ASSERT_EQ(seen.size(), 2u);
    expectFormPost(seen[0], kwexnet_cli::kDiscoveryPath, "game_id=28");
    expectFormPost(seen[1], "/web_http_app/login/", kExpectedLoginBody);
}

TEST_F(KwexnetCliService, ApplicationKeyHasTheServiceForm)
{
    // 36 characters in groups 8-4-4-4-12 of lower-case letters and digits.
    const std::string key = kwexnet_cli::kLoginApplicationKey;
    ASSERT_EQ(key.size(), 36u);
    for (size_t i = 0; i < key.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = key[i];
        EXPECT_TRUE(dash ? c == '-' : ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) << i;
    }
}

TEST_F(KwexnetCliService, RefusedLoginPrintsTheErrorAndFails)
{
    // No trailing "/": the command adds it before the request path.
    const std::string base = service->base();
    const CliRun run = cli({"login", "--server", base.substr(0, base.size() - 1), "--email", "player@example.com",
                         "--password", "wrong", "--cacert", caFile});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "status=200\nerror=0\nresult=0\nsession_id=\nuser_id=\nuser_email=\nuser_name=\n"
                       "user_firstname=\nuser_lastname=\npid_cdn=\nleaderboard_cdn=\navatar_cdn=\n"
                       "error_id=3\nerror_message=Wrong e-mail or password\n");
    EXPECT_EQ(run.err, "kwexnet-cli: login: refused by the service: error 3: Wrong e-mail or password\n");
    const auto seen = service->server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/web_http_app/login/");
}

TEST_F(KwexnetCliService, ControlCharactersInValuesAreEscapedOntoOneLine)
{
    // A line break between the start tag and the text is the whole value.
    service->answerLogin("<appserver><result id=\"0\"/><session_id>\nAB</session_id><user_id>A\\B</user_id>"
                         "<user_name>x\ty\x01</user_name></appserver>");
    const CliRun run = cli({"login", "--server", service->base(), "--email", "e", "--password", kPassword,
                            "--cacert", caFile});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto f = fields(run.out);
    EXPECT_EQ(f.at("session_id"), "\\n");
    EXPECT_EQ(f.at("user_id"), "A\\\\B");
    EXPECT_EQ(f.at("user_name"), "x\\ty\\x01");
    EXPECT_EQ(f.at("error_id"), "0"); // the lines after them are intact
}

TEST_F(KwexnetCliService, LogoutSendsSessionAndGameOnly)
{
    const CliRun run = cli({"logout", "--server", service->base(), "--session", "S1", "--cacert", caFile});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "status=200\nerror=0\nresult=0\nerror_id=0\nerror_message=\n");
    const CliRun unknown = cli({"logout", "--server", service->base(), "--session", "S2", "--cacert", caFile});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(fields(unknown.out)["error_id"], "7");
    EXPECT_EQ(unknown.err, "kwexnet-cli: logout: refused by the service: error 7: Unknown session\n");

    const auto seen = service->server.requests();
    ASSERT_EQ(seen.size(), 2u);
    expectFormPost(seen[0], "/web_http_app/logout/", "session=S1&game_id=28");
    EXPECT_EQ(seen[0].header("Content-Length"), "21");
}

TEST_F(KwexnetCliService, UntrustedServerAndMalformedReplyFail)
{
    // Without the test CA the service's certificate is not trusted.
    const CliRun untrusted = cli({"discover", "--server", service->server.url(kwexnet_cli::kDiscoveryPath)});
    EXPECT_EQ(untrusted.code, 1);
    EXPECT_EQ(untrusted.out, "status=-1\nerror=2\n");
    EXPECT_NE(untrusted.err.find("kwexnet-cli: discover: exchange failed:"), std::string::npos) << untrusted.err;

    // An unknown path answers 404 with a text body: no discovery reply.
    const CliRun wrongPath = cli({"discover", "--server", service->server.url("/nowhere/"), "--cacert", caFile});
    EXPECT_EQ(wrongPath.code, 1);
    EXPECT_EQ(wrongPath.out, "status=404\nerror=0\n");
    EXPECT_EQ(wrongPath.err.rfind("kwexnet-cli: discover: malformed reply (HTTP 404, ", 0), 0u) << wrongPath.err;
}

TEST(KwexnetCliLogin, PlainHttpLoginIsRefusedBeforeAnythingIsSent)
{
    TestHttpServer server;
    server.reply("/web_http_app/login/", Reply{200, {}, kLoginSuccess});
    ASSERT_TRUE(server.start());
    const CliRun run = cli({"login", "--server", server.url("/web_http_app/"), "--email", "player@example.com",
                         "--password", kPassword});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(KwexNet::Tarv::GetLastRequestError().empty());
    EXPECT_EQ(run.err, "kwexnet-cli: login: " + KwexNet::Tarv::GetLastRequestError() + "\n");
    EXPECT_NE(run.err.find("HTTPS"), std::string::npos) << run.err;
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_EQ(server.requestCount(), 0u);
}

// --- plain HTTP ----------------------------------------------------------------

TEST(KwexnetCliHttp, RedirectIsFollowedAndFormBodyGoesOutAsGiven)
{
    TestHttpServer server;
    server.redirect("/old", "/new");
    server.reply("/new", Reply{200, {{"Content-Type", "text/plain"}}, "moved here\n"});
    server.handle("/form", [](const RecordedRequest &request) { return Reply{201, {}, "got " + request.body}; });
    ASSERT_TRUE(server.start());

    const CliRun get = cli({"http", "GET", server.url("/old")});
    EXPECT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(get.out, "status=200\nerror=0\nmoved here\n");

    const CliRun post = cli({"http", "POST", server.url("/form"), "--data", "a=1&b=two%20words"});
    EXPECT_EQ(post.code, 0) << post.err;
    EXPECT_EQ(post.out, "status=201\nerror=0\ngot a=1&b=two%20words");

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].path, "/old");
    EXPECT_EQ(seen[1].path, "/new");
    EXPECT_EQ(seen[1].method, "GET");
    expectFormPost(seen[2], "/form", "a=1&b=two%20words");
}

TEST(KwexnetCliHttp, CutHeaderAndTimeOutFail)
{
    TestHttpServer server;
    server.cutInsideHeader("/cut");
    server.neverAnswer("/hang");
    ASSERT_TRUE(server.start());

    const CliRun cut = cli({"http", "GET", server.url("/cut")});
    EXPECT_EQ(cut.code, 1);
    EXPECT_EQ(cut.out, "status=-1\nerror=1\n");
    EXPECT_EQ(cut.err.rfind("kwexnet-cli: http: exchange failed: ", 0), 0u) << cut.err;

    const auto start = std::chrono::steady_clock::now();
    const CliRun hang = cli({"http", "GET", server.url("/hang"), "--timeout", "0.5"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(hang.code, 1);
    EXPECT_EQ(hang.out, "status=-1\nerror=3\n");
    EXPECT_LT(seconds, 4.0);
}

TEST(KwexnetCliHttp, SelfSignedCertificateNeedsInsecure)
{
    const auto certs = TestCertificates::create();
    ASSERT_TRUE(certs && certs->ok()) << (certs ? certs->error() : "no certificates");
    TestHttpServer server(certs->selfSignedTls());
    server.reply("/", Reply{200, {}, "hello"});
    ASSERT_TRUE(server.start());

    const CliRun strict = cli({"http", "GET", server.url("/"), "--cacert", certs->caCertificateFile()});
    EXPECT_EQ(strict.code, 1);
    EXPECT_EQ(strict.out, "status=-1\nerror=2\n");

    const CliRun relaxed = cli({"http", "GET", server.url("/"), "--insecure"});
    EXPECT_EQ(relaxed.code, 0) << relaxed.err;
    EXPECT_EQ(relaxed.out, "status=200\nerror=0\nhello");
}

// --- command line --------------------------------------------------------------

TEST(KwexnetCliUsage, BadCommandLinesExitTwoWithoutSendingAnything)
{
    TestHttpServer server;
    ASSERT_TRUE(server.start());
    const std::string url = server.url("/x/");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"fetch", url},
        {"http", "GET"},
        {"http", "PUT", url},
        {"http", "GET", "ftp://127.0.0.1/"},
        {"http", "GET", url, "--data", "a=1"},
        {"http", "POST", url, "--data"},
        {"http", "GET", url, "--timeout", "0"},
        {"http", "GET", url, "--timeout", "2s"},
        {"http", "GET", url, "--cacert", "/nonexistent/ca.pem"},
        {"http", "GET", url, "--insecure", "--insecure"},
        {"discover"},
        {"discover", "--server", url, "--insecure"},
        {"login", "--server", url, "--email", "e"},
        {"login", "--server", "127.0.0.1/x/", "--email", "e", "--password", "p"},
        {"logout", "--server", url},
        {"logout", "--server", url, "--session", "S1", "extra"},
        {"decrypt", "--mode", "ecb", "0102030405060708"},
        {"decrypt", "--mode", "ofb", "--padding", "zero", "0102030405060708"},
        {"decrypt", "--mode", "ecb", "--padding", "zero", "010"},
        {"decrypt", "--mode", "ecb", "--padding", "zero", "01020304050607xy"},
    };
    for (const auto &args : bad) {
        const CliRun run = cli(args);
        const std::string what = args.empty() ? "(no arguments)" : args[0] + " ... (" + std::to_string(args.size()) + ")";
        EXPECT_EQ(run.code, 2) << what;
        EXPECT_EQ(run.out, "") << what;
        // The reason, and where the usage is; not the whole usage.
        EXPECT_EQ(run.err.rfind("kwexnet-cli: ", 0), 0u) << what << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << what << ": " << run.err;
        EXPECT_NE(run.err.find("\nTry 'kwexnet-cli --help'.\n"), std::string::npos) << what << ": " << run.err;
    }
    EXPECT_EQ(server.connectionCount(), 0u);

    const CliRun help = cli({"help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: kwexnet-cli COMMAND", 0), 0u);
    EXPECT_EQ(help.err, "");
}

// --- decryption ----------------------------------------------------------------

TEST(KwexnetCliDecrypt, ZeroStateBlocksSwapTheirHalves)
{
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"--mode", "ecb", "--padding", "zero", "0102030405060708"}, "0506070801020304\n"},
        // Upper-case digits in, lower-case out.
        {{"--mode", "ecb", "--padding", "zero", "0A0B0C0D01020304"}, "010203040a0b0c0d\n"},
        // Trailing zero bytes of the final block are dropped.
        {{"--mode", "ecb", "--padding", "zero", "0000000041424300"}, "414243\n"},
        // Vector, then a block that decrypts to "hi!" and five bytes of 05.
        {{"--mode", "cbc", "--padding", "pkcs5", "10203040506070805565758578491145"}, "686921\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"decrypt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliRun run = cli(args);
        EXPECT_EQ(run.code, 0) << c.args.back() << ": " << run.err;
        EXPECT_EQ(run.out, c.out) << c.args.back();
    }
}

TEST(KwexnetCliDecrypt, RefusedInputFailsWithOneMessage)
{
    // A length that is no multiple of 8: the library's own message only.
    testing::internal::CaptureStderr();
    const CliRun shortInput = cli({"decrypt", "--mode", "ecb", "--padding", "zero", "0102030405"});
    const std::string libraryMessage = testing::internal::GetCapturedStderr();
    EXPECT_EQ(shortInput.code, 1);
    EXPECT_EQ(shortInput.out, "");
    EXPECT_EQ(shortInput.err, "");
    EXPECT_NE(libraryMessage.find("multiple of 8"), std::string::npos) << libraryMessage;

    // A PKCS#5 padding byte of 0, and an empty input: the command says why.
    for (const std::string hex : {"0000000000000000", ""}) {
        const CliRun run = cli({"decrypt", "--mode", "ecb", "--padding", "pkcs5", hex});
        EXPECT_EQ(run.code, 1) << hex;
        EXPECT_EQ(run.out, "") << hex;
        EXPECT_EQ(run.err.rfind("kwexnet-cli: decrypt: cannot decrypt ", 0), 0u) << hex << ": " << run.err;
    }
}

} // namespace
