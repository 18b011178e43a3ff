// The network profiler, through a system started with the profiling flag and
// a test client on 127.0.0.1: requests, packet kinds and intervals, the DSP
// graph snapshot, partial and bad requests, clients that go away.
#include "dsp/aura_dspi.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "profile/aura_profile.h"
#include "system/aura_profile_cpu.h"
#include "system/aura_systemi.h"
#include "systems.h"
#include "tools.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

unsigned short freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    (void)bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    (void)getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

std::string request(uint8_t type, uint8_t subtype, uint32_t interval)
{
    AURA::ProfilePacketDataRequest packet{{sizeof(packet), 0, AURA::PROFILE_PACKET_REQUEST, 0, 1, 0}, type, subtype,
                                          interval};
    return {reinterpret_cast<const char *>(&packet), sizeof(packet)};
}

// A profiling tool's end of the connection.
class Client {
public:
    explicit Client(unsigned short port) : mFd(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        mConnected = connect(mFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    }
    ~Client() { close(); }
    void close()
    {
        if (mFd >= 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    [[nodiscard]] bool connected() const { return mConnected; }
    void send(const std::string &bytes) { ASSERT_EQ(::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }

    // Every whole packet that has arrived; false once the server closed.
    bool receive(std::vector<std::string> *packets)
    {
        char buffer[65536];
        for (;;) {
            pollfd pfd{mFd, POLLIN, 0};
            if (poll(&pfd, 1, 0) <= 0) {
                break;
            }
            const ssize_t n = recv(mFd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return false;
            }
            mPending.append(buffer, static_cast<std::size_t>(n));
        }
        while (mPending.size() >= 12) {
            uint32_t size = 0;
            std::memcpy(&size, mPending.data(), 4);
            if (mPending.size() < size) {
                break;
            }
            packets->push_back(mPending.substr(0, size));
            mPending.erase(0, size);
        }
        return true;
    }

private:
    int mFd;
    bool mConnected = false;
    std::string mPending;
};

// A system on the non-real-time writer with the profiler on a free port;
// tick() runs one profiler tick.
struct ProfiledSystem {
    unsigned short port = freePort();
    auratest::TempDir dir{"aura-profile"};
    AURA::System *system = nullptr;
    AURA::SystemI *internal = nullptr;

    ProfiledSystem()
    {
        AURA_SYSTEM *handle = nullptr;
        EXPECT_EQ(AURA_System_Create(&handle), AURA_OK);
        system = reinterpret_cast<AURA::System *>(handle);
        AURA_ADVANCEDSETTINGS settings{};
        settings.cbsize = sizeof(settings);
        settings.profileport = port;
        EXPECT_EQ(system->setAdvancedSettings(&settings), AURA_OK);
        EXPECT_EQ(system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT), AURA_OK);
        EXPECT_EQ(system->init(16, AURA_INIT_ENABLE_PROFILE, nullptr), AURA_OK);
        EXPECT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
    }
    ~ProfiledSystem() { EXPECT_EQ(system->release(), AURA_OK); }

    void tick()
    {
        ASSERT_EQ(system->update(), AURA_OK);
        ASSERT_EQ(AURA::AURA_Profile_Update(internal, AURA::PROFILE_TICK_MS), AURA_OK);
    }
    // Ticks until `client` has received `count` packets (or 200 ticks).
    std::vector<std::string> collect(Client &client, std::size_t count)
    {
        std::vector<std::string> packets;
        for (int i = 0; i < 200 && packets.size() < count; ++i) {
            tick();
            if (!client.receive(&packets)) {
                break;
            }
        }
        return packets;
    }
};

TEST(ProfileThreads, CpuAndDspPacketsDescribeTheSystem)
{
    ProfiledSystem profiled;
    ASSERT_NE(AURA::AURA_Profile_Get(), nullptr);
    EXPECT_EQ(AURA::AURA_Profile_Get()->port(), profiled.port);
    Client client(profiled.port);
    ASSERT_TRUE(client.connected());
    client.send(request(AURA::PROFILE_PACKET_CPU, 0, 0) + request(AURA::PROFILE_PACKET_DSP, 0, 0));
    std::vector<std::string> packets = profiled.collect(client, 6);
    ASSERT_GE(packets.size(), 6u);

    int cpu = 0, dsp = 0;
    for (const std::string &packet : packets) {
        AURA::ProfilePacketHeader header{};
        std::memcpy(&header, packet.data(), sizeof(header));
        if (header.type == AURA::PROFILE_PACKET_CPU) {
            ++cpu;
            EXPECT_EQ(packet.size(), 28u);
            EXPECT_EQ(header.version, 1);
            float values[4];
            std::memcpy(values, packet.data() + 12, sizeof(values));
            for (float v : values) {
                EXPECT_GE(v, 0.0f);
                EXPECT_LE(v, 100.0f);
            }
            continue;
        }
        ++dsp;
        ASSERT_EQ(header.type, AURA::PROFILE_PACKET_DSP);
        EXPECT_EQ(header.version, 2);
        ASSERT_GE(packet.size(), AURA::PROFILE_DSP_HEADER + sizeof(AURA::ProfileDspRecord));
        EXPECT_EQ((packet.size() - AURA::PROFILE_DSP_HEADER) % sizeof(AURA::ProfileDspRecord), 0u);
        EXPECT_EQ(static_cast<uint8_t>(packet[16]), 6) << "the larger of the input and output channel counts";
        // The walk starts at the sound card and visits input 0 next; every
        // record describes a live unit.
        const std::size_t count = (packet.size() - AURA::PROFILE_DSP_HEADER) / sizeof(AURA::ProfileDspRecord);
        std::vector<AURA::ProfileDspRecord> records(count); // aligned copies of the packed records
        std::memcpy(records.data(), packet.data() + AURA::PROFILE_DSP_HEADER, count * sizeof(AURA::ProfileDspRecord));
        AURA::DSPI *card = profiled.internal->mDSPSoundCard;
        EXPECT_EQ(uint64_t{records[0].id}, reinterpret_cast<uintptr_t>(card));
        EXPECT_EQ(std::string(records[0].name, strnlen(records[0].name, 32)), "AURA SoundCard Unit");
        int inputs = 0;
        ASSERT_EQ(card->getNumInputs(&inputs, false), AURA_OK);
        EXPECT_EQ(int32_t{records[0].numInputs}, inputs);
        EXPECT_EQ(int16_t{records[0].treeLevel}, card->mTreeLevel);
        if (inputs > 0) {
            ASSERT_GE(count, 2u);
            AURA::DSPI *first = nullptr;
            ASSERT_EQ(card->getInput(0, &first, nullptr, false), AURA_OK);
            EXPECT_EQ(uint64_t{records[1].id}, reinterpret_cast<uintptr_t>(first));
        }
    }
    EXPECT_GT(cpu, 0);
    EXPECT_GT(dsp, 0);
}

TEST(ProfileThreads, RequestsStartStopAndFillTheTable)
{
    ProfiledSystem profiled;
    Client client(profiled.port);
    ASSERT_TRUE(client.connected());

    // Half a request, then the rest a tick later: the game never waits.
    const std::string ask = request(AURA::PROFILE_PACKET_CPU, 0, 0);
    client.send(ask.substr(0, 5));
    profiled.tick();
    client.send(ask.substr(5));
    std::vector<std::string> packets = profiled.collect(client, 3);
    EXPECT_EQ(packets.size(), 3u);

    // A second interval-0 request of the same kind stops the flow.
    client.send(request(AURA::PROFILE_PACKET_CPU, 0, 0));
    packets.clear();
    for (int i = 0; i < 3; ++i) {
        profiled.tick();
        ASSERT_TRUE(client.receive(&packets));
    }
    const std::size_t afterStop = packets.size();
    for (int i = 0; i < 10; ++i) {
        profiled.tick();
        ASSERT_TRUE(client.receive(&packets));
    }
    EXPECT_EQ(packets.size(), afterStop);
    EXPECT_LE(afterStop, 1u);

    // 32 kinds fill the table; a 33rd is ignored.
    std::string many;
    for (int subtype = 0; subtype < AURA::ProfileClient::MAX_REQUESTS; ++subtype) {
        many += request(9, static_cast<uint8_t>(subtype), 0);
    }
    client.send(many + request(AURA::PROFILE_PACKET_CPU, 0, 0));
    packets.clear();
    for (int i = 0; i < 10; ++i) {
        profiled.tick();
        ASSERT_TRUE(client.receive(&packets));
    }
    EXPECT_TRUE(packets.empty());
}

TEST(ProfileThreads, BadAndClosedClientsGoOthersStay)
{
    ProfiledSystem profiled;
    Client good(profiled.port);
    profiled.tick();
    Client bad(profiled.port);
    profiled.tick();
    Client leaving(profiled.port);
    profiled.tick();
    ASSERT_EQ(AURA::AURA_Profile_Get()->clientCount(), 3);

    // A size below a header closes that client; a client that hangs up is
    // removed; the other keeps getting its packets.
    std::string broken = request(AURA::PROFILE_PACKET_CPU, 0, 0);
    const uint32_t tiny = 4;
    std::memcpy(broken.data(), &tiny, 4);
    bad.send(broken);
    leaving.close();
    good.send(request(AURA::PROFILE_PACKET_CPU, 0, 0));
    std::vector<std::string> packets = profiled.collect(good, 3);
    EXPECT_EQ(packets.size(), 3u);
    EXPECT_EQ(AURA::AURA_Profile_Get()->clientCount(), 1);
    std::vector<std::string> none;
    EXPECT_FALSE(bad.receive(&none)) << "the server closed the bad client";
}

TEST(Profile, LargePacketsGrowTheClientsBuffer)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    AURA::ProfileClient client;
    ASSERT_EQ(client.init(pair[0]), AURA_OK);
    ASSERT_EQ(client.requestDataType(7, 1, 10), AURA_OK);
    std::vector<uint8_t> big(40000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 13);
    }
    AURA::ProfilePacketHeader header{static_cast<uint32_t>(big.size()), 50, 7, 1, 1, 0};
    std::memcpy(big.data(), &header, sizeof(header));
    auto *packet = reinterpret_cast<AURA::ProfilePacketHeader *>(big.data());
    EXPECT_TRUE(client.wantsData(packet));
    ASSERT_EQ(client.addPacket(packet), AURA_OK);
    EXPECT_EQ(client.capacity(), 3u * AURA::ProfileClient::BUFFER_SIZE);
    EXPECT_FALSE(client.wantsData(packet)) << "within its interval of the last packet of its kind";

    std::string received;
    std::thread reader([&] {
        char buffer[8192];
        while (received.size() < big.size()) {
            const ssize_t n = recv(pair[1], buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    AURA_RESULT sent = AURA_ERR_NET_WOULD_BLOCK;
    for (int i = 0; i < 10000 && sent == AURA_ERR_NET_WOULD_BLOCK; ++i) {
        sent = client.sendData();
        if (sent == AURA_ERR_NET_WOULD_BLOCK) {
            std::this_thread::yield();
        }
    }
    EXPECT_EQ(sent, AURA_OK);
    reader.join();
    EXPECT_TRUE(received == std::string(big.begin(), big.end()));
    close(pair[1]);
}

} // namespace

namespace {

// aura-profile against a system that is being updated meanwhile.
TEST(ProfileThreads, AuraProfilePrintsWhatTheEngineSends)
{
    ProfiledSystem profiled;
    std::atomic<bool> done{false};
    std::string output;
    int status = -1;
    std::thread tool([&] {
        output = auratest::capture(std::string(AURA_PROFILE_TOOL) + " 127.0.0.1:" + std::to_string(profiled.port) +
                                       " --interval 0 --count 4",
                                   &status);
        done = true;
    });
    for (int i = 0; i < 20000 && !done; ++i) {
        profiled.tick();
        std::this_thread::yield();
    }
    tool.join();
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("cpu "), std::string::npos) << output;
    EXPECT_NE(output.find("AURA SoundCard Unit"), std::string::npos) << output;
}

} // namespace

namespace {

// The engine's globals outlive the systems a program leaves alive: leaving
// main or calling exit with a system playing on a real-time output ends
// cleanly, every time.
TEST(EngineStaticsThreads, ExitingWithALiveSystemEndsCleanly)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kRuns = 20;
#else
    constexpr int kRuns = 100;
#endif
    for (int run = 0; run < kRuns; ++run) {
        int status = -1;
        const std::string output =
            auratest::capture(std::string(AURA_EXIT_PROGRAM) + (run % 2 ? " exit" : " return") + " 2>&1", &status);
        ASSERT_EQ(status, 0) << "run " << run << ": " << output;
        ASSERT_TRUE(output.empty()) << "run " << run << ": " << output;
    }
}

} // namespace
