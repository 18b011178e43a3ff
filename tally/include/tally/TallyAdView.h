// The addresses an ad leads to: the canvas page or the store redirect, with
// the query that tells the ad service which ad, session, impression and
// device the visit comes from; and the offer container a lookup fills.
#ifndef TALLY_TALLY_AD_VIEW_H
#define TALLY_TALLY_AD_VIEW_H

#include "tally/TallyAdValues.h"

#include <memory>
#include <optional>
#include <string>

namespace tally {

class TallyAdImpression;

// What an offer lookup fills for the caller.
struct TallyOffer {
    std::optional<std::string> appName;
    std::shared_ptr<const platform::Image> appIcon;
    std::optional<std::string> referralUrl;
};

class TallyAdView {
public:
    TallyAdView() = delete;

    // The canvas page (portrait unless the orientation says otherwise, case
    // aside) when `canvas`, else the store redirect, with the click query.
    [[nodiscard]] static std::string webUrlForCanvas(bool canvas, const std::string &hook, const TallyAd &ad,
                                                     const TallyAdImpression &impression,
                                                     const std::optional<std::string> &canvasOrientation);
    // The store redirect for an offer: the click query with canvas id 0.
    [[nodiscard]] static std::string webUrlForOffer(const std::string &hook, const TallyAd &ad,
                                                    const TallyAdImpression &impression);
    // Every byte but A-Z a-z 0-9 - . _ ~ as %XX (a space is %20).
    [[nodiscard]] static std::string percentEscape(const std::string &text);
};

} // namespace tally

#endif // TALLY_TALLY_AD_VIEW_H
