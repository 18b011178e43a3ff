#include "wav.h"

#include <algorithm>
#include <cstring>

namespace auratest {

void put16(Bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes &b, uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

void putId(Bytes &b, const char *id)
{
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(id[i]));
    }
}

uint16_t le16(const Bytes &b, size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t le32(const Bytes &b, size_t at)
{
    return le16(b, at) | static_cast<uint32_t>(le16(b, at + 2)) << 16;
}

Bytes chunk(const char *id, const Bytes &body)
{
    Bytes b = chunkSized(id, static_cast<uint32_t>(body.size()), body);
    if (body.size() & 1) {
        b.push_back(0);
    }
    return b;
}

Bytes chunkSized(const char *id, uint32_t declared, const Bytes &body)
{
    Bytes b;
    putId(b, id);
    put32(b, declared);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes list(const char *type, const std::vector<Bytes> &children)
{
    Bytes body;
    putId(body, type);
    for (const Bytes &c : children) {
        body.insert(body.end(), c.begin(), c.end());
    }
    return chunk("LIST", body);
}

Bytes riff(const std::vector<Bytes> &chunks, int64_t declared)
{
    Bytes body;
    putId(body, "WAVE");
    for (const Bytes &c : chunks) {
        body.insert(body.end(), c.begin(), c.end());
    }
    return chunkSized("RIFF", declared >= 0 ? static_cast<uint32_t>(declared) : static_cast<uint32_t>(body.size()),
                      body);
}

Bytes fmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockalign, uint16_t bits, const Bytes &extra)
{
    Bytes b;
    put16(b, tag);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * blockalign);
    put16(b, blockalign);
    put16(b, bits);
    if (!extra.empty()) {
        put16(b, static_cast<uint32_t>(extra.size()));
        b.insert(b.end(), extra.begin(), extra.end());
    }
    return b;
}

Bytes cueBody(const std::vector<std::pair<uint32_t, uint32_t>> &points, int64_t declaredCount)
{
    Bytes b;
    put32(b, declaredCount >= 0 ? static_cast<uint32_t>(declaredCount) : static_cast<uint32_t>(points.size()));
    for (const auto &[id, offset] : points) {
        put32(b, id);
        put32(b, offset);
        putId(b, "data");
        put32(b, 0);
        put32(b, 0);
        put32(b, offset);
    }
    return b;
}

Bytes lablBody(uint32_t id, const std::string &text)
{
    Bytes b;
    put32(b, id);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return b;
}

Bytes smplBody(uint32_t loops, uint32_t start, uint32_t end)
{
    Bytes b;
    for (int i = 0; i < 7; ++i) {
        put32(b, 0);
    }
    put32(b, loops);
    put32(b, 0);
    if (loops > 0) {
        put32(b, 0); // identifier
        put32(b, 0); // forward loop
        put32(b, start);
        put32(b, end);
        put32(b, 0);
        put32(b, 0);
    }
    return b;
}

size_t Wav::frames() const
{
    const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
    return frameBytes ? data.size() / frameBytes : 0;
}

Wav parseWav(const Bytes &b)
{
    Wav w;
    w.fileSize = b.size();
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        w.error = "no RIFF WAVE header";
        return w;
    }
    w.riffSize = le32(b, 4);
    bool haveFmt = false;
    bool haveData = false;
    for (size_t at = 12; at + 8 <= b.size() && !haveData;) {
        const uint32_t size = le32(b, at + 4);
        const size_t body = at + 8;
        if (std::memcmp(&b[at], "fmt ", 4) == 0) {
            if (size < 16 || body + size > b.size()) {
                w.error = "short fmt chunk";
                return w;
            }
            w.fmtSize = size;
            w.format = le16(b, body);
            w.channels = le16(b, body + 2);
            w.rate = le32(b, body + 4);
            w.byteRate = le32(b, body + 8);
            w.blockAlign = le16(b, body + 12);
            w.bits = le16(b, body + 14);
            if (size >= 18) {
                w.cbSize = le16(b, body + 16);
            }
            haveFmt = true;
        } else if (std::memcmp(&b[at], "fact", 4) == 0) {
            if (size < 4 || body + 4 > b.size()) {
                w.error = "short fact chunk";
                return w;
            }
            w.factFrames = le32(b, body);
        } else if (std::memcmp(&b[at], "data", 4) == 0) {
            w.dataOffset = body;
            w.dataSize = size;
            w.data.assign(b.begin() + static_cast<std::ptrdiff_t>(body),
                          b.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(b.size(), body + size)));
            haveData = true;
        }
        at = body + size + (size & 1u);
    }
    if (!haveFmt || !haveData) {
        w.error = "fmt or data chunk missing";
        return w;
    }
    if (w.format == 1 && w.bits == 16) {
        for (size_t at = 0; at + 2 <= w.data.size(); at += 2) {
            const auto v = static_cast<int16_t>(le16(w.data, at));
            w.pcm16.push_back(v);
            w.samples.push_back(static_cast<float>(v) / 32768.0f);
        }
    } else if (w.format == 3 && w.bits == 32) {
        for (size_t at = 0; at + 4 <= w.data.size(); at += 4) {
            const uint32_t bits = le32(w.data, at);
            float v = 0.0f;
            std::memcpy(&v, &bits, 4);
            w.samples.push_back(v);
        }
    }
    w.valid = true;
    return w;
}

Wav readWav(const fs::path &path)
{
    return parseWav(readAll(path));
}

} // namespace auratest
