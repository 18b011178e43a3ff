#include "tally/TallySession.h"

#include "platform/date.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/keyed_archive.h"
#include "tally/TallyAPI.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyCaches.h"
#include "tally/TallyHTTP.h"
#include "tally/TallyUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <atomic>
#include <thread>

namespace tally {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Class-wide state, guarded by TallySession::classLock().
std::shared_ptr<TallySession> gCurrentSession;
// The latest session made current, kept after it ends: a report that a
// sending thread builds just after the end still names its application.
std::shared_ptr<TallySession> gLatestSession;
std::string gClassApiKey;
std::optional<Date> gLastPageView;
std::atomic<int> gMaxSessions{MAX_SESSIONS};
// The record of an earlier session that the stored list could not take
// (a full disk): its archive is still the current-session file, which no
// later session may replace until the record is stored.
std::optional<Bytes> gHeldRecord;

std::mutex gSenderMutex;
// Never destroyed: a sender still running at exit must not meet a destroyed list.
std::vector<std::thread> &senderThreads()
{
    static auto *threads = new std::vector<std::thread>();
    return *threads;
}

std::string filePathFor(const char *newPattern, const char *oldPattern)
{
    const std::string dir = platform::libraryDirectory();
    const std::int32_t hash = TallySession::apiKeyHash(gClassApiKey);
    const std::string oldPath = cat(dir, "/", oldPattern, hash, ".archive");
    if (platform::fileExists(oldPath)) return oldPath;
    return cat(dir, "/", newPattern, hash, ".archive");
}

void moveAside(const std::string &path)
{
    const std::string aside = platform::moveFileAside(path);
    platform::consoleLog(aside.empty() ? cat("Tally: damaged archive ", path, " removed")
                                       : cat("Tally: damaged archive moved to ", aside));
}

std::function<void(const TallyReportOutcome &)> gReportObserver;

// The record a later start would make of these current-session archive
// bytes; empty when they do not decode.
Bytes recordOfArchive(std::span<const std::uint8_t> archive)
{
    try {
        if (const auto session = TallySession::initWithCoder(platform::unarchiveData(archive))) return session->data();
    } catch (const platform::ArchiveError &) {
    }
    return {};
}

// Keeps records that failed their check beside the stored sessions, the
// newest MAX_SESSIONS of them, for a look; they are never sent. False when
// they could not be written.
bool setAsideRecords(const std::vector<Bytes> &records, const std::string &storedPath)
{
    if (records.empty()) return true;
    const std::string path = cat(storedPath, ".rejected");
    platform::PlistArray kept;
    try {
        if (auto archived = platform::unarchiveObjectWithFile(path)) {
            if (auto *array = archived->get<platform::PlistArray>()) kept = std::move(*array);
        }
    } catch (const platform::ArchiveError &) {
        kept.clear(); // replaced below
    }
    for (const auto &record : records) kept.emplace_back(platform::PlistData(record));
    if (kept.size() > static_cast<std::size_t>(MAX_SESSIONS)) {
        kept.erase(kept.begin(), kept.end() - MAX_SESSIONS);
    }
    const bool saved = platform::archiveRootObjectToFile(platform::PlistValue(std::move(kept)), path);
    platform::consoleLog(cat("Tally: ", records.size(), " stored session record(s) failed their check and are not sent",
                             saved ? cat("; kept in ", path) : std::string("; they could not be kept")));
    return saved;
}

// Stores a record read from the current-session file, once: a start killed
// between storing it and replacing the file finds the same archive again.
bool storeRecordOnce(const Bytes &record)
{
    const auto stored = TallySession::savedSessions();
    return std::find(stored.begin(), stored.end(), record) != stored.end() ||
           TallySession::addRecordToSavedSessions(record);
}

// Stores the held record, if any; true when none is held any more.
bool releaseHeldRecord()
{
    if (gHeldRecord && storeRecordOnce(*gHeldRecord)) gHeldRecord.reset();
    return !gHeldRecord;
}

platform::PlistValue dateOrNull(const std::optional<Date> &date)
{
    return date ? platform::PlistValue(*date) : platform::PlistValue();
}

} // namespace

// --- the current session -------------------------------------------------

std::recursive_mutex &TallySession::classLock()
{
    static auto *lock = new std::recursive_mutex();
    return *lock;
}

std::shared_ptr<TallySession> TallySession::createActiveTallySession(const std::string &apiKey)
{
    Lock lock(classLock());
    gClassApiKey = apiKey;
    // Writes that a kill interrupted left their temporary files behind.
    const std::size_t stale = platform::removeStaleTemporaryFiles() +
                              platform::removeStaleTemporaryFiles(platform::cachesDirectory() + "/Tally");
    if (stale != 0) tallyDebug([&] { return cat("Tally: removed ", stale, " stale temporary file(s)"); });

    const std::string currentPath = currentSessionFilePath();
    gHeldRecord.reset();
    std::shared_ptr<TallySession> previous;
    bool damaged = false;
    try {
        if (const auto archived = platform::unarchiveObjectWithFile(currentPath)) previous = initWithCoder(*archived);
    } catch (...) {
        previous.reset(); // an unreadable file is no session
        damaged = true;
    }
    if (previous) {
        previous->setCrashed(true);
        gHeldRecord = previous->data();
        if (releaseHeldRecord()) {
            tallyDebug([] { return std::string("Tally: Add crashed former session"); });
        } else {
            platform::consoleLog(cat("Tally: the former session could not be stored; it stays in ", currentPath,
                                     " and this session is not saved until it is"));
        }
    } else if (damaged) {
        moveAside(currentPath);
    } else {
        platform::removeFile(currentPath);
    }
    std::string appVersion = platform::deviceFacts().bundleVersion;
    if (auto version = TallyAPI::appVersion()) appVersion = *version;
    gCurrentSession = initWithAPIKey(apiKey, appVersion);
    gLatestSession = gCurrentSession;
    return gCurrentSession;
}

std::shared_ptr<TallySession> TallySession::currentSession()
{
    Lock lock(classLock());
    return gCurrentSession;
}

std::string TallySession::getAgentVersion() { return std::to_string(kTallyAgentVersion); }

std::int32_t TallySession::deviceMemory()
{
    const std::uint64_t megabytes = platform::physicalMemoryBytes() >> 20;
    return static_cast<std::int32_t>(std::min<std::uint64_t>(megabytes, INT32_MAX));
}

std::uint32_t TallySession::deviceCPUFrequency()
{
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(platform::cpuFrequencyHz(), UINT32_MAX));
}

double TallySession::reduceLocationPrecision(double coordinate)
{
    // Through a 64-bit integer, so the cut holds for any coordinate that is
    // one (|value| <= 180); others are not cut past what a double keeps.
    if (!std::isfinite(coordinate) || std::fabs(coordinate) * 1000.0 >= 9.2e18) return coordinate;
    return static_cast<double>(static_cast<std::int64_t>(coordinate * 1000.0)) / 1000.0;
}

std::string TallySession::phoneID() { return cat("IPHONE", platform::deviceUniqueIdentifier()); }

platform::Sha1Digest TallySession::tallyID() { return platform::sha1(phoneID()); }

platform::Sha1Digest TallySession::hashData(std::span<const std::uint8_t> data) { return platform::sha1(data); }

std::string TallySession::hashDataToHexString(std::span<const std::uint8_t> bytes) { return platform::toLowerHex(bytes); }

TallySession::TallySession(std::string apiKey, std::string appVersion)
    : mStartTime(platform::currentDate()), mApiKey(std::move(apiKey)), mAppVersion(std::move(appVersion))
{
    const auto facts = platform::deviceFacts();
    mLocale = facts.localeIdentifier;
    mTimeZone = facts.timeZoneName;
}

std::shared_ptr<TallySession> TallySession::initWithAPIKey(const std::string &apiKey, const std::string &appVersion)
{
    auto session = std::make_shared<TallySession>(apiKey, appVersion);
    session->saveToDisk();
    return session;
}

void TallySession::pauseSession()
{
    Lock lock(classLock());
    mPauseTime = platform::currentDate();
    saveToDisk();
}

void TallySession::resumeSession()
{
    Lock lock(classLock());
    if (!mPauseTime) return;
    mTotalPauseIntervalMillis += TallyProtocolData::timeIntervalFrom(mPauseTime, platform::currentDate());
    mPauseTime.reset();
    saveToDisk();
}

void TallySession::endSession() { endSessionAndSend(true, true); }

void TallySession::endSessionAndSend(bool send, bool removeCurrentSession)
{
    bool sendNow = false;
    {
        Lock lock(classLock());
        mEndTime = platform::currentDate();
        endTimedEvents();
        sendNow = mSessionReportsOnCloseEnabled && send;
    }
    // The exchange runs without the lock, so a sending thread is not held up.
    if (sendNow) sendSessionsToServerForEndOfSession();
    if (removeCurrentSession) saveSession();
}

void TallySession::saveSession()
{
    Lock lock(classLock());
    if (gCurrentSession.get() != this) {
        addToSavedSessions(*this);
        return;
    }
    // The final state goes to the current-session file first, and the stored
    // record is made from those very bytes: a start that is killed before the
    // file is removed takes the same record over again, and stores it once.
    // The file goes only once the record is stored; otherwise the next start
    // finds the session there.
    const std::string currentPath = currentSessionFilePath();
    const bool fileIsOurs = releaseHeldRecord();
    const auto archive = platform::archivedData(encodeWithCoder());
    Bytes record;
    if (fileIsOurs && !archive.empty() && platform::writeFileAtomically(currentPath, archive)) {
        record = recordOfArchive(archive);
    }
    if (record.empty()) record = data();
    if (addRecordToSavedSessions(record)) {
        if (fileIsOurs) platform::removeFile(currentPath);
    } else {
        platform::consoleLog(cat("Tally: could not write the stored sessions to ", sessionsFilePath(),
                                 fileIsOurs ? cat("; the ended session stays in ", currentPath,
                                                  " until a later start stores it")
                                            : std::string("; the ended session is not kept")));
    }
    gCurrentSession.reset();
}

void TallySession::recordEvent(const std::string &name, const std::optional<TallyParameters> &parameters, bool timed)
{
    Lock lock(classLock());
    if ((parameters && parameters->size() > static_cast<std::size_t>(MAX_EVENT_PARAMETERS)) || name.empty()) {
        mEventLogComplete = false;
        tallyDebug([&] { return cat("Tally: Event eventName[", name, "] with parameters[...] not recorded"); });
        saveToDisk();
        return;
    }
    bool counted = false;
    const auto it = mEventCounts.find(name);
    if (it != mEventCounts.end()) {
        ++it->second;
        counted = true;
    } else if (mEventCounts.size() < static_cast<std::size_t>(MAX_EVENT_COUNTS)) {
        mEventCounts.emplace(name, 1);
        counted = true;
    }
    if (counted && mEventLog.size() < static_cast<std::size_t>(MAX_EVENT_LOG_COUNT) && mEventLoggingEnabled) {
        mEventLog.emplace_back(name, timed, parameters);
    } else {
        mEventLogComplete = false;
    }
    saveToDisk();
}

void TallySession::recordEvent(const std::string &name, const std::optional<TallyParameters> &parameters)
{
    recordEvent(name, parameters, false);
}

void TallySession::endTimedEvent(const std::string &name, const std::optional<TallyParameters> &parameters)
{
    Lock lock(classLock());
    const Date now = platform::currentDate();
    bool changed = false;
    for (auto &event : mEventLog) {
        if (event.isUnterminated() && event.name() == name) {
            event.setEnded(now);
            if (parameters) event.setParameters(parameters);
            changed = true;
        }
    }
    // Kept on disk like every other change, so a crash keeps the end.
    if (changed) saveToDisk();
}

void TallySession::endTimedEvents()
{
    Lock lock(classLock());
    for (auto &event : mEventLog) {
        if (event.isUnterminated() || event.automaticallyEnded()) {
            event.setEnded(mEndTime);
            event.setAutomaticallyEnded(true);
        }
    }
}

void TallySession::recordError(const std::string &errorId, const std::string &message, const std::exception *exception)
{
    const std::string text = exception != nullptr ? cat("std::exception: ", exception->what()) : std::string("nil");
    recordErrorWithExceptionString(errorId, message, text);
}

void TallySession::recordError(const std::string &errorId, const std::string &message, const TallyError *error)
{
    const std::string text = error != nullptr
                                 ? cat(error->localizedDescription, ": ", error->localizedFailureReason)
                                 : std::string("nil");
    recordErrorWithExceptionString(errorId, message, text);
}

void TallySession::recordErrorWithExceptionString(const std::string &errorId, const std::string &message,
                                                  const std::string &exceptionString)
{
    Lock lock(classLock());
    ++mTotalErrorCount;
    if (mErrors.size() < static_cast<std::size_t>(MAX_ERRORS)) {
        mErrors.push_back({platform::currentDate(), errorId, message, exceptionString});
        tallyDebug([&] { return cat("Tally: Error id[", errorId, "] updated"); });
    } else {
        tallyDebug([&] { return cat("Tally: Error id[", errorId, "] not recorded"); });
    }
    saveToDisk();
}

void TallySession::recordAdImpression(const std::shared_ptr<TallyAdImpression> &impression)
{
    if (!impression)
        return;
    Lock lock(classLock());
    if (std::find(mAdLog.begin(), mAdLog.end(), impression) == mAdLog.end()) {
        if (mAdLog.size() >= static_cast<std::size_t>(MAX_IMPRESSIONS)) {
            tallyDebug([] { return std::string("Tally: Impression not recorded because max impression is reached"); });
            return;
        }
        mAdLog.push_back(impression);
    }
    saveToDisk();
}

std::vector<std::shared_ptr<TallyAdImpression>> TallySession::adLog() const
{
    Lock lock(classLock());
    return mAdLog;
}

void TallySession::maybeIncrementPageView()
{
    Lock lock(classLock());
    const Date now = platform::currentDate();
    if (!gLastPageView || TallyProtocolData::timeIntervalFrom(gLastPageView, now) > 300) {
        ++mPageViewCount;
        gLastPageView = now;
    }
}

void TallySession::setUserID(const std::string &userID)
{
    Lock lock(classLock());
    mUserID = userID;
}

std::string TallySession::userID() const
{
    Lock lock(classLock());
    return mUserID.value_or(std::string());
}

void TallySession::setGender(const std::string &gender)
{
    Lock lock(classLock());
    mGender = gender == "m" ? 1 : gender == "f" ? 0 : -1;
}

void TallySession::setAge(int age)
{
    if (age < 1 || age > 150) return;
    Lock lock(classLock());
    const int year = platform::localCalendarDay(platform::currentDate()).year;
    mAge = platform::startOfLocalYear(year - age);
}

void TallySession::setEventLoggingEnabled(bool enabled)
{
    Lock lock(classLock());
    mEventLoggingEnabled = enabled;
}

std::int64_t TallySession::sessionLength() const
{
    Lock lock(classLock());
    if (!mEndTime) return -1;
    return TallyProtocolData::timeIntervalFrom(mStartTime, mEndTime);
}

std::int64_t TallySession::timeIntervalSinceSessionStart(const Date &date) const
{
    Lock lock(classLock());
    return TallyProtocolData::timeIntervalFrom(mStartTime, date);
}

Bytes TallySession::data() const
{
    Lock lock(classLock());
    using P = TallyProtocolData;
    Bytes data;
    P::appendUshort(static_cast<std::uint16_t>(mSerializationVersion), data);
    P::appendString(mAppVersion, data);
    P::appendTimestamp(mStartTime, data);
    P::appendLong(sessionLength(), data);
    P::appendLong(mTotalPauseIntervalMillis, data);
    P::appendString(mLocale, data);
    P::appendString(mTimeZone, data);
    P::appendBoolean(mInternetAvailable, data);
    P::appendString(mUserID.value_or(std::string()), data);
    P::appendBoolean(true, data);
    P::appendDouble(mLatitude, data);
    P::appendDouble(mLongitude, data);
    P::appendFloat(mAccuracy, data);
    P::appendInt(mPageViewCount, data);
    P::appendByte(static_cast<std::int8_t>(mGender), data);
    P::appendBoolean(mAge.has_value(), data);
    if (mAge) P::appendTimestamp(*mAge, data);
    P::appendUshort(static_cast<std::uint16_t>(mEventCounts.size()), data);
    for (const auto &[name, count] : mEventCounts) {
        P::appendString(name, data);
        P::appendInt(count, data);
    }
    P::appendUshort(static_cast<std::uint16_t>(mEventLog.size()), data);
    for (const auto &event : mEventLog) {
        const Bytes record = event.dataRelativeToSessionStart(mStartTime);
        data.insert(data.end(), record.begin(), record.end());
    }
    P::appendBoolean(mEventLogComplete, data);
    P::appendInt(mTotalErrorCount, data);
    P::appendUshort(static_cast<std::uint16_t>(mErrors.size()), data);
    for (const auto &error : mErrors) {
        P::appendTimestamp(error.time, data);
        P::appendString(error.errorId, data);
        P::appendString(error.message, data);
        P::appendString(error.exceptionText, data);
    }
    P::appendUshort(static_cast<std::uint16_t>(mAdLog.size()), data);
    for (const auto &impression : mAdLog) {
        const Bytes record = impression->data();
        data.insert(data.end(), record.begin(), record.end());
    }
    return data;
}

bool TallySession::saveToDisk()
{
    Lock lock(classLock());
    const std::string path = currentSessionFilePath();
    mLastSaveSucceeded = releaseHeldRecord() && platform::archiveRootObjectToFile(encodeWithCoder(), path);
    if (!mLastSaveSucceeded && !mSaveFailureLogged) {
        // Once per session: a full disk would otherwise repeat it for every event.
        mSaveFailureLogged = true;
        platform::consoleLog(cat("Tally: could not save the current session to ", path,
                                 "; what it records now is lost if the application stops"));
    }
    return mLastSaveSucceeded;
}

bool TallySession::lastSaveSucceeded() const
{
    Lock lock(classLock());
    return mLastSaveSucceeded;
}

platform::PlistValue TallySession::encodeWithCoder()
{
    Lock lock(classLock());
    mSerializationVersion = 1;
    platform::KeyedArchiver coder("TallySession");
    coder.encodeInt("serializationVersion", mSerializationVersion);
    coder.encodeObject("startTime", mStartTime);
    coder.encodeObject("endTime", dateOrNull(mEndTime));
    coder.encodeObject("pauseTime", dateOrNull(mPauseTime));
    coder.encodeInt64("pauseIntervalMillis", mTotalPauseIntervalMillis);
    platform::PlistDict counts;
    for (const auto &[name, count] : mEventCounts) counts[name] = std::int64_t{count};
    coder.encodeObject("eventCounts", platform::PlistValue(std::move(counts)));
    platform::PlistArray log;
    for (const auto &event : mEventLog) log.push_back(event.encodeWithCoder());
    coder.encodeObject("eventLog", platform::PlistValue(std::move(log)));
    coder.encodeBool("eventLogComplete", mEventLogComplete);
    platform::PlistArray errors;
    for (const auto &e : mErrors) {
        errors.emplace_back(platform::PlistArray{platform::PlistValue(e.time), platform::PlistValue(e.errorId),
                                                 platform::PlistValue(e.message),
                                                 platform::PlistValue(e.exceptionText)});
    }
    coder.encodeObject("errors", platform::PlistValue(std::move(errors)));
    coder.encodeInt("totalErrorCount", mTotalErrorCount);
    platform::PlistArray impressions;
    for (const auto &impression : mAdLog)
        impressions.push_back(impression->encodeWithCoder());
    coder.encodeObject("adLog", platform::PlistValue(std::move(impressions)));
    coder.encodeDouble("latitude", mLatitude);
    coder.encodeDouble("longitude", mLongitude);
    coder.encodeFloat("accuracy", mAccuracy);
    coder.encodeBool("crashed", mCrashed);
    coder.encodeObject("apiKey", mApiKey);
    coder.encodeObject("appVersion", mAppVersion);
    if (mUserID) coder.encodeObject("userID", *mUserID);
    coder.encodeInt("pageViewCount", mPageViewCount);
    coder.encodeObject("locale", mLocale);
    coder.encodeObject("timeZone", mTimeZone);
    coder.encodeBool("internetAvailable", mInternetAvailable);
    coder.encodeObject("age", dateOrNull(mAge));
    coder.encodeInt("gender", mGender);
    return platform::PlistValue(coder.take());
}

std::shared_ptr<TallySession> TallySession::initWithCoder(const platform::PlistValue &archived)
{
    const platform::KeyedUnarchiver coder(archived, "TallySession");
    const std::int32_t version = coder.decodeInt("serializationVersion");
    if (version > 0 && version != 1) return nullptr;
    auto s = std::make_shared<TallySession>(coder.decodeObjectOf<std::string>("apiKey").value_or(std::string()),
                                            coder.decodeObjectOf<std::string>("appVersion").value_or(std::string()));
    s->mSerializationVersion = version;
    s->mStartTime = coder.decodeObjectOf<Date>("startTime").value_or(Date{});
    s->mEndTime = coder.decodeObjectOf<Date>("endTime");
    s->mPauseTime = coder.decodeObjectOf<Date>("pauseTime");
    s->mTotalPauseIntervalMillis = coder.decodeInt64("pauseIntervalMillis");
    // Nothing the session records exceeds its limits: an archive that does
    // is damaged (and its record's 16-bit counts would no longer frame it).
    if (auto counts = coder.decodeObjectOf<platform::PlistDict>("eventCounts")) {
        if (counts->size() > static_cast<std::size_t>(MAX_EVENT_COUNTS)) {
            throw platform::ArchiveError("TallySession: too many event names");
        }
        for (const auto &[name, count] : *counts) {
            const auto *n = count.get<std::int64_t>();
            if (n == nullptr || *n < 0 || *n > INT32_MAX) throw platform::ArchiveError("TallySession: bad event count");
            s->mEventCounts[name] = static_cast<std::int32_t>(*n);
        }
    }
    if (auto log = coder.decodeObjectOf<platform::PlistArray>("eventLog")) {
        if (log->size() > static_cast<std::size_t>(MAX_EVENT_LOG_COUNT)) {
            throw platform::ArchiveError("TallySession: too many logged events");
        }
        for (const auto &item : *log) {
            s->mEventLog.push_back(TallyEvent::initWithCoder(item));
            const auto &parameters = s->mEventLog.back().parameters();
            if (parameters && parameters->size() > static_cast<std::size_t>(MAX_EVENT_PARAMETERS)) {
                throw platform::ArchiveError("TallySession: too many event parameters");
            }
        }
    }
    s->mEventLogComplete = coder.decodeBool("eventLogComplete");
    if (auto errors = coder.decodeObjectOf<platform::PlistArray>("errors")) {
        if (errors->size() > static_cast<std::size_t>(MAX_ERRORS)) throw platform::ArchiveError("TallySession: too many errors");
        for (const auto &item : *errors) {
            const auto *entry = item.get<platform::PlistArray>();
            if (entry == nullptr || entry->size() != 4) throw platform::ArchiveError("TallySession: bad error entry");
            const auto *time = (*entry)[0].get<Date>();
            const auto *id = (*entry)[1].get<std::string>();
            const auto *message = (*entry)[2].get<std::string>();
            const auto *text = (*entry)[3].get<std::string>();
            if (!time || !id || !message || !text) throw platform::ArchiveError("TallySession: bad error entry");
            s->mErrors.push_back({*time, *id, *message, *text});
        }
    }
    s->mTotalErrorCount = coder.decodeInt("totalErrorCount");
    if (auto impressions = coder.decodeObjectOf<platform::PlistArray>("adLog")) {
        if (impressions->size() > static_cast<std::size_t>(MAX_IMPRESSIONS)) {
            throw platform::ArchiveError("TallySession: too many ad impressions");
        }
        for (const auto &item : *impressions)
            s->mAdLog.push_back(TallyAdImpression::initWithCoder(item));
    }
    s->mLatitude = coder.decodeDouble("latitude");
    s->mLongitude = coder.decodeDouble("longitude");
    s->mAccuracy = coder.decodeFloat("accuracy");
    s->mCrashed = coder.decodeBool("crashed");
    s->mUserID = coder.decodeObjectOf<std::string>("userID");
    s->mPageViewCount = coder.decodeInt("pageViewCount");
    s->mLocale = coder.decodeObjectOf<std::string>("locale").value_or(std::string());
    s->mTimeZone = coder.decodeObjectOf<std::string>("timeZone").value_or(std::string());
    s->mInternetAvailable = coder.decodeBool("internetAvailable");
    s->mAge = coder.decodeObjectOf<Date>("age");
    // 1 male, 0 female; anything else reads as unknown, as setGender stores it.
    const std::int32_t gender = coder.decodeInt("gender");
    s->mGender = gender == 0 || gender == 1 ? gender : -1;
    // Not archived: a decoded session has them off.
    s->mEventLoggingEnabled = false;
    s->mSessionReportsOnCloseEnabled = false;
    s->mSessionReportsOnPauseEnabled = false;
    return s;
}

// --- stored sessions -----------------------------------------------------

std::int32_t TallySession::apiKeyHash(const std::string &apiKey)
{
    // FNV-1a over the key's UTF-8 bytes: stable across runs and builds.
    std::uint32_t hash = 2166136261u;
    for (const char c : apiKey) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return static_cast<std::int32_t>(hash);
}

std::string TallySession::sessionsFilePath()
{
    Lock lock(classLock());
    return filePathFor(".tallyStored", "tallyStored");
}

std::string TallySession::currentSessionFilePath()
{
    Lock lock(classLock());
    return filePathFor(".tallyCurrent", "tallyCurrent");
}

std::string TallySession::sessionSentFilePath()
{
    Lock lock(classLock());
    return filePathFor(".tallySent", "tallySent");
}

std::string TallySession::initialTimestampFilePath()
{
    Lock lock(classLock());
    return filePathFor(".initialTimestamp", "initialTimestamp");
}

std::vector<Bytes> TallySession::savedSessions()
{
    Lock lock(classLock());
    const std::string path = sessionsFilePath();
    std::vector<Bytes> out;
    std::vector<Bytes> rejected;
    try {
        const auto archived = platform::unarchiveObjectWithFile(path);
        if (!archived) return {};
        const auto *array = archived->get<platform::PlistArray>();
        if (array == nullptr) throw platform::ArchiveError("stored sessions: not an array");
        out.reserve(array->size());
        for (const auto &item : *array) {
            const auto *record = item.get<platform::PlistData>();
            if (record == nullptr) throw platform::ArchiveError("stored sessions: not a record");
            // One damaged record must not take the healthy ones down with it:
            // a report the service cannot read is dropped whole.
            if (TallyProtocolData::isValidSessionRecord(*record)) {
                out.push_back(*record);
            } else {
                rejected.push_back(*record);
            }
        }
    } catch (const platform::ArchiveError &) {
        moveAside(path);
        return {};
    }
    if (!rejected.empty()) {
        setAsideRecords(rejected, path);
        (void)setSavedSessions(out);
    }
    return out;
}

bool TallySession::setSavedSessions(const std::vector<Bytes> &sessions)
{
    Lock lock(classLock());
    platform::PlistArray array;
    array.reserve(sessions.size());
    for (const auto &record : sessions) array.emplace_back(platform::PlistData(record));
    return platform::archiveRootObjectToFile(platform::PlistValue(std::move(array)), sessionsFilePath());
}

void TallySession::addToSavedSessions(const TallySession &session)
{
    Lock lock(classLock());
    if (!addRecordToSavedSessions(session.data())) {
        platform::consoleLog(cat("Tally: could not write the stored sessions to ", sessionsFilePath()));
    }
}

bool TallySession::addRecordToSavedSessions(const Bytes &record)
{
    Lock lock(classLock());
    if (!TallyProtocolData::isValidSessionRecord(record)) return setAsideRecords({record}, sessionsFilePath());
    auto sessions = savedSessions();
    sessions.push_back(record);
    removeOldSessionsIfNecessary(sessions);
    return setSavedSessions(sessions);
}

void TallySession::removeOldSessionsIfNecessary(std::vector<Bytes> &sessions)
{
    const int max = std::max(0, gMaxSessions.load());
    if (sessions.size() <= static_cast<std::size_t>(max)) return;
    const std::size_t excess = sessions.size() - static_cast<std::size_t>(max);
    tallyDebug([&] { return cat("Tally: Max sessions allowed[", max, "] exceeded"); });
    tallyDebug([&] { return cat("Tally: Removing [", excess, "] sessions from saved sessions"); });
    sessions.erase(sessions.begin(), sessions.begin() + static_cast<std::ptrdiff_t>(excess));
}

std::vector<Bytes> TallySession::removeSentSessions(const std::vector<Bytes> &sent)
{
    Lock lock(classLock());
    auto sessions = savedSessions();
    std::vector<Bytes> removed;
    for (const auto &record : sent) {
        const auto it = std::find(sessions.begin(), sessions.end(), record);
        if (it == sessions.end()) continue;
        removed.push_back(std::move(*it));
        sessions.erase(it);
    }
    if (removed.empty() || setSavedSessions(sessions)) return removed;
    return {};
}

void TallySession::setReportObserver(std::function<void(const TallyReportOutcome &)> observer)
{
    Lock lock(classLock());
    gReportObserver = std::move(observer);
}

void TallySession::setMaxSessions(int maxSessions) { gMaxSessions.store(maxSessions); }
int TallySession::maxSessions() { return gMaxSessions.load(); }

bool TallySession::sentSession() { return platform::fileExists(sessionSentFilePath()); }

void TallySession::setSentSession()
{
    const std::string path = sessionSentFilePath();
    if (!platform::fileExists(path)) platform::touchFile(path);
}

Date TallySession::initialTimestamp()
{
    Lock lock(classLock());
    const std::string path = initialTimestampFilePath();
    try {
        if (const auto archived = platform::unarchiveObjectWithFile(path)) {
            if (const auto *date = archived->get<Date>()) return *date;
        }
    } catch (const platform::ArchiveError &) {
        moveAside(path); // then replaced below
    }
    const Date stamp = gCurrentSession ? gCurrentSession->startTime() : platform::currentDate();
    (void)platform::archiveRootObjectToFile(platform::PlistValue(stamp), path);
    return stamp;
}

// --- the report ----------------------------------------------------------

Bytes TallySession::dataForSessions(const std::vector<TallyReportItem> &sessions, bool requestAds)
{
    Lock lock(classLock());
    using P = TallyProtocolData;
    tallyDebug([] { return std::string("Tally: Creating HTTP data from sessions"); });
    Bytes data;
    P::appendUshort(kTallyProtocolVersion, data);
    P::appendUshort(requestAds ? 1 : 0, data);
    const auto imageCache = TallyImageCache::instance();
    P::appendLong(imageCache ? imageCache->cacheUpdateTimestamp() : 0, data);
    const auto ids = imageCache ? imageCache->storedIds() : std::vector<std::int64_t>{};
    P::appendUshort(static_cast<std::uint16_t>(ids.size()), data);
    for (const auto id : ids) {
        P::appendByte(1, data);
        P::appendLong(id, data);
    }
    P::appendUshort(kTallyPlatform, data);
    P::appendUshort(kTallyAgentVersion, data);
    P::appendTimestamp(platform::currentDate(), data);
    tallyDebug([] { return cat("Tally: protocol[", kTallyProtocolVersion, "] platform[", kTallyPlatform, "] agent[",
                               kTallyAgentVersion, "]"); });
    const auto current = gCurrentSession ? gCurrentSession : gLatestSession;
    P::appendString(current ? current->apiKey() : std::string(), data);
    P::appendString(current ? current->appVersion() : std::string(), data);
    if (TallyAPI::udidEnabled()) {
        P::appendUshort(0, data);
        P::appendString(phoneID(), data);
    } else {
        P::appendUshort(1, data);
        const auto hashed = tallyID();
        P::appendShortData(hashed, data);
    }
    P::appendTimestamp(initialTimestamp(), data);
    P::appendTimestamp(current ? current->startTime() : Date{}, data);
    P::appendUshort(1, data);
    P::appendString("device.model.1", data);
    P::appendString("iOS4Device", data);

    Bytes records;
    std::uint16_t count = 0;
    for (const auto &item : sessions) {
        tallyGuarded([&] {
            Bytes record;
            if (const auto *session = std::get_if<std::shared_ptr<TallySession>>(&item)) {
                if (!*session) return;
                record = (*session)->data();
            } else {
                record = std::get<Bytes>(item);
            }
            records.insert(records.end(), record.begin(), record.end());
            ++count;
        });
    }
    tallyDebug([&] { return cat("Tally: sessionCount[", count, "]"); });
    P::appendUshort(count, data);
    data.insert(data.end(), records.begin(), records.end());
    return data;
}

void TallySession::sendSessionsToServerWithTimeout(bool withTimeout, bool useWebView, bool requestAds,
                                                   bool sendCurrentSession)
{
    tallyGuarded([&] {
        std::vector<Bytes> stored;
        Bytes report;
        std::size_t inputCount = 0;
        {
            Lock lock(classLock());
            stored = savedSessions();
            std::vector<TallyReportItem> items(stored.begin(), stored.end());
            if (sendCurrentSession && gCurrentSession) items.emplace_back(gCurrentSession->data());
            inputCount = items.size();
            report = dataForSessions(items, requestAds);
        }
        tallyDebug([&] { return cat("Tally: Sending sessions to server withTimeout[", withTimeout, "]"); });
        const TallyHeaders headers{{"Content-Type", "application/octet-stream"}};
        const int timeout = withTimeout ? 5 : 20;
        TallyHTTPResponse response;
        if (const auto saved = TallyAPI::savedResponseURL()) {
            response = TallyHTTPResponse::readFromURL(*saved)
                           .value_or(TallyHTTPResponse({}, 0, {}, std::string("cannot read saved response")));
        } else {
            response = TallyHTTPEater::sendMethod("POST", TallyAPI::serverURL(), report, headers, timeout, useWebView);
        }
        if (TallyUtil::isDebugModeUnlocked()) (void)response.saveToDisk();
        if (withTimeout) return;

        const bool success = response.isSuccess();
        {
            Lock lock(classLock());
            if (gCurrentSession) {
                gCurrentSession->setInternetAvailable(success);
                gCurrentSession->saveToDisk();
            }
            TallyReportOutcome outcome;
            outcome.accepted = success;
            if (success) {
                // Only what this report carried: sessions stored while it was
                // in flight wait for the next report.
                outcome.forgotten = removeSentSessions(stored);
                setSentSession();
                tallyDebug([&] { return cat("Tally: Sent ", inputCount, " session(s)."); });
            } else {
                tallyDebug([] { return std::string("Tally: Could not connect to server."); });
            }
            if (gReportObserver) gReportObserver(outcome);
        }
        if (requestAds) {
            const auto parser = TallyAdParser::instance();
            parser->setInternetAvailable(success);
            parser->parseData(success ? std::optional(std::span<const std::uint8_t>(response.body())) : std::nullopt);
        }
    });
}

void TallySession::sendSessionsToServerForSessionPause()
{
    sendSessionsToServerWithTimeout(true, false, false, true);
    TallyAPI::stopBackgroundTask();
}

void TallySession::sendSessionsToServerForEndOfSession() { sendSessionsToServerWithTimeout(true, false, false, true); }

void TallySession::sendSessionsToServerForAppShowcase()
{
    sendSessionsToServerWithTimeout(false, false, TallyAPI::appShowcaseEnabled(), false);
}

void TallySession::sendSessionsToServerForAdditionalInfo() { sendSessionsToServerWithTimeout(true, true, false, false); }

void TallySession::startSenderThread(std::function<void()> work)
{
    std::lock_guard lock(gSenderMutex);
    senderThreads().emplace_back([work = std::move(work)] { tallyGuarded(work); });
}

void TallySession::joinSenderThreads()
{
    for (;;) {
        std::vector<std::thread> running;
        {
            std::lock_guard lock(gSenderMutex);
            running.swap(senderThreads());
        }
        if (running.empty()) return;
        for (auto &t : running) {
            if (t.joinable()) t.join();
        }
    }
}

void TallySession::resetForTesting()
{
    joinSenderThreads();
    Lock lock(classLock());
    gCurrentSession.reset();
    gLatestSession.reset();
    gHeldRecord.reset();
    gClassApiKey.clear();
    gLastPageView.reset();
    gMaxSessions.store(MAX_SESSIONS);
    gReportObserver = nullptr;
}

// --- fields --------------------------------------------------------------

Date TallySession::startTime() const { Lock l(classLock()); return mStartTime; }
std::optional<Date> TallySession::endTime() const { Lock l(classLock()); return mEndTime; }
void TallySession::setEndTime(std::optional<Date> endTime) { Lock l(classLock()); mEndTime = endTime; }
std::optional<Date> TallySession::pauseTime() const { Lock l(classLock()); return mPauseTime; }
std::int64_t TallySession::totalPauseIntervalMillis() const { Lock l(classLock()); return mTotalPauseIntervalMillis; }
std::string TallySession::apiKey() const { Lock l(classLock()); return mApiKey; }
std::string TallySession::appVersion() const { Lock l(classLock()); return mAppVersion; }
void TallySession::setAppVersion(std::string appVersion) { Lock l(classLock()); mAppVersion = std::move(appVersion); }
std::int32_t TallySession::pageViewCount() const { Lock l(classLock()); return mPageViewCount; }
void TallySession::setPageViewCount(std::int32_t count) { Lock l(classLock()); mPageViewCount = count; }
bool TallySession::internetAvailable() const { Lock l(classLock()); return mInternetAvailable; }
void TallySession::setInternetAvailable(bool value) { Lock l(classLock()); mInternetAvailable = value; }
bool TallySession::crashed() const { Lock l(classLock()); return mCrashed; }
void TallySession::setCrashed(bool value) { Lock l(classLock()); mCrashed = value; }
bool TallySession::sessionReportsOnCloseEnabled() const { Lock l(classLock()); return mSessionReportsOnCloseEnabled; }
void TallySession::setSessionReportsOnCloseEnabled(bool value) { Lock l(classLock()); mSessionReportsOnCloseEnabled = value; }
bool TallySession::sessionReportsOnPauseEnabled() const { Lock l(classLock()); return mSessionReportsOnPauseEnabled; }
void TallySession::setSessionReportsOnPauseEnabled(bool value) { Lock l(classLock()); mSessionReportsOnPauseEnabled = value; }
bool TallySession::eventLoggingEnabled() const { Lock l(classLock()); return mEventLoggingEnabled; }
std::map<std::string, std::int32_t> TallySession::eventCounts() const { Lock l(classLock()); return mEventCounts; }
std::vector<TallyEvent> TallySession::eventLog() const { Lock l(classLock()); return mEventLog; }
bool TallySession::eventLogComplete() const { Lock l(classLock()); return mEventLogComplete; }
std::vector<TallyErrorEntry> TallySession::errors() const { Lock l(classLock()); return mErrors; }
std::int32_t TallySession::totalErrorCount() const { Lock l(classLock()); return mTotalErrorCount; }
std::int32_t TallySession::gender() const { Lock l(classLock()); return mGender; }
std::optional<Date> TallySession::age() const { Lock l(classLock()); return mAge; }
std::string TallySession::locale() const { Lock l(classLock()); return mLocale; }
std::string TallySession::timeZone() const { Lock l(classLock()); return mTimeZone; }
std::int32_t TallySession::serializationVersion() const { Lock l(classLock()); return mSerializationVersion; }

} // namespace tally
