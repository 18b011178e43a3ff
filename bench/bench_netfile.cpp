// A net file reading a 200 MB body with ICY metadata blocks from a server on
// 127.0.0.1, against curl fetching the same reply into /dev/null in the same
// run. Both are measured in body bytes a second.
#include "file/aura_file_net.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBodyBytes = 200u * 1000u * 1000u;
constexpr unsigned int kInterval = 16000; // what Icecast announces

// Serves one prebuilt reply to every connection, one at a time.
class BodyServer {
public:
    BodyServer()
    {
        std::string head = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name:Bench\r\nicy-metaint:" +
                           std::to_string(kInterval) + "\r\n\r\n";
        const std::string title = "StreamTitle='Artist - Title';";
        const std::size_t blocks = kBodyBytes / kInterval;
        mReply.reserve(head.size() + kBodyBytes + blocks * 49);
        mReply = head;
        uint32_t noise = 1;
        for (std::size_t done = 0; done < kBodyBytes;) {
            const std::size_t piece = std::min<std::size_t>(kInterval, kBodyBytes - done);
            for (std::size_t i = 0; i < piece; ++i) {
                noise = noise * 1664525u + 1013904223u;
                mReply.push_back(static_cast<char>(noise >> 24));
            }
            done += piece;
            if (piece == kInterval) {
                // Every tenth block names a title, the others are empty.
                if ((done / kInterval) % 10 == 0) {
                    mReply.push_back(static_cast<char>(3));
                    std::string text = title;
                    text.resize(48, '\0');
                    mReply += text;
                } else {
                    mReply.push_back('\0');
                }
            }
        }
        mListener = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        (void)setsockopt(mListener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(addr);
        if (bind(mListener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(mListener, 8) != 0 ||
            getsockname(mListener, reinterpret_cast<sockaddr *>(&addr), &size) != 0) {
            std::abort();
        }
        mPort = ntohs(addr.sin_port);
        mThread = std::thread([this] { serve(); });
    }
    ~BodyServer()
    {
        mStop = true;
        (void)shutdown(mListener, SHUT_RDWR);
        mThread.join();
        close(mListener);
    }

    [[nodiscard]] std::string url() const { return "http://127.0.0.1:" + std::to_string(mPort) + "/stream"; }

private:
    void serve()
    {
        while (!mStop) {
            const int fd = accept(mListener, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            // The request is small and comes whole; the reply follows it.
            char request[4096];
            (void)recv(fd, request, sizeof(request), 0);
            for (std::size_t sent = 0; sent < mReply.size();) {
                const ssize_t n = send(fd, mReply.data() + sent, mReply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            close(fd);
        }
    }

    std::string mReply;
    int mListener = -1;
    unsigned short mPort = 0;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

BodyServer &server()
{
    static BodyServer instance;
    return instance;
}

// As a stream's file is opened: buffered, read in a decoder's pieces.
void BM_NetFileIcyBody(benchmark::State &state)
{
    const std::string url = server().url();
    const auto piece = static_cast<unsigned int>(state.range(0));
    std::vector<char> buffer(piece);
    std::size_t total = 0;
    for (auto _ : state) {
        AURA::NetFile file;
        if (file.init(nullptr, 0, 16384) != AURA_OK || file.open(url.c_str(), 0, false, nullptr) != AURA_OK) {
            state.SkipWithError("the net file did not open");
            return;
        }
        std::size_t bytes = 0;
        for (;;) {
            unsigned int got = 0;
            const AURA_RESULT result = file.read(buffer.data(), 1, piece, &got);
            bytes += got;
            if (result != AURA_OK || got == 0) {
                break;
            }
        }
        (void)file.close();
        if (bytes != kBodyBytes) {
            state.SkipWithError(("the body came short: " + std::to_string(bytes)).c_str());
            return;
        }
        total += bytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_NetFileIcyBody)->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The same reply fetched by curl (the ICY blocks stay in its bytes).
void BM_CurlIcyBody(benchmark::State &state)
{
    const std::string command = "curl -s -o /dev/null -H 'Icy-MetaData:1' " + server().url();
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("curl failed (is it installed?)");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_CurlIcyBody)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
