// The socket server's framing, the TCP connection under a scripted server,
// and reachability reports.
#include "kwexnet/kwex_messenger.h"
#include "kwexnet/tcp_manager.h"
#include "platform/digest.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "test_http_server.h"
#include "test_tcp_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace KwexNet;
using testsupport::TcpScript;
using testsupport::TestTcpServer;

const std::string kUserA = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";
const std::string kUserB = "11111111-2222-3333-4444-555555555555";

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (const int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

std::string header(std::uint32_t length, std::uint8_t routing, std::uint64_t session, const std::string &sender,
                   const std::string &recipient)
{
    TCPHeader h(length, eMessageRoutingType(routing), kMessageEncryptionNone, session, sender.c_str(),
                recipient.c_str(), 28, 1);
    std::string out(TCPHeader::kSize, '\0');
    unsigned long size = 0;
    h.serialize(out.data(), size);
    EXPECT_EQ(size, TCPHeader::kSize);
    return out;
}

std::string message(const std::string &payload, const std::string &recipient = kUserA)
{
    return header(static_cast<std::uint32_t>(payload.size()), 1, 7, kUserB, recipient) + payload;
}

std::vector<std::string> payloads(KwexMessenger &m)
{
    std::vector<std::string> out;
    NetworkMessage msg;
    while (m.getNextMessage(msg)) {
        out.emplace_back(msg.getData() ? std::string(msg.getData(), msg.getLength()) : std::string());
    }
    return out;
}

TEST(LobbyFraming, PrimitivesAreBigEndianAndReadsAreBounded)
{
    using namespace Serialization;
    char out[16] = {};
    EXPECT_EQ(serialize_uint16(0x0102, out), 2u);
    EXPECT_EQ(std::string(out, 2), bytes({1, 2}));
    EXPECT_EQ(serialize_uint64(0x0102030405060708ull, out), 8u);
    EXPECT_EQ(std::string(out, 8), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(serialize_string("abc", out), 7u);
    EXPECT_EQ(std::string(out, 7), bytes({0, 0, 0, 3, 'a', 'b', 'c'}));

    unsigned short u16 = 9;
    unsigned int u32 = 9;
    unsigned long long u64 = 9;
    std::string text = "keep";
    EXPECT_EQ(deserialize_uint16(u16, out, 1), 0u);
    EXPECT_EQ(deserialize_uint32(u32, out, 3), 0u);
    EXPECT_EQ(deserialize_uint64(u64, out, 7), 0u);
    EXPECT_EQ(deserialize_string(text, out, 6), 0u); // says 3 bytes, holds 2
    EXPECT_EQ(deserialize_string(text, out, 3), 0u);
    EXPECT_EQ(std::vector<unsigned long long>({u16, u32, u64}), std::vector<unsigned long long>({9, 9, 9}));
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(deserialize_string(text, out, 7), 7u);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(deserialize_uint32(u32, out, 4), 4u);
    EXPECT_EQ(u32, 3u);
}

TEST(LobbyFraming, HeaderBytesAndShortIds)
{
    // Registration: session 0x1A2B, a 36-character sender, no recipient.
    const std::string wire = header(0, 254, 0x1A2B, kUserA, "");
    const std::string expected = bytes({0, 0, 0, 0, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0x1A, 0x2B}) + kUserA +
                                 std::string(36, '\0') + bytes({0, 0x1C, 1, 0, 0, 0});
    EXPECT_EQ(wire, expected);

    // Ids copy at most 36 bytes and are padded with zeros.
    const std::string shortIds = header(5, 1, 1, "abc", kUserB + "-and-more");
    EXPECT_EQ(shortIds.substr(14, 36), "abc" + std::string(33, '\0'));
    EXPECT_EQ(shortIds.substr(50, 36), kUserB);

    TCPHeader decoded;
    EXPECT_FALSE(decoded.deserialize(shortIds.data(), 91));
    EXPECT_EQ(decoded, TCPHeader());
    ASSERT_TRUE(decoded.deserialize(shortIds.data(), shortIds.size()));
    EXPECT_EQ(decoded, TCPHeader(5, kMessageRoutingRoom, kMessageEncryptionNone, 1, "abc", kUserB.c_str(), 28, 1));
}

TEST(LobbyFraming, MessagesReassembleWhateverTheSplit)
{
    const std::string stream = message("first") + message("") + message(std::string(300, 'x')) + message("last");
    const std::vector<std::string> expected = {"first", "", std::string(300, 'x'), "last"};
    struct Case {
        const char *what;
        std::vector<std::size_t> cuts; // offsets where a new delivery starts
    };
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i) {
        everyByte.push_back(i);
    }
    const std::vector<Case> cases = {
        {"one delivery", {}},
        {"header over three deliveries", {10, 60}},
        {"cut right after a header", {92, 97}},
        {"every byte", everyByte},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        KwexMessenger m;
        std::size_t start = 0;
        for (std::size_t end : c.cuts) {
            ASSERT_TRUE(m.appendData(stream.data() + start, end - start));
            start = end;
        }
        ASSERT_TRUE(m.appendData(stream.data() + start, stream.size() - start));
        EXPECT_EQ(m.bufferedBytes(), 0u);
        EXPECT_EQ(payloads(m), expected);
    }

    // A header alone with length 0 is a message at once; a copy owns its payload.
    KwexMessenger m;
    ASSERT_TRUE(m.appendData(message("").data(), TCPHeader::kSize));
    EXPECT_TRUE(m.hasMessages());
    NetworkMessage one;
    one.setData("abc", 3);
    NetworkMessage two = one;
    one.setData("zz", 2);
    EXPECT_EQ(std::string(two.getData(), two.getLength()), "abc");
}

TEST(LobbyFraming, OversizedHeadersAndResetsLeaveNothingBehind)
{
    KwexMessenger m;
    // The whole message before the refused header stays queued.
    const std::string giant = message("before") + header(0xFFFFFFFFu, 1, 1, kUserB, kUserA) + std::string(1000, 'g');
    EXPECT_FALSE(m.appendData(giant.data(), giant.size()));
    EXPECT_EQ(m.bufferedBytes(), 0u);
    EXPECT_LE(m.bufferCapacity(), KwexMessenger::kMaxPayloadBytes);
    EXPECT_EQ(payloads(m), std::vector<std::string>{"before"});
    // Refused when its header completes inside the buffer too.
    ASSERT_TRUE(m.appendData(giant.data() + 98, 50));
    EXPECT_FALSE(m.appendData(giant.data() + 148, 60));
    EXPECT_EQ(m.bufferedBytes(), 0u);

    // The cap itself is allowed.
    const std::string atCap = message(std::string(KwexMessenger::kMaxPayloadBytes, 'c'));
    EXPECT_TRUE(m.appendData(atCap.data(), atCap.size()));
    EXPECT_EQ(payloads(m).size(), 1u);

    // Half a message, a new connection: its first message decodes alone.
    const std::string half = message("old-connection").substr(0, 100);
    ASSERT_TRUE(m.appendData(half.data(), half.size()));
    m.resetReceiveState();
    const std::string fresh = message("new");
    ASSERT_TRUE(m.appendData(fresh.data(), fresh.size()));
    EXPECT_EQ(payloads(m), std::vector<std::string>{"new"});
}

TEST(LobbyFraming, NetworkAddressesFromText)
{
    NetworkAddress a;
    a.port = 77;
    EXPECT_TRUE(a.assign("10.0.0.2:5000"));
    EXPECT_EQ(a.bytes, (std::array<std::uint8_t, 4>{10, 0, 0, 2}));
    EXPECT_EQ(a.port, 5000);
    EXPECT_TRUE(a.assign("192.168.1.255"));
    EXPECT_EQ(a.port, 5000);
    for (const char *bad : {"256.0.0.1", "1.2.3", "1.2.3.4:65536", "1.2.3.4:", "1..2.3", "a.b.c.d", "1.2.3.4x", ""}) {
        SCOPED_TRACE(bad);
        const NetworkAddress before = a;
        EXPECT_FALSE(a.assign(bad));
        EXPECT_EQ(a, before);
    }
    const sockaddr_in s = NetworkAddress("127.0.0.1:80").toSockaddr();
    EXPECT_EQ(s.sin_family, AF_INET);
    EXPECT_EQ(ntohs(s.sin_port), 80);
    EXPECT_EQ(ntohl(s.sin_addr.s_addr), 0x7F000001u);
}

TEST(LobbyFraming, SendingNeedsAConnection)
{
    TCPManager tcp;
    KwexMessenger m;
    EXPECT_FALSE(m.sendMessage(nullptr, nullptr, 0, kMessageRoutingRegister, kMessageEncryptionNone, nullptr));
    EXPECT_FALSE(m.sendMessage(&tcp, nullptr, 0, kMessageRoutingRegister, kMessageEncryptionNone, nullptr));
    unsigned long length = 3;
    EXPECT_FALSE(tcp.sendData("abc", length));
    EXPECT_EQ(tcp.getState(), TCPManager::kStateDisconnected);
}

// ---------------------------------------------------------------------------
// The connection

platform::RunLoop &loop()
{
    return platform::RunLoop::main();
}

// The owner's part: connect, reconnect, feed the messenger, drop on a
// framing failure.
struct Client {
    TCPManager tcp;
    KwexMessenger messenger;
    std::vector<std::string> got;
    std::vector<int> states;

    Client() { messenger.setSessionProperties(0x1A2B, kUserA.c_str(), 28, 1); }

    void connect(std::uint16_t port)
    {
        tcp.startConnect("127.0.0.1", port);
        messenger.resetReceiveState();
        note();
    }
    void note()
    {
        if (states.empty() || states.back() != tcp.getState()) {
            states.push_back(tcp.getState());
        }
    }
    void pump()
    {
        note();
        if (tcp.getDataSize() == 0) {
            return;
        }
        std::string data(tcp.getDataSize(), '\0');
        unsigned long length = data.size();
        ASSERT_TRUE(tcp.getData(data.data(), length));
        if (!messenger.appendData(data.data(), length)) {
            tcp.disconnect();
        }
        for (auto &p : payloads(messenger)) {
            got.push_back(std::move(p));
        }
        note();
    }
    bool until(const std::function<bool()> &what, double seconds = 10.0)
    {
        return loop().runUntil(
            [&] {
                pump();
                return what();
            },
            seconds);
    }
    bool registerNow()
    {
        return messenger.sendMessage(&tcp, nullptr, 0, kMessageRoutingRegister, kMessageEncryptionNone, nullptr);
    }
};

TEST(LobbySocketThreads, ConnectRegisterReceiveAndClose)
{
    const std::string two = message("one") + message("two");
    const std::string split = message("split") + message("");
    TestTcpServer server;
    server.script({TcpScript().waitForBytes(92).send(two).send(split, {30, 61, 95}, 0.005).pause(0.05).close()});
    ASSERT_TRUE(server.start());

    Client c;
    c.connect(server.port());
    EXPECT_EQ(c.tcp.getState(), TCPManager::kStateConnecting);
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateConnected; }));
    ASSERT_TRUE(c.registerNow());
    ASSERT_TRUE(server.waitForBytes(0, 92, 10.0));
    const std::string expected = bytes({0, 0, 0, 0, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0x1A, 0x2B}) + kUserA +
                                 std::string(36, '\0') + bytes({0, 0x1C, 1, 0, 0, 0});
    EXPECT_EQ(server.received(0), expected);

    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateDisconnected; }));
    EXPECT_EQ(c.got, (std::vector<std::string>{"one", "two", "split", ""}));
    EXPECT_EQ(c.states, (std::vector<int>{1, 3, 0}));
    unsigned long length = 1;
    EXPECT_FALSE(c.tcp.sendData("x", length));
    EXPECT_EQ(c.tcp.getClientDescriptor(), -1);
}

TEST(LobbySocketThreads, RefusedAndUnresolvableConnectsEndDisconnected)
{
    Client c;
    c.connect(testsupport::unusedLoopbackPort());
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateDisconnected; }, 5.0));
    c.tcp.startConnect("no-such-host.invalid", 80);
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateDisconnected; }, 20.0));
    EXPECT_EQ(loop().watchCount(), 0u);
}

TEST(LobbySocketThreads, ReconnectStartsClean)
{
    // First connection: half a message, a pile of unsent bytes, then a reset.
    // Second: one whole message.
    TestTcpServer server;
    server.script(
        {TcpScript().stopReading().send(message(std::string(200, 0x6c)).substr(0, 120)).waitForUnread(1).reset(),
         TcpScript().waitForBytes(92).send(message("fresh"))});
    ASSERT_TRUE(server.start());

    Client c;
    c.tcp.startConnect("localhost", server.port()); // by name, resolved off the loop
    c.messenger.resetReceiveState();
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateConnected; }));
    ASSERT_TRUE(c.until([&] { return c.messenger.bufferedBytes() == 120; }));
    const std::string pile(8 << 20, 'p');
    // The reset may already cut this write short (false); otherwise a tail
    // is left waiting when it comes.
    if (c.messenger.sendMessage(&c.tcp, pile.data(), pile.size(), kMessageRoutingRoom, kMessageEncryptionNone,
                                kUserB.c_str())) {
        EXPECT_GT(c.tcp.getPendingSendSize(), 0u);
    }
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateDisconnected; }));
    EXPECT_EQ(c.tcp.getPendingSendSize(), 0u);

    c.connect(server.port());
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateConnected; }));
    ASSERT_TRUE(c.registerNow());
    ASSERT_TRUE(c.until([&] { return !c.got.empty(); }));
    EXPECT_EQ(c.got, std::vector<std::string>{"fresh"});
    ASSERT_TRUE(server.waitForBytes(1, 92, 5.0));
    loop().runFor(0.05);
    EXPECT_EQ(server.received(1).size(), 92u); // the registration only

    // Connecting again while connected ends the first connection.
    c.connect(server.port());
    EXPECT_TRUE(server.waitForFinished(1, 5.0));
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateConnected; }));
    EXPECT_EQ(loop().watchCount(), 1u);
}

TEST(LobbySocketThreads, LargeMessageThroughASlowReaderAndResets)
{
    const std::string big = [] {
        std::string s(4 << 20, '\0');
        for (std::size_t i = 0; i < s.size(); ++i) {
            s[i] = static_cast<char>((i * 2654435761u) >> 13);
        }
        return s;
    }();
    TestTcpServer server;
    server.script({TcpScript().readSlowly(256 * 1024, 0.002), TcpScript().stopReading().pause(0.2).reset()});
    ASSERT_TRUE(server.start());

    Client c;
    c.connect(server.port());
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateConnected; }));
    ASSERT_TRUE(c.messenger.sendMessage(&c.tcp, big.data(), big.size(), kMessageRoutingRoom, kMessageEncryptionNone,
                                        kUserB.c_str()));
    ASSERT_TRUE(c.until([&] { return server.received(0).size() >= big.size() + 92; }, 30.0));
    EXPECT_EQ(c.tcp.getPendingSendSize(), 0u);
    const std::string seen = server.received(0);
    EXPECT_EQ(seen.size(), big.size() + 92);
    EXPECT_EQ(platform::sha1(seen.substr(92)), platform::sha1(big));

    // A reset in the middle of a write: the process lives, the state is 0.
    c.connect(server.port());
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateConnected; }));
    ASSERT_TRUE(c.messenger.sendMessage(&c.tcp, big.data(), big.size(), kMessageRoutingRoom, kMessageEncryptionNone,
                                        kUserB.c_str()));
    ASSERT_TRUE(c.until([&] { return c.tcp.getState() == TCPManager::kStateDisconnected; }));
}

TEST(LobbySocketThreads, AGiantHeaderDropsTheConnection)
{
    TestTcpServer server;
    server.script({TcpScript().send(header(0xFFFFFFFFu, 1, 1, kUserB, kUserA) + std::string(4096, 'g'))});
    ASSERT_TRUE(server.start());
    Client c;
    c.connect(server.port());
    ASSERT_TRUE(c.until([&] { return c.states.size() >= 3; }));
    EXPECT_EQ(c.states, (std::vector<int>{1, 3, 0}));
    EXPECT_EQ(c.messenger.bufferedBytes(), 0u);
    EXPECT_LE(c.messenger.bufferCapacity(), KwexMessenger::kMaxPayloadBytes);
    EXPECT_TRUE(server.waitForFinished(0, 5.0));
}

// ---------------------------------------------------------------------------
// Reachability

class FakeReachability final : public platform::ReachabilityBackend {
public:
    static inline unsigned flags = 0;
    static inline Listener listener;
    static inline platform::RunLoop *target = nullptr;

    unsigned currentFlags() override { return flags; }
    bool start(platform::RunLoop &loop, Listener l) override
    {
        listener = std::move(l);
        target = &loop;
        return true;
    }
    void stop() override { listener = nullptr; }

    static void change(unsigned value)
    {
        flags = value;
        target->post([value] {
            if (listener) {
                listener(value);
            }
        });
    }
};

std::vector<std::pair<Reachability *, unsigned>> gReports;
void onReachability(Reachability *r, unsigned flags)
{
    gReports.emplace_back(r, flags);
}

TEST(LobbyReachability, ChangesReachTheCallback)
{
    platform::setReachabilityBackendFactory([] { return std::make_unique<FakeReachability>(); });
    {
        Reachability reach(NetworkAddress("0.0.0.0"));
        EXPECT_FALSE(reach.scheduleWithCallback(nullptr));
        ASSERT_TRUE(reach.scheduleWithCallback(&onReachability));
        gReports.clear();
        FakeReachability::change(platform::kReachabilityReachable);
        FakeReachability::change(0);
        ASSERT_TRUE(loop().runUntil([] { return gReports.size() == 2; }, 5.0));
        EXPECT_EQ(gReports, (std::vector<std::pair<Reachability *, unsigned>>{
                                {&reach, platform::kReachabilityReachable}, {&reach, 0u}}));
        EXPECT_EQ(reach.getReachabilityFlags(), 0u);
    }
    EXPECT_FALSE(FakeReachability::listener); // stopped with its owner
    platform::setReachabilityBackendFactory(nullptr);

    // The Linux back end answers and watches.
    Reachability real(NetworkAddress("0.0.0.0"));
    const unsigned flags = real.getReachabilityFlags();
    EXPECT_TRUE(flags == 0u || flags == platform::kReachabilityReachable) << flags;
    EXPECT_TRUE(real.scheduleWithCallback(&onReachability));
}

} // namespace
