// Writes SBK4 sample banks for tests: a 48-byte main header, full (80-byte,
// with an optional SYNC block) or basic (8-byte) sample headers, and each
// sample's data at the next 32-byte boundary of the data region. Also the
// two key scramblings a bank may be stored in. Header-only.
#ifndef AURA_TESTS_SUPPORT_SBK_WRITER_H
#define AURA_TESTS_SUPPORT_SBK_WRITER_H

#include "wav.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace auratest {

struct SbkSample {
    std::string name = "sample"; // empty: reuses the previous sample's data
    uint32_t flags = 0x10; // 16-bit PCM
    uint16_t channels = 1;
    int32_t frequency = 22050;
    Bytes data; // as stored
    uint32_t lengthpcm = 0;
    uint32_t loopstart = 0;
    uint32_t loopend = 0;
    uint16_t volume = 255;
    int16_t pan = 128;
    uint16_t priority = 128;
    float mindistance = 1.0f;
    float maxdistance = 10000.0f;
    int32_t frequencyvariation = 0;
    uint16_t volumevariation = 0;
    int16_t panvariation = 0;
    std::vector<std::pair<uint32_t, std::string>> sync; // with flag 0x80000000
    bool hugeSizeField = false; // size 0xFFFF, the true size at 0x48 (padded to 0xFFFF)
    int32_t sizeOverride = -1; // a size field as given (faulty banks)
    int32_t syncCountOverride = -1;
};

struct SbkBank {
    std::vector<SbkSample> samples;
    char magic[5] = "SBK4";
    uint32_t version = 0x00040000;
    uint32_t flags = 0; // 0x2 basic headers, 0x8 big-endian PCM
    std::array<uint8_t, 16> hash{};
    int32_t numSamplesOverride = -1;
    int32_t headerSizeOverride = -1;
};

inline void putFloat(Bytes &b, float value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    put32(b, bits);
}

inline Bytes sbkSampleHeader(const SbkSample &s)
{
    Bytes sync;
    if (!s.sync.empty() || s.syncCountOverride >= 0) {
        putId(sync, "SYNC");
        put32(sync, s.syncCountOverride >= 0 ? static_cast<uint32_t>(s.syncCountOverride)
                                             : static_cast<uint32_t>(s.sync.size()));
        for (const auto &[offset, name] : s.sync) {
            put32(sync, offset);
            if (!(s.flags & 0x4000)) {
                std::string padded = name;
                padded.resize(256, '\0');
                sync.insert(sync.end(), padded.begin(), padded.end());
            }
        }
    }
    uint32_t size = static_cast<uint32_t>(80 + sync.size());
    if (s.hugeSizeField) {
        size = std::max<uint32_t>(size, 0xFFFF);
    }
    Bytes h;
    put16(h, s.sizeOverride >= 0 ? static_cast<uint32_t>(s.sizeOverride) : s.hugeSizeField ? 0xFFFFu : size);
    std::string name = s.name;
    name.resize(30, '\0');
    h.insert(h.end(), name.begin(), name.end());
    put32(h, s.lengthpcm);
    put32(h, static_cast<uint32_t>(s.data.size()));
    put32(h, s.loopstart);
    put32(h, s.loopend);
    put32(h, s.flags | (sync.empty() ? 0u : 0x80000000u));
    put32(h, static_cast<uint32_t>(s.frequency));
    put16(h, s.volume);
    put16(h, static_cast<uint16_t>(s.pan));
    put16(h, s.priority);
    put16(h, s.channels);
    putFloat(h, s.mindistance);
    putFloat(h, s.maxdistance);
    put32(h, s.hugeSizeField ? size : static_cast<uint32_t>(s.frequencyvariation));
    put16(h, s.volumevariation);
    put16(h, static_cast<uint16_t>(s.panvariation));
    h.insert(h.end(), sync.begin(), sync.end());
    h.resize(std::max<size_t>(h.size(), size), 0);
    return h;
}

inline Bytes writeSbk(const SbkBank &bank)
{
    Bytes headers;
    for (size_t i = 0; i < bank.samples.size(); ++i) {
        const SbkSample &s = bank.samples[i];
        if (i > 0 && (bank.flags & 0x2)) {
            put32(headers, s.lengthpcm);
            put32(headers, static_cast<uint32_t>(s.data.size()));
        } else {
            const Bytes h = sbkSampleHeader(s);
            headers.insert(headers.end(), h.begin(), h.end());
        }
    }
    Bytes data;
    for (size_t i = 0; i < bank.samples.size(); ++i) {
        const SbkSample &s = bank.samples[i];
        if (s.name.empty() && !(i > 0 && (bank.flags & 0x2))) {
            continue; // reuses the previous data
        }
        data.insert(data.end(), s.data.begin(), s.data.end());
        data.resize((data.size() + 31) / 32 * 32, 0);
    }
    Bytes out;
    out.insert(out.end(), bank.magic, bank.magic + 4);
    put32(out, bank.numSamplesOverride >= 0 ? static_cast<uint32_t>(bank.numSamplesOverride)
                                            : static_cast<uint32_t>(bank.samples.size()));
    put32(out, bank.headerSizeOverride >= 0 ? static_cast<uint32_t>(bank.headerSizeOverride)
                                            : static_cast<uint32_t>(headers.size()));
    put32(out, static_cast<uint32_t>(data.size()));
    put32(out, bank.version);
    put32(out, bank.flags);
    out.resize(out.size() + 8, 0);
    out.insert(out.end(), bank.hash.begin(), bank.hash.end());
    out.insert(out.end(), headers.begin(), headers.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

inline uint8_t reverseBits(uint8_t b)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        r = static_cast<uint8_t>(r | (((b >> i) & 1) << (7 - i)));
    }
    return r;
}

// A file that, read with `key`, gives `plain`: in the default order a
// reader mirrors each byte's bits and then XORs it with the key; in the
// XOR-first order it XORs first. The key repeats every 32 bytes at most.
inline Bytes scramble(const Bytes &plain, const std::string &key, bool xorFirst)
{
    Bytes out(plain.size());
    const size_t length = std::min<size_t>(key.size(), 32);
    for (size_t i = 0; i < plain.size(); ++i) {
        const auto k = static_cast<uint8_t>(key[i % length]);
        out[i] = xorFirst ? static_cast<uint8_t>(reverseBits(plain[i]) ^ k)
                          : reverseBits(static_cast<uint8_t>(plain[i] ^ k));
    }
    return out;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_SBK_WRITER_H
