// Property lists nested far deeper than any reader should follow, and binary
// lists whose objects or values are shared or refer to themselves, made at test time
// (a list of a million levels is megabytes: it is never committed).
#ifndef TESTSUPPORT_DEEP_PLIST_H
#define TESTSUPPORT_DEEP_PLIST_H

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// An XML property list whose root is `levels` nested arrays.
inline std::string deepXmlPlist(std::size_t levels)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    out.reserve(out.size() + levels * 15 + 16);
    for (std::size_t i = 0; i < levels; ++i) out += "<array>";
    for (std::size_t i = 0; i < levels; ++i) out += "</array>";
    out += "\n</plist>\n";
    return out;
}

namespace detail {

inline std::size_t bytesFor(std::uint64_t value)
{
    std::size_t n = 1;
    while (n < 8 && (value >> (8 * n)) != 0) ++n;
    return n;
}

inline void putBig(std::vector<std::uint8_t> &out, std::uint64_t value, std::size_t n)
{
    for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Objects of a binary list, written one after another, then the offset
// table and the trailer.
class BinaryPlistWriter {
public:
    explicit BinaryPlistWriter(std::uint64_t objects) : mRefSize(bytesFor(objects)) { mOffsets.reserve(objects); }

    void array(const std::vector<std::uint64_t> &refs)
    {
        begin(0xA, refs.size());
        for (const auto ref : refs) putBig(mOut, ref, mRefSize);
    }
    void dictionary(const std::vector<std::uint64_t> &keys, const std::vector<std::uint64_t> &values)
    {
        begin(0xD, keys.size());
        for (const auto ref : keys) putBig(mOut, ref, mRefSize);
        for (const auto ref : values) putBig(mOut, ref, mRefSize);
    }
    void ascii(const std::string &text)
    {
        begin(0x5, text.size());
        mOut.insert(mOut.end(), text.begin(), text.end());
    }
    void integer(std::uint64_t value)
    {
        mOffsets.push_back(mOut.size());
        std::size_t n = 1;
        unsigned log2 = 0;
        while (n < bytesFor(value)) {
            n *= 2;
            ++log2;
        }
        mOut.push_back(static_cast<std::uint8_t>(0x10 | log2));
        putBig(mOut, value, n);
    }
    std::vector<std::uint8_t> finish(std::uint64_t top)
    {
        const std::uint64_t table = mOut.size();
        const std::size_t offsetSize = bytesFor(table);
        for (const auto offset : mOffsets) putBig(mOut, offset, offsetSize);
        for (int i = 0; i < 6; ++i) mOut.push_back(0);
        mOut.push_back(static_cast<std::uint8_t>(offsetSize));
        mOut.push_back(static_cast<std::uint8_t>(mRefSize));
        putBig(mOut, mOffsets.size(), 8);
        putBig(mOut, top, 8);
        putBig(mOut, table, 8);
        return std::move(mOut);
    }

private:
    void begin(unsigned kind, std::size_t count)
    {
        mOffsets.push_back(mOut.size());
        if (count < 15) {
            mOut.push_back(static_cast<std::uint8_t>(kind << 4 | count));
            return;
        }
        mOut.push_back(static_cast<std::uint8_t>(kind << 4 | 0xF));
        mOut.push_back(0x13); // an 8-byte integer follows
        putBig(mOut, count, 8);
    }

    std::vector<std::uint8_t> mOut{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint64_t> mOffsets;
    std::size_t mRefSize;
};

} // namespace detail

// A binary list whose top object is `levels` nested one-element arrays (the
// innermost is empty). With `archived`, the arrays are the top value of a
// keyed archive, as the platform's archives wrap it.
inline std::vector<std::uint8_t> deepBinaryPlist(std::size_t levels, bool archived)
{
    const std::uint64_t first = archived ? 6 : 0;
    detail::BinaryPlistWriter w(first + levels);
    if (archived) {
        w.dictionary({1, 2, 3}, {4, first, 5});
        w.ascii("$archiver");
        w.ascii("$top");
        w.ascii("$version");
        w.ascii("AuraKeyedArchive");
        w.integer(1);
    }
    for (std::size_t i = 0; i < levels; ++i) {
        if (i + 1 < levels) {
            w.array({first + i + 1});
        } else {
            w.array({});
        }
    }
    return w.finish(0);
}

// `levels` arrays, each holding the next one twice: a small file whose tree,
// once every shared object is copied at each use, has 2^levels nodes.
inline std::vector<std::uint8_t> sharedBinaryPlist(std::size_t levels)
{
    detail::BinaryPlistWriter w(levels + 1);
    for (std::size_t i = 0; i < levels; ++i) w.array({i + 1, i + 1});
    w.integer(7);
    return w.finish(0);
}

// An array of `length` integers as a writer that stores equal values once
// makes it: `distinct` integer objects (0, 1, ...), used in turn.
inline std::vector<std::uint8_t> sharedValuesBinaryPlist(std::size_t length, std::size_t distinct)
{
    detail::BinaryPlistWriter w(distinct + 1);
    std::vector<std::uint64_t> refs(length);
    for (std::size_t i = 0; i < length; ++i) refs[i] = 1 + i % distinct;
    w.array(refs);
    for (std::size_t v = 0; v < distinct; ++v) w.integer(v);
    return w.finish(0);
}

// An array that names one array of `inner` integers `uses` times: a file of
// a few bytes per use whose tree has uses * (inner + 1) nodes.
inline std::vector<std::uint8_t> sharedArrayBinaryPlist(std::size_t uses, std::size_t inner)
{
    detail::BinaryPlistWriter w(3);
    w.array(std::vector<std::uint64_t>(uses, 1));
    w.array(std::vector<std::uint64_t>(inner, 2));
    w.integer(5);
    return w.finish(0);
}

// An array that holds itself.
inline std::vector<std::uint8_t> cyclicBinaryPlist()
{
    detail::BinaryPlistWriter w(2);
    w.array({1});
    w.array({0});
    return w.finish(0);
}

} // namespace testsupport

#endif // TESTSUPPORT_DEEP_PLIST_H
