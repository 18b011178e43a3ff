// The chat layer's connection to the socket server. Once started it keeps
// one connection up: after a failed or lost connection it tries again after
// 1 s, doubling to 30 s, counted on the run loop's clock. Each new
// connection starts with fresh framing and registers with a bare header;
// update(), called once per frame, feeds received bytes to the messenger
// and hands on the messages addressed to our user id (others are dropped).
// A peer that announces an over-long payload is disconnected.
//
// Main thread only.
#ifndef MERIX_CHAT_CLIENT_H
#define MERIX_CHAT_CLIENT_H

#include <kwexnet/kwex_messenger.h>
#include <kwexnet/tcp_manager.h>

#include <functional>
#include <string>

class ChatClient {
public:
    enum State { kIdle, kWaiting, kConnecting, kConnected };
    static constexpr double kFirstRetrySeconds = 1.0;
    static constexpr double kMaxRetrySeconds = 30.0;

    using Listener = std::function<void(const std::string &event)>;
    using MessageHandler = std::function<void(const KwexNet::NetworkMessage &)>;

    explicit ChatClient(platform::RunLoop &loop = platform::RunLoop::main());

    // Starts (or restarts) the connection; the session text is hexadecimal.
    void start(const std::string &host, unsigned short port, const std::string &session, const std::string &userId);
    void stop();
    void update();
    // A chat line to the room; false unless connected.
    bool say(const std::string &text);

    void setListener(Listener listener) { mListener = std::move(listener); }
    void setMessageHandler(MessageHandler handler) { mHandler = std::move(handler); }

    [[nodiscard]] State state() const { return mState; }
    [[nodiscard]] unsigned attempts() const { return mAttempts; }
    [[nodiscard]] const KwexNet::KwexMessenger &messenger() const { return mMessenger; }

private:
    void connectNow();
    void lost(const char *why);
    void drain();
    void emit(const std::string &event) const;

    platform::RunLoop &mLoop;
    KwexNet::TCPManager mManager;
    KwexNet::KwexMessenger mMessenger;
    State mState = kIdle;
    std::string mHost;
    unsigned short mPort = 0;
    double mRetryDelay = kFirstRetrySeconds;
    double mNextAttempt = 0.0;
    unsigned mAttempts = 0;
    Listener mListener;
    MessageHandler mHandler;
};

#endif // MERIX_CHAT_CLIENT_H
