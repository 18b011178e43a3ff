// Property-list values and their binary and XML forms, through libplist.
//
// A PlistValue is one node of a property list: nothing (an absent value),
// a boolean, a signed 64-bit integer, a real, a UTF-8 string, raw data, a
// date, an array or a dictionary. Parsing never trusts its input: a bad
// list, a list nested deeper than kMaxPlistDepth, or a node of a kind this
// type cannot hold is reported as nullopt.
//
// libplist recurses once per level of nesting while it parses and frees, so
// the bytes are scanned first, with an explicit stack: a list nested deeper
// than kMaxPlistScanDepth, or (binary) one whose objects refer to each other
// in a cycle, or whose shared objects would expand to more nodes than the
// bound below, never reaches libplist.
#ifndef PLATFORM_PLIST_H
#define PLATFORM_PLIST_H

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

// A moment as seconds since 1970-01-01 00:00 UTC.
struct Date {
    double secondsSince1970 = 0.0;
    friend bool operator==(const Date &, const Date &) = default;
};

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::map<std::string, PlistValue>;
using PlistData = std::vector<std::uint8_t>;

inline constexpr int kMaxPlistDepth = 64;
inline constexpr int kMaxPlistScanDepth = 512;
// The nodes of a list's tree, shared objects counted at every use. A binary
// list may have as many as it has room for references (one per reference,
// plus its top object), any sharing that stays within kMaxPlistNodes, and
// never more than kMaxPlistTotalNodes; an XML list up to kMaxPlistTotalNodes
// elements. Every node costs a few hundred bytes while it is read, so the
// total is about what a 16 MiB XML list of the smallest elements holds: a
// binary list that shares its values costs no more than that.
inline constexpr std::uint64_t kMaxPlistNodes = std::uint64_t{1} << 18;
inline constexpr std::uint64_t kMaxPlistTotalNodes = std::uint64_t{1} << 21;

class PlistValue {
public:
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string,
                                 PlistData, Date, PlistArray, PlistDict>;

    PlistValue() = default;
    PlistValue(bool v) : mValue(v) {}
    PlistValue(int v) : mValue(std::int64_t{v}) {}
    PlistValue(std::int64_t v) : mValue(v) {}
    PlistValue(double v) : mValue(v) {}
    PlistValue(const char *v) : mValue(std::string(v)) {}
    PlistValue(std::string v) : mValue(std::move(v)) {}
    PlistValue(PlistData v) : mValue(std::move(v)) {}
    PlistValue(Date v) : mValue(v) {}
    PlistValue(PlistArray v) : mValue(std::move(v)) {}
    PlistValue(PlistDict v) : mValue(std::move(v)) {}

    [[nodiscard]] bool isNull() const { return std::holds_alternative<std::monostate>(mValue); }
    template <typename T> [[nodiscard]] bool is() const { return std::holds_alternative<T>(mValue); }
    // nullptr when the value is of another kind.
    template <typename T> [[nodiscard]] const T *get() const { return std::get_if<T>(&mValue); }
    template <typename T> [[nodiscard]] T *get() { return std::get_if<T>(&mValue); }
    [[nodiscard]] const Storage &storage() const { return mValue; }

    friend bool operator==(const PlistValue &, const PlistValue &) = default;

private:
    Storage mValue;
};

// Binary property list ("bplist00"); empty for a null root.
[[nodiscard]] std::vector<std::uint8_t> plistToBinary(const PlistValue &root);
[[nodiscard]] std::optional<PlistValue> plistFromBinary(std::span<const std::uint8_t> bytes);
// XML property list text.
[[nodiscard]] std::string plistToXml(const PlistValue &root);
[[nodiscard]] std::optional<PlistValue> plistFromXml(const std::string &text);
// Either form, told apart by the binary magic.
[[nodiscard]] std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes);
// The bytes of a file that its reader takes up to `limit` bytes of: XML,
// or the binary form when the XML would be larger (a list read from a
// binary file that stores equal values once can grow many times over as
// XML); nullopt when neither fits, so that no save writes a file its next
// load would refuse.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> plistToFileBytes(const PlistValue &root, std::size_t limit);

// The pre-scans: true when the list stays within the bounds above (and, for
// the binary form, its object table is consistent enough to walk).
[[nodiscard]] bool binaryPlistIsBounded(std::span<const std::uint8_t> bytes);
[[nodiscard]] bool xmlPlistIsBounded(std::string_view text);

} // namespace platform

#endif // PLATFORM_PLIST_H
