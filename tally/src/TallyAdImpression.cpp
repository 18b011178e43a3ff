#include "tally/TallyAdImpression.h"

#include "platform/date.h"
#include "platform/keyed_archive.h"
#include "tally/TallyProtocolData.h"
#include "tally/TallySession.h"
#include "tally/TallyUtil.h"

#include <limits>
#include <utility>

namespace tally {
namespace {

// The record counts states in 16 bits.
constexpr std::size_t kMaxStates = std::numeric_limits<std::uint16_t>::max();

} // namespace

std::int64_t TallyAdImpression::currentSessionTime()
{
    const auto session = TallySession::currentSession();
    if (!session)
        return 0;
    return TallyProtocolData::timeIntervalFrom(session->startTime(), platform::currentDate());
}

std::shared_ptr<TallyAdImpression> TallyAdImpression::initWithHook(const std::string &hook, std::int8_t adFormat)
{
    auto impression = std::make_shared<TallyAdImpression>();
    // The session's lock is taken before an impression's, never after.
    const std::int64_t now = currentSessionTime();
    {
        std::lock_guard lock(impression->mMutex);
        impression->mTimeIntervalSinceSessionStart = now;
        impression->mHook = hook;
        impression->mAdFormat = adFormat;
        impression->mAdStates.push_back({1, impression->mTimeIntervalSinceSessionStart});
    }
    impression->record();
    return impression;
}

void TallyAdImpression::record()
{
    if (const auto session = TallySession::currentSession())
        session->recordAdImpression(shared_from_this());
}

void TallyAdImpression::updateWithAd(const TallyAd &ad)
{
    const std::int64_t now = currentSessionTime();
    {
        std::lock_guard lock(mMutex);
        mAdId = ad.adId;
        mCanvasId = ad.canvasId;
        mAdCookie = ad.adCookie;
        if (mAdStates.size() < kMaxStates)
            mAdStates.push_back({2, now});
    }
    record();
}

void TallyAdImpression::updateWithResult(std::int32_t state)
{
    const std::int64_t now = currentSessionTime();
    {
        std::lock_guard lock(mMutex);
        if (mAdStates.size() < kMaxStates)
            mAdStates.push_back({state, now});
    }
    record();
}

std::int32_t TallyAdImpression::currentState() const
{
    std::lock_guard lock(mMutex);
    return mAdStates.empty() ? 0 : mAdStates.back().state;
}

std::vector<TallyAdState> TallyAdImpression::adStates() const
{
    std::lock_guard lock(mMutex);
    return mAdStates;
}

std::int8_t TallyAdImpression::adFormat() const
{
    std::lock_guard lock(mMutex);
    return mAdFormat;
}

std::string TallyAdImpression::hook() const
{
    std::lock_guard lock(mMutex);
    return mHook;
}

std::optional<std::int64_t> TallyAdImpression::adId() const
{
    std::lock_guard lock(mMutex);
    return mAdId;
}

std::int64_t TallyAdImpression::timeIntervalSinceSessionStart() const
{
    std::lock_guard lock(mMutex);
    return mTimeIntervalSinceSessionStart;
}

Bytes TallyAdImpression::data() const
{
    using P = TallyProtocolData;
    std::lock_guard lock(mMutex);
    Bytes out;
    const Bytes noCookie;
    const Bytes &cookie = mAdCookie ? *mAdCookie : noCookie;
    tallyDebug([&] {
        return cat("Tally: Impression hook[", mHook, "] adFormat[", mAdFormat, "] adId[", mAdId.value_or(0),
                   "] canvasId[", mCanvasId.value_or(0), "] adCookie[",
                   P::validUtf8(std::string(cookie.begin(), cookie.end())), "]");
    });
    P::appendString(mHook, out);
    P::appendByte(mAdFormat, out);
    P::appendLong(mAdId.value_or(0), out);
    P::appendLong(mCanvasId.value_or(0), out);
    P::appendTinyData(std::span(cookie).first(std::min<std::size_t>(cookie.size(), 255)), out);
    P::appendUshort(static_cast<std::uint16_t>(mAdStates.size()), out);
    for (const auto &state : mAdStates) {
        tallyDebug([&] {
            return cat("Tally: adState[", state.state, "] sessionOffset[", state.timeIntervalSinceSessionStart, "]");
        });
        P::appendByte(static_cast<std::int8_t>(state.state), out);
        P::appendLong(state.timeIntervalSinceSessionStart, out);
    }
    return out;
}

platform::PlistValue TallyAdImpression::encodeWithCoder() const
{
    std::lock_guard lock(mMutex);
    platform::KeyedArchiver coder("TallyAdImpression");
    coder.encodeDouble("timeIntervalSinceSessionStart", static_cast<double>(mTimeIntervalSinceSessionStart));
    coder.encodeObject("hook", mHook);
    if (mAdId)
        coder.encodeObject("adId", *mAdId);
    if (mCanvasId)
        coder.encodeObject("canvasId", *mCanvasId);
    if (mAdCookie)
        coder.encodeObject("adCookie", platform::PlistData(*mAdCookie));
    if (mAdResult)
        coder.encodeObject("adResult", *mAdResult);
    coder.encodeObject("adFormat", std::int64_t{mAdFormat});
    platform::PlistArray states;
    for (const auto &state : mAdStates)
        states.push_back(state.encodeWithCoder());
    coder.encodeObject("adStates", std::move(states));
    return platform::PlistValue(coder.take());
}

std::shared_ptr<TallyAdImpression> TallyAdImpression::initWithCoder(const platform::PlistValue &archived)
{
    const platform::KeyedUnarchiver coder(archived, "TallyAdImpression");
    auto impression = std::make_shared<TallyAdImpression>();
    auto &i = *impression;
    i.mTimeIntervalSinceSessionStart = truncatedMillis(coder.decodeDouble("timeIntervalSinceSessionStart"));
    i.mHook = coder.decodeObjectOf<std::string>("hook").value_or(std::string());
    i.mAdId = coder.decodeObjectOf<std::int64_t>("adId");
    i.mCanvasId = coder.decodeObjectOf<std::int64_t>("canvasId");
    i.mAdCookie = coder.decodeObjectOf<platform::PlistData>("adCookie");
    if (i.mAdCookie && i.mAdCookie->size() > 255)
        throw platform::ArchiveError("TallyAdImpression: cookie too long");
    i.mAdResult = coder.decodeObjectOf<std::int64_t>("adResult");
    const auto format = coder.decodeObjectOf<std::int64_t>("adFormat");
    if (!format)
        tallyDebug(
            [] { return std::string("Tally: Impression adFormat unknown in initWithCoder, using unknown adFormat"); });
    if (format && !std::in_range<std::int8_t>(*format))
        throw platform::ArchiveError("TallyAdImpression: bad adFormat");
    i.mAdFormat = static_cast<std::int8_t>(format.value_or(kAdFormatUnknown));
    if (const auto states = coder.decodeObjectOf<platform::PlistArray>("adStates")) {
        if (states->size() > kMaxStates)
            throw platform::ArchiveError("TallyAdImpression: too many states");
        for (const auto &state : *states)
            i.mAdStates.push_back(TallyAdState::initWithCoder(state));
    } else {
        tallyDebug([] { return std::string("Tally: Impression adState is null in initWithCoder, creating adStates"); });
    }
    if (i.mAdStates.empty()) {
        // An older record kept only its last result, in the old numbering.
        const auto result = i.mAdResult.value_or(0);
        const auto old = std::in_range<std::int32_t>(result) ? static_cast<std::int32_t>(result) : -1;
        if (old > 0)
            i.mAdStates.push_back({TallyAdState::translateAdStateFromOldToNew(0), i.mTimeIntervalSinceSessionStart});
        i.mAdStates.push_back({TallyAdState::translateAdStateFromOldToNew(old), i.mTimeIntervalSinceSessionStart});
    }
    return impression;
}

} // namespace tally
