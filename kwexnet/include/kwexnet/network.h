// IPv4 addresses and socket descriptors for the socket server's connection.
#ifndef KWEXNET_NETWORK_H
#define KWEXNET_NETWORK_H

#include <array>
#include <cstdint>
#include <string_view>

#include <netinet/in.h>

namespace KwexNet {

// An IPv4 address (bytes in dotted order) and a port in host order.
struct NetworkAddress {
    std::array<std::uint8_t, 4> bytes{};
    std::uint16_t port = 0;

    NetworkAddress() = default;
    explicit NetworkAddress(std::string_view text) { assign(text); }

    // "a.b.c.d" or "a.b.c.d:port". Malformed text (a number over 255, a
    // missing part, a port over 65535, anything left over) changes nothing
    // and gives false; without a port the port stays as it was.
    bool assign(std::string_view text);
    NetworkAddress &operator=(std::string_view text)
    {
        assign(text);
        return *this;
    }

    [[nodiscard]] sockaddr_in toSockaddr() const;

    friend bool operator==(const NetworkAddress &, const NetworkAddress &) = default;
};

// Owns one descriptor (-1 when closed) and closes it when destroyed.
class Socket {
public:
    Socket() = default;
    virtual ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // False when no descriptor is open or closing failed; the descriptor is
    // given up either way.
    bool close();
    [[nodiscard]] int descriptor() const { return mDescriptor; }

protected:
    int mDescriptor = -1;
};

class TCPSocket : public Socket {
public:
    // A non-blocking, close-on-exec IPv4 TCP socket; any open one is closed
    // first. False when creation failed.
    bool open();
};

} // namespace KwexNet

#endif // KWEXNET_NETWORK_H
