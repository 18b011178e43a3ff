#include "tally/TallyEvent.h"

#include "platform/date.h"
#include "platform/keyed_archive.h"
#include "tally/TallyUtil.h"

namespace tally {

TallyEvent::TallyEvent(std::string name, bool timed, std::optional<TallyParameters> parameters)
    : mName(std::move(name)), mStarted(platform::currentDate()), mTimed(timed), mParameters(std::move(parameters))
{
}

std::int64_t TallyEvent::startOffsetFromSessionStart(const Date &sessionStart) const
{
    return TallyProtocolData::timeIntervalFrom(sessionStart, mStarted);
}

std::int64_t TallyEvent::duration() const
{
    if (!mTimed || !mEnded) return 0;
    return TallyProtocolData::timeIntervalFrom(mStarted, mEnded);
}

Bytes TallyEvent::dataRelativeToSessionStart(const Date &sessionStart) const
{
    Bytes data;
    TallyProtocolData::appendString(mName, data);
    const std::size_t count = mParameters ? mParameters->size() : 0;
    TallyProtocolData::appendUshort(static_cast<std::uint16_t>(count), data);
    if (mParameters) {
        for (const auto &entry : *mParameters) {
            TallyProtocolData::appendString(entry.first, data);
            TallyProtocolData::appendString(entry.second, data);
            tallyDebug([&] { return cat("Tally: parameter[", entry.first, "] value[", entry.second, "]"); });
        }
    }
    TallyProtocolData::appendLong(startOffsetFromSessionStart(sessionStart), data);
    TallyProtocolData::appendLong(duration(), data);
    return data;
}

platform::PlistValue TallyEvent::encodeWithCoder() const
{
    platform::KeyedArchiver coder("TallyEvent");
    coder.encodeObject("name", mName);
    coder.encodeObject("started", mStarted);
    if (mEnded) coder.encodeObject("ended", *mEnded);
    coder.encodeBool("timed", mTimed);
    if (mParameters) {
        platform::PlistDict params;
        for (const auto &[key, value] : *mParameters) params[key] = value;
        coder.encodeObject("parameters", platform::PlistValue(std::move(params)));
    }
    coder.encodeBool("automaticallyEnded", mAutomaticallyEnded);
    return platform::PlistValue(coder.take());
}

TallyEvent TallyEvent::initWithCoder(const platform::PlistValue &archived)
{
    const platform::KeyedUnarchiver coder(archived, "TallyEvent");
    TallyEvent event(coder.decodeObjectOf<std::string>("name").value_or(std::string()));
    event.setStarted(coder.decodeObjectOf<Date>("started").value_or(Date{}));
    event.setEnded(coder.decodeObjectOf<Date>("ended"));
    event.setTimed(coder.decodeBool("timed"));
    if (auto params = coder.decodeObjectOf<platform::PlistDict>("parameters")) {
        TallyParameters out;
        for (const auto &[key, value] : *params) {
            const auto *text = value.get<std::string>();
            if (text == nullptr) throw platform::ArchiveError("TallyEvent: parameter value is not a string");
            out[key] = *text;
        }
        event.setParameters(std::move(out));
    }
    event.setAutomaticallyEnded(coder.decodeBool("automaticallyEnded"));
    return event;
}

} // namespace tally
