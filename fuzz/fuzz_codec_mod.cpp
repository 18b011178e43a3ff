// Opens the input as a MOD from memory with an exact length, on the engine's
// own voices, renders up to two seconds of it, seeks to an order the input
// chooses and renders again, then seeks back in PCM and closes.
//
// Input: [order, read size] then the file.
//
// Traps when a read reports other than what it was asked for, when the
// measured length passes its cap, or when the codec leaves memory allocated
// after release.
#include "aura.hpp"
#include "base/aura_memory.h"
#include "codec/aura_codec.h"
#include "file/aura_file_memory.h"
#include "music/aura_codec_mod.h"
#include "system/aura_systemi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_mod";
constexpr size_t HEADER = 2;
constexpr int RATE = 8000;
constexpr unsigned int MAX_FRAMES = 2 * RATE;

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// One system for every input: the song's voices and target unit are its.
AURA::SystemI *system()
{
    static AURA::System *made = nullptr;
    if (!made) {
        require(AURA::System_Create(&made) == AURA_OK);
        require(made->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) == AURA_OK);
        require(made->setSoftwareFormat(RATE, AURA_SOUND_FORMAT_PCMFLOAT, 2, 6, AURA_DSP_RESAMPLER_LINEAR) == AURA_OK);
        require(made->init(8, AURA_INIT_NORMAL, nullptr) == AURA_OK);
    }
    return static_cast<AURA::SystemI *>(made);
}

void render(AURA::Codec &codec, unsigned int frames, unsigned int step);

// Opens, plays and closes one song; false when it does not open.
bool playOnce(AURA::SystemI *engine, const uint8_t *song, size_t length, uint8_t order, uint8_t size)
{
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecMOD::getDescriptionEx(), engine, &codec) != AURA_OK) {
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
        require(format.lengthpcm <= AURA::MusicSong::MAX_MEASURED_FRAMES_SECONDS * RATE);
        const unsigned int step = 1u + size * 37u;
        render(*codec, MAX_FRAMES / 2, step);
        (void)codec->setPosition(0, order, AURA_TIMEUNIT_MODORDER);
        render(*codec, MAX_FRAMES / 2, step);
        (void)codec->setPosition(0, 1000, AURA_TIMEUNIT_PCM);
        render(*codec, 256, step);
    }
    (void)codec->release();
    return opened;
}

// The system keeps what its graph grows to (level buffers, connections):
// a song on every column of the widest MOD grows it before inputs count.
void warmUp(AURA::SystemI *engine)
{
    std::vector<uint8_t> song(1084 + 64 * 32 * 4 + 64, 0);
    song[20 + 22] = 0;
    song[20 + 23] = 32; // 64 bytes of sample 1
    song[20 + 25] = 64;
    song[20 + 29] = 1;
    song[950] = 1;
    std::memcpy(song.data() + 1080, "32CH", 4);
    for (int c = 0; c < 32; ++c) {
        uint8_t *cell = song.data() + 1084 + c * 4;
        cell[0] = 0x01; // period 0x1AC (428), sample 1
        cell[1] = 0xAC;
        cell[2] = 0x10;
    }
    for (int i = 0; i < 64; ++i) {
        song[1084 + 64 * 32 * 4 + static_cast<size_t>(i)] = static_cast<uint8_t>(i * 4);
    }
    require(playOnce(engine, song.data(), song.size(), 0, 0));
}

void render(AURA::Codec &codec, unsigned int frames, unsigned int step)
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
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER || size > (1u << 20)) {
        return 0;
    }
    AURA::SystemI *engine = system();
    static const bool warm = (warmUp(engine), true);
    (void)warm;
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    (void)playOnce(engine, data + HEADER, size - HEADER, data[0], data[1]);
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
