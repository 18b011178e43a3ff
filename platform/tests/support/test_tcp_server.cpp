#include "test_tcp_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollSliceMs = 20;
constexpr auto kWaitLimit = std::chrono::seconds(10);

std::chrono::nanoseconds toDuration(double seconds)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(std::max(seconds, 0.0)));
}

} // namespace

TcpScript &TcpScript::send(std::string bytes, std::vector<std::size_t> splitAt, double delaySeconds)
{
    std::size_t start = 0;
    for (std::size_t at : splitAt) {
        at = std::min(at, bytes.size());
        if (at <= start) {
            continue;
        }
        steps.push_back({Step::Send, bytes.substr(start, at - start), 0.0, 0});
        steps.push_back({Step::Pause, {}, delaySeconds, 0});
        start = at;
    }
    steps.push_back({Step::Send, bytes.substr(start), 0.0, 0});
    return *this;
}

TcpScript &TcpScript::pause(double seconds)
{
    steps.push_back({Step::Pause, {}, seconds, 0});
    return *this;
}

TcpScript &TcpScript::waitForBytes(std::size_t count)
{
    steps.push_back({Step::WaitForBytes, {}, 0.0, count});
    return *this;
}

TcpScript &TcpScript::waitForUnread(std::size_t count)
{
    steps.push_back({Step::WaitForUnread, {}, 0.0, count});
    return *this;
}

TcpScript &TcpScript::stopReading()
{
    steps.push_back({Step::StopReading, {}, 0.0, 0});
    return *this;
}

TcpScript &TcpScript::resumeReading()
{
    steps.push_back({Step::ResumeReading, {}, 0.0, 0});
    return *this;
}

TcpScript &TcpScript::close()
{
    steps.push_back({Step::Close, {}, 0.0, 0});
    return *this;
}

TcpScript &TcpScript::reset()
{
    steps.push_back({Step::Reset, {}, 0.0, 0});
    return *this;
}

TcpScript &TcpScript::readSlowly(std::size_t chunkBytes, double pauseSeconds)
{
    readChunk = chunkBytes;
    readPause = pauseSeconds;
    return *this;
}

struct TestTcpServer::Impl {
    struct Connection {
        int fd = -1;
        std::string received;
        std::atomic<bool> reading{true};
        bool readerDone = false;
        bool finished = false;
        std::thread worker;
    };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<TcpScript> scripts;
    int listener = -1;
    std::uint16_t port = 0;
    bool stopping = false;
    std::thread acceptor;
    std::list<Connection> connections;

    bool stopped() const
    {
        std::lock_guard lock(mutex);
        return stopping;
    }

    template <typename Pred>
    bool waitFor(Pred pred, Clock::duration limit) const
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return pred() || stopping; }) && pred();
    }

    void acceptLoop()
    {
        for (;;) {
            int fd = -1;
            {
                std::lock_guard lock(mutex);
                if (stopping || listener < 0) {
                    return;
                }
                fd = listener;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kPollSliceMs) <= 0) {
                continue;
            }
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            std::lock_guard lock(mutex);
            if (stopping) {
                ::close(client);
                return;
            }
            const std::size_t index = connections.size();
            TcpScript script = scripts.empty() ? TcpScript() : scripts[std::min(index, scripts.size() - 1)];
            Connection &connection = connections.emplace_back();
            connection.fd = client;
            connection.worker = std::thread([this, &connection, script] { run(connection, script); });
            changed.notify_all();
        }
    }

    void readLoop(Connection &c, const TcpScript &script)
    {
        std::vector<char> buffer(64 * 1024);
        const std::size_t chunk = script.readChunk == 0 ? buffer.size() : std::min(script.readChunk, buffer.size());
        while (!stopped()) {
            if (!c.reading.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            pollfd p{c.fd, POLLIN, 0};
            if (::poll(&p, 1, kPollSliceMs) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(c.fd, buffer.data(), chunk, MSG_DONTWAIT);
            if (n > 0) {
                std::lock_guard lock(mutex);
                c.received.append(buffer.data(), static_cast<std::size_t>(n));
                changed.notify_all();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
            if (script.readChunk != 0) {
                std::this_thread::sleep_for(toDuration(script.readPause));
            }
        }
        std::lock_guard lock(mutex);
        c.readerDone = true;
        changed.notify_all();
    }

    bool sendAll(int fd, const std::string &bytes) const
    {
        std::size_t sent = 0;
        while (sent < bytes.size() && !stopped()) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kPollSliceMs) <= 0) {
                continue;
            }
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
        }
        return sent == bytes.size();
    }

    void run(Connection &c, TcpScript script)
    {
        c.reading = true;
        std::thread reader([this, &c, &script] { readLoop(c, script); });
        bool reset = false;
        for (const auto &step : script.steps) {
            if (stopped()) {
                break;
            }
            bool ok = true;
            switch (step.kind) {
            case TcpScript::Step::Send: ok = sendAll(c.fd, step.bytes); break;
            case TcpScript::Step::Pause: waitFor([] { return false; }, toDuration(step.seconds)); break;
            case TcpScript::Step::WaitForBytes:
                waitFor([&] { return c.received.size() >= step.count; }, kWaitLimit);
                break;
            case TcpScript::Step::WaitForUnread: {
                const auto deadline = Clock::now() + kWaitLimit;
                int unread = 0;
                while (!stopped() && Clock::now() < deadline &&
                       (::ioctl(c.fd, FIONREAD, &unread) != 0 || static_cast<std::size_t>(unread) < step.count)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                break;
            }
            case TcpScript::Step::StopReading: c.reading = false; break;
            case TcpScript::Step::ResumeReading: c.reading = true; break;
            case TcpScript::Step::Close: ::shutdown(c.fd, SHUT_WR); break;
            case TcpScript::Step::Reset: reset = true; break;
            }
            if (!ok || reset) {
                break;
            }
        }
        if (reset) {
            // Unread bytes plus no lingering: the close sends RST.
            ::shutdown(c.fd, SHUT_RD);
            const linger abort{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        if (reset || !c.reading.load()) {
            std::lock_guard lock(mutex);
            c.reading = true;
        }
        // Without a reset the client ends the connection (or stop() does).
        reader.join();
        std::lock_guard lock(mutex);
        ::close(c.fd);
        c.fd = -1;
        c.finished = true;
        changed.notify_all();
    }
};

TestTcpServer::TestTcpServer()
    : mImpl(std::make_shared<Impl>())
{
}

TestTcpServer::~TestTcpServer()
{
    stop();
}

void TestTcpServer::script(std::vector<TcpScript> scripts)
{
    mImpl->scripts = std::move(scripts);
}

bool TestTcpServer::start()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(mImpl->mutex);
        mImpl->listener = fd;
        mImpl->port = ntohs(addr.sin_port);
    }
    mImpl->acceptor = std::thread([impl = mImpl.get()] { impl->acceptLoop(); });
    return true;
}

void TestTcpServer::refuseNew()
{
    std::lock_guard lock(mImpl->mutex);
    if (mImpl->listener >= 0) {
        ::close(mImpl->listener);
        mImpl->listener = -1;
    }
}

void TestTcpServer::stop()
{
    {
        std::lock_guard lock(mImpl->mutex);
        mImpl->stopping = true;
        mImpl->changed.notify_all();
    }
    if (mImpl->acceptor.joinable()) {
        mImpl->acceptor.join();
    }
    refuseNew();
    std::list<Impl::Connection> *connections = &mImpl->connections;
    for (auto &c : *connections) {
        if (c.worker.joinable()) {
            c.worker.join();
        }
    }
}

std::uint16_t TestTcpServer::port() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->port;
}

std::size_t TestTcpServer::connectionCount() const
{
    std::lock_guard lock(mImpl->mutex);
    return mImpl->connections.size();
}

std::string TestTcpServer::received(std::size_t index) const
{
    std::lock_guard lock(mImpl->mutex);
    if (index >= mImpl->connections.size()) {
        return {};
    }
    return std::next(mImpl->connections.begin(), static_cast<long>(index))->received;
}

bool TestTcpServer::finished(std::size_t index) const
{
    std::lock_guard lock(mImpl->mutex);
    return index < mImpl->connections.size() &&
           std::next(mImpl->connections.begin(), static_cast<long>(index))->finished;
}

bool TestTcpServer::waitForConnections(std::size_t count, double timeoutSeconds) const
{
    return mImpl->waitFor([&] { return mImpl->connections.size() >= count; }, toDuration(timeoutSeconds));
}

bool TestTcpServer::waitForBytes(std::size_t index, std::size_t count, double timeoutSeconds) const
{
    return mImpl->waitFor(
        [&] {
            return index < mImpl->connections.size() &&
                   std::next(mImpl->connections.begin(), static_cast<long>(index))->received.size() >= count;
        },
        toDuration(timeoutSeconds));
}

bool TestTcpServer::waitForFinished(std::size_t index, double timeoutSeconds) const
{
    return mImpl->waitFor(
        [&] {
            return index < mImpl->connections.size() &&
                   std::next(mImpl->connections.begin(), static_cast<long>(index))->finished;
        },
        toDuration(timeoutSeconds));
}

} // namespace testsupport
