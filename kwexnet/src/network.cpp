#include "kwexnet/network.h"

#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace KwexNet {

namespace {

// Decimal digits only, at least one, at most `limit`; advances `text`.
bool readNumber(std::string_view &text, unsigned limit, unsigned &value)
{
    std::size_t i = 0;
    unsigned result = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        result = result * 10 + static_cast<unsigned>(text[i] - '0');
        if (result > limit) {
            return false;
        }
        ++i;
    }
    if (i == 0) {
        return false;
    }
    value = result;
    text.remove_prefix(i);
    return true;
}

} // namespace

bool NetworkAddress::assign(std::string_view text)
{
    std::array<std::uint8_t, 4> parsed{};
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        if (i != 0) {
            if (text.empty() || text.front() != '.') {
                return false;
            }
            text.remove_prefix(1);
        }
        unsigned part = 0;
        if (!readNumber(text, 255, part)) {
            return false;
        }
        parsed[i] = static_cast<std::uint8_t>(part);
    }
    std::uint16_t newPort = port;
    if (!text.empty()) {
        if (text.front() != ':') {
            return false;
        }
        text.remove_prefix(1);
        unsigned value = 0;
        if (!readNumber(text, 65535, value) || !text.empty()) {
            return false;
        }
        newPort = static_cast<std::uint16_t>(value);
    }
    bytes = parsed;
    port = newPort;
    return true;
}

sockaddr_in NetworkAddress::toSockaddr() const
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    std::memcpy(&address.sin_addr.s_addr, bytes.data(), bytes.size());
    return address;
}

Socket::~Socket()
{
    close();
}

bool Socket::close()
{
    if (mDescriptor < 0) {
        return false;
    }
    const int fd = mDescriptor;
    mDescriptor = -1;
    // The descriptor is gone whatever close reports (Linux never retries it).
    return ::close(fd) == 0;
}

bool TCPSocket::open()
{
    close();
    mDescriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    return mDescriptor >= 0;
}

} // namespace KwexNet
