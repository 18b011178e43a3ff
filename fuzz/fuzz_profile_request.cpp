// Feeds the input to a profiler client as what a tool sent it, in pieces
// split where the first byte says, and publishes packets of the kinds it
// may have asked for in between.
#include "profile/aura_profile.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 64 * 1024) {
        return 0;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return 0;
    }
    const int buffer = 1 << 20;
    (void)setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    {
        AURA::ProfileClient client;
        if (client.init(pair[0]) == AURA_OK) {
            const size_t piece = 1 + data[0] % 64;
            std::vector<uint8_t> packet(12 + 61 * 3);
            uint32_t stamp = 1;
            for (size_t at = 1; at < size && !client.isDead(); at += piece) {
                const size_t n = std::min(piece, size - at);
                if (send(pair[1], data + at, n, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(n)) {
                    break;
                }
                (void)client.update(50);
                for (uint8_t type : {AURA::PROFILE_PACKET_DSP, AURA::PROFILE_PACKET_CPU}) {
                    AURA::ProfilePacketHeader header{static_cast<uint32_t>(packet.size()), stamp += 40, type, 0, 1, 0};
                    std::memcpy(packet.data(), &header, sizeof(header));
                    auto *published = reinterpret_cast<AURA::ProfilePacketHeader *>(packet.data());
                    if (client.wantsData(published)) {
                        (void)client.addPacket(published);
                    }
                }
            }
            (void)client.update(50);
        } else {
            close(pair[0]);
        }
    }
    close(pair[1]);
    return 0;
}
