// Opens the input through the AudioQueue codec (MP4/M4A/MOV, CAF, ADTS,
// AIFF and WAV demuxers; AAC, ALAC, linear PCM, IMA4, G.711 and GSM
// decoders) from a memory file, decodes it (16-bit, or float for float
// PCM), seeks to
// a place the input chooses and decodes a little more, then interrupts and
// resumes the queue. The input buffer is exactly the input's size, so a
// read past it is caught.
//
// Traps when a read reports more bytes than asked, when an opened file
// describes a format the codec cannot produce, or when reads keep
// answering success without delivering or ending.
#include "codec/aura_codec_audioqueue.h"
#include "fuzz_codec_memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {
// Bounds the work of one input: a tiny file may claim hours of audio.
constexpr uint64_t MAX_DECODED_BYTES = 32ull << 20;
constexpr unsigned int READ_SIZE = 16384;

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// Reads until the end, an error, or `budget` bytes; every read delivers
// or ends.
void drain(AURA::Codec *codec, std::vector<uint8_t> &buffer, uint64_t budget)
{
    uint64_t total = 0;
    while (total < budget) {
        unsigned int got = 0;
        const AURA_RESULT result = codec->read(buffer.data(), READ_SIZE, &got);
        require(got <= READ_SIZE);
        total += got;
        if (result != AURA_OK || got == 0) {
            return;
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AURA::Codec *codec = aurafuzz::codecOverInput(*AURA::CodecAudioQueue::getDescriptionEx(), data, size);
    if (!codec) {
        return 0;
    }

    if (codec->open(AURA_DEFAULT, nullptr) == AURA_OK) {
        const AURA_CODEC_WAVEFORMAT &wf = codec->state()->waveformat[0];
        require(wf.format == AURA_SOUND_FORMAT_PCM16 || wf.format == AURA_SOUND_FORMAT_PCMFLOAT);
        require(wf.channels > 0 && wf.channels <= 32);
        require(wf.frequency > 0);
        require(wf.lengthpcm > 0);

        std::vector<uint8_t> buffer(READ_SIZE);
        drain(codec, buffer, MAX_DECODED_BYTES);

        // A seek target taken from the input's last bytes.
        uint32_t pick = 0;
        for (size_t i = size >= 4 ? size - 4 : 0; i < size; ++i) {
            pick = pick << 8 | data[i];
        }
        const unsigned int target = pick % (wf.lengthpcm + 1u);
        if (codec->setPosition(0, target, AURA_TIMEUNIT_PCM) == AURA_OK) {
            drain(codec, buffer, 4 * READ_SIZE);
            if (AURA::CodecAudioQueue::resetAll(true, false) == AURA_OK &&
                AURA::CodecAudioQueue::resetAll(false, true) == AURA_OK) {
                drain(codec, buffer, 4 * READ_SIZE);
            }
        }
    }
    (void)codec->release();
    return 0;
}
