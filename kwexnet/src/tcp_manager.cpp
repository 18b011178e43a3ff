#include "kwexnet/tcp_manager.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KwexNet {

namespace {

// Bytes read per readiness report at most, so one busy peer cannot hold the
// loop for ever.
constexpr std::size_t kReadChunkBytes = 4096;
constexpr std::size_t kReadPerEventBytes = 64 * 1024;

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

} // namespace

// A name lookup on its own thread. The thread hands its answer to the loop
// only while `loop` is set; the manager clears it (under the lock) when it
// gives the lookup up, so the thread never touches a loop or a manager
// that may be gone.
struct TCPManager::Resolution {
    std::mutex mutex;
    platform::RunLoop *loop = nullptr;
};

TCPManager::TCPManager(platform::RunLoop &loop)
    : mLoop(loop)
    , mLife(std::make_shared<TCPManager *>(this))
{
}

TCPManager::~TCPManager()
{
    disconnect();
}

void TCPManager::startConnect(const char *host, unsigned short port)
{
    disconnect();
    std::string().swap(mReceive);
    if (!host || !*host) {
        return;
    }
    NetworkAddress address;
    if (address.assign(host) && std::strchr(host, ':') == nullptr) {
        address.port = port;
        mState = kStateConnecting;
        connectTo(address);
        return;
    }

    auto resolution = std::make_shared<Resolution>();
    resolution->loop = &mLoop;
    mResolution = resolution;
    mState = kStateConnecting;
    std::weak_ptr<TCPManager *> life = mLife;
    try {
        std::thread([resolution, life, name = std::string(host), port] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo *found = nullptr;
            NetworkAddress address;
            bool ok = false;
            if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found) {
                const auto *in = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
                std::memcpy(address.bytes.data(), &in->sin_addr.s_addr, 4);
                address.port = port;
                ok = true;
            }
            if (found) {
                ::freeaddrinfo(found);
            }
            std::lock_guard lock(resolution->mutex);
            if (!resolution->loop) {
                return;
            }
            resolution->loop->post([resolution, life, address, ok] {
                const auto alive = life.lock();
                if (!alive || (*alive)->mResolution != resolution) {
                    return; // given up meanwhile
                }
                TCPManager &manager = **alive;
                manager.mResolution.reset();
                if (ok) {
                    manager.connectTo(address);
                } else {
                    manager.disconnect();
                }
            });
        }).detach();
    } catch (const std::system_error &) {
        disconnect();
    }
}

void TCPManager::connectTo(const NetworkAddress &address)
{
    if (!mClient.open()) {
        disconnect();
        return;
    }
    const sockaddr_in target = address.toSockaddr();
    const int result = ::connect(mClient.descriptor(), reinterpret_cast<const sockaddr *>(&target), sizeof target);
    if (result != 0 && errno != EINPROGRESS) {
        disconnect();
        return;
    }
    mState = result == 0 ? kStateConnected : kStateConnecting;
    mWatch =
        mLoop.addWatch(mClient.descriptor(), platform::kFdWrite, [this](int, unsigned events) { onSocket(events); });
    if (mWatch == 0) {
        disconnect();
        return;
    }
    updateInterest();
}

void TCPManager::onSocket(unsigned events)
{
    if (mState == kStateConnecting) {
        if (events & (platform::kFdWrite | platform::kFdError)) {
            finishConnect();
        }
        return;
    }
    if (mState != kStateConnected) {
        return;
    }
    if (events & (platform::kFdRead | platform::kFdError)) {
        attemptRead();
    }
    if (mState == kStateConnected && (events & platform::kFdWrite)) {
        attemptWrite();
    }
    if (mState == kStateConnected && (events & platform::kFdError) && !(events & platform::kFdRead)) {
        // An error while reading is paused: nothing else will notice it.
        lose();
    }
    if (mState == kStateConnected) {
        updateInterest();
    }
}

void TCPManager::finishConnect()
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(mClient.descriptor(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        disconnect();
        return;
    }
    mState = kStateConnected;
    attemptWrite();
    if (mState == kStateConnected) {
        updateInterest();
    }
}

void TCPManager::attemptRead()
{
    std::size_t taken = 0;
    while (mState == kStateConnected && taken < kReadPerEventBytes && mReceive.size() < kMaxReceiveBufferBytes) {
        char chunk[kReadChunkBytes];
        const ssize_t count = ::recv(mClient.descriptor(), chunk, sizeof chunk, 0);
        if (count > 0) {
            mReceive.append(chunk, static_cast<std::size_t>(count));
            taken += static_cast<std::size_t>(count);
        } else if (count < 0 && wouldBlock(errno)) {
            return;
        } else {
            lose(); // 0: the peer closed; negative: reset or failure
            return;
        }
    }
}

void TCPManager::attemptWrite()
{
    while (mState == kStateConnected && mSent < mSend.size()) {
        const ssize_t count = ::send(mClient.descriptor(), mSend.data() + mSent, mSend.size() - mSent, MSG_NOSIGNAL);
        if (count > 0) {
            mSent += static_cast<std::size_t>(count);
        } else if (count < 0 && wouldBlock(errno)) {
            break;
        } else {
            lose();
            return;
        }
    }
    if (mSent == mSend.size()) {
        mSend.clear();
        mSent = 0;
    } else if (mSent * 2 >= mSend.size()) {
        // Written bytes are dropped in bulk: a large message sent through
        // many partial writes stays linear.
        mSend.erase(0, mSent);
        mSent = 0;
    }
}

void TCPManager::updateInterest()
{
    if (mWatch == 0) {
        return;
    }
    unsigned events = 0;
    if (mState == kStateConnecting) {
        events = platform::kFdWrite;
    } else if (mState == kStateConnected) {
        if (mReceive.size() < kMaxReceiveBufferBytes) {
            events |= platform::kFdRead;
        }
        if (mSent < mSend.size()) {
            events |= platform::kFdWrite;
        }
    }
    mLoop.updateWatch(mWatch, events);
}

bool TCPManager::sendData(const char *data, unsigned long &length)
{
    if (!data || mState != kStateConnected) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    try {
        mSend.append(data, length);
    } catch (const std::bad_alloc &) {
        return false;
    }
    attemptWrite();
    if (mState != kStateConnected) {
        return false;
    }
    updateInterest();
    return true;
}

void TCPManager::lose()
{
    // What arrived before the end is still the owner's to take; the next
    // startConnect forgets it.
    std::string received;
    received.swap(mReceive);
    disconnect();
    mReceive.swap(received);
}

bool TCPManager::getData(char *destination, unsigned long &length)
{
    if (!destination || mReceive.empty() || length > mReceive.size()) {
        return false;
    }
    const bool wasFull = mReceive.size() >= kMaxReceiveBufferBytes;
    std::memcpy(destination, mReceive.data(), length);
    mReceive.erase(0, length);
    if (wasFull && mState == kStateConnected) {
        updateInterest();
    }
    return true;
}

bool TCPManager::disconnect()
{
    if (mState == kStateListening) {
        stopListening();
    }
    if (mResolution) {
        std::lock_guard lock(mResolution->mutex);
        mResolution->loop = nullptr;
    }
    mResolution.reset();
    if (mWatch != 0) {
        mLoop.removeWatch(mWatch);
        mWatch = 0;
    }
    mClient.close();
    // Nothing of this connection may reach the next one.
    std::string().swap(mSend);
    mSent = 0;
    std::string().swap(mReceive);
    mState = kStateDisconnected;
    return true;
}

bool TCPManager::stopListening()
{
    mListening.close();
    mState = kStateDisconnected;
    return true;
}

Reachability::Reachability(const NetworkAddress &address, platform::RunLoop &loop)
    : mAddress(address)
    , mLoop(loop)
    , mBackend(platform::makeReachabilityBackend())
{
}

Reachability::~Reachability()
{
    if (mBackend) {
        mBackend->stop();
    }
}

unsigned int Reachability::getReachabilityFlags() const
{
    return mBackend ? mBackend->currentFlags() : 0u;
}

bool Reachability::scheduleWithCallback(ReachabilityCallback callback)
{
    if (!callback || !mBackend) {
        return false;
    }
    auto record = std::make_unique<Record>(Record{callback, this});
    Record *target = record.get();
    if (!mBackend->start(mLoop, [target](unsigned flags) { target->callback(target->owner, flags); })) {
        mRecord.reset();
        return false;
    }
    mRecord = std::move(record);
    return true;
}

} // namespace KwexNet
