// The offers network's connect call: one HTTP GET at launch and at each
// later activation of the application, built from device and application
// facts, retried once on the fallback host after the first transport
// failure of the process. The XML reply is announced through the
// notifications "BNC_Connect_Success" and "BNC_Connect_Failed".
//
// Everything runs on the run loop given at the first request (the main
// loop in the game): requests, replies and notifications.
#ifndef BOUNTY_BOUNTY_CONNECT_H
#define BOUNTY_BOUNTY_CONNECT_H

#include "platform/notifications.h"
#include "platform/url_loader.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {
class RunLoop;
}

namespace bounty {

inline constexpr const char *kBountyConnectSuccess = "BNC_Connect_Success";
inline constexpr const char *kBountyConnectFailed = "BNC_Connect_Failed";
inline constexpr const char *kBountyLibraryVersion = "7.2.0";
inline constexpr double kBountyTimeoutSeconds = 30.0;

// Keys and values in the order they are sent.
using BountyParameters = std::vector<std::pair<std::string, std::string>>;

class BountyConnect {
public:
    // The connect hosts, each an "http://…/" base to which "Connect?…" is
    // appended. Deployment values; they apply to the next request.
    static void setConnectUrls(std::string primary, std::string fallback);

    // Creates the shared instance on first use, sends one connect call and
    // starts listening for activations (once, however often it is called).
    static std::shared_ptr<BountyConnect> requestBountyConnectWithAppId(const std::string &appId,
                                                                        platform::RunLoop &loop);
    // The password and version are not used by the connect call.
    static std::shared_ptr<BountyConnect> requestBountyConnectWithAppId(const std::string &appId,
                                                                        const std::string &password,
                                                                        const std::string &version,
                                                                        platform::RunLoop &loop);
    [[nodiscard]] static std::shared_ptr<BountyConnect> sharedBountyConnect();
    // The activation that follows launch sends nothing; later ones connect.
    static void deviceNotificationReceived();
    // Drops the shared instance and its observer; hosts back to unset.
    static void resetForTesting();

    BountyConnect(std::string appId, platform::RunLoop &loop);

    [[nodiscard]] BountyParameters genericParameters() const;
    // "key=value" pairs joined by "&", each side escaped: every byte but
    // A-Z a-z 0-9 - . _ ~ as %XX.
    [[nodiscard]] static std::string createQueryStringFromDict(const BountyParameters &parameters);
    // One request; one already in flight is cancelled first.
    void connectWithParam(const BountyParameters &parameters);
    [[nodiscard]] int connectAttempts() const { return mConnectAttempts; }

private:
    void onResponse(platform::UrlResponse response);

    std::string mAppId;
    platform::RunLoop &mLoop;
    platform::UrlExchange mConnection;
    int mConnectAttempts = 0;
    bool mIsInitialConnect = true;
};

// Reads a connect reply and posts exactly one outcome: "BNC_Connect_Success"
// when a Success element's text is "true", no ErrorMessage element appears
// anywhere and the whole reply reads as XML; "BNC_Connect_Failed" otherwise
// (an error, no verdict, or a reply that cannot be read), so a caller
// waiting for the outcome always hears one.
void postConnectReply(const std::string &xml);

} // namespace bounty

#endif // BOUNTY_BOUNTY_CONNECT_H
