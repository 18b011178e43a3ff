// The byte-level writer of the analytics report format: big-endian values,
// length-prefixed strings and data blocks, appended to one growing buffer.
#ifndef TALLY_TALLY_PROTOCOL_DATA_H
#define TALLY_TALLY_PROTOCOL_DATA_H

#include "platform/plist.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tally {

using Bytes = std::vector<std::uint8_t>;
using Date = platform::Date;

// Strings in reports are at most this many UTF-16 code units long.
inline constexpr std::size_t kMaxReportStringLength = 255;

class TallyProtocolData {
public:
    TallyProtocolData() = delete;

    static void appendBoolean(bool value, Bytes &data);
    static void appendByte(std::int8_t value, Bytes &data);
    static void appendUshort(std::uint16_t value, Bytes &data);
    static void appendInt(std::int32_t value, Bytes &data);
    static void appendLong(std::int64_t value, Bytes &data);
    static void appendFloat(float value, Bytes &data);
    static void appendDouble(double value, Bytes &data);
    // Milliseconds since 1970, truncated toward zero, as a long.
    static void appendTimestamp(const Date &value, Bytes &data);
    // Cut to 255 characters, then a 2-byte count of its UTF-8 bytes and the
    // bytes. Bytes that are not UTF-8 become U+FFFD first: the service drops
    // a report that holds any, with every session in it.
    static void appendString(std::string_view value, Bytes &data);
    // One length byte (the size modulo 256), then that many bytes.
    static void appendTinyData(std::span<const std::uint8_t> value, Bytes &data);
    // A 2-byte length (the size modulo 65536), then the whole block; callers
    // keep blocks below 65536 bytes.
    static void appendShortData(std::span<const std::uint8_t> value, Bytes &data);

    // The first 255 UTF-16 code units of a UTF-8 text; a character outside the
    // Basic Multilingual Plane is never split in half.
    [[nodiscard]] static std::string limitStringLength(std::string_view value);
    // The text with every byte that is not part of well-formed UTF-8 (no
    // overlong forms, no surrogates, nothing past U+10FFFF) replaced by U+FFFD.
    [[nodiscard]] static std::string validUtf8(std::string_view value);
    [[nodiscard]] static bool isValidUtf8(std::string_view value);
    // True when `record` is one whole session record as a session's data()
    // writes it: every length inside it, booleans 0 or 1, gender -1, 0 or 1,
    // strings of well-formed UTF-8 within 255 characters, whole ad impressions
    // and no byte after its end.
    [[nodiscard]] static bool isValidSessionRecord(std::span<const std::uint8_t> record);
    // Milliseconds from `from` to `to`, truncated toward zero; 0 when either is absent.
    [[nodiscard]] static std::int64_t timeIntervalFrom(const std::optional<Date> &from,
                                                       const std::optional<Date> &to);
};

} // namespace tally

#endif // TALLY_TALLY_PROTOCOL_DATA_H
