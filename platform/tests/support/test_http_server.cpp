#include "test_http_server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;
// A client that goes quiet this long in the middle of a request is dropped.
constexpr auto kIdleLimit = std::chrono::seconds(10);
constexpr int kPollSliceMs = 20;

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

const char *reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool hasHeader(const HeaderList &headers, std::string_view name)
{
    return std::any_of(headers.begin(), headers.end(), [&](const auto &h) { return iequals(h.first, name); });
}

std::string renderReply(const Reply &reply, bool headOnly)
{
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    for (const auto &[name, value] : reply.headers)
        out += name + ": " + value + "\r\n";
    if (!hasHeader(reply.headers, "Content-Length"))
        out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (!hasHeader(reply.headers, "Connection"))
        out += "Connection: close\r\n";
    out += "\r\n";
    if (!headOnly)
        out += reply.body;
    return out;
}

struct Behaviour {
    enum class Kind { Fixed, Handler, CutHeader, ShortBody, NeverAnswer, CloseAtOnce } kind = Kind::Fixed;
    Reply reply;
    TestHttpServer::Handler handler;
    std::string raw;
    std::size_t declaredLength = 0;
};

// --- certificates -----------------------------------------------------------

struct PkeyDeleter {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct X509Deleter {
    void operator()(X509 *x) const { X509_free(x); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

bool addExtension(X509 *cert, X509V3_CTX *ctx, int nid, const char *value)
{
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for `key`, signed by issuer (or by itself when issuer is null).
X509Ptr makeCertificate(EVP_PKEY *key, const char *commonName, long serial, bool isCa, X509 *issuer,
                        EVP_PKEY *issuerKey)
{
    X509Ptr cert(X509_new());
    if (!cert)
        return nullptr;
    X509 *x = cert.get();
    bool ok = X509_set_version(x, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(x), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x), -3600) && X509_gmtime_adj(X509_getm_notAfter(x), 7L * 24 * 3600) &&
              X509_set_pubkey(x, key) == 1;
    X509_NAME *name = X509_get_subject_name(x);
    ok = ok && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char *>("Aura tests"), -1, -1, 0) == 1;
    ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0) == 1;
    ok = ok && X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) == 1;
    if (!ok)
        return nullptr;

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
    ok = addExtension(x, &ctx, NID_basic_constraints, isCa ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
         addExtension(x, &ctx, NID_key_usage,
                      isCa ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment") &&
         addExtension(x, &ctx, NID_subject_key_identifier, "hash") &&
         addExtension(x, &ctx, NID_authority_key_identifier, "keyid:always");
    if (!isCa)
        ok = ok && addExtension(x, &ctx, NID_ext_key_usage, "serverAuth") &&
             addExtension(x, &ctx, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    if (!ok || X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256()) == 0)
        return nullptr;
    return cert;
}

bool writePem(const std::string &path, EVP_PKEY *key, X509 *cert)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = true;
    if (key)
        ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (cert)
        ok = ok && PEM_write_X509(f, cert) == 1;
    return std::fclose(f) == 0 && ok;
}

std::string opensslError()
{
    const unsigned long code = ERR_get_error();
    if (code == 0)
        return "unknown OpenSSL failure";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace

// --- RecordedRequest ------------------------------------------------------

std::optional<std::string> RecordedRequest::header(const std::string &name) const
{
    for (const auto &[n, v] : headers)
        if (iequals(n, name))
            return v;
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(const std::string &name) const
{
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(), [&](const auto &h) { return iequals(h.first, name); }));
}

// --- TestCertificates ---------------------------------------------------------

std::unique_ptr<TestCertificates> TestCertificates::create()
{
    std::unique_ptr<TestCertificates> certs(new TestCertificates());
    certs->mOk = certs->make();
    return certs;
}

TestCertificates::~TestCertificates()
{
    if (!mDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }
}

bool TestCertificates::make()
{
    std::string base = "/tmp";
    if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp)
        base = tmp;
    std::string pattern = base + "/aura-test-certs-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        mError = "cannot make a temporary directory";
        return false;
    }
    mDir = pattern;
    mCaCert = mDir + "/ca.pem";
    mCaKey = mDir + "/ca-key.pem";
    mServerCert = mDir + "/server.pem";
    mServerKey = mDir + "/server-key.pem";
    mSelfCert = mDir + "/self-signed.pem";
    mSelfKey = mDir + "/self-signed-key.pem";

    PkeyPtr caKey(EVP_EC_gen("P-256"));
    PkeyPtr serverKey(EVP_EC_gen("P-256"));
    PkeyPtr selfKey(EVP_EC_gen("P-256"));
    if (!caKey || !serverKey || !selfKey) {
        mError = opensslError();
        return false;
    }
    X509Ptr ca = makeCertificate(caKey.get(), "Aura Test CA", 1, true, nullptr, nullptr);
    X509Ptr server = ca ? makeCertificate(serverKey.get(), "127.0.0.1", 2, false, ca.get(), caKey.get()) : nullptr;
    X509Ptr self = makeCertificate(selfKey.get(), "127.0.0.1", 3, false, nullptr, nullptr);
    if (!ca || !server || !self) {
        mError = opensslError();
        return false;
    }
    if (!writePem(mCaCert, nullptr, ca.get()) || !writePem(mCaKey, caKey.get(), nullptr) ||
        !writePem(mServerCert, nullptr, server.get()) || !writePem(mServerKey, serverKey.get(), nullptr) ||
        !writePem(mSelfCert, nullptr, self.get()) || !writePem(mSelfKey, selfKey.get(), nullptr)) {
        mError = "cannot write the PEM files";
        return false;
    }
    return true;
}

// --- TestHttpServer ---------------------------------------------------------

struct TestHttpServer::Impl {
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    std::optional<TlsIdentity> tls;
    SSL_CTX *ctx = nullptr;
    int listenFd = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    bool started = false;
    std::thread acceptThread;

    mutable std::mutex mutex; // behaviours, records, connections
    mutable std::condition_variable recorded;
    std::map<std::string, Behaviour> behaviours;
    std::vector<RecordedRequest> records;
    std::list<std::unique_ptr<Connection>> connections;
    std::atomic<std::size_t> accepted{0};

    ~Impl()
    {
        if (ctx)
            SSL_CTX_free(ctx);
    }

    void setBehaviour(const std::string &path, Behaviour b)
    {
        std::lock_guard lock(mutex);
        behaviours[path] = std::move(b);
    }

    // Byte stream over a plain or TLS socket, with stop-aware waits.
    struct Stream {
        Impl &server;
        int fd;
        SSL *ssl = nullptr;

        ~Stream()
        {
            if (ssl)
                SSL_free(ssl);
        }

        // Waits until readable; false on stop, idle limit (when bounded) or error.
        bool waitReadable(bool bounded) const
        {
            const auto deadline = Clock::now() + kIdleLimit;
            for (;;) {
                if (ssl && SSL_pending(ssl) > 0)
                    return true;
                if (server.stopping.load())
                    return false;
                pollfd p{fd, POLLIN, 0};
                const int r = ::poll(&p, 1, kPollSliceMs);
                if (r > 0)
                    return true;
                if (r < 0 && errno != EINTR)
                    return false;
                if (bounded && Clock::now() >= deadline)
                    return false;
            }
        }

        // >0 bytes read, 0 end of stream, -1 failure or stop.
        long readSome(char *buf, std::size_t n, bool bounded = true) const
        {
            if (!waitReadable(bounded))
                return -1;
            if (ssl) {
                const int r = SSL_read(ssl, buf, static_cast<int>(std::min<std::size_t>(n, 1 << 20)));
                if (r > 0)
                    return r;
                return SSL_get_error(ssl, r) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
            }
            for (;;) {
                const ssize_t r = ::recv(fd, buf, n, 0);
                if (r >= 0)
                    return static_cast<long>(r);
                if (errno != EINTR)
                    return -1;
            }
        }

        bool writeAll(std::string_view data) const
        {
            while (!data.empty()) {
                if (server.stopping.load())
                    return false;
                long n = 0;
                if (ssl) {
                    n = SSL_write(ssl, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)));
                } else {
                    n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
                    if (n < 0 && errno == EINTR)
                        continue;
                }
                if (n <= 0)
                    return false;
                data.remove_prefix(static_cast<std::size_t>(n));
            }
            return true;
        }

        // Our end is finished: say so (close_notify, FIN), then let the client
        // close first so no unread byte turns our close into a reset.
        void finish() const
        {
            if (ssl)
                SSL_shutdown(ssl);
            ::shutdown(fd, SHUT_WR);
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            char sink[4096];
            while (Clock::now() < deadline && !server.stopping.load()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, kPollSliceMs) <= 0)
                    continue;
                if (::recv(fd, sink, sizeof sink, 0) <= 0)
                    break;
            }
        }
    };

    void serve(Connection &c)
    {
        try {
            Stream stream{*this, c.fd};
            if (ctx) {
                stream.ssl = SSL_new(ctx);
                if (!stream.ssl || SSL_set_fd(stream.ssl, c.fd) != 1 || SSL_accept(stream.ssl) != 1) {
                    ERR_clear_error();
                    ::shutdown(c.fd, SHUT_RDWR);
                    c.finished = true;
                    return;
                }
            }
            serveRequest(stream);
        } catch (...) {
            // Out of memory in a test server: drop the connection.
        }
        ERR_clear_error();
        ::shutdown(c.fd, SHUT_RDWR);
        c.finished = true;
    }

    void serveRequest(const Stream &stream)
    {
        std::string data;
        char buf[16384];
        std::size_t headerEnd = std::string::npos;
        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
            if (data.size() > kMaxHeaderBytes)
                return;
            const long n = stream.readSome(buf, sizeof buf);
            if (n <= 0)
                return;
            data.append(buf, static_cast<std::size_t>(n));
        }

        RecordedRequest req;
        const std::string_view head(data.data(), headerEnd);
        std::size_t lineEnd = head.find("\r\n");
        const std::string_view requestLine = head.substr(0, lineEnd);
        const std::size_t sp1 = requestLine.find(' ');
        const std::size_t sp2 = requestLine.rfind(' ');
        if (sp1 == std::string_view::npos || sp2 == sp1)
            return;
        req.method = requestLine.substr(0, sp1);
        req.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        req.version = requestLine.substr(sp2 + 1);
        req.path = req.target.substr(0, req.target.find('?'));
        while (lineEnd != std::string_view::npos) {
            const std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string_view line = head.substr(start, lineEnd == std::string_view::npos ? head.npos : lineEnd - start);
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos)
                continue;
            req.headers.emplace_back(std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1))));
        }

        if (auto expect = req.header("Expect"); expect && iequals(*expect, "100-continue"))
            if (!stream.writeAll("HTTP/1.1 100 Continue\r\n\r\n"))
                return;

        std::string rest = data.substr(headerEnd + 4);
        auto fill = [&](std::size_t want) {
            while (rest.size() < want) {
                const long n = stream.readSome(buf, sizeof buf);
                if (n <= 0)
                    return false;
                rest.append(buf, static_cast<std::size_t>(n));
            }
            return true;
        };
        auto transferEncoding = req.header("Transfer-Encoding");
        if (transferEncoding && iequals(*transferEncoding, "chunked")) {
            for (;;) {
                std::size_t eol;
                while ((eol = rest.find("\r\n")) == std::string::npos)
                    if (rest.size() > 1024 || !fill(rest.size() + 1))
                        return;
                const std::size_t size = std::strtoul(rest.c_str(), nullptr, 16);
                rest.erase(0, eol + 2);
                if (size == 0)
                    break; // trailers, if any, are not needed
                if (size > kMaxBodyBytes || req.body.size() + size > kMaxBodyBytes || !fill(size + 2))
                    return;
                req.body.append(rest, 0, size);
                rest.erase(0, size + 2);
            }
        } else if (auto length = req.header("Content-Length")) {
            const std::size_t want = std::strtoul(length->c_str(), nullptr, 10);
            if (want > kMaxBodyBytes || !fill(want))
                return;
            req.body = rest.substr(0, want);
        }

        Behaviour behaviour;
        {
            std::lock_guard lock(mutex);
            records.push_back(req);
            auto it = behaviours.find(req.path);
            if (it != behaviours.end()) {
                behaviour = it->second;
            } else {
                behaviour.reply = Reply{404, {{"Content-Type", "text/plain"}}, "not found"};
            }
        }
        recorded.notify_all();
        act(stream, req, behaviour);
    }

    void act(const Stream &stream, const RecordedRequest &req, const Behaviour &b)
    {
        using Kind = Behaviour::Kind;
        switch (b.kind) {
        case Kind::Fixed:
        case Kind::Handler: {
            const Reply reply = b.kind == Kind::Handler && b.handler ? b.handler(req) : b.reply;
            const auto until = Clock::now() + std::chrono::duration<double>(std::max(0.0, reply.delaySeconds));
            while (Clock::now() < until && !stopping.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (stream.writeAll(renderReply(reply, req.method == "HEAD")))
                stream.finish();
            break;
        }
        case Kind::CutHeader:
            if (stream.writeAll(b.raw))
                stream.finish();
            break;
        case Kind::ShortBody: {
            const std::string out = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                    std::to_string(b.declaredLength) + "\r\nConnection: close\r\n\r\n" + b.raw;
            if (stream.writeAll(out))
                stream.finish();
            break;
        }
        case Kind::NeverAnswer: {
            char sink[4096];
            while (stream.readSome(sink, sizeof sink, false) > 0) {
            }
            break;
        }
        case Kind::CloseAtOnce:
            stream.finish();
            break;
        }
    }

    void reapFinished()
    {
        std::lock_guard lock(mutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->finished.load()) {
                (*it)->thread.join();
                ::close((*it)->fd);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }

    void acceptLoop()
    {
        while (!stopping.load()) {
            pollfd p{listenFd, POLLIN, 0};
            const int r = ::poll(&p, 1, kPollSliceMs);
            reapFinished();
            if (r <= 0)
                continue;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++accepted;
            // A safety net for blocking TLS calls; stop() also shuts sockets down.
            timeval tv{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            try {
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                Connection *raw = c.get();
                std::lock_guard lock(mutex);
                connections.push_back(std::move(c));
                raw->thread = std::thread([this, raw] { serve(*raw); });
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!connections.empty() && connections.back()->fd == fd && !connections.back()->thread.joinable())
                    connections.pop_back();
                ::close(fd);
            }
        }
    }
};

TestHttpServer::TestHttpServer() : mImpl(std::make_unique<Impl>()) {}

TestHttpServer::TestHttpServer(TlsIdentity tls) : mImpl(std::make_unique<Impl>()) { mImpl->tls = std::move(tls); }

TestHttpServer::~TestHttpServer() { stop(); }

void TestHttpServer::reply(const std::string &path, Reply reply)
{
    Behaviour b;
    b.kind = Behaviour::Kind::Fixed;
    b.reply = std::move(reply);
    mImpl->setBehaviour(path, std::move(b));
}

void TestHttpServer::handle(const std::string &path, Handler handler)
{
    Behaviour b;
    b.kind = Behaviour::Kind::Handler;
    b.handler = std::move(handler);
    mImpl->setBehaviour(path, std::move(b));
}

void TestHttpServer::redirect(const std::string &path, const std::string &location, int status)
{
    reply(path, Reply{status, {{"Location", location}}, "", 0.0});
}

void TestHttpServer::cutInsideHeader(const std::string &path, std::string partialHeader)
{
    Behaviour b;
    b.kind = Behaviour::Kind::CutHeader;
    b.raw = std::move(partialHeader);
    mImpl->setBehaviour(path, std::move(b));
}

void TestHttpServer::shortBody(const std::string &path, std::size_t declaredLength, std::string body)
{
    Behaviour b;
    b.kind = Behaviour::Kind::ShortBody;
    b.declaredLength = declaredLength;
    b.raw = std::move(body);
    mImpl->setBehaviour(path, std::move(b));
}

void TestHttpServer::neverAnswer(const std::string &path)
{
    Behaviour b;
    b.kind = Behaviour::Kind::NeverAnswer;
    mImpl->setBehaviour(path, std::move(b));
}

void TestHttpServer::closeAtOnce(const std::string &path)
{
    Behaviour b;
    b.kind = Behaviour::Kind::CloseAtOnce;
    mImpl->setBehaviour(path, std::move(b));
}

bool TestHttpServer::start()
{
    Impl &d = *mImpl;
    if (d.started)
        return false;
    // Writes to a socket the client already closed must fail, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    if (d.tls) {
        d.ctx = SSL_CTX_new(TLS_server_method());
        if (!d.ctx || SSL_CTX_use_certificate_chain_file(d.ctx, d.tls->certificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(d.ctx, d.tls->keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(d.ctx) != 1) {
            ERR_clear_error();
            return false;
        }
    }
    d.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d.listenFd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(d.listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(d.listenFd, 64) != 0 ||
        ::getsockname(d.listenFd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(d.listenFd);
        d.listenFd = -1;
        return false;
    }
    d.port = ntohs(addr.sin_port);
    d.stopping = false;
    try {
        d.acceptThread = std::thread([&d] { d.acceptLoop(); });
    } catch (...) {
        ::close(d.listenFd);
        d.listenFd = -1;
        return false;
    }
    d.started = true;
    return true;
}

void TestHttpServer::stop()
{
    Impl &d = *mImpl;
    if (!d.started)
        return;
    d.stopping = true;
    if (d.acceptThread.joinable())
        d.acceptThread.join();
    ::close(d.listenFd);
    d.listenFd = -1;
    std::list<std::unique_ptr<Impl::Connection>> connections;
    {
        std::lock_guard lock(d.mutex);
        connections.swap(d.connections);
    }
    for (auto &c : connections)
        ::shutdown(c->fd, SHUT_RDWR); // wakes blocking TLS calls
    for (auto &c : connections) {
        c->thread.join();
        ::close(c->fd);
    }
    d.started = false;
}

std::uint16_t TestHttpServer::port() const { return mImpl->port; }

bool TestHttpServer::isTls() const { return mImpl->tls.has_value(); }

std::string TestHttpServer::url(const std::string &path) const
{
    return std::string(isTls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port()) + path;
}

std::vector<RecordedRequest> TestHttpServer::requests() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->records;
}

std::size_t TestHttpServer::requestCount() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->records.size();
}

bool TestHttpServer::waitForRequests(std::size_t count, double timeoutSeconds) const
{
    std::unique_lock lock(mImpl->mutex);
    return mImpl->recorded.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeoutSeconds)),
                                    [&] { return mImpl->records.size() >= count; });
}

std::size_t TestHttpServer::connectionCount() const { return mImpl->accepted.load(); }

std::uint16_t unusedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

} // namespace testsupport
