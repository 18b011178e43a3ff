// Opens the input as raw data through the raw codec, with the creation
// info (format, channels, rate, mode) taken from its first bytes, reads it
// to the end and seeks to a few places taken from the input.
//
// Traps when a read reports more than it was asked for, when a seek lands
// off a whole frame or block, or when the codec leaves memory allocated
// after release.
#include "codec/aura_codec.h"
#include "codec/aura_codec_raw.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_raw";

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8 || size > (1u << 20)) {
        return 0;
    }
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.format = static_cast<AURA_SOUND_FORMAT>(data[0] % 14);
    exinfo.numchannels = static_cast<int8_t>(data[1]);
    exinfo.defaultfrequency = static_cast<int>(data[2]) * 1000 - 1000;
    static constexpr AURA_MODE kModes[] = {AURA_DEFAULT, AURA_SOFTWARE, AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE,
                                           AURA_CREATECOMPRESSEDSAMPLE};
    const AURA_MODE mode = kModes[data[3] % 4];
    const bool withInfo = (data[3] & 0x80) == 0;
    const uint32_t seekWord = static_cast<uint32_t>(data[4]) << 16 | static_cast<uint32_t>(data[5]) << 8 | data[6];
    data += 8;
    size -= 8;

    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    {
        AURA::Codec *codec = nullptr;
        if (AURA::Codec::create(*AURA::CodecRaw::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
            return 0;
        }
        auto *file = AURA_New(AURA::MemoryFile);
        require(file != nullptr);
        codec->mFile = file;
        static const uint8_t empty = 0;
        if (file->init(nullptr, 0, 0) == AURA_OK &&
            file->open(reinterpret_cast<const char *>(size ? data : &empty), static_cast<unsigned int>(size), false,
                       nullptr) == AURA_OK &&
            codec->open(mode, withInfo ? &exinfo : nullptr) == AURA_OK) {
            AURA_CODEC_WAVEFORMAT waveformat{};
            require(codec->getWaveFormat(0, &waveformat) == AURA_OK);
            require(waveformat.blockalign > 0);
            static std::vector<uint8_t> buffer(70000);
            for (int pass = 0; pass < 3; ++pass) {
                const unsigned int length = waveformat.lengthpcm;
                const unsigned int position = (seekWord * (pass + 1)) % (length + 3);
                require(codec->setPosition(0, position, AURA_TIMEUNIT_PCM) == AURA_OK);
                unsigned int at = 0;
                require(file->tell(&at) == AURA_OK);
                require(at % static_cast<unsigned int>(waveformat.blockalign) == 0 || at == size);
                for (int step = 0; step < 64; ++step) {
                    const unsigned int want = 1 + (seekWord >> step % 16) % 66000;
                    unsigned int got = 0;
                    const AURA_RESULT result = codec->read(buffer.data(), want, &got);
                    require(got <= want);
                    if (result != AURA_OK || got == 0) {
                        break;
                    }
                }
            }
        }
        (void)codec->release();
    }
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
