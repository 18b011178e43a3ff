// aura-profile: asks a running engine's profiler (a system initialised with
// AURA_INIT_ENABLE_PROFILE) for its CPU and DSP-graph packets and prints
// them as they come.
//
//   aura-profile HOST:PORT [--interval MS] [--count N] [--cpu] [--dsp]
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kDsp = 1;
constexpr uint8_t kCpu = 3;
constexpr std::size_t kHeader = 12;
constexpr std::size_t kDspHeader = 17;
constexpr std::size_t kRecord = 61;

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

float leFloat(const uint8_t *p)
{
    const uint32_t bits = le32(p);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

void putLE32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

std::vector<uint8_t> request(uint8_t type, uint32_t interval)
{
    std::vector<uint8_t> out;
    putLE32(out, 18);
    putLE32(out, 0);
    for (uint8_t b : {0, 0, 1, 0}) {
        out.push_back(b);
    }
    out.push_back(type);
    out.push_back(0);
    putLE32(out, interval);
    return out;
}

bool readAll(int fd, uint8_t *buffer, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = recv(fd, buffer + got, size - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void printCpu(const std::vector<uint8_t> &packet)
{
    if (packet.size() < kHeader + 16) {
        std::printf("cpu: short packet\n");
        return;
    }
    const uint8_t *v = packet.data() + kHeader;
    std::printf("cpu  %8u ms  dsp %6.2f%%  stream %6.2f%%  update %6.2f%%  geometry %6.2f%%\n", le32(packet.data() + 4),
                static_cast<double>(leFloat(v)), static_cast<double>(leFloat(v + 4)),
                static_cast<double>(leFloat(v + 8)), static_cast<double>(leFloat(v + 12)));
}

void printDsp(const std::vector<uint8_t> &packet)
{
    if (packet.size() < kDspHeader) {
        std::printf("dsp: short packet\n");
        return;
    }
    const std::size_t count = (packet.size() - kDspHeader) / kRecord;
    std::printf("dsp  %8u ms  %zu units  mixer %.2f%%  %u channels\n", le32(packet.data() + 4), count,
                static_cast<double>(leFloat(packet.data() + 12) * 100.0f), packet[16]);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t *r = packet.data() + kDspHeader + i * kRecord;
        char name[33] = {};
        std::memcpy(name, r + 8, 32);
        const auto level = static_cast<int16_t>(r[46] | r[47] << 8);
        const unsigned cpu = r[48] | r[49] << 8;
        std::printf("  %*s%s  inputs %u%s%s  %u us\n", 2 * (level > 0 ? level : 0), "", name, le32(r + 40),
                    r[44] ? "  active" : "", r[45] ? "  bypassed" : "", cpu);
    }
}

int usage()
{
    std::fprintf(stderr, "usage: aura-profile HOST:PORT [--interval MS] [--count N] [--cpu] [--dsp]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        return usage();
    }
    const std::string target = argv[1];
    const std::size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return usage();
    }
    const std::string host = target.substr(0, colon);
    const long port = std::strtol(target.c_str() + colon + 1, nullptr, 10);
    if (port <= 0 || port > 65535) {
        return usage();
    }
    uint32_t interval = 1000;
    long count = -1;
    bool cpu = false;
    bool dsp = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--interval" && i + 1 < argc) {
            interval = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--count" && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--cpu") {
            cpu = true;
        } else if (arg == "--dsp") {
            dsp = true;
        } else {
            return usage();
        }
    }
    if (!cpu && !dsp) {
        cpu = dsp = true;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        std::fprintf(stderr, "aura-profile: cannot resolve %s\n", host.c_str());
        return 1;
    }
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof(addr));
    freeaddrinfo(found);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        std::fprintf(stderr, "aura-profile: cannot connect to %s: %s\n", target.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> ask;
    for (auto [wanted, type] : {std::pair{cpu, kCpu}, std::pair{dsp, kDsp}}) {
        if (wanted) {
            const std::vector<uint8_t> one = request(type, interval);
            ask.insert(ask.end(), one.begin(), one.end());
        }
    }
    if (send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size())) {
        std::fprintf(stderr, "aura-profile: the engine closed the connection\n");
        return 1;
    }
    for (long shown = 0; count < 0 || shown < count; ++shown) {
        std::vector<uint8_t> packet(kHeader);
        if (!readAll(fd, packet.data(), kHeader)) {
            break;
        }
        const uint32_t size = le32(packet.data());
        if (size < kHeader || size > (64u << 20)) {
            std::fprintf(stderr, "aura-profile: bad packet size %u\n", size);
            return 1;
        }
        packet.resize(size);
        if (!readAll(fd, packet.data() + kHeader, size - kHeader)) {
            break;
        }
        if (packet[8] == kCpu) {
            printCpu(packet);
        } else if (packet[8] == kDsp) {
            printDsp(packet);
        }
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
