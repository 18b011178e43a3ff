// What serves ads beside the parser: the ad-serving settings the server
// sends (TallyAdProperties) and which ads and banners each parent view
// already shows (TallyAdAssignment).
#ifndef TALLY_TALLY_AD_SERVING_H
#define TALLY_TALLY_AD_SERVING_H

#include "tally/TallyAdValues.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace tally {

// Process-wide settings; each getter answers its default until the server
// sends a value, and again after the value is cleared with nullopt. Set on
// the upload thread, read on the main thread: every access is locked and
// hands out a copy.
class TallyAdProperties {
public:
    static void setBannerRefreshInSeconds(std::optional<std::int64_t> value);
    static void setCacheUpdateTimestamp(std::optional<std::int64_t> value);
    static void setPortraitAdsMaxShown(std::optional<std::int64_t> value);
    static void setLandscapeAdsMaxShown(std::optional<std::int64_t> value);
    static void setPortraitAdsShownAtStart(std::optional<double> value);
    static void setLandscapeAdsShownAtStart(std::optional<double> value);

    [[nodiscard]] static std::uint32_t getBannerRefreshInSeconds(); // 20
    [[nodiscard]] static std::int64_t getCacheUpdateTimestamp(); // 0
    [[nodiscard]] static std::int32_t getPortraitAdsMaxShown(); // 5
    [[nodiscard]] static std::int32_t getLandscapeAdsMaxShown(); // 3
    [[nodiscard]] static float getPortraitAdsShownAtStart(); // 2.5
    [[nodiscard]] static float getLandscapeAdsShownAtStart(); // 0.75

    // Clears all six settings.
    static void resetForTesting();
};

// Which ad ids each parent view shows, and the banner each parent holds per
// hook. Parents are named by their description. Replaced, empty, at each
// session start.
class TallyAdAssignment {
public:
    static std::shared_ptr<TallyAdAssignment> createInstance();
    // nullptr until something has created the shared instance.
    [[nodiscard]] static std::shared_ptr<TallyAdAssignment> instance();
    static std::shared_ptr<TallyAdAssignment> recreateInstance();
    static void resetForTesting();

    // The ad, or nullptr when the parent already shows an ad of that id. An
    // ad without a parent is always accepted and nothing is recorded.
    [[nodiscard]] std::shared_ptr<TallyAd> assignAd(std::shared_ptr<TallyAd> ad,
                                                    const std::optional<std::string> &parentName);
    void removeAd(const TallyAd &ad, const std::optional<std::string> &parentName);
    void removeAdsOnParentName(const std::optional<std::string> &parentName);

    // A hook that already holds a banner keeps it.
    void assignBanner(std::shared_ptr<void> banner, const std::optional<std::string> &hook,
                      const std::optional<std::string> &parentName);
    [[nodiscard]] std::shared_ptr<void> assignedBanner(const std::optional<std::string> &hook,
                                                       const std::optional<std::string> &parentName) const;
    void unassignBanner(const std::optional<std::string> &hook, const std::optional<std::string> &parentName);

private:
    mutable std::mutex mMutex;
    std::map<std::string, std::set<std::int64_t>> mAdAssignmentMap;
    std::map<std::string, std::map<std::string, std::shared_ptr<void>>> mBannerAssignmentMap;
};

} // namespace tally

#endif // TALLY_TALLY_AD_SERVING_H
