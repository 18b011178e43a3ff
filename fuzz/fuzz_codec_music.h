// What the tracker-song fuzz targets share: one system for every input,
// a song opened from memory with an exact length on the engine's own
// voices, up to two seconds rendered, a seek to an order the input chooses
// and more rendered, a seek back in PCM, and the close.
//
// Input: [order, read size] then the file.
//
// Traps when a read reports other than what it was asked for, when the
// measured length passes its cap, or when the codec leaves memory allocated
// after release.
#ifndef AURA_FUZZ_CODEC_MUSIC_H
#define AURA_FUZZ_CODEC_MUSIC_H

#include "aura.hpp"
#include "base/aura_memory.h"
#include "codec/aura_codec.h"
#include "file/aura_file_memory.h"
#include "music/aura_music.h"
#include "system/aura_systemi.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace aurafuzz {

constexpr size_t MUSIC_HEADER = 2;
constexpr int MUSIC_RATE = 8000;
constexpr unsigned int MUSIC_MAX_FRAMES = 2 * MUSIC_RATE;

inline void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// One system for every input: the song's voices and target unit are its.
inline AURA::SystemI *musicSystem()
{
    static AURA::System *made = nullptr;
    if (!made) {
        require(AURA::System_Create(&made) == AURA_OK);
        require(made->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) == AURA_OK);
        require(made->setSoftwareFormat(MUSIC_RATE, AURA_SOUND_FORMAT_PCMFLOAT, 2, 6, AURA_DSP_RESAMPLER_LINEAR) ==
                AURA_OK);
        require(made->init(8, AURA_INIT_NORMAL, nullptr) == AURA_OK);
    }
    return static_cast<AURA::SystemI *>(made);
}

inline void renderSong(AURA::Codec &codec, unsigned int frames, unsigned int step)
{
    static std::vector<float> buffer(2 * 4096);
    while (frames > 0) {
        const unsigned int n = std::min({frames, step, 4096u});
        unsigned int got = 0;
        const AURA_RESULT result = codec.mDescription.read(codec.state(), buffer.data(), n * 8, &got);
        if (result != AURA_OK) {
            return;
        }
        require(got == n * 8);
        frames -= n;
    }
}

// Opens, plays and closes one song; false when it does not open.
inline bool playSongOnce(AURA::AURA_CODEC_DESCRIPTION_EX &description, AURA::SystemI *engine, const uint8_t *song,
                         size_t length, uint8_t order, uint8_t size)
{
    static constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_music";
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(description, engine, &codec) != AURA_OK) {
        return false;
    }
    auto *file = AURA_New(AURA::MemoryFile);
    require(file != nullptr);
    codec->mFile = file;
    static const uint8_t empty = 0;
    bool opened = false;
    if (file->init(nullptr, 0, 0) == AURA_OK &&
        file->open(reinterpret_cast<const char *>(length ? song : &empty), static_cast<unsigned int>(length), false,
                   nullptr) == AURA_OK &&
        codec->open(AURA_ACCURATETIME | AURA_SOFTWARE, nullptr) == AURA_OK) {
        opened = true;
        const AURA_CODEC_WAVEFORMAT &format = *codec->mState.waveformat;
        require(format.lengthpcm <= AURA::MusicSong::MAX_MEASURED_FRAMES_SECONDS * MUSIC_RATE);
        const unsigned int step = 1u + size * 37u;
        renderSong(*codec, MUSIC_MAX_FRAMES / 2, step);
        (void)codec->setPosition(0, order, AURA_TIMEUNIT_MODORDER);
        renderSong(*codec, MUSIC_MAX_FRAMES / 2, step);
        (void)codec->setPosition(0, 1000, AURA_TIMEUNIT_PCM);
        renderSong(*codec, 256, step);
    }
    (void)codec->release();
    return opened;
}

// One input. The system keeps what its graph grows to (level buffers,
// connections): `warm`, a song on every column the format allows, grows it
// before inputs count.
inline int fuzzSong(AURA::AURA_CODEC_DESCRIPTION_EX &description, const std::vector<uint8_t> &warm, const uint8_t *data,
                    size_t size)
{
    if (size < MUSIC_HEADER || size > (1u << 20)) {
        return 0;
    }
    AURA::SystemI *engine = musicSystem();
    static const bool warmed = (require(playSongOnce(description, engine, warm.data(), warm.size(), 0, 0)), true);
    (void)warmed;
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    (void)playSongOnce(description, engine, data + MUSIC_HEADER, size - MUSIC_HEADER, data[0], data[1]);
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}

} // namespace aurafuzz

#endif // AURA_FUZZ_CODEC_MUSIC_H
