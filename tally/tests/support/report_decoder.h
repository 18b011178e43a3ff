// An independent reader of the analytics report, written from the report
// tables alone (it shares no code with the library), for the test server.
#ifndef TALLY_TESTS_REPORT_DECODER_H
#define TALLY_TESTS_REPORT_DECODER_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace reporttest {

struct Event {
    std::string name;
    std::vector<std::pair<std::string, std::string>> parameters;
    std::int64_t startOffset = 0;
    std::int64_t duration = 0;
};

struct Error {
    std::int64_t time = 0;
    std::string id, message, exception;
};

struct Impression {
    std::string hook;
    std::int8_t format = 0;
    std::int64_t adId = 0, canvasId = 0;
    std::string cookie;
    std::vector<std::pair<std::uint8_t, std::int64_t>> states; // code, time
};

struct Session {
    std::uint16_t recordVersion = 0;
    std::string appVersion;
    std::int64_t startTime = 0;
    std::int64_t length = 0;
    std::int64_t pausedTime = 0;
    std::string locale, timeZone;
    bool internetAvailable = false;
    std::string userId;
    bool constant = false;
    double latitude = 0, longitude = 0;
    float accuracy = 0;
    std::int32_t pageViews = 0;
    std::int8_t gender = 0;
    bool ageKnown = false;
    std::int64_t birthYear = 0;
    std::vector<std::pair<std::string, std::int32_t>> eventCounts;
    std::vector<Event> events;
    bool eventLogComplete = false;
    std::int32_t totalErrors = 0;
    std::vector<Error> errors;
    std::uint16_t adImpressionCount = 0;
    std::vector<Impression> impressions;

    [[nodiscard]] std::int32_t countOf(const std::string &name) const;
    [[nodiscard]] bool hasEvent(const std::string &name) const;
};

struct Report {
    std::uint16_t protocolVersion = 0;
    std::uint16_t adsRequested = 0;
    std::int64_t adCacheTimestamp = 0;
    std::vector<std::pair<std::uint8_t, std::int64_t>> cachedItems;
    std::uint16_t platform = 0;
    std::uint16_t agentVersion = 0;
    std::int64_t reportTime = 0;
    std::string apiKey, appVersion;
    std::uint16_t idType = 0;
    std::string id; // the text (type 0) or the raw bytes (type 1)
    std::int64_t initialTimestamp = 0;
    std::int64_t sessionTimestamp = 0;
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<Session> sessions;
};

// nullopt (and a reason) when the bytes are not one whole report.
[[nodiscard]] std::optional<Report> decodeReport(const std::string &bytes, std::string *error = nullptr);
// One session record on its own.
[[nodiscard]] std::optional<Session> decodeSessionRecord(const std::string &bytes, std::string *error = nullptr);

} // namespace reporttest

#endif // TALLY_TESTS_REPORT_DECODER_H
