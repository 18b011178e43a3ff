// One analytics session, the stored sessions waiting to be reported, and the
// binary report that carries them to the analytics service.
//
// Threads: the application's thread changes the current session while a
// sending thread builds reports from it and updates the stored sessions.
// Every session and every stored-session file operation therefore runs under
// one class-wide (recursive) lock; the HTTP exchange itself runs without it.
#ifndef TALLY_TALLY_SESSION_H
#define TALLY_TALLY_SESSION_H

#include "platform/digest.h"
#include "tally/TallyEvent.h"
#include "tally/TallyProtocolData.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tally {

inline constexpr int MAX_EVENT_COUNTS = 100;
inline constexpr int MAX_EVENT_LOG_COUNT = 1000;
inline constexpr int MAX_EVENT_PARAMETERS = 10;
inline constexpr int MAX_ERRORS = 10;
inline constexpr int MAX_IMPRESSIONS = 1000;
inline constexpr int MAX_SESSIONS = 50;

inline constexpr std::uint16_t kTallyProtocolVersion = 15;
inline constexpr std::uint16_t kTallyPlatform = 2;
inline constexpr std::uint16_t kTallyAgentVersion = 42;

struct TallyErrorEntry {
    Date time;
    std::string errorId;
    std::string message;
    std::string exceptionText;
};

// What an error object reports about itself.
struct TallyError {
    std::string localizedDescription;
    std::string localizedFailureReason;
};

// What the reply to a report that decides the stored sessions' fate (the one
// sent without the short time-out) did to them, for tools that watch.
struct TallyReportOutcome {
    bool accepted = false;        // the service took the report
    std::vector<Bytes> forgotten; // stored records removed for it, on disk
};

class TallySession;
class TallyAdImpression;
// A report is built from live sessions and finished records alike.
using TallyReportItem = std::variant<std::shared_ptr<TallySession>, Bytes>;

class TallySession {
public:
    // --- the current session ---
    static std::shared_ptr<TallySession> createActiveTallySession(const std::string &apiKey);
    [[nodiscard]] static std::shared_ptr<TallySession> currentSession();
    [[nodiscard]] static std::string getAgentVersion();
    [[nodiscard]] static std::string phoneID();
    [[nodiscard]] static platform::Sha1Digest tallyID();
    [[nodiscard]] static platform::Sha1Digest hashData(std::span<const std::uint8_t> data);
    [[nodiscard]] static std::string hashDataToHexString(std::span<const std::uint8_t> bytes);
    // The machine's memory in megabytes (rounded down; at most INT32_MAX)
    // and its processor's nominal clock in Hz (at most UINT32_MAX); 0 when
    // the system does not say.
    [[nodiscard]] static std::int32_t deviceMemory();
    [[nodiscard]] static std::uint32_t deviceCPUFrequency();
    // A coordinate cut (toward zero) to three decimals.
    [[nodiscard]] static double reduceLocationPrecision(double coordinate);
    // The class-wide lock over sessions and their files.
    [[nodiscard]] static std::recursive_mutex &classLock();

    TallySession(std::string apiKey, std::string appVersion);
    // Creates the session and writes it to the current-session file.
    static std::shared_ptr<TallySession> initWithAPIKey(const std::string &apiKey, const std::string &appVersion);

    void pauseSession();
    void resumeSession();
    void endSession();
    void endSessionAndSend(bool send, bool removeCurrentSession);
    void saveSession();

    void recordEvent(const std::string &name, const std::optional<TallyParameters> &parameters, bool timed);
    // An event that is not timed.
    void recordEvent(const std::string &name, const std::optional<TallyParameters> &parameters);
    void endTimedEvent(const std::string &name, const std::optional<TallyParameters> &parameters);
    void endTimedEvents();
    void recordError(const std::string &errorId, const std::string &message, const std::exception *exception);
    // Keeps the impression (once per object) up to MAX_IMPRESSIONS.
    void recordAdImpression(const std::shared_ptr<TallyAdImpression> &impression);
    [[nodiscard]] std::vector<std::shared_ptr<TallyAdImpression>> adLog() const;
    void recordError(const std::string &errorId, const std::string &message, const TallyError *error);
    void recordErrorWithExceptionString(const std::string &errorId, const std::string &message,
                                        const std::string &exceptionString);
    void maybeIncrementPageView();
    void setUserID(const std::string &userID);
    [[nodiscard]] std::string userID() const;
    void setGender(const std::string &gender);
    void setAge(int age);
    void setEventLoggingEnabled(bool enabled);

    // -1 while there is no end time.
    [[nodiscard]] std::int64_t sessionLength() const;
    [[nodiscard]] std::int64_t timeIntervalSinceSessionStart(const Date &date) const;

    // This session's report record.
    [[nodiscard]] Bytes data() const;
    // Writes the session to the current-session file; false when the write
    // failed (said once per session on the console), or when the file still
    // holds an earlier session that the stored list could not take yet.
    bool saveToDisk();
    // Whether the latest write of this session reached the disk.
    [[nodiscard]] bool lastSaveSucceeded() const;

    [[nodiscard]] platform::PlistValue encodeWithCoder();
    // nullptr for an archive of another version; throws platform::ArchiveError
    // for a damaged one.
    [[nodiscard]] static std::shared_ptr<TallySession> initWithCoder(const platform::PlistValue &archived);

    // --- stored sessions ---
    [[nodiscard]] static std::string sessionsFilePath();
    [[nodiscard]] static std::string currentSessionFilePath();
    [[nodiscard]] static std::string sessionSentFilePath();
    [[nodiscard]] static std::string initialTimestampFilePath();
    // The finished session records, oldest first. A damaged file is moved
    // aside (".damaged") and read as empty, so later sessions are not lost.
    // Each record is checked as it is read (TallyProtocolData::
    // isValidSessionRecord); those that fail leave the list for a file
    // beside it (".rejected") and are never sent.
    [[nodiscard]] static std::vector<Bytes> savedSessions();
    // False when the file could not be written.
    static bool setSavedSessions(const std::vector<Bytes> &sessions);
    static void addToSavedSessions(const TallySession &session);
    // False when the record could not be written, which the caller says
    // (a record that fails its check goes to the ".rejected" file instead).
    static bool addRecordToSavedSessions(const Bytes &record);
    static void removeOldSessionsIfNecessary(std::vector<Bytes> &sessions);
    // Removes these records (each once, by content) from the stored list;
    // returns those that went, or nothing when the list could not be written.
    static std::vector<Bytes> removeSentSessions(const std::vector<Bytes> &sent);
    // Called on the sending thread after each report whose reply decides.
    static void setReportObserver(std::function<void(const TallyReportOutcome &)> observer);
    static void setMaxSessions(int maxSessions);
    [[nodiscard]] static int maxSessions();
    [[nodiscard]] static bool sentSession();
    static void setSentSession();
    [[nodiscard]] static Date initialTimestamp();
    // The stable 32-bit hash of the API key that names the files.
    [[nodiscard]] static std::int32_t apiKeyHash(const std::string &apiKey);

    // --- the report ---
    [[nodiscard]] static Bytes dataForSessions(const std::vector<TallyReportItem> &sessions, bool requestAds = true);
    static void sendSessionsToServerWithTimeout(bool withTimeout, bool useWebView, bool requestAds,
                                                bool sendCurrentSession);
    static void sendSessionsToServerForSessionPause();
    static void sendSessionsToServerForEndOfSession();
    static void sendSessionsToServerForAppShowcase();
    // The stored sessions alone, with the short time-out and the web-view
    // flag, asking for no ads.
    static void sendSessionsToServerForAdditionalInfo();
    // Runs `work` on a thread of its own; joinSenderThreads() waits for all.
    static void startSenderThread(std::function<void()> work);
    static void joinSenderThreads();
    // Forgets the current session and the class-wide key (between tests and runs).
    static void resetForTesting();

    // --- fields ---
    [[nodiscard]] Date startTime() const;
    [[nodiscard]] std::optional<Date> endTime() const;
    void setEndTime(std::optional<Date> endTime);
    [[nodiscard]] std::optional<Date> pauseTime() const;
    [[nodiscard]] std::int64_t totalPauseIntervalMillis() const;
    [[nodiscard]] std::string apiKey() const;
    [[nodiscard]] std::string appVersion() const;
    void setAppVersion(std::string appVersion);
    [[nodiscard]] std::int32_t pageViewCount() const;
    void setPageViewCount(std::int32_t count);
    [[nodiscard]] bool internetAvailable() const;
    void setInternetAvailable(bool value);
    [[nodiscard]] bool crashed() const;
    void setCrashed(bool value);
    [[nodiscard]] bool sessionReportsOnCloseEnabled() const;
    void setSessionReportsOnCloseEnabled(bool value);
    [[nodiscard]] bool sessionReportsOnPauseEnabled() const;
    void setSessionReportsOnPauseEnabled(bool value);
    [[nodiscard]] bool eventLoggingEnabled() const;
    [[nodiscard]] std::map<std::string, std::int32_t> eventCounts() const;
    [[nodiscard]] std::vector<TallyEvent> eventLog() const;
    [[nodiscard]] bool eventLogComplete() const;
    [[nodiscard]] std::vector<TallyErrorEntry> errors() const;
    [[nodiscard]] std::int32_t totalErrorCount() const;
    [[nodiscard]] std::int32_t gender() const;
    [[nodiscard]] std::optional<Date> age() const;
    [[nodiscard]] std::string locale() const;
    [[nodiscard]] std::string timeZone() const;
    [[nodiscard]] std::int32_t serializationVersion() const;

private:
    std::int32_t mSerializationVersion = 0;
    Date mStartTime;
    std::optional<Date> mEndTime;
    std::optional<Date> mPauseTime;
    std::int64_t mTotalPauseIntervalMillis = 0;
    double mLatitude = 0.0;
    double mLongitude = 0.0;
    float mAccuracy = 0.0f;
    bool mCrashed = false;
    std::string mApiKey;
    std::string mAppVersion;
    std::optional<std::string> mUserID;
    std::map<std::string, std::int32_t> mEventCounts;
    std::vector<TallyEvent> mEventLog;
    bool mEventLogComplete = true;
    std::vector<TallyErrorEntry> mErrors;
    std::vector<std::shared_ptr<TallyAdImpression>> mAdLog;
    std::int32_t mTotalErrorCount = 0;
    bool mEventLoggingEnabled = true;
    bool mSessionReportsOnCloseEnabled = true;
    bool mSessionReportsOnPauseEnabled = false;
    std::int32_t mPageViewCount = 0;
    std::string mLocale;
    std::string mTimeZone;
    bool mInternetAvailable = true;
    std::int32_t mGender = -1;
    std::optional<Date> mAge;
    // Not archived: the state of this session's file writes in this process.
    bool mLastSaveSucceeded = false;
    bool mSaveFailureLogged = false;
};

} // namespace tally

#endif // TALLY_TALLY_SESSION_H
