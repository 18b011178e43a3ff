#include "report_decoder.h"

#include <cstring>
#include <stdexcept>

namespace reporttest {
namespace {

struct Truncated : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Well-formed UTF-8, as the service demands of every string: no stray
// continuation bytes, overlong forms, surrogates or code points past U+10FFFF.
bool wellFormedUtf8(const std::string &s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t more = 0;
        std::uint32_t cp = 0, min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            more = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i <= more) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

class Reader {
public:
    explicit Reader(const std::string &bytes) : mBytes(bytes) {}

    std::uint64_t big(std::size_t n, const char *what)
    {
        if (mBytes.size() - mPos < n) throw Truncated(what);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(mBytes[mPos + i]);
        mPos += n;
        return v;
    }
    std::uint8_t u8(const char *w) { return static_cast<std::uint8_t>(big(1, w)); }
    bool boolean(const char *w)
    {
        const auto b = u8(w);
        if (b > 1) throw Truncated(std::string(w) + ": boolean not 0 or 1");
        return b == 1;
    }
    std::uint16_t u16(const char *w) { return static_cast<std::uint16_t>(big(2, w)); }
    std::int32_t i32(const char *w) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(big(4, w))); }
    std::int64_t i64(const char *w) { return static_cast<std::int64_t>(big(8, w)); }
    double f64(const char *w)
    {
        const std::uint64_t bits = big(8, w);
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    float f32(const char *w)
    {
        const auto bits = static_cast<std::uint32_t>(big(4, w));
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    std::string raw(std::size_t n, const char *w)
    {
        if (mBytes.size() - mPos < n) throw Truncated(w);
        std::string s = mBytes.substr(mPos, n);
        mPos += n;
        return s;
    }
    std::string str(const char *w)
    {
        std::string s = raw(u16(w), w);
        if (!wellFormedUtf8(s)) throw Truncated(std::string(w) + ": not UTF-8");
        return s;
    }
    [[nodiscard]] bool atEnd() const { return mPos == mBytes.size(); }

private:
    const std::string &mBytes;
    std::size_t mPos = 0;
};

Session readSession(Reader &r)
{
    Session s;
    s.recordVersion = r.u16("record version");
    s.appVersion = r.str("application version");
    s.startTime = r.i64("start time");
    s.length = r.i64("session length");
    s.pausedTime = r.i64("paused time");
    s.locale = r.str("locale");
    s.timeZone = r.str("time zone");
    s.internetAvailable = r.boolean("internet available");
    s.userId = r.str("user id");
    s.constant = r.boolean("constant");
    s.latitude = r.f64("latitude");
    s.longitude = r.f64("longitude");
    s.accuracy = r.f32("accuracy");
    s.pageViews = r.i32("page views");
    s.gender = static_cast<std::int8_t>(r.u8("gender"));
    s.ageKnown = r.boolean("age known");
    if (s.ageKnown) s.birthYear = r.i64("birth year");
    const auto names = r.u16("event name count");
    for (unsigned i = 0; i < names; ++i) {
        std::string name = r.str("event count name");
        s.eventCounts.emplace_back(std::move(name), r.i32("event count"));
    }
    const auto logged = r.u16("event log count");
    for (unsigned i = 0; i < logged; ++i) {
        Event e;
        e.name = r.str("event name");
        const auto params = r.u16("parameter count");
        for (unsigned p = 0; p < params; ++p) {
            std::string key = r.str("parameter key");
            e.parameters.emplace_back(std::move(key), r.str("parameter value"));
        }
        e.startOffset = r.i64("event start");
        e.duration = r.i64("event duration");
        s.events.push_back(std::move(e));
    }
    s.eventLogComplete = r.boolean("event log complete");
    s.totalErrors = r.i32("total errors");
    const auto errors = r.u16("error count");
    for (unsigned i = 0; i < errors; ++i) {
        Error e;
        e.time = r.i64("error time");
        e.id = r.str("error id");
        e.message = r.str("error message");
        e.exception = r.str("error exception");
        s.errors.push_back(std::move(e));
    }
    s.adImpressionCount = r.u16("ad impression count");
    for (std::uint16_t i = 0; i < s.adImpressionCount; ++i) {
        Impression m;
        m.hook = r.str("impression hook");
        m.format = static_cast<std::int8_t>(r.u8("impression format"));
        m.adId = r.i64("impression ad id");
        m.canvasId = r.i64("impression canvas id");
        const auto cookieLength = r.u8("impression cookie length");
        for (std::uint8_t c = 0; c < cookieLength; ++c)
            m.cookie.push_back(static_cast<char>(r.u8("impression cookie")));
        const auto states = r.u16("impression state count");
        for (std::uint16_t k = 0; k < states; ++k) {
            const auto code = r.u8("impression state");
            m.states.emplace_back(code, r.i64("impression state time"));
        }
        s.impressions.push_back(std::move(m));
    }
    return s;
}

} // namespace

std::int32_t Session::countOf(const std::string &name) const
{
    for (const auto &[n, c] : eventCounts) {
        if (n == name) return c;
    }
    return 0;
}

bool Session::hasEvent(const std::string &name) const
{
    for (const auto &e : events) {
        if (e.name == name) return true;
    }
    return false;
}

std::optional<Report> decodeReport(const std::string &bytes, std::string *error)
{
    try {
        Reader r(bytes);
        Report rep;
        rep.protocolVersion = r.u16("protocol version");
        rep.adsRequested = r.u16("ads requested");
        rep.adCacheTimestamp = r.i64("ad cache time stamp");
        const auto cached = r.u16("cached item count");
        for (unsigned i = 0; i < cached; ++i) {
            const auto type = r.u8("cached item type");
            rep.cachedItems.emplace_back(type, r.i64("cached item id"));
        }
        rep.platform = r.u16("platform");
        rep.agentVersion = r.u16("agent version");
        rep.reportTime = r.i64("report time");
        rep.apiKey = r.str("api key");
        rep.appVersion = r.str("application version");
        rep.idType = r.u16("id type");
        if (rep.idType == 0) {
            rep.id = r.str("id text");
        } else {
            rep.id = r.raw(r.u16("id length"), "id bytes");
        }
        rep.initialTimestamp = r.i64("initial time stamp");
        rep.sessionTimestamp = r.i64("session time stamp");
        const auto props = r.u16("property count");
        for (unsigned i = 0; i < props; ++i) {
            std::string key = r.str("property key");
            rep.properties.emplace_back(std::move(key), r.str("property value"));
        }
        const auto sessions = r.u16("session count");
        for (unsigned i = 0; i < sessions; ++i) rep.sessions.push_back(readSession(r));
        if (!r.atEnd()) throw Truncated("bytes after the last session");
        return rep;
    } catch (const Truncated &e) {
        if (error != nullptr) *error = e.what();
        return std::nullopt;
    }
}

std::optional<Session> decodeSessionRecord(const std::string &bytes, std::string *error)
{
    try {
        Reader r(bytes);
        Session s = readSession(r);
        if (!r.atEnd()) throw Truncated("bytes after the session");
        return s;
    } catch (const Truncated &e) {
        if (error != nullptr) *error = e.what();
        return std::nullopt;
    }
}

} // namespace reporttest
