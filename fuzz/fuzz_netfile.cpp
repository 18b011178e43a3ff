// Feeds the input to a net file as a server's whole answer (status line,
// headers, body): every connect, redirects included, gets the same bytes.
// The file is opened, read to its end in odd pieces and skipped forward;
// its tags are read along the way.
#include "base/aura_metadata.h"
#include "file/aura_file_net.h"
#include "os/aura_os.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

const uint8_t *gData = nullptr;
size_t gSize = 0;
std::vector<int> gPeers;

AURA_RESULT connectToInput(const char *, unsigned short, int *sock)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return AURA_ERR_NET_CONNECT;
    }
    const int size = 1 << 20;
    (void)setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    (void)setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    size_t sent = 0;
    while (sent < gSize) {
        const ssize_t n = send(pair[1], gData + sent, gSize - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    // The answer ends here; the request the file sends lands in the
    // peer's buffer and is never read.
    (void)shutdown(pair[1], SHUT_WR);
    gPeers.push_back(pair[1]);
    *sock = pair[0];
    return AURA_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 256 * 1024) {
        return 0;
    }
    static const bool ready = [] {
        AURA::NetFile::setConnectHook(connectToInput);
        std::atomic_ref<int>(AURA_Net_Timeout).store(20);
        return true;
    }();
    (void)ready;
    gData = data;
    gSize = size;
    {
        AURA::NetFile file;
        if (file.init(nullptr, 0, 4096) == AURA_OK && file.open("http://fuzz/radio.ogg", 0, false, nullptr) == AURA_OK) {
            std::vector<uint8_t> buffer(5000);
            unsigned int got = 0;
            for (unsigned int piece = 1; piece < 5000; piece = piece * 3 + 7) {
                if (file.read(buffer.data(), 1, piece, &got) != AURA_OK) {
                    break;
                }
                AURA::Metadata *tags = nullptr;
                if (file.getMetadata(&tags) == AURA_OK && tags) {
                    for (AURA::TagNode *tag = tags->firstTag(); tag != tags->end(); tag = tag->nextTag()) {
                        (void)tag->mName;
                    }
                }
            }
            (void)file.reallySeek(100000);
        }
        (void)file.close();
    }
    for (int peer : gPeers) {
        close(peer);
    }
    gPeers.clear();
    return 0;
}
