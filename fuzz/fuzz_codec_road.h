// The road every codec target takes: open the input from memory, read it to
// the end in pieces of varying size, seek to places taken from the input
// (in every subsound of a multi-sound file) and read again.
//
// Traps when a read reports more bytes than it was asked for, when reading
// does not end, or when the codec leaves memory allocated after release.
#ifndef FUZZ_CODEC_ROAD_H
#define FUZZ_CODEC_ROAD_H

#include "codec/aura_codec.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzroad {

constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_road";

inline void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

inline uint32_t wordAt(const uint8_t *data, size_t size, size_t at)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && size > 0; ++i) {
        value = value << 8 | data[(at + i) % size];
    }
    return value;
}

inline void drain(AURA::Codec &codec, const uint8_t *data, size_t size, size_t salt)
{
    static std::vector<uint8_t> buffer(70000);
    for (int step = 0; step < 4096; ++step) {
        const unsigned int want = 1 + wordAt(data, size, salt + static_cast<size_t>(step)) % 66000;
        unsigned int got = 0;
        const AURA_RESULT result = codec.read(buffer.data(), want, &got);
        require(got <= want);
        if (result != AURA_OK || got == 0) {
            return;
        }
    }
}

inline void run(const AURA::AURA_CODEC_DESCRIPTION_EX &description, const uint8_t *data, size_t size)
{
    if (size > (1u << 20)) {
        return;
    }
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    {
        AURA::Codec *codec = nullptr;
        if (AURA::Codec::create(description, nullptr, &codec) != AURA_OK) {
            return;
        }
        auto *file = AURA_New(AURA::MemoryFile);
        require(file != nullptr);
        codec->mFile = file;
        // The memory file needs a block even for empty input.
        static const uint8_t empty = 0;
        const uint8_t *block = size ? data : &empty;
        if (file->init(nullptr, 0, 0) == AURA_OK &&
            file->open(reinterpret_cast<const char *>(block), static_cast<unsigned int>(size), false, nullptr) ==
                AURA_OK &&
            codec->open(0, nullptr) == AURA_OK) {
            drain(*codec, data, size, 0);
            const int subsounds = codec->state()->numsubsounds;
            for (int i = 0; i < (subsounds > 0 ? subsounds : 3) && i < 64; ++i) {
                const int subsound = subsounds > 0 ? i : 0;
                const unsigned int length = codec->state()->waveformat[subsound].lengthpcm;
                const uint32_t word = wordAt(data, size, 7 * static_cast<size_t>(i) + 3);
                const unsigned int position = (length && length != 0xFFFFFFFFu) ? word % (length + 2) : word % 100000;
                (void)codec->setPosition(subsound, position, AURA_TIMEUNIT_PCM);
                drain(*codec, data, size, 11 * static_cast<size_t>(i) + 1);
            }
        }
        (void)codec->release();
    }
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
}

} // namespace fuzzroad

#endif // FUZZ_CODEC_ROAD_H
