// IPv4 TCP sockets over POSIX. A socket is a plain file descriptor.

#include "os/aura_os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

extern "C" {
int AURA_Net_Timeout = 5000;
}

namespace {

// The use count and the name-lookup lock it owns. Both only change under
// gStateMutex; the lock lives while the count is above zero.
std::mutex gStateMutex;
int gUseCount = 0;
AURA_OS_CRITICALSECTION *gLookupCrit = nullptr;

// Serialises name lookups when the lookup lock could not be made.
std::mutex gFallbackLookupMutex;

AURA_RESULT Acquire()
{
    std::lock_guard<std::mutex> lock(gStateMutex);
    if (gUseCount == 0) {
        AURA_OS_CRITICALSECTION *crit = nullptr;
        const AURA_RESULT result = AURA_OS_CriticalSection_Create(&crit, false);
        if (result != AURA_OK) {
            return result;
        }
        gLookupCrit = crit;
    }
    gUseCount++;
    return AURA_OK;
}

void Release()
{
    AURA_OS_CRITICALSECTION *dead = nullptr;
    {
        std::lock_guard<std::mutex> lock(gStateMutex);
        if (gUseCount <= 0) {
            return;
        }
        if (--gUseCount == 0) {
            dead = gLookupCrit;
            gLookupCrit = nullptr;
        }
    }
    if (dead) {
        AURA_OS_CriticalSection_Free(dead, false);
    }
}

int SocketType(int type)
{
#ifdef SOCK_CLOEXEC
    return type | SOCK_CLOEXEC;
#else
    return type;
#endif
}

bool SetBlocking(int fd, bool blocking)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

bool WouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK;
}

// Resolves host to an IPv4 address: a dotted address directly, a name through
// the resolver under the lookup lock.
bool Resolve(const char *host, in_addr *addr)
{
    if (inet_pton(AF_INET, host, addr) == 1) {
        return true;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int status;

    // Holding a use of the network layer keeps the lookup lock alive for the
    // whole lookup, and makes it when nobody has started the layer.
    if (Acquire() == AURA_OK) {
        AURA_OS_CRITICALSECTION *crit;
        {
            std::lock_guard<std::mutex> lock(gStateMutex);
            crit = gLookupCrit;
        }
        {
            AURA::CriticalSectionGuard guard(crit);
            status = getaddrinfo(host, nullptr, &hints, &list);
        }
        Release();
    } else {
        std::lock_guard<std::mutex> lock(gFallbackLookupMutex);
        status = getaddrinfo(host, nullptr, &hints, &list);
    }

    if (status != 0 || !list) {
        return false;
    }
    bool found = false;
    for (const addrinfo *it = list; it; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addr &&
            it->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
            sockaddr_in sin;
            std::memcpy(&sin, it->ai_addr, sizeof(sin));
            *addr = sin.sin_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

// Waits for a non-blocking connect to finish within timeoutMs; true when it
// succeeded.
bool FinishConnect(int fd, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        const int wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;

        pollfd pfd{};
        pfd.fd = fd;
        pfd.events = POLLOUT;
        const int ready = poll(&pfd, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (ready == 0) {
            return false; // timed out
        }
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            return false;
        }
        return err == 0;
    }
}

} // namespace

AURA_RESULT AURA_OS_Net_Init()
{
    return Acquire();
}

AURA_RESULT AURA_OS_Net_Shutdown()
{
    Release();
    return AURA_OK;
}

AURA_RESULT AURA_OS_Net_Connect(const char *host, unsigned short port, AURA_OS_SOCKET *sock)
{
    if (!sock) {
        return AURA_ERR_INVALID_PARAM;
    }
    *sock = AURA_OS_INVALID_SOCKET;
    if (!host) {
        return AURA_ERR_INVALID_PARAM;
    }

    const int fd = socket(AF_INET, SocketType(SOCK_STREAM), 0);
    if (fd < 0) {
        return AURA_ERR_MEMORY;
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!Resolve(host, &addr.sin_addr)) {
        close(fd);
        return AURA_ERR_NET_URL;
    }

    int timeoutMs = std::atomic_ref<int>(AURA_Net_Timeout).load();
    if (timeoutMs < 0) {
        timeoutMs = 0;
    }

    bool connected = false;
    if (SetBlocking(fd, false)) {
        if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS || errno == EINTR) {
            connected = FinishConnect(fd, timeoutMs);
        }
    }
    if (!connected || !SetBlocking(fd, true)) {
        close(fd);
        return AURA_ERR_NET_CONNECT;
    }

    *sock = fd;
    return AURA_OK;
}

AURA_RESULT AURA_OS_Net_Listen(unsigned short port, AURA_OS_SOCKET *sock, bool loopbackOnly)
{
    if (!sock) {
        return AURA_ERR_INVALID_PARAM;
    }
    *sock = AURA_OS_INVALID_SOCKET;

    const int fd = socket(AF_INET, SocketType(SOCK_STREAM), 0);
    if (fd < 0) {
        return AURA_ERR_MEMORY;
    }

    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(fd, SOMAXCONN) != 0 || !SetBlocking(fd, false)) {
        close(fd);
        return AURA_ERR_NET_SOCKET_ERROR;
    }

    *sock = fd;
    return AURA_OK;
}

AURA_RESULT AURA_OS_Net_GetPort(AURA_OS_SOCKET sock, unsigned short *port)
{
    if (!port) {
        return AURA_ERR_INVALID_PARAM;
    }
    *port = 0;
    if (sock == AURA_OS_INVALID_SOCKET) {
        return AURA_ERR_INVALID_PARAM;
    }

    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET) {
        return AURA_ERR_NET_SOCKET_ERROR;
    }
    *port = ntohs(addr.sin_port);
    return AURA_OK;
}

AURA_RESULT AURA_OS_Net_Accept(AURA_OS_SOCKET listener, AURA_OS_SOCKET *sock)
{
    if (!sock) {
        return AURA_ERR_INVALID_PARAM;
    }
    *sock = AURA_OS_INVALID_SOCKET;
    if (listener == AURA_OS_INVALID_SOCKET) {
        return AURA_ERR_INVALID_PARAM;
    }

    int fd;
    for (;;) {
        fd = accept(listener, nullptr, nullptr);
        if (fd >= 0) {
            break;
        }
        // A connection reset while queued is gone; look for the next one.
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        return WouldBlock(errno) ? AURA_ERR_NET_WOULD_BLOCK : AURA_ERR_NET_SOCKET_ERROR;
    }

    // Some systems hand the listener's non-blocking flag on to the new socket.
    if (!SetBlocking(fd, true) || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        close(fd);
        return AURA_ERR_NET_SOCKET_ERROR;
    }
    *sock = fd;
    return AURA_OK;
}

AURA_RESULT AURA_OS_Net_Read(AURA_OS_SOCKET sock, void *buffer, unsigned int size,
                             unsigned int *read)
{
    if (read) {
        *read = 0;
    }
    if (sock == AURA_OS_INVALID_SOCKET || !buffer) {
        return AURA_ERR_INVALID_PARAM;
    }

    char *out = static_cast<char *>(buffer);
    unsigned int got = 0;
    AURA_RESULT result = AURA_OK;
    while (got < size) {
        const ssize_t n = recv(sock, out + got, size - got, 0);
        if (n > 0) {
            got += static_cast<unsigned int>(n);
        } else if (n == 0) {
            result = AURA_ERR_FILE_EOF;
            break;
        } else if (errno == EINTR) {
            continue;
        } else {
            result = WouldBlock(errno) ? AURA_ERR_NET_WOULD_BLOCK : AURA_ERR_NET_SOCKET_ERROR;
            break;
        }
    }
    if (read) {
        *read = got;
    }
    return result;
}

AURA_RESULT AURA_OS_Net_ReadLine(AURA_OS_SOCKET sock, char *buffer, unsigned int capacity)
{
    if (!buffer || capacity == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    buffer[0] = '\0';
    if (sock == AURA_OS_INVALID_SOCKET) {
        return AURA_ERR_NET_SOCKET_ERROR;
    }

    unsigned int kept = 0;
    AURA_RESULT result = AURA_OK;
    for (;;) {
        char c;
        const ssize_t n = recv(sock, &c, 1, 0);
        if (n == 0) {
            break; // the peer closed: the line ends here
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = WouldBlock(errno) ? AURA_ERR_NET_WOULD_BLOCK : AURA_ERR_NET_SOCKET_ERROR;
            break;
        }
        if (c == '\n') {
            break;
        }
        if (c != '\r' && kept < capacity - 1) {
            buffer[kept++] = c;
        }
    }
    buffer[kept] = '\0';
    return result;
}

AURA_RESULT AURA_OS_Net_Write(AURA_OS_SOCKET sock, const void *data, unsigned int size,
                              unsigned int *sent)
{
    if (sent) {
        *sent = 0;
    }
    if (sock == AURA_OS_INVALID_SOCKET || (!data && size > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }

    const char *in = static_cast<const char *>(data);
    unsigned int done = 0;
    AURA_RESULT result = AURA_OK;
    while (done < size) {
        const ssize_t n = send(sock, in + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<unsigned int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && WouldBlock(errno)) {
            result = AURA_ERR_NET_WOULD_BLOCK;
            break;
        } else {
            result = AURA_ERR_NET_SOCKET_ERROR; // includes a send that moved nothing
            break;
        }
    }
    if (sent) {
        *sent = done;
    }
    return result;
}

AURA_RESULT AURA_OS_Net_Close(AURA_OS_SOCKET sock)
{
    if (sock != AURA_OS_INVALID_SOCKET) {
        close(sock);
    }
    return AURA_OK;
}
