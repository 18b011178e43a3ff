#include "tally/TallyProtocolData.h"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

namespace tally {
namespace {

template <typename U> void appendBigEndian(U value, Bytes &data)
{
    for (int shift = static_cast<int>(sizeof(U) * 8) - 8; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// Milliseconds as a 64-bit count; out-of-range values saturate instead of
// being undefined.
std::int64_t toMillis(double millis)
{
    if (std::isnan(millis)) return 0;
    if (millis >= 9.2233720368547748e18) return std::numeric_limits<std::int64_t>::max();
    if (millis <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(millis);
}

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t utf8SequenceAt(std::string_view s, std::size_t at)
{
    const auto c = static_cast<unsigned char>(s[at]);
    if (c < 0x80) return 1;
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - at <= extra) return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto cc = static_cast<unsigned char>(s[at + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3Fu);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
        return 0;
    }
    return extra + 1;
}

// Reads a session record, failing at the first thing out of place.
class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> bytes) : mBytes(bytes) {}

    bool skip(std::size_t n)
    {
        if (mBytes.size() - mPos < n) return false;
        mPos += n;
        return true;
    }
    bool big(std::size_t n, std::uint64_t &value)
    {
        if (mBytes.size() - mPos < n) return false;
        value = 0;
        for (std::size_t i = 0; i < n; ++i) value = (value << 8) | mBytes[mPos + i];
        mPos += n;
        return true;
    }
    bool count(std::uint64_t &n) { return big(2, n); }
    bool boolean(bool *out = nullptr)
    {
        std::uint64_t b = 0;
        if (!big(1, b) || b > 1) return false;
        if (out != nullptr) *out = b == 1;
        return true;
    }
    bool string()
    {
        std::uint64_t length = 0;
        if (!big(2, length) || mBytes.size() - mPos < length) return false;
        const std::string_view text(reinterpret_cast<const char *>(mBytes.data() + mPos), static_cast<std::size_t>(length));
        mPos += static_cast<std::size_t>(length);
        return TallyProtocolData::isValidUtf8(text) && TallyProtocolData::limitStringLength(text).size() == text.size();
    }
    [[nodiscard]] bool atEnd() const { return mPos == mBytes.size(); }

private:
    std::span<const std::uint8_t> mBytes;
    std::size_t mPos = 0;
};

} // namespace

std::string TallyProtocolData::validUtf8(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t n = utf8SequenceAt(value, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(value.substr(i, n));
            i += n;
        }
    }
    return out;
}

bool TallyProtocolData::isValidUtf8(std::string_view value)
{
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t n = utf8SequenceAt(value, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool TallyProtocolData::isValidSessionRecord(std::span<const std::uint8_t> record)
{
    RecordReader r(record);
    std::uint64_t version = 0, gender = 0, n = 0;
    bool ageKnown = false;
    // Version, application version, start, length, pause, locale, time zone,
    // internet flag, user id, the constant true, location, page views.
    if (!r.big(2, version) || version > 1 || !r.string() || !r.skip(8 + 8 + 8) || !r.string() || !r.string() ||
        !r.boolean() || !r.string()) {
        return false;
    }
    bool constant = false;
    if (!r.boolean(&constant) || !constant || !r.skip(8 + 8 + 4 + 4)) return false;
    if (!r.big(1, gender) || (gender != 0xFF && gender > 1) || !r.boolean(&ageKnown)) return false;
    if (ageKnown && !r.skip(8)) return false;
    if (!r.count(n)) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (!r.string() || !r.skip(4)) return false;
    }
    if (!r.count(n)) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t parameters = 0;
        if (!r.string() || !r.count(parameters)) return false;
        for (std::uint64_t p = 0; p < parameters; ++p) {
            if (!r.string() || !r.string()) return false;
        }
        if (!r.skip(8 + 8)) return false;
    }
    if (!r.boolean() || !r.skip(4) || !r.count(n)) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (!r.skip(8) || !r.string() || !r.string() || !r.string()) return false;
    }
    // Impressions: hook, format, ad id, canvas id, cookie, then timed states.
    std::uint64_t impressions = 0;
    if (!r.count(impressions))
        return false;
    for (std::uint64_t i = 0; i < impressions; ++i) {
        std::uint64_t cookie = 0, states = 0;
        if (!r.string() || !r.skip(1 + 8 + 8) || !r.big(1, cookie) || !r.skip(cookie) || !r.count(states))
            return false;
        if (!r.skip(states * 9))
            return false;
    }
    return r.atEnd();
}

void TallyProtocolData::appendBoolean(bool value, Bytes &data) { data.push_back(value ? 1 : 0); }
void TallyProtocolData::appendByte(std::int8_t value, Bytes &data) { data.push_back(static_cast<std::uint8_t>(value)); }
void TallyProtocolData::appendUshort(std::uint16_t value, Bytes &data) { appendBigEndian(value, data); }
void TallyProtocolData::appendInt(std::int32_t value, Bytes &data)
{
    appendBigEndian(static_cast<std::uint32_t>(value), data);
}
void TallyProtocolData::appendLong(std::int64_t value, Bytes &data)
{
    appendBigEndian(static_cast<std::uint64_t>(value), data);
}
void TallyProtocolData::appendFloat(float value, Bytes &data)
{
    appendBigEndian(std::bit_cast<std::uint32_t>(value), data);
}
void TallyProtocolData::appendDouble(double value, Bytes &data)
{
    appendBigEndian(std::bit_cast<std::uint64_t>(value), data);
}

void TallyProtocolData::appendTimestamp(const Date &value, Bytes &data)
{
    appendLong(toMillis(value.secondsSince1970 * 1000.0), data);
}

void TallyProtocolData::appendString(std::string_view value, Bytes &data)
{
    const std::string limited = isValidUtf8(value) ? limitStringLength(value) : limitStringLength(validUtf8(value));
    appendUshort(static_cast<std::uint16_t>(limited.size()), data);
    data.insert(data.end(), limited.begin(), limited.end());
}

void TallyProtocolData::appendTinyData(std::span<const std::uint8_t> value, Bytes &data)
{
    const std::size_t n = value.size() % 256;
    data.push_back(static_cast<std::uint8_t>(n));
    data.insert(data.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
}

void TallyProtocolData::appendShortData(std::span<const std::uint8_t> value, Bytes &data)
{
    appendUshort(static_cast<std::uint16_t>(value.size() % 65536), data);
    data.insert(data.end(), value.begin(), value.end());
}

std::string TallyProtocolData::limitStringLength(std::string_view value)
{
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < value.size()) {
        const auto lead = static_cast<unsigned char>(value[i]);
        std::size_t length = 1;
        std::size_t codeUnits = 1;
        if (lead >= 0xF0 && lead < 0xF8) {
            length = 4;
            codeUnits = 2;
        } else if (lead >= 0xE0) {
            length = 3;
        } else if (lead >= 0xC0) {
            length = 2;
        }
        if (i + length > value.size()) length = value.size() - i; // a cut sequence counts once
        if (units + codeUnits > kMaxReportStringLength) break;
        units += codeUnits;
        i += length;
    }
    return std::string(value.substr(0, i));
}

std::int64_t TallyProtocolData::timeIntervalFrom(const std::optional<Date> &from, const std::optional<Date> &to)
{
    if (!from || !to) return 0;
    return toMillis((to->secondsSince1970 - from->secondsSince1970) * 1000.0);
}

} // namespace tally
