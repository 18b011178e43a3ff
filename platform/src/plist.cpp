#include "platform/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

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
        // Walked with an iterator: libplist finds an item by its index by
        // counting from the first one.
        PlistArray out;
        out.reserve(plist_array_get_size(node));
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        bool ok = it != nullptr;
        for (plist_t item = nullptr; ok;) {
            plist_array_next_item(node, it, &item);
            if (item == nullptr) break;
            auto value = fromNode(item, depth + 1);
            if (!value) {
                ok = false;
                break;
            }
            out.push_back(std::move(*value));
        }
        std::free(it);
        if (!ok) return std::nullopt;
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

// The trailer of a binary list and the walk over its offset table.
struct BinaryTable {
    std::span<const std::uint8_t> b;
    std::size_t trailer = 0; // where the 32-byte trailer starts
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t count = 0;
    std::uint64_t top = 0;
    std::uint64_t table = 0;

    bool read(std::span<const std::uint8_t> bytes)
    {
        b = bytes;
        if (b.size() < 8 + 32) return false;
        trailer = b.size() - 32;
        offsetSize = b[trailer + 6];
        refSize = b[trailer + 7];
        count = readBig(b, trailer + 8, 8);
        top = readBig(b, trailer + 16, 8);
        table = readBig(b, trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
        return count != 0 && count <= b.size() && top < count && table < trailer &&
               (trailer - table) / offsetSize >= count;
    }

    // Where object `ref` starts; 0 when outside the object area.
    [[nodiscard]] std::uint64_t offsetOf(std::uint64_t ref) const
    {
        const std::uint64_t at = readBig(b, static_cast<std::size_t>(table + ref * offsetSize), offsetSize);
        return at >= 8 && at < trailer ? at : 0;
    }

    // For an array, set or dictionary at `at`: where its references start
    // and how many there are (keys and values for a dictionary). False when
    // the object is cut short; `refs` is 0 for every other kind.
    bool references(std::uint64_t at, std::size_t &pos, std::uint64_t &refs) const
    {
        const std::uint8_t marker = b[at];
        const unsigned kind = marker >> 4;
        refs = 0;
        pos = static_cast<std::size_t>(at) + 1;
        if (kind != 0xA && kind != 0xC && kind != 0xD) return true;
        std::uint64_t entries = marker & 0x0F;
        if (entries == 0x0F) {
            if (pos >= trailer || (b[pos] >> 4) != 0x1) return false;
            const std::size_t n = std::size_t{1} << (b[pos] & 0x0F);
            if (n > 8 || pos + 1 + n > trailer) return false;
            entries = readBig(b, pos + 1, n);
            pos += 1 + n;
        }
        // Entries may name the same object many times (writers store equal
        // values once), so only the bytes bound them.
        const std::uint64_t room = (trailer - pos) / refSize;
        if (entries > (kind == 0xD ? room / 2 : room)) return false;
        refs = kind == 0xD ? entries * 2 : entries;
        return true;
    }
};

// libplist asserts (and so aborts the process) when a dictionary key of a
// binary list is not a string, or when a string holds a NUL. Check every
// object first, over the list's own offset table, and refuse such a list.
bool dictionaryKeysAreStrings(const BinaryTable &bt)
{
    const auto b = bt.b;
    const std::size_t t = bt.trailer;
    for (std::uint64_t i = 0; i < bt.count; ++i) {
        const std::uint64_t at = bt.offsetOf(i);
        if (at == 0) return false;
        const std::uint8_t marker = b[at];
        const unsigned kind = marker >> 4;
        if (kind != 0xD && kind != 0x5 && kind != 0x6) continue;
        if (kind != 0xD) {
            std::uint64_t entries = marker & 0x0F;
            std::size_t pos = static_cast<std::size_t>(at) + 1;
            if (entries == 0x0F) {
                if (pos >= t || (b[pos] >> 4) != 0x1) return false;
                const std::size_t n = std::size_t{1} << (b[pos] & 0x0F);
                if (n > 8 || pos + 1 + n > t) return false;
                entries = readBig(b, pos + 1, n);
                pos += 1 + n;
            }
            const std::size_t unit = kind == 0x5 ? 1 : 2;
            if ((t - pos) / unit < entries) return false;
            for (std::uint64_t c = 0; c < entries; ++c) {
                if (readBig(b, pos + c * unit, unit) == 0) return false;
            }
            continue;
        }
        std::size_t pos = 0;
        std::uint64_t refs = 0;
        if (!bt.references(at, pos, refs)) return false;
        for (std::uint64_t k = 0; k < refs / 2; ++k) {
            const std::uint64_t ref = readBig(b, pos + k * bt.refSize, bt.refSize);
            if (ref >= bt.count) return false;
            const std::uint64_t keyAt = bt.offsetOf(ref);
            if (keyAt == 0) return false;
            const unsigned keyKind = b[keyAt] >> 4;
            if (keyKind != 0x5 && keyKind != 0x6) return false;
        }
    }
    return true;
}

// How many nodes the tree of this list may have. A list whose containers
// are each used once has a node for its top object and one per reference,
// and every reference takes refSize bytes of the file; only containers
// shared by several others make the tree larger than that.
std::uint64_t nodeLimit(const BinaryTable &bt)
{
    const std::uint64_t room = (bt.table - std::min<std::uint64_t>(bt.table, 8)) / bt.refSize + 1;
    return std::min(kMaxPlistTotalNodes, std::max(kMaxPlistNodes, room));
}

// Walks the object graph from the top object, depth first on an explicit
// stack: no path may be longer than kMaxPlistScanDepth, no object may refer
// back to one that contains it, and the tree libplist would build (shared
// objects copied at every use) may not exceed nodeLimit().
bool objectGraphIsBounded(const BinaryTable &bt)
{
    if (bt.count > kMaxPlistTotalNodes) return false;
    const std::uint64_t limit = nodeLimit(bt);
    enum : std::uint8_t { kNew, kOpen, kDone };
    std::vector<std::uint8_t> state(static_cast<std::size_t>(bt.count), kNew);
    std::vector<std::uint32_t> nodes(static_cast<std::size_t>(bt.count), 0);
    struct Frame {
        std::uint64_t object;
        std::size_t refsAt;
        std::uint64_t refs;
        std::uint64_t next;
        std::uint64_t nodes;
    };
    std::vector<Frame> stack;
    stack.reserve(kMaxPlistScanDepth);
    auto open = [&](std::uint64_t object) {
        const std::uint64_t at = bt.offsetOf(object);
        Frame f{object, 0, 0, 0, 1};
        if (at == 0 || !bt.references(at, f.refsAt, f.refs)) return false;
        state[static_cast<std::size_t>(object)] = kOpen;
        stack.push_back(f);
        return true;
    };
    if (!open(bt.top)) return false;
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next < f.refs) {
            const std::uint64_t ref = readBig(bt.b, f.refsAt + static_cast<std::size_t>(f.next) * bt.refSize, bt.refSize);
            ++f.next;
            if (ref >= bt.count) return false;
            const auto r = static_cast<std::size_t>(ref);
            if (state[r] == kDone) {
                f.nodes += nodes[r];
                if (f.nodes > limit) return false;
                continue;
            }
            if (state[r] == kOpen) return false; // a cycle
            if (stack.size() >= static_cast<std::size_t>(kMaxPlistScanDepth)) return false;
            if (!open(ref)) return false;
            continue;
        }
        const auto done = static_cast<std::size_t>(f.object);
        const std::uint64_t total = f.nodes;
        state[done] = kDone;
        nodes[done] = static_cast<std::uint32_t>(total);
        stack.pop_back();
        if (!stack.empty()) {
            stack.back().nodes += total;
            if (stack.back().nodes > limit) return false;
        }
    }
    return true;
}

} // namespace

bool binaryPlistIsBounded(std::span<const std::uint8_t> bytes)
{
    BinaryTable bt;
    return bt.read(bytes) && objectGraphIsBounded(bt);
}

bool xmlPlistIsBounded(std::string_view text)
{
    // Counts element nesting the way any XML reader must see it: comments,
    // CDATA sections, processing instructions and declarations hold no
    // elements, and a '>' inside a quoted attribute value ends no tag.
    int depth = 0;
    std::uint64_t elements = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto skipPast = [&](std::string_view end) {
        const std::size_t at = text.find(end, i);
        i = at == std::string_view::npos ? n : at + end.size();
    };
    while (i < n) {
        const std::size_t lt = text.find('<', i);
        if (lt == std::string_view::npos) break;
        i = lt + 1;
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("!--")) {
            skipPast("-->");
        } else if (rest.starts_with("![CDATA[")) {
            skipPast("]]>");
        } else if (rest.starts_with("?")) {
            skipPast("?>");
        } else if (rest.starts_with("!")) {
            // A declaration, with an internal subset in brackets perhaps.
            int brackets = 0;
            char quote = 0;
            for (; i < n; ++i) {
                const char c = text[i];
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    ++brackets;
                } else if (c == ']') {
                    --brackets;
                } else if (c == '>' && brackets <= 0) {
                    break;
                }
            }
            ++i;
        } else if (rest.starts_with("/")) {
            --depth;
            skipPast(">");
        } else {
            char quote = 0;
            char last = 0;
            for (; i < n; ++i) {
                const char c = text[i];
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                    last = c;
                }
            }
            ++i;
            if (++elements > kMaxPlistTotalNodes) return false;
            if (last != '/' && ++depth > kMaxPlistScanDepth) return false;
        }
    }
    return true;
}

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
    BinaryTable table;
    if (!table.read(bytes) || !dictionaryKeysAreStrings(table) || !objectGraphIsBounded(table)) return std::nullopt;
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
    if (!xmlPlistIsBounded(text)) return std::nullopt;
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

std::optional<std::vector<std::uint8_t>> plistToFileBytes(const PlistValue &root, std::size_t limit)
{
    const std::string xml = plistToXml(root);
    if (!xml.empty() && xml.size() <= limit) return std::vector<std::uint8_t>(xml.begin(), xml.end());
    std::vector<std::uint8_t> binary = plistToBinary(root);
    if (binary.empty() || binary.size() > limit) return std::nullopt;
    return binary;
}

} // namespace platform
