// Opens the input as an Ogg Vorbis file (plain or RIFF-wrapped) from a
// memory file, decodes it, seeks to a place the input chooses and decodes a
// little more. The input buffer is exactly the input's size, so a read past
// it is caught.
//
// Traps when a read reports more bytes than asked, when an opened stream
// describes a format the codec cannot produce, or when the decoder keeps
// answering success without delivering or ending.
#include "codec/aura_codec_oggvorbis.h"
#include "fuzz_codec_memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {
// Bounds the work of one input: a tiny file may claim hours of audio.
constexpr uint64_t MAX_DECODED_BYTES = 64ull << 20;
constexpr unsigned int READ_SIZE = 16384;
// vorbisfile reports each hole as a success with no data; many in a row
// would still be progress, but not endless.
constexpr int MAX_EMPTY_READS = 1 << 16;

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// Reads until the end, an error, or `budget` bytes.
void drain(AURA::Codec *codec, std::vector<uint8_t> &buffer, uint64_t budget)
{
    uint64_t total = 0;
    int empty = 0;
    while (total < budget) {
        unsigned int got = 0;
        const AURA_RESULT result = codec->read(buffer.data(), READ_SIZE, &got);
        require(got <= READ_SIZE);
        total += got;
        if (result != AURA_OK) {
            require(got == 0 || result == AURA_ERR_FILE_EOF);
            return;
        }
        empty = got == 0 ? empty + 1 : 0;
        require(empty < MAX_EMPTY_READS);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AURA::Codec *codec = aurafuzz::codecOverInput(*AURA::CodecOggVorbis::getDescriptionEx(), data, size);
    if (!codec) {
        return 0;
    }

    if (codec->open(AURA_DEFAULT, nullptr) == AURA_OK) {
        const AURA_CODEC_WAVEFORMAT &wf = codec->state()->waveformat[0];
        require(wf.format == AURA_SOUND_FORMAT_PCM16);
        require(wf.channels > 0 && wf.channels <= 255);
        require(wf.frequency > 0);
        require(wf.blockalign == wf.channels * 2);
        require(wf.lengthpcm > 0 && wf.lengthpcm <= AURA::CodecOggVorbis::LENGTH_MAX);

        std::vector<uint8_t> buffer(READ_SIZE);
        drain(codec, buffer, MAX_DECODED_BYTES);

        // A seek target taken from the input's last bytes.
        uint32_t pick = 0;
        for (size_t i = size >= 4 ? size - 4 : 0; i < size; ++i) {
            pick = pick << 8 | data[i];
        }
        const unsigned int target = wf.lengthpcm ? pick % (wf.lengthpcm + 1u) : 0;
        const AURA_RESULT sought = codec->setPosition(0, target, AURA_TIMEUNIT_PCM);
        // After a hard decoder error the codec keeps answering with it.
        require(sought == AURA_OK || sought == AURA_ERR_FILE_COULDNOTSEEK || sought == AURA_ERR_MEMORY ||
                sought == AURA_ERR_FORMAT || sought == AURA_ERR_FILE_BAD);
        drain(codec, buffer, 4 * READ_SIZE);
    }
    (void)codec->release();
    return 0;
}
