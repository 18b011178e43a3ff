#include "tally/TallyProtocolData.h"

#include <bit>
#include <cmath>
#include <limits>

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

} // namespace

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
    const std::string limited = limitStringLength(value);
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
