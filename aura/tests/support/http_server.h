// A scripted HTTP server on 127.0.0.1 for the engine's net-file tests: it
// records each request's head and answers with the bytes a script gives,
// optionally keeping the connection open (silent) afterwards.
#ifndef AURA_TESTS_SUPPORT_HTTP_SERVER_H
#define AURA_TESTS_SUPPORT_HTTP_SERVER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace auratest {

struct HttpReply {
    std::string bytes;          // status line, headers and body, sent as they stand
    bool holdOpen = false;      // afterwards, stay silent until the client goes
};

class HttpServer {
public:
    // The script sees the request's head (up to the empty line) and the
    // number of requests before it.
    using Script = std::function<HttpReply(const std::string &request, int index)>;

    explicit HttpServer(Script script);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    [[nodiscard]] bool ok() const { return mListener >= 0; }
    [[nodiscard]] unsigned short port() const { return mPort; }
    // "http://127.0.0.1:PORT" followed by path.
    [[nodiscard]] std::string url(const std::string &path) const;
    [[nodiscard]] std::vector<std::string> requests() const;

    // Helpers for scripts.
    static HttpReply status(int code, const std::string &reason, const std::string &headers = {});

private:
    void acceptLoop();
    void serve(int fd, int index);

    Script mScript;
    int mListener = -1;
    unsigned short mPort = 0;
    std::atomic<bool> mStop{false};
    mutable std::mutex mLock;
    std::vector<std::string> mRequests;
    std::vector<std::thread> mWorkers;
    std::thread mAcceptor;
};

// ICY framing: the body with a metadata block after every `interval` bytes;
// titles[i] (may be empty for an empty block) goes into the i-th block, the
// last title repeating.
std::string withIcyBlocks(const std::string &body, unsigned int interval, const std::vector<std::string> &blocks);
// Chunked transfer coding of a body in chunks of `size` bytes.
std::string chunked(const std::string &body, std::size_t size);

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_HTTP_SERVER_H
