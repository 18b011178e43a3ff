#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace auratest {

HttpServer::HttpServer(Script script) : mScript(std::move(script))
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    mListener = fd;
    mPort = ntohs(addr.sin_port);
    mAcceptor = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer()
{
    mStop = true;
    if (mAcceptor.joinable()) {
        mAcceptor.join();
    }
    for (std::thread &worker : mWorkers) {
        worker.join();
    }
    if (mListener >= 0) {
        close(mListener);
    }
}

std::string HttpServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(mPort) + path;
}

std::vector<std::string> HttpServer::requests() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mRequests;
}

HttpReply HttpServer::status(int code, const std::string &reason, const std::string &headers)
{
    return {"HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n" + headers + "\r\n", false};
}

void HttpServer::acceptLoop()
{
    int index = 0;
    while (!mStop) {
        pollfd pfd{mListener, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        const int fd = accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        mWorkers.emplace_back([this, fd, index] { serve(fd, index); });
        ++index;
    }
}

void HttpServer::serve(int fd, int index)
{
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos && !mStop) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        if (recv(fd, &c, 1, 0) != 1) {
            break;
        }
        request += c;
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        mRequests.push_back(request);
    }
    const HttpReply reply = mScript(request, index);
    std::size_t sent = 0;
    while (sent < reply.bytes.size() && !mStop) {
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        const ssize_t n = send(fd, reply.bytes.data() + sent, reply.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    // Silent until the client hangs up (or the server stops).
    while (reply.holdOpen && !mStop) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0 && recv(fd, &c, 1, 0) <= 0) {
            break;
        }
    }
    close(fd);
}

std::string withIcyBlocks(const std::string &body, unsigned int interval, const std::vector<std::string> &blocks)
{
    std::string out;
    std::size_t block = 0;
    for (std::size_t at = 0; at < body.size(); at += interval) {
        out += body.substr(at, interval);
        if (at + interval > body.size()) {
            break;
        }
        std::string text = blocks.empty() ? std::string() : blocks[std::min(block, blocks.size() - 1)];
        ++block;
        const std::size_t units = (text.size() + 15) / 16;
        text.resize(units * 16, '\0');
        out += static_cast<char>(units);
        out += text;
    }
    return out;
}

std::string chunked(const std::string &body, std::size_t size)
{
    std::string out;
    for (std::size_t at = 0; at < body.size(); at += size) {
        const std::string piece = body.substr(at, size);
        char line[32];
        std::snprintf(line, sizeof(line), "%zx\r\n", piece.size());
        out += line + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

} // namespace auratest
