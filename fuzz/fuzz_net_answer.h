// A server's answer from memory for the net file's fuzz targets: every
// connect (redirects included) gets a socket whose peer has written the
// same bytes and closed its side. The peers stay open until the input is
// done, so that a request the file sends lands in a buffer nobody reads.
#ifndef FUZZ_NET_ANSWER_H
#define FUZZ_NET_ANSWER_H

#include "file/aura_file_net.h"
#include "os/aura_os.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace fuzznet {

class Answer {
public:
    // Installs the connect hook and a short time-out once per process.
    static void install()
    {
        static const bool ready = [] {
            AURA::NetFile::setConnectHook(&Answer::connect);
            std::atomic_ref<int>(AURA_Net_Timeout).store(20);
            return true;
        }();
        (void)ready;
    }

    // The bytes every connect gets until done().
    static void serve(std::string bytes)
    {
        std::lock_guard<std::mutex> lock(sLock);
        sBytes = std::move(bytes);
    }

    static void done()
    {
        std::lock_guard<std::mutex> lock(sLock);
        for (int peer : sPeers) {
            close(peer);
        }
        sPeers.clear();
    }

private:
    static AURA_RESULT connect(const char *, unsigned short, int *sock)
    {
        std::lock_guard<std::mutex> lock(sLock);
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            return AURA_ERR_NET_CONNECT;
        }
        const int size = 1 << 20;
        (void)setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        (void)setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        std::size_t sent = 0;
        while (sent < sBytes.size()) {
            const ssize_t n = send(pair[1], sBytes.data() + sent, sBytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        (void)shutdown(pair[1], SHUT_WR);
        sPeers.push_back(pair[1]);
        *sock = pair[0];
        return AURA_OK;
    }

    static inline std::mutex sLock;
    static inline std::string sBytes;
    static inline std::vector<int> sPeers;
};

} // namespace fuzznet

#endif // FUZZ_NET_ANSWER_H
