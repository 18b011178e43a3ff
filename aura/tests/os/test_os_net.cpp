#include "os/aura_os.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return mFd; }
    int *out() { return &mFd; }
    void reset(int fd = -1)
    {
        if (mFd >= 0) {
            close(mFd);
        }
        mFd = fd;
    }

private:
    int mFd;
};

// Sets the connect time-out for one test and puts the old value back.
class TimeoutGuard {
public:
    explicit TimeoutGuard(int ms) : mOld(std::atomic_ref<int>(AURA_Net_Timeout).exchange(ms)) {}
    ~TimeoutGuard() { std::atomic_ref<int>(AURA_Net_Timeout).store(mOld); }
    TimeoutGuard(const TimeoutGuard &) = delete;
    TimeoutGuard &operator=(const TimeoutGuard &) = delete;
    void set(int ms) { std::atomic_ref<int>(AURA_Net_Timeout).store(ms); }

private:
    int mOld;
};

// A 127.0.0.1 socket on a kernel-chosen port; listening with the given
// backlog unless backlog is negative.
int LoopbackSocket(int backlog, unsigned short *port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

bool WaitReadable(int fd, int ms)
{
    pollfd pfd{};
    pfd.fd = fd;
    pfd.events = POLLIN;
    return poll(&pfd, 1, ms) == 1;
}

bool IsNonBlocking(int fd)
{
    return (fcntl(fd, F_GETFL, 0) & O_NONBLOCK) != 0;
}

void MakeNonBlocking(int fd)
{
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK), 0);
}

// A connected client/server pair over 127.0.0.1.
struct Pair {
    Fd client;
    Fd server;
};

void Connect(Pair &pair, const char *host = "127.0.0.1")
{
    unsigned short port = 0;
    Fd listener(LoopbackSocket(8, &port));
    ASSERT_GE(listener.get(), 0);
    ASSERT_EQ(AURA_OS_Net_Connect(host, port, pair.client.out()), AURA_OK);
    ASSERT_GE(pair.client.get(), 0);
    ASSERT_TRUE(WaitReadable(listener.get(), 2000));
    pair.server.reset(accept(listener.get(), nullptr, nullptr));
    ASSERT_GE(pair.server.get(), 0);
}

bool SendAll(int fd, const std::string &data)
{
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

} // namespace

TEST(OsNet, ListenAcceptAndPort)
{
    Fd listener;
    ASSERT_EQ(AURA_OS_Net_Listen(0, listener.out()), AURA_OK);
    ASSERT_GE(listener.get(), 0);
    ASSERT_TRUE(IsNonBlocking(listener.get())); // else the Accept below would hang
    unsigned short port = 0;
    ASSERT_EQ(AURA_OS_Net_GetPort(listener.get(), &port), AURA_OK);
    ASSERT_NE(port, 0);

    // Nothing pending yet.
    int accepted = 1234;
    EXPECT_EQ(AURA_OS_Net_Accept(listener.get(), &accepted), AURA_ERR_NET_WOULD_BLOCK);
    EXPECT_EQ(accepted, AURA_OS_INVALID_SOCKET);

    Fd client;
    ASSERT_EQ(AURA_OS_Net_Connect("127.0.0.1", port, client.out()), AURA_OK);
    EXPECT_FALSE(IsNonBlocking(client.get()));
    ASSERT_TRUE(WaitReadable(listener.get(), 2000));
    Fd server;
    ASSERT_EQ(AURA_OS_Net_Accept(listener.get(), server.out()), AURA_OK);
    ASSERT_GE(server.get(), 0);
    EXPECT_FALSE(IsNonBlocking(server.get()));

    // The two ends are joined.
    unsigned int sent = 0;
    unsigned int got = 0;
    char buf[5] = {};
    EXPECT_EQ(AURA_OS_Net_Write(client.get(), "hello", 5, &sent), AURA_OK);
    EXPECT_EQ(sent, 5u);
    EXPECT_EQ(AURA_OS_Net_Read(server.get(), buf, 5, &got), AURA_OK);
    EXPECT_EQ(std::string(buf, got), "hello");

    // A second listener cannot take a port that is being listened on.
    int second = 1234;
    EXPECT_NE(AURA_OS_Net_Listen(port, &second), AURA_OK);
    EXPECT_EQ(second, AURA_OS_INVALID_SOCKET);

    // The server closes first, leaving its end in TIME_WAIT; the port can
    // still be listened on again straight away.
    server.reset();
    EXPECT_EQ(AURA_OS_Net_Read(client.get(), buf, 1, &got), AURA_ERR_FILE_EOF);
    client.reset();
    listener.reset();
    ASSERT_EQ(AURA_OS_Net_Listen(port, listener.out()), AURA_OK);
    unsigned short again = 0;
    EXPECT_EQ(AURA_OS_Net_GetPort(listener.get(), &again), AURA_OK);
    EXPECT_EQ(again, port);

    EXPECT_EQ(AURA_OS_Net_GetPort(AURA_OS_INVALID_SOCKET, &again), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_Net_GetPort(listener.get(), nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_Net_Accept(listener.get(), nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_Net_Listen(0, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_Net_Close(AURA_OS_INVALID_SOCKET), AURA_OK);
}

TEST(OsNet, ReadWouldBlockAndPeerClose)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair));
    ASSERT_NO_FATAL_FAILURE(MakeNonBlocking(pair.client.get()));

    char buf[16] = {};
    unsigned int got = 99;
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 8, &got), AURA_ERR_NET_WOULD_BLOCK);
    EXPECT_EQ(got, 0u);

    // Part of what is asked for arrives: it is counted and kept.
    ASSERT_TRUE(SendAll(pair.server.get(), "abc"));
    ASSERT_TRUE(WaitReadable(pair.client.get(), 2000));
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 8, &got), AURA_ERR_NET_WOULD_BLOCK);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // The peer sends a little more and closes.
    ASSERT_TRUE(SendAll(pair.server.get(), "defg"));
    pair.server.reset();
    ASSERT_TRUE(WaitReadable(pair.client.get(), 2000));
    std::memset(buf, 0, sizeof(buf));
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 8, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "defg");
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 8, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 0u);

    got = 99;
    EXPECT_EQ(AURA_OS_Net_Read(AURA_OS_INVALID_SOCKET, buf, 8, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), nullptr, 8, &got), AURA_ERR_INVALID_PARAM);
}

TEST(OsNet, ReadLineDropsCarriageReturnsAndTruncates)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair));
    ASSERT_TRUE(SendAll(pair.server.get(),
                        "HTTP/1.0 200 OK\r\n\r\nmid\rdle\n0123456789ABCDEF\r\nxy\nz\r\ntail"));
    pair.server.reset();

    char line[64];
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "HTTP/1.0 200 OK");
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "");
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "middle");

    // Capacity 8 keeps 7 characters and the NUL, touches nothing past them,
    // and still consumes the rest of the line.
    char small[16];
    std::memset(small, '#', sizeof(small));
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), small, 8), AURA_OK);
    EXPECT_STREQ(small, "0123456");
    for (std::size_t i = 8; i < sizeof(small); i++) {
        EXPECT_EQ(small[i], '#') << "byte " << i;
    }
    // Capacity 1 holds only the terminator.
    std::memset(small, '#', sizeof(small));
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), small, 1), AURA_OK);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], '#');
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "z");

    // The last line has no line feed: the peer's close ends it.
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "tail");
    std::memset(line, '#', sizeof(line));
    ASSERT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "");

    std::memset(line, '#', sizeof(line));
    EXPECT_EQ(AURA_OS_Net_ReadLine(AURA_OS_INVALID_SOCKET, line, sizeof(line)),
              AURA_ERR_NET_SOCKET_ERROR);
    EXPECT_EQ(line[0], '\0');
    EXPECT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), nullptr, 8), AURA_ERR_INVALID_PARAM);
    line[0] = '#';
    EXPECT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, 0), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(line[0], '#');
}

TEST(OsNet, ReadLineWouldBlockKeepsTheTextTerminated)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair));
    ASSERT_NO_FATAL_FAILURE(MakeNonBlocking(pair.client.get()));

    char line[16];
    std::memset(line, '#', sizeof(line));
    EXPECT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)),
              AURA_ERR_NET_WOULD_BLOCK);
    EXPECT_EQ(line[0], '\0');

    ASSERT_TRUE(SendAll(pair.server.get(), "par\r"));
    ASSERT_TRUE(WaitReadable(pair.client.get(), 2000));
    std::memset(line, '#', sizeof(line));
    EXPECT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)),
              AURA_ERR_NET_WOULD_BLOCK);
    EXPECT_STREQ(line, "par");
}

TEST(OsNet, WriteToAClosedPeerFailsWithoutSignal)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair));
    pair.server.reset();

    // The first send after the close may still be taken; the peer's reset
    // makes a later one fail. Without MSG_NOSIGNAL the process dies here.
    const std::string chunk(4096, 'x');
    AURA_RESULT result = AURA_OK;
    unsigned int sent = 0;
    for (int i = 0; i < 100 && result == AURA_OK; i++) {
        result = AURA_OS_Net_Write(pair.client.get(), chunk.data(),
                                   static_cast<unsigned int>(chunk.size()), &sent);
        if (result == AURA_OK) {
            EXPECT_EQ(sent, chunk.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(result, AURA_ERR_NET_SOCKET_ERROR);
    EXPECT_EQ(sent, 0u);

    EXPECT_EQ(AURA_OS_Net_Write(AURA_OS_INVALID_SOCKET, "x", 1, &sent), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_Net_Write(pair.client.get(), nullptr, 1, &sent), AURA_ERR_INVALID_PARAM);
}

TEST(OsNet, WriteWouldBlockCountsExactlyWhatWasTaken)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair));
    const int small = 16 * 1024;
    ASSERT_EQ(setsockopt(pair.client.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    ASSERT_EQ(setsockopt(pair.server.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)), 0);
    ASSERT_NO_FATAL_FAILURE(MakeNonBlocking(pair.client.get()));

    std::string data(32u << 20, '\0');
    for (std::size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<char>(i * 7 + (i >> 12));
    }
    unsigned int sent = 0;
    ASSERT_EQ(AURA_OS_Net_Write(pair.client.get(), data.data(),
                                static_cast<unsigned int>(data.size()), &sent),
              AURA_ERR_NET_WOULD_BLOCK);
    ASSERT_GT(sent, 0u);
    ASSERT_LT(sent, data.size());

    // The peer receives exactly the bytes reported, and nothing after them.
    std::string received(sent, '\0');
    unsigned int got = 0;
    ASSERT_EQ(AURA_OS_Net_Read(pair.server.get(), received.data(), sent, &got), AURA_OK);
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(received == data.substr(0, sent));
    ASSERT_NO_FATAL_FAILURE(MakeNonBlocking(pair.server.get()));
    char extra;
    EXPECT_FALSE(WaitReadable(pair.server.get(), 100));
    EXPECT_EQ(AURA_OS_Net_Read(pair.server.get(), &extra, 1, &got), AURA_ERR_NET_WOULD_BLOCK);
}

TEST(OsNet, ConnectToAClosedPortIsRefusedQuickly)
{
    TimeoutGuard timeout(5000);
    // Bound but not listening: the port stays ours and refuses connections.
    unsigned short port = 0;
    Fd bound(LoopbackSocket(-1, &port));
    ASSERT_GE(bound.get(), 0);

    int sock = 1234;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(AURA_OS_Net_Connect("127.0.0.1", port, &sock), AURA_ERR_NET_CONNECT);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(sock, AURA_OS_INVALID_SOCKET);
}

TEST(OsNet, ConnectToAFullAcceptQueueTimesOut)
{
    TimeoutGuard timeout(300);
    unsigned short port = 0;
    Fd listener(LoopbackSocket(0, &port)); // never accepted
    ASSERT_GE(listener.get(), 0);

    std::vector<Fd> held(8);
    bool timedOut = false;
    for (Fd &fd : held) {
        const Clock::time_point start = Clock::now();
        const AURA_RESULT result = AURA_OS_Net_Connect("127.0.0.1", port, fd.out());
        const long long ms = MsSince(start);
        if (result == AURA_OK) {
            EXPECT_LT(ms, 250) << "a connect that fits the queue should not wait";
            continue;
        }
        EXPECT_EQ(result, AURA_ERR_NET_CONNECT);
        EXPECT_EQ(fd.get(), AURA_OS_INVALID_SOCKET);
        EXPECT_GE(ms, 250);
        EXPECT_LT(ms, 2000);
        timedOut = true;

        // The time-out is read on every call.
        timeout.set(700);
        int sock = 1234;
        const Clock::time_point again = Clock::now();
        EXPECT_EQ(AURA_OS_Net_Connect("127.0.0.1", port, &sock), AURA_ERR_NET_CONNECT);
        EXPECT_GE(MsSince(again), 650);
        EXPECT_LT(MsSince(again), 2500);
        EXPECT_EQ(sock, AURA_OS_INVALID_SOCKET);
        break;
    }
    EXPECT_TRUE(timedOut) << "the accept queue never filled";
}

TEST(OsNet, ConnectByName)
{
    // "localhost" resolves through the hosts file.
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair, "localhost"));
    ASSERT_TRUE(SendAll(pair.server.get(), "ok"));
    char buf[2];
    unsigned int got = 0;
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 2, &got), AURA_OK);
    EXPECT_EQ(std::string(buf, got), "ok");

    int sock = 1234;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(AURA_OS_Net_Connect("nonexistent.invalid", 80, &sock), AURA_ERR_NET_URL);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(sock, AURA_OS_INVALID_SOCKET);

    sock = 1234;
    EXPECT_EQ(AURA_OS_Net_Connect("", 80, &sock), AURA_ERR_NET_URL);
    EXPECT_EQ(sock, AURA_OS_INVALID_SOCKET);
    sock = 1234;
    EXPECT_EQ(AURA_OS_Net_Connect(nullptr, 80, &sock), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(sock, AURA_OS_INVALID_SOCKET);
    EXPECT_EQ(AURA_OS_Net_Connect("127.0.0.1", 80, nullptr), AURA_ERR_INVALID_PARAM);
}

TEST(OsNet, InitAndShutdownAreCounted)
{
    unsigned short port = 0;
    Fd listener(LoopbackSocket(16, &port));
    ASSERT_GE(listener.get(), 0);
    auto connectsByName = [&] {
        Fd sock;
        return AURA_OS_Net_Connect("localhost", port, sock.out()) == AURA_OK;
    };

    EXPECT_TRUE(connectsByName()) << "before any start";
    ASSERT_EQ(AURA_OS_Net_Init(), AURA_OK);
    ASSERT_EQ(AURA_OS_Net_Init(), AURA_OK);
    EXPECT_EQ(AURA_OS_Net_Shutdown(), AURA_OK);
    EXPECT_TRUE(connectsByName()) << "with one start left";
    EXPECT_EQ(AURA_OS_Net_Shutdown(), AURA_OK);
    EXPECT_TRUE(connectsByName()) << "after the last stop";
    EXPECT_EQ(AURA_OS_Net_Shutdown(), AURA_OK); // one too many: ignored
    ASSERT_EQ(AURA_OS_Net_Init(), AURA_OK);
    EXPECT_TRUE(connectsByName()) << "after a restart";
    EXPECT_EQ(AURA_OS_Net_Shutdown(), AURA_OK);
}

TEST(OsNetThreads, ReadWaitsForDataArrivingInPieces)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(Connect(pair));

    const int server = pair.server.get();
    std::thread peer([server] {
        for (const char *piece : {"abc", "defg", "hij", "li", "ne\r", "\nend"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (send(server, piece, std::strlen(piece), MSG_NOSIGNAL) < 0) {
                break;
            }
        }
        shutdown(server, SHUT_WR);
    });

    char buf[16] = {};
    unsigned int got = 0;
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 10, &got), AURA_OK);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(buf, got), "abcdefghij");
    char line[16];
    EXPECT_EQ(AURA_OS_Net_ReadLine(pair.client.get(), line, sizeof(line)), AURA_OK);
    EXPECT_STREQ(line, "line");
    EXPECT_EQ(AURA_OS_Net_Read(pair.client.get(), buf, 10, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(std::string(buf, got), "end");
    peer.join();
}

TEST(OsNetThreads, ConcurrentLookupsWhileStartingAndStopping)
{
    unsigned short port = 0;
    Fd listener(LoopbackSocket(SOMAXCONN, &port));
    ASSERT_GE(listener.get(), 0);

    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> connected{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            const bool starts = (t % 2) == 0; // half the threads never start the layer
            for (int i = 0; i < kRounds; i++) {
                if (starts && AURA_OS_Net_Init() != AURA_OK) {
                    failed++;
                    continue;
                }
                int sock = AURA_OS_INVALID_SOCKET;
                if (AURA_OS_Net_Connect("localhost", port, &sock) == AURA_OK) {
                    connected++;
                } else {
                    failed++;
                }
                AURA_OS_Net_Close(sock);
                if (starts) {
                    AURA_OS_Net_Shutdown();
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(connected.load(), kThreads * kRounds);
}
