// The login client as the game runs it: ogc-sim against a scripted HTTPS
// login service (test CA) that discovers itself, logs in and answers the
// requests that follow a login. Shared by the login and network-fault tests.
#ifndef MERIX_TESTS_LOGIN_FIXTURE_H
#define MERIX_TESTS_LOGIN_FIXTURE_H

#include <game/savegamedata.h>
#include <kwexnet/encode.h>
#include <kwexnet/kwex_messenger.h>
#include <platform/files.h>
#include <platform/plist.h>

#include "files.h"
#include "test_http_server.h"
#include "test_tcp_server.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace logintest {

using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TcpScript;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;
using testsupport::TestTcpServer;

inline const std::string kUser = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";
inline const std::string kOther = "11111111-2222-3333-4444-555555555555";
inline const std::string kSession = "00c0ffee12ab";
inline const std::string kDiscovery = "/web_http_app/server/findAvailableServer/";

using Form = std::vector<std::pair<std::string, std::string>>;

// The fields of a form body, names and values percent-decoded, in order.
inline Form formFields(const std::string &body)
{
    const auto decode = [](const std::string &s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '+') {
                out += ' ';
            } else if (s[i] == '%' && i + 2 < s.size()) {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    Form form;
    std::size_t start = 0;
    while (start <= body.size() && !body.empty()) {
        const std::size_t end = std::min(body.find('&', start), body.size());
        const std::string pair = body.substr(start, end - start);
        const std::size_t eq = pair.find('=');
        form.emplace_back(decode(pair.substr(0, eq)), eq == std::string::npos ? "" : decode(pair.substr(eq + 1)));
        start = end + 1;
    }
    return form;
}

inline std::string lockedList()
{
    std::string s;
    for (int i = 0; i < 25; ++i)
        s += "0,";
    return s;
}

inline std::string listWith(std::vector<std::pair<int, std::uint64_t>> stamps)
{
    std::vector<std::uint64_t> all(25, 0);
    for (auto [n, v] : stamps)
        all[static_cast<std::size_t>(n)] = v;
    std::string s;
    for (auto v : all)
        s += std::to_string(v) + ",";
    return s;
}

inline Reply xml(const std::string &inner)
{
    return Reply{200, {{"Content-Type", "text/xml"}}, "<appserver>" + inner + "</appserver>"};
}

inline std::string loginReply(const std::string &profiles)
{
    return "<result id=\"0\"/><session_id>" + kSession + "</session_id><user_id>" + kUser +
           "</user_id><user_name>ann</user_name>" + profiles;
}

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

inline bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline std::size_t countOf(const std::string &text, const std::string &part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class LoginClient : public ::testing::Test {
public:
    static void SetUpTestSuite() { sCerts = TestCertificates::create().release(); }
    // The server's threads read the fixture: they end before it goes.
    void TearDown() override { server.reset(); }

    static void TearDownTestSuite()
    {
        delete sCerts;
        sCerts = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(sCerts != nullptr && sCerts->ok());
        ASSERT_TRUE(data.ok());
        server = std::make_unique<TestHttpServer>(sCerts->serverTls());
        ASSERT_TRUE(server->start());
        discover(server->url("/app/").substr(std::string("https://").size()), 0);
        server->handle("/app/login/", [this](const RecordedRequest &) {
            std::lock_guard lock(profilesMutex);
            return xml(loginReply(profiles));
        });
        server->reply("/app/updatePreferences/", xml("<success/>"));
        server->reply("/app/logout/", xml("<success/>"));
        server->reply("/app/joinGroupByTopic/",
                      xml("<result/><group_info server_id=\"3\" address=\"127.0.0.1:1\" group_id=\"9\"/>"));
        server->reply("/app/postScore/", Reply{200, {}, ""});
        platform::setApplicationRoot(data.path());
        paddle::savegamedata::ForgetAll();
    }

    // The discovery reply: this https host and, when not 0, a socket port.
    void discover(const std::string &httpsHost, std::uint16_t socketPort, const std::string &httpHost = "")
    {
        std::string servers;
        if (!httpsHost.empty())
            servers += "<server type=\"https\" host=\"" + httpsHost + "\"/>";
        if (!httpHost.empty())
            servers += "<server type=\"http\" host=\"" + httpHost + "\"/>";
        if (socketPort != 0) {
            servers += "<server type=\"socket\" host=\"127.0.0.1\" port=\"" + std::to_string(socketPort) + "\"/>";
        }
        server->reply(kDiscovery, xml(servers));
    }

    // Runs ogc-sim with these actions; returns its standard output.
    std::string sim(const std::string &actions, const std::string &options = "", int *status = nullptr)
    {
        int code = -1;
        const std::string command = "LANG=de_DE " + auratest::quote(OGC_SIM_PATH) + " --server " +
                                    server->url(kDiscovery) + " --cacert " +
                                    auratest::quote(sCerts->caCertificateFile()) + " --data " +
                                    auratest::quote(data.path()) + " " + options + " " + actions + " 2>/dev/null";
        std::string out = auratest::capture(command, &code);
        if (status != nullptr) {
            *status = code;
        } else {
            EXPECT_EQ(code, 0) << actions; // a sanitizer's report fails the run too
        }
        return out;
    }

    // ogc-sim through actions of which one fails: it ends with status 1.
    std::string simFailing(const std::string &actions, const std::string &options = "")
    {
        int status = 0;
        std::string out = sim(actions, options, &status);
        EXPECT_EQ(status, 1 << 8) << actions << "\n" << out.substr(0, 2000);
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

    void saveLogin() { paddle::savegamedata::SetMerixLogin("ann@example.com", "pa ss&word"); }

    std::string preferencesFile() const
    {
        const auto bytes = platform::readWholeFile(paddle::savegamedata::PreferencesPath());
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }

    static inline TestCertificates *sCerts = nullptr;
    auratest::TempDir data{"ogc-sim"};
    std::unique_ptr<TestHttpServer> server;
    // What the login reply holds; the server's thread reads it.
    std::mutex profilesMutex;
    std::string profiles;
    void setProfiles(std::string text)
    {
        std::lock_guard lock(profilesMutex);
        profiles = std::move(text);
    }
};


} // namespace logintest

#endif // MERIX_TESTS_LOGIN_FIXTURE_H
