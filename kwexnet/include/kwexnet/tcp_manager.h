// One client TCP connection to the socket server, driven by a run loop, and
// network reachability reports.
//
// TCPManager keeps one non-blocking IPv4 socket watched by the loop. Bytes
// to send wait in a buffer until the socket takes them (writability is
// watched only while some wait); received bytes wait until the owner takes
// them. Host names are resolved on a thread of their own, so the loop never
// waits on DNS. Any error (a refused or failed connect, a reset, the peer's
// close) is a disconnect: state 0, the socket closed, unsent bytes dropped;
// bytes received before the end stay for the owner to take until the next
// startConnect. disconnect() drops both buffers.
//
// Main thread only (the thread that runs the loop).
#ifndef KWEXNET_TCP_MANAGER_H
#define KWEXNET_TCP_MANAGER_H

#include <cstddef>
#include <memory>
#include <string>

#include <platform/reachability.h>
#include <platform/runloop.h>

#include "kwexnet/network.h"

namespace KwexNet {

class TCPManager {
public:
    enum State : int {
        kStateDisconnected = 0,
        kStateConnecting = 1,
        kStateListening = 2, // never entered: no listening socket is opened
        kStateConnected = 3,
    };

    // Received bytes held beyond this stop the reading until the owner
    // takes some.
    static constexpr std::size_t kMaxReceiveBufferBytes = 8u << 20;

    explicit TCPManager(platform::RunLoop &loop = platform::RunLoop::main());
    ~TCPManager();
    TCPManager(const TCPManager &) = delete;
    TCPManager &operator=(const TCPManager &) = delete;

    // Drops any connection first, then connects to host:port (a dotted
    // IPv4 address or a name). State 1 while connecting; 3 once connected;
    // 0 again when it fails.
    void startConnect(const char *host, unsigned short port);

    // Queues bytes and writes what the socket takes now. False when data is
    // null or not connected; length 0 writes nothing and is true.
    [[nodiscard]] bool sendData(const char *data, unsigned long &length);
    // Moves exactly `length` received bytes to `destination`; false (nothing
    // moved) when fewer are held or nothing is. Works in any state.
    [[nodiscard]] bool getData(char *destination, unsigned long &length);
    [[nodiscard]] std::size_t getDataSize() const { return mReceive.size(); }
    // Bytes still waiting to be written.
    [[nodiscard]] std::size_t getPendingSendSize() const { return mSend.size() - mSent; }

    bool disconnect();
    bool stopListening();
    void update() {}

    [[nodiscard]] int getState() const { return mState; }
    [[nodiscard]] int getClientDescriptor() const { return mClient.descriptor(); }
    [[nodiscard]] const NetworkAddress &getLocalAddress() const { return mLocalAddress; }

private:
    struct Resolution;

    void connectTo(const NetworkAddress &address);
    void onSocket(unsigned events);
    void finishConnect();
    void attemptRead();
    void attemptWrite();
    void updateInterest();
    // A disconnect the peer or the network caused.
    void lose();

    platform::RunLoop &mLoop;
    int mState = kStateDisconnected;
    TCPSocket mClient;
    TCPSocket mListening;
    NetworkAddress mLocalAddress{"0.0.0.0"};
    platform::WatchId mWatch = 0;
    std::string mSend;
    std::size_t mSent = 0;
    std::string mReceive;
    // The name lookup in flight, shared with its thread.
    std::shared_ptr<Resolution> mResolution;
    // Expires with the manager: posted lookups check it on the loop.
    std::shared_ptr<TCPManager *> mLife;
};

class Reachability;
using ReachabilityCallback = void (*)(Reachability *reachability, unsigned int flags);

// Reachability of an address; 0.0.0.0 stands for the internet in general
// (the only kind the back end tells apart). Flags: platform's
// kReachabilityReachable.
class Reachability {
public:
    explicit Reachability(const NetworkAddress &address, platform::RunLoop &loop = platform::RunLoop::main());
    ~Reachability();
    Reachability(const Reachability &) = delete;
    Reachability &operator=(const Reachability &) = delete;

    [[nodiscard]] unsigned int getReachabilityFlags() const;
    // Reports every change of the flags to `callback` (this object first)
    // on the loop, replacing any earlier callback. False for a null
    // callback or when changes cannot be watched.
    [[nodiscard]] bool scheduleWithCallback(ReachabilityCallback callback);

    [[nodiscard]] const NetworkAddress &getAddress() const { return mAddress; }

private:
    struct Record {
        ReachabilityCallback callback = nullptr;
        Reachability *owner = nullptr;
    };

    NetworkAddress mAddress;
    platform::RunLoop &mLoop;
    std::unique_ptr<platform::ReachabilityBackend> mBackend;
    std::unique_ptr<Record> mRecord;
};

} // namespace KwexNet

#endif // KWEXNET_TCP_MANAGER_H
