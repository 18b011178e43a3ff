#include "merix/ChatClient.h"

#include <kwexnet/encode.h>
#include <kwexnet/tarv_config.h>

#include <algorithm>
#include <cstdint>
#include <vector>

ChatClient::ChatClient(platform::RunLoop &loop)
    : mLoop(loop)
    , mManager(loop)
{
}

void ChatClient::emit(const std::string &event) const
{
    if (mListener)
        mListener(event);
}

void ChatClient::start(const std::string &host, unsigned short port, const std::string &session,
                       const std::string &userId)
{
    stop();
    std::uint64_t sessionId = 0;
    (void)KwexNet::Encode::hexStringToLong(session.c_str(), sessionId);
    mMessenger.setSessionProperties(sessionId, userId.c_str(), KwexNet::Tarv::kSessionCode, KwexNet::Tarv::kSessionTag);
    mHost = host;
    mPort = port;
    mRetryDelay = kFirstRetrySeconds;
    mAttempts = 0;
    connectNow();
}

void ChatClient::stop()
{
    mManager.disconnect();
    mMessenger.resetReceiveState();
    KwexNet::NetworkMessage discarded;
    while (mMessenger.getNextMessage(discarded)) {}
    mState = kIdle;
}

void ChatClient::connectNow()
{
    // No byte of an earlier stream may complete a message of this one.
    mMessenger.resetReceiveState();
    ++mAttempts;
    mState = kConnecting;
    emit("chat connecting " + mHost + ":" + std::to_string(mPort) + " attempt=" + std::to_string(mAttempts));
    mManager.startConnect(mHost.c_str(), mPort);
}

void ChatClient::lost(const char *why)
{
    mManager.disconnect();
    mMessenger.resetReceiveState();
    mState = kWaiting;
    mNextAttempt = mLoop.now() + mRetryDelay;
    emit(std::string("chat disconnected (") + why + "), next attempt in " + std::to_string(mRetryDelay) + " s");
    mRetryDelay = std::min(mRetryDelay * 2.0, kMaxRetrySeconds);
}

void ChatClient::drain()
{
    unsigned long size = mManager.getDataSize();
    if (size == 0)
        return;
    std::vector<char> bytes(size);
    if (!mManager.getData(bytes.data(), size))
        return;
    if (!mMessenger.appendData(bytes.data(), size)) {
        lost("a message announced an over-long payload");
        return;
    }
    KwexNet::NetworkMessage message;
    while (mMessenger.hasMessages() && mMessenger.getNextMessage(message)) {
        if (message.header.recipientId != mMessenger.getUserId()) {
            emit("chat dropped a message for " +
                 std::string(message.header.recipientId.begin(), message.header.recipientId.end()));
            continue;
        }
        if (mHandler)
            mHandler(message);
    }
}

void ChatClient::update()
{
    switch (mState) {
    case kIdle: return;
    case kWaiting:
        if (mLoop.now() >= mNextAttempt)
            connectNow();
        return;
    case kConnecting:
        if (mManager.getState() == KwexNet::TCPManager::kStateConnected) {
            mState = kConnected;
            // The registration: a bare header that names our session and user.
            if (!mMessenger.sendMessage(&mManager, nullptr, 0, KwexNet::kMessageRoutingRegister,
                                        KwexNet::kMessageEncryptionNone, "")) {
                lost("the registration could not be sent");
                return;
            }
            emit("chat registered");
        } else if (mManager.getState() == KwexNet::TCPManager::kStateDisconnected) {
            lost("connect failed");
        }
        return;
    case kConnected:
        drain();
        if (mState == kConnected && mManager.getState() != KwexNet::TCPManager::kStateConnected) {
            drain(); // what arrived before the close
            if (mState == kConnected)
                lost("the server closed the connection");
        } else if (mState == kConnected) {
            // A connection that worked starts the back-off afresh.
            mRetryDelay = kFirstRetrySeconds;
        }
        return;
    }
}

bool ChatClient::say(const std::string &text)
{
    if (mState != kConnected)
        return false;
    // The room is the recipient: 36 zero bytes.
    return mMessenger.sendMessage(&mManager, text.data(), text.size(), KwexNet::kMessageRoutingRoom,
                                  KwexNet::kMessageEncryptionNone, "");
}
