#include "platform/plist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace platform {
namespace {

// Seconds between 1970-01-01 and the property-list epoch 2001-01-01.
constexpr double kPlistEpochOffset = 978307200.0;

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

plist_t toNode(const PlistValue &value)
{
    const auto &s = value.storage();
    if (const auto *b = std::get_if<bool>(&s)) return plist_new_bool(*b ? 1 : 0);
    // Integers travel as their two's-complement bits; libplist writes the
    // 16-byte form for values above INT64_MAX and reads back the low 64 bits.
    if (const auto *i = std::get_if<std::int64_t>(&s)) return plist_new_uint(static_cast<std::uint64_t>(*i));
    if (const auto *r = std::get_if<double>(&s)) return plist_new_real(*r);
    if (const auto *str = std::get_if<std::string>(&s)) return plist_new_string(str->c_str());
    if (const auto *d = std::get_if<PlistData>(&s)) {
        return plist_new_data(reinterpret_cast<const char *>(d->data()), d->size());
    }
    if (const auto *date = std::get_if<Date>(&s)) {
        const double rel = date->secondsSince1970 - kPlistEpochOffset;
        double whole = std::floor(rel);
        auto usec = static_cast<std::int32_t>(std::llround((rel - whole) * 1e6));
        if (usec >= 1000000) {
            usec -= 1000000;
            whole += 1.0;
        }
        const double clamped = std::fmax(std::fmin(whole, 2147483647.0), -2147483648.0);
        return plist_new_date(static_cast<std::int32_t>(clamped), usec);
    }
    if (const auto *arr = std::get_if<PlistArray>(&s)) {
        plist_t node = plist_new_array();
        for (const auto &item : *arr) {
            if (item.isNull()) continue; // property lists have no null
            plist_array_append_item(node, toNode(item));
        }
        return node;
    }
    if (const auto *dict = std::get_if<PlistDict>(&s)) {
        plist_t node = plist_new_dict();
        for (const auto &[key, item] : *dict) {
            if (item.isNull()) continue;
            plist_dict_set_item(node, key.c_str(), toNode(item));
        }
        return node;
    }
    return nullptr;
}

std::optional<PlistValue> fromNode(plist_t node, int depth)
{
    if (node == nullptr || depth > kMaxPlistDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PlistValue(b != 0);
    }
    case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return PlistValue(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double r = 0;
        plist_get_real_val(node, &r);
        return PlistValue(r);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char *text = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING) {
            plist_get_string_val(node, &text);
        } else {
            plist_get_key_val(node, &text);
        }
        std::string out = text != nullptr ? std::string(text) : std::string();
        std::free(text);
        return PlistValue(std::move(out));
    }
    case PLIST_DATA: {
        char *bytes = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        PlistData out;
        if (bytes != nullptr) out.assign(bytes, bytes + length);
        std::free(bytes);
        return PlistValue(std::move(out));
    }
    case PLIST_DATE: {
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return PlistValue(Date{kPlistEpochOffset + sec + usec / 1e6});
    }
    case PLIST_ARRAY: {
        PlistArray out;
        const std::uint32_t n = plist_array_get_size(node);
        out.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            auto item = fromNode(plist_array_get_item(node, i), depth + 1);
            if (!item) return std::nullopt;
            out.push_back(std::move(*item));
        }
        return PlistValue(std::move(out));
    }
    case PLIST_DICT: {
        PlistDict out;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = true;
        while (it != nullptr) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (key == nullptr) break;
            std::string k(key);
            std::free(key);
            auto v = item != nullptr ? fromNode(item, depth + 1) : std::nullopt;
            if (!v) {
                ok = false;
                break;
            }
            out[k] = std::move(*v);
        }
        std::free(it);
        if (!ok) return std::nullopt;
        return PlistValue(std::move(out));
    }
    default:
        return std::nullopt; // UIDs and anything newer are not ours
    }
}

std::uint64_t readBig(std::span<const std::uint8_t> b, std::size_t at, std::size_t n)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | b[at + i];
    return v;
}

// libplist asserts (and so aborts the process) when a dictionary key of a
// binary list is not a string, or when a string holds a NUL. Check every
// object first, over the list's own offset table, and refuse such a list.
bool dictionaryKeysAreStrings(std::span<const std::uint8_t> b)
{
    if (b.size() < 8 + 32) return false;
    const std::size_t t = b.size() - 32;
    const std::size_t offsetSize = b[t + 6];
    const std::size_t refSize = b[t + 7];
    const std::uint64_t count = readBig(b, t + 8, 8);
    const std::uint64_t table = readBig(b, t + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
    if (count == 0 || count > b.size() || table >= t || (t - table) / offsetSize < count) return false;
    auto offsetOf = [&](std::uint64_t ref) { return readBig(b, static_cast<std::size_t>(table) + ref * offsetSize, offsetSize); };
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = offsetOf(i);
        if (at < 8 || at >= t) return false;
        const std::uint8_t marker = b[at];
        const unsigned kind = marker >> 4;
        if (kind != 0xD && kind != 0x5 && kind != 0x6) continue;
        std::uint64_t entries = marker & 0x0F;
        std::size_t pos = static_cast<std::size_t>(at) + 1;
        if (entries == 0x0F) {
            if (pos >= t || (b[pos] >> 4) != 0x1) return false;
            const std::size_t n = std::size_t{1} << (b[pos] & 0x0F);
            if (n > 8 || pos + 1 + n > t) return false;
            entries = readBig(b, pos + 1, n);
            pos += 1 + n;
        }
        if (kind != 0xD) {
            const std::size_t unit = kind == 0x5 ? 1 : 2;
            if ((t - pos) / unit < entries) return false;
            for (std::uint64_t c = 0; c < entries; ++c) {
                if (readBig(b, pos + c * unit, unit) == 0) return false;
            }
            continue;
        }
        if (entries > count || (t - pos) / refSize < entries) return false;
        for (std::uint64_t k = 0; k < entries; ++k) {
            const std::uint64_t ref = readBig(b, pos + k * refSize, refSize);
            if (ref >= count) return false;
            const std::uint64_t keyAt = offsetOf(ref);
            if (keyAt < 8 || keyAt >= t) return false;
            const unsigned kind = b[keyAt] >> 4;
            if (kind != 0x5 && kind != 0x6) return false;
        }
    }
    return true;
}

} // namespace

std::vector<std::uint8_t> plistToBinary(const PlistValue &root)
{
    Node node(toNode(root));
    if (!node) return {};
    char *bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node.get(), &bin, &length);
    std::vector<std::uint8_t> out;
    if (bin != nullptr) out.assign(bin, bin + length);
    plist_to_bin_free(bin);
    return out;
}

std::optional<PlistValue> plistFromBinary(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8 || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    if (std::memcmp(bytes.data(), "bplist00", 8) != 0) return std::nullopt;
    if (!dictionaryKeysAreStrings(bytes)) return std::nullopt;
    plist_t raw = nullptr;
    plist_from_bin(reinterpret_cast<const char *>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &raw);
    Node node(raw);
    return fromNode(node.get(), 0);
}

std::string plistToXml(const PlistValue &root)
{
    Node node(toNode(root));
    if (!node) return {};
    char *xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node.get(), &xml, &length);
    std::string out = xml != nullptr ? std::string(xml, length) : std::string();
    plist_to_xml_free(xml);
    return out;
}

std::optional<PlistValue> plistFromXml(const std::string &text)
{
    if (text.empty() || text.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    plist_t raw = nullptr;
    plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &raw);
    Node node(raw);
    return fromNode(node.get(), 0);
}

std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) return plistFromBinary(bytes);
    return plistFromXml(std::string(bytes.begin(), bytes.end()));
}

} // namespace platform
