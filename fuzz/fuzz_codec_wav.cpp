// Opens the input as a WAV file from memory, reads it to the end in pieces
// of varying size, hands its sync points to a sound, seeks to a few places
// taken from the input and reads again.
//
// Traps when a read reports more bytes than it was asked for, when reading
// does not end, or when the codec leaves memory allocated after release.
#include "codec/aura_codec.h"
#include "codec/wav/aura_codec_wav.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_wav";

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

uint32_t wordAt(const uint8_t *data, size_t size, size_t at)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && size > 0; ++i) {
        value = value << 8 | data[(at + i) % size];
    }
    return value;
}

// Reads until the end, an error or a bounded number of steps.
void drain(AURA::Codec &codec, const uint8_t *data, size_t size, size_t salt)
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
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20)) {
        return 0;
    }
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    {
        AURA::Codec *codec = nullptr;
        if (AURA::Codec::create(*AURA::CodecWav::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
            return 0;
        }
        auto *file = AURA_New(AURA::MemoryFile);
        require(file != nullptr);
        codec->mFile = file;
        // The memory file needs a block even for empty input.
        static const uint8_t empty = 0;
        const uint8_t *block = size ? data : &empty;
        if (file->init(nullptr, 0, 0) == AURA_OK &&
            file->open(reinterpret_cast<const char *>(block), static_cast<unsigned int>(size), false, nullptr) ==
                AURA_OK) {
            const AURA_MODE mode = (size > 0 && (data[size - 1] & 1)) ? AURA_CREATECOMPRESSEDSAMPLE : 0;
            if (codec->open(mode, nullptr) == AURA_OK) {
                AURA::SoundI *sound = AURA_New(AURA::SoundI);
                if (sound) {
                    (void)codec->mDescription.soundcreate(
                        codec->state(), 0, reinterpret_cast<AURA_SOUND *>(static_cast<AURA::Sound *>(sound)));
                    (void)sound->releaseInternal(true);
                }
                (void)codec->mDescription.canpoint(codec->state());
                drain(*codec, data, size, 0);
                const unsigned int length = codec->state()->waveformat[0].lengthpcm;
                for (size_t i = 0; i < 3; ++i) {
                    const uint32_t word = wordAt(data, size, 7 * i + 3);
                    const unsigned int position = length ? word % (length + 2) : word;
                    const unsigned int unit = (word & 0x80000000u) ? AURA_TIMEUNIT_RAWBYTES : AURA_TIMEUNIT_PCM;
                    (void)codec->setPosition(0, position, unit);
                    drain(*codec, data, size, 11 * i + 1);
                }
            }
        }
        (void)codec->release();
    }
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
