// One showing of one ad placement: which hook asked, which ad filled it and
// the states it went through. Every change goes at once to the current
// session, which keeps the impression (one entry per object) for its report.
// Impressions are changed by the views and read by the report builder on
// the sending thread, so every field is behind the impression's lock.
#ifndef TALLY_TALLY_AD_IMPRESSION_H
#define TALLY_TALLY_AD_IMPRESSION_H

#include "tally/TallyAdValues.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tally {

enum TallyAdFormat : std::int8_t {
    kAdFormatUnknown = 0,
    kAdFormatBanner = 1,
    kAdFormatCatalog = 2,
    kAdFormatOffer = 3
};

class TallyAdImpression : public std::enable_shared_from_this<TallyAdImpression> {
public:
    // A new impression in state 1, already recorded by the current session.
    [[nodiscard]] static std::shared_ptr<TallyAdImpression> initWithHook(const std::string &hook, std::int8_t adFormat);
    // Milliseconds since the current session started; 0 without a session.
    [[nodiscard]] static std::int64_t currentSessionTime();

    void updateWithAd(const TallyAd &ad);
    void updateWithResult(std::int32_t state);
    [[nodiscard]] std::int32_t currentState() const;
    [[nodiscard]] std::vector<TallyAdState> adStates() const;
    [[nodiscard]] std::int8_t adFormat() const;
    [[nodiscard]] std::string hook() const;
    [[nodiscard]] std::optional<std::int64_t> adId() const;
    [[nodiscard]] std::int64_t timeIntervalSinceSessionStart() const;

    // The report record: hook, format, ad id, canvas id, cookie, states.
    [[nodiscard]] Bytes data() const;
    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Records of the older layout get states rebuilt from "adResult".
    [[nodiscard]] static std::shared_ptr<TallyAdImpression> initWithCoder(const platform::PlistValue &archived);

    TallyAdImpression() = default;

private:
    void record();

    mutable std::mutex mMutex;
    std::int64_t mTimeIntervalSinceSessionStart = 0;
    std::string mHook;
    std::optional<std::int64_t> mAdId;
    std::optional<std::int64_t> mCanvasId;
    std::optional<Bytes> mAdCookie;
    std::optional<std::int64_t> mAdResult;
    std::int8_t mAdFormat = kAdFormatUnknown;
    std::vector<TallyAdState> mAdStates;
};

} // namespace tally

#endif // TALLY_TALLY_AD_IMPRESSION_H
