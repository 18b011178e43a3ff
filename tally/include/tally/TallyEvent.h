// One logged analytics event: its name, parameters, start and, for a timed
// event, its end.
#ifndef TALLY_TALLY_EVENT_H
#define TALLY_TALLY_EVENT_H

#include "tally/TallyProtocolData.h"

#include <map>
#include <optional>
#include <string>

namespace tally {

// Parameter names to their texts; enumerated in key order.
using TallyParameters = std::map<std::string, std::string>;

class TallyEvent {
public:
    explicit TallyEvent(std::string name, bool timed = false, std::optional<TallyParameters> parameters = {});

    // Running and timed, with no end yet.
    [[nodiscard]] bool isUnterminated() const { return mTimed && !mEnded; }
    // Milliseconds from the session's start to this event's start. Kept in
    // 64 bits: a 32-bit count would wrap after 24 days.
    [[nodiscard]] std::int64_t startOffsetFromSessionStart(const Date &sessionStart) const;
    // From start to end for an ended timed event, else 0.
    [[nodiscard]] std::int64_t duration() const;
    [[nodiscard]] Bytes dataRelativeToSessionStart(const Date &sessionStart) const;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Throws platform::ArchiveError for anything but an archived event.
    [[nodiscard]] static TallyEvent initWithCoder(const platform::PlistValue &archived);

    [[nodiscard]] const std::string &name() const { return mName; }
    void setName(std::string name) { mName = std::move(name); }
    [[nodiscard]] const Date &started() const { return mStarted; }
    void setStarted(Date started) { mStarted = started; }
    [[nodiscard]] const std::optional<Date> &ended() const { return mEnded; }
    void setEnded(std::optional<Date> ended) { mEnded = ended; }
    [[nodiscard]] bool timed() const { return mTimed; }
    void setTimed(bool timed) { mTimed = timed; }
    [[nodiscard]] const std::optional<TallyParameters> &parameters() const { return mParameters; }
    void setParameters(std::optional<TallyParameters> parameters) { mParameters = std::move(parameters); }
    [[nodiscard]] bool automaticallyEnded() const { return mAutomaticallyEnded; }
    void setAutomaticallyEnded(bool value) { mAutomaticallyEnded = value; }

private:
    std::string mName;
    Date mStarted;
    std::optional<Date> mEnded;
    bool mTimed = false;
    bool mAutomaticallyEnded = false;
    std::optional<TallyParameters> mParameters;
};

} // namespace tally

#endif // TALLY_TALLY_EVENT_H
