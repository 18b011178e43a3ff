// A scripted HTTP/1.1 server for tests, on 127.0.0.1 with a port chosen by the
// kernel, plain or TLS, running on its own threads and stopped by its
// destructor. Also: test certificates made on the fly.
//
//   testsupport::TestHttpServer server;                  // or server(certs.serverTls())
//   server.reply("/login/", {200, {{"Content-Type", "text/xml"}}, "<ok/>"});
//   server.redirect("/old", "/login/");
//   ASSERT_TRUE(server.start());
//   ... client talks to server.url("/login/") ...
//   auto seen = server.requests();                      // what arrived, byte for byte
//
// Behaviours are chosen by the request's path (the part before any '?');
// unknown paths get a 404. Every request is recorded (method, target,
// version, header fields as sent, body bytes) before its behaviour runs.
// Every reply closes the connection afterwards ("Connection: close").
// The server reads request bodies by Content-Length or chunked encoding and
// answers "Expect: 100-continue".
#ifndef TESTSUPPORT_TEST_HTTP_SERVER_H
#define TESTSUPPORT_TEST_HTTP_SERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;  // "GET", "POST"...
    std::string target;  // as on the request line, query included
    std::string path;    // target without the query
    std::string version; // "HTTP/1.1"
    HeaderList headers;  // in order, names and values as sent
    std::string body;    // decoded body bytes

    // First value of a field, by case-insensitive name; nullopt when absent.
    [[nodiscard]] std::optional<std::string> header(const std::string &name) const;
    [[nodiscard]] std::size_t headerCount(const std::string &name) const;
};

struct Reply {
    int status = 200;
    HeaderList headers; // Content-Length and Connection are added unless given
    std::string body;
    double delaySeconds = 0.0; // wait before answering
};

// The private key and certificate chain (PEM files) a TLS server presents.
struct TlsIdentity {
    std::string certificateFile;
    std::string keyFile;
};

// A CA and two server identities for 127.0.0.1 and localhost, made with
// OpenSSL in a fresh temporary directory that the destructor removes.
class TestCertificates {
public:
    // Empty (ok() false) when OpenSSL failed; see error().
    static std::unique_ptr<TestCertificates> create();
    ~TestCertificates();
    TestCertificates(const TestCertificates &) = delete;
    TestCertificates &operator=(const TestCertificates &) = delete;

    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] const std::string &error() const { return mError; }
    [[nodiscard]] const std::string &directory() const { return mDir; }
    // The test CA's certificate: a client that trusts it accepts serverTls().
    [[nodiscard]] const std::string &caCertificateFile() const { return mCaCert; }
    // Signed by the test CA.
    [[nodiscard]] TlsIdentity serverTls() const { return {mServerCert, mServerKey}; }
    // Self-signed: no client trusts it.
    [[nodiscard]] TlsIdentity selfSignedTls() const { return {mSelfCert, mSelfKey}; }

private:
    TestCertificates() = default;
    bool make();

    bool mOk = false;
    std::string mError;
    std::string mDir, mCaCert, mCaKey, mServerCert, mServerKey, mSelfCert, mSelfKey;
};

class TestHttpServer {
public:
    // A handler builds a reply from the request it was given.
    using Handler = std::function<Reply(const RecordedRequest &)>;

    TestHttpServer();                           // plain HTTP
    explicit TestHttpServer(TlsIdentity tls);   // HTTPS with this identity
    ~TestHttpServer();                          // stop()
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    // Behaviours per path; may be set before or after start(). A later call
    // for the same path replaces the behaviour.
    void reply(const std::string &path, Reply reply);
    void handle(const std::string &path, Handler handler);
    // 302 (or `status`) with Location: location and an empty body.
    void redirect(const std::string &path, const std::string &location, int status = 302);
    // Sends `partialHeader` (no blank line), then closes.
    void cutInsideHeader(const std::string &path,
                         std::string partialHeader = "HTTP/1.1 200 OK\r\nContent-Type: text/pl");
    // A full header announcing `declaredLength` bytes, then `body` (shorter), then closes.
    void shortBody(const std::string &path, std::size_t declaredLength, std::string body);
    // Reads the request, never answers; holds the connection until stop().
    void neverAnswer(const std::string &path);
    // Reads the request and closes without a byte of reply.
    void closeAtOnce(const std::string &path);

    // Binds 127.0.0.1:0 and starts serving; false when that fails.
    bool start();
    // Closes the listener and every connection and joins every thread.
    // Idempotent; connections held by neverAnswer() end here.
    void stop();

    [[nodiscard]] std::uint16_t port() const;
    [[nodiscard]] bool isTls() const;
    // "http(s)://127.0.0.1:<port>" followed by `path`.
    [[nodiscard]] std::string url(const std::string &path = "/") const;

    [[nodiscard]] std::vector<RecordedRequest> requests() const;
    [[nodiscard]] std::size_t requestCount() const;
    // Waits (bounded) until at least `count` requests have been recorded.
    bool waitForRequests(std::size_t count, double timeoutSeconds) const;
    // Connections accepted so far (TLS handshakes that failed included).
    [[nodiscard]] std::size_t connectionCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// A port on 127.0.0.1 where nothing listens (bound, then released at once).
[[nodiscard]] std::uint16_t unusedLoopbackPort();

} // namespace testsupport

#endif // TESTSUPPORT_TEST_HTTP_SERVER_H
