#include "tally/TallyAdServing.h"

#include "tally/TallyUtil.h"

#include <cstdio>

namespace tally {
namespace {

struct Properties {
    std::optional<std::int64_t> bannerRefreshInSeconds;
    std::optional<std::int64_t> cacheUpdateTimestamp;
    std::optional<std::int64_t> portraitAdsMaxShown;
    std::optional<std::int64_t> landscapeAdsMaxShown;
    std::optional<double> portraitAdsShownAtStart;
    std::optional<double> landscapeAdsShownAtStart;
};

std::mutex gPropertiesMutex;
Properties gProperties;

std::string describe(const std::optional<std::int64_t> &value)
{
    return value ? std::to_string(*value) : "(null)";
}

std::string describe(const std::optional<double> &value)
{
    if (!value)
        return "(null)";
    char text[64];
    std::snprintf(text, sizeof text, "%g", *value);
    return text;
}

template <typename T>
void setProperty(std::optional<T> Properties::*field, std::optional<T> value, const char *name)
{
    {
        std::lock_guard lock(gPropertiesMutex);
        gProperties.*field = value;
    }
    tallyDebug([&] { return cat("Tally: Set ", name, "[", describe(value), "]"); });
}

template <typename T>
std::optional<T> getProperty(std::optional<T> Properties::*field, const char *name)
{
    std::optional<T> value;
    {
        std::lock_guard lock(gPropertiesMutex);
        value = gProperties.*field;
    }
    tallyDebug([&] { return cat("Tally: Use ", name, value ? " property" : " default"); });
    return value;
}

std::mutex gAssignmentMutex;
std::shared_ptr<TallyAdAssignment> gAssignment;

} // namespace

void TallyAdProperties::setBannerRefreshInSeconds(std::optional<std::int64_t> value)
{
    setProperty(&Properties::bannerRefreshInSeconds, value, "BannerRefreshInSeconds");
}
void TallyAdProperties::setCacheUpdateTimestamp(std::optional<std::int64_t> value)
{
    setProperty(&Properties::cacheUpdateTimestamp, value, "CacheUpdateTimestamp");
}
void TallyAdProperties::setPortraitAdsMaxShown(std::optional<std::int64_t> value)
{
    setProperty(&Properties::portraitAdsMaxShown, value, "PortraitAdsMaxShown");
}
void TallyAdProperties::setLandscapeAdsMaxShown(std::optional<std::int64_t> value)
{
    setProperty(&Properties::landscapeAdsMaxShown, value, "LandscapeAdsMaxShown");
}
void TallyAdProperties::setPortraitAdsShownAtStart(std::optional<double> value)
{
    setProperty(&Properties::portraitAdsShownAtStart, value, "PortraitAdsShownAtStart");
}
void TallyAdProperties::setLandscapeAdsShownAtStart(std::optional<double> value)
{
    setProperty(&Properties::landscapeAdsShownAtStart, value, "LandscapeAdsShownAtStart");
}

std::uint32_t TallyAdProperties::getBannerRefreshInSeconds()
{
    const auto value = getProperty(&Properties::bannerRefreshInSeconds, "BannerRefreshInSeconds");
    const auto result = value ? static_cast<std::uint32_t>(*value) : 20U;
    tallyDebug([&] { return cat("Tally: Get BannerRefreshInSeconds[", static_cast<std::int32_t>(result), "]"); });
    return result;
}

std::int64_t TallyAdProperties::getCacheUpdateTimestamp()
{
    const auto result = getProperty(&Properties::cacheUpdateTimestamp, "CacheUpdateTimestamp").value_or(0);
    tallyDebug([&] { return cat("Tally: Get CacheUpdateTimestamp[", result, "]"); });
    return result;
}

std::int32_t TallyAdProperties::getPortraitAdsMaxShown()
{
    const auto value = getProperty(&Properties::portraitAdsMaxShown, "PortraitAdsMaxShown");
    const auto result = value ? static_cast<std::int32_t>(*value) : 5;
    tallyDebug([&] { return cat("Tally: Get PortraitAdsMaxShown[", result, "]"); });
    return result;
}

std::int32_t TallyAdProperties::getLandscapeAdsMaxShown()
{
    const auto value = getProperty(&Properties::landscapeAdsMaxShown, "LandscapeAdsMaxShown");
    const auto result = value ? static_cast<std::int32_t>(*value) : 3;
    tallyDebug([&] { return cat("Tally: Get LandscapeAdsMaxShown[", result, "]"); });
    return result;
}

float TallyAdProperties::getPortraitAdsShownAtStart()
{
    const auto value = getProperty(&Properties::portraitAdsShownAtStart, "PortraitAdsShownAtStart");
    const float result = value ? static_cast<float>(*value) : 2.5F;
    tallyDebug(
        [&] { return cat("Tally: Get PortraitAdsShownAtStart[", describe(std::optional<double>(result)), "]"); });
    return result;
}

float TallyAdProperties::getLandscapeAdsShownAtStart()
{
    const auto value = getProperty(&Properties::landscapeAdsShownAtStart, "LandscapeAdsShownAtStart");
    const float result = value ? static_cast<float>(*value) : 0.75F;
    tallyDebug(
        [&] { return cat("Tally: Get LandscapeAdsShownAtStart[", describe(std::optional<double>(result)), "]"); });
    return result;
}

void TallyAdProperties::resetForTesting()
{
    std::lock_guard lock(gPropertiesMutex);
    gProperties = {};
}

std::shared_ptr<TallyAdAssignment> TallyAdAssignment::createInstance()
{
    std::lock_guard lock(gAssignmentMutex);
    if (!gAssignment)
        gAssignment = std::make_shared<TallyAdAssignment>();
    return gAssignment;
}

std::shared_ptr<TallyAdAssignment> TallyAdAssignment::instance()
{
    std::lock_guard lock(gAssignmentMutex);
    return gAssignment;
}

std::shared_ptr<TallyAdAssignment> TallyAdAssignment::recreateInstance()
{
    tallyDebug([] { return std::string("Tally: recreate TallyAdAssignment"); });
    // The old registry goes outside the lock: the banners it held may ask
    // for the instance as they go.
    std::shared_ptr<TallyAdAssignment> old;
    {
        std::lock_guard lock(gAssignmentMutex);
        old = std::move(gAssignment);
        gAssignment.reset();
    }
    old.reset();
    return createInstance();
}

void TallyAdAssignment::resetForTesting()
{
    std::shared_ptr<TallyAdAssignment> old;
    {
        std::lock_guard lock(gAssignmentMutex);
        old = std::move(gAssignment);
        gAssignment.reset();
    }
}

std::shared_ptr<TallyAd> TallyAdAssignment::assignAd(std::shared_ptr<TallyAd> ad,
                                                     const std::optional<std::string> &parentName)
{
    if (!parentName || !ad)
        return ad;
    // An ad without an id has nothing to be told apart by: it is accepted.
    if (!ad->adId)
        return ad;
    std::lock_guard lock(mMutex);
    auto &shown = mAdAssignmentMap[*parentName];
    tallyDebug(
        [&] { return cat("Tally: Num of assigned ads[", shown.size(), "] found for parent[", *parentName, "]"); });
    if (!shown.insert(*ad->adId).second) {
        tallyDebug([&] { return cat("Tally: Cannot assign ad[", *ad->adId, "] to parent[", *parentName, "]"); });
        return nullptr;
    }
    tallyDebug([&] { return cat("Tally: Assign ad[", *ad->adId, "] to parent[", *parentName, "]"); });
    return ad;
}

void TallyAdAssignment::removeAd(const TallyAd &ad, const std::optional<std::string> &parentName)
{
    if (!parentName || !ad.adId)
        return;
    std::lock_guard lock(mMutex);
    const auto it = mAdAssignmentMap.find(*parentName);
    if (it == mAdAssignmentMap.end())
        return;
    it->second.erase(*ad.adId);
    tallyDebug([&] { return cat("Tally: Remove assigned ad[", *ad.adId, "] on parent[", *parentName, "]"); });
}

void TallyAdAssignment::removeAdsOnParentName(const std::optional<std::string> &parentName)
{
    if (!parentName)
        return;
    std::lock_guard lock(mMutex);
    mAdAssignmentMap[*parentName].clear();
    tallyDebug([&] { return cat("Tally: Remove assigned ads on parent[", *parentName, "]"); });
}

void TallyAdAssignment::assignBanner(std::shared_ptr<void> banner, const std::optional<std::string> &hook,
                                     const std::optional<std::string> &parentName)
{
    if (!banner || !hook || !parentName)
        return;
    std::lock_guard lock(mMutex);
    auto &banners = mBannerAssignmentMap[*parentName];
    tallyDebug([&] {
        return cat("Tally: Num of assigned banners[", banners.size(), "] found for parent[", *parentName, "]");
    });
    if (banners.emplace(*hook, std::move(banner)).second) {
        tallyDebug([&] { return cat("Tally: Assign banner to hook[", *hook, "] and parent[", *parentName, "]"); });
    }
}

std::shared_ptr<void> TallyAdAssignment::assignedBanner(const std::optional<std::string> &hook,
                                                        const std::optional<std::string> &parentName) const
{
    if (!hook || !parentName)
        return nullptr;
    std::lock_guard lock(mMutex);
    const auto parent = mBannerAssignmentMap.find(*parentName);
    if (parent == mBannerAssignmentMap.end())
        return nullptr;
    const auto banner = parent->second.find(*hook);
    return banner == parent->second.end() ? nullptr : banner->second;
}

void TallyAdAssignment::unassignBanner(const std::optional<std::string> &hook,
                                       const std::optional<std::string> &parentName)
{
    if (!hook || !parentName)
        return;
    // The banner is let go outside the lock: it tells this registry of its
    // ad as it goes.
    std::shared_ptr<void> banner;
    {
        std::lock_guard lock(mMutex);
        const auto parent = mBannerAssignmentMap.find(*parentName);
        if (parent == mBannerAssignmentMap.end())
            return;
        const auto it = parent->second.find(*hook);
        if (it == parent->second.end())
            return;
        banner = std::move(it->second);
        parent->second.erase(it);
    }
}

} // namespace tally
