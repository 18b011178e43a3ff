// Following an ad's store referral: the referral address redirects, maybe
// several times, to the store's own link. The referral follows it in the
// background, remembers the last address that answered with a redirect and,
// once loading has finished, asks the system to open that address. The
// impression gets 6 when it starts and 8 when the store link is opened.
#ifndef TALLY_TALLY_AD_REFERRAL_H
#define TALLY_TALLY_AD_REFERRAL_H

#include "platform/url_loader.h"

#include <memory>
#include <optional>
#include <string>

namespace tally {

class TallyAdImpression;

class TallyAdAppStoreConnectionDelegate : public std::enable_shared_from_this<TallyAdAppStoreConnectionDelegate> {
public:
    // Loads that never end are dropped after this long.
    static constexpr double kReferralTimeoutSeconds = 30.0;

    [[nodiscard]] static std::shared_ptr<TallyAdAppStoreConnectionDelegate> create();

    void setAdImpression(std::shared_ptr<TallyAdImpression> impression) { mAdImpression = std::move(impression); }
    [[nodiscard]] std::shared_ptr<TallyAdImpression> adImpression() const { return mAdImpression; }
    [[nodiscard]] const std::optional<std::string> &iTunesURL() const { return mITunesURL; }

    // Starts following `url` on the interface's run loop. The referral keeps
    // itself alive while it runs, so the caller may drop it. False when the
    // address cannot be loaded at all (state 6 is recorded anyway).
    bool openReferralURL(const std::string &url);
    // Stops following; nothing more is recorded or opened.
    void cancel();
    [[nodiscard]] bool isRunning() const;

    // Before each request: the address that answered with a redirect to it,
    // nullopt for the first request.
    void connectionWillSendRequest(const std::optional<std::string> &redirectFrom);
    void connectionDidFinishLoading();

private:
    TallyAdAppStoreConnectionDelegate() = default;

    std::shared_ptr<TallyAdImpression> mAdImpression;
    std::optional<std::string> mITunesURL;
    std::unique_ptr<platform::UrlExchange> mExchange;
};

} // namespace tally

#endif // TALLY_TALLY_AD_REFERRAL_H
