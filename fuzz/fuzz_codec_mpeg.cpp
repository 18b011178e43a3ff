// Opens the input as MPEG audio (plain or RIFF-wrapped) from a memory file,
// with the mode chosen by the input's last byte (accurate time, unbounded
// sync search, an outer container's flags), decodes up to 200 frames, then
// seeks to three places the input chooses and decodes a little after each.
// The input buffer is exactly the input's size, so a read past it is caught.
//
// Traps when a read reports more bytes than asked or than a frame can hold,
// when an opened stream describes a format the codec cannot produce, or when
// reads keep answering success without delivering.
#include "mpeg/aura_codec_mpeg.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_mpeg";

constexpr unsigned int FRAME_BYTES = 1152 * 2 * 2;
constexpr int MAX_FRAMES = 200;

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// Reads up to `frames` frames' worth, or to the end or an error.
void drain(AURA::Codec *codec, std::vector<uint8_t> &buffer, int frames)
{
    for (int i = 0; i < frames; ++i) {
        unsigned int got = 0;
        const AURA_RESULT result = codec->read(buffer.data(), FRAME_BYTES, &got);
        require(got <= FRAME_BYTES);
        if (result != AURA_OK) {
            return;
        }
        require(got > 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 0x7FFFFFFF) {
        return 0;
    }
    const uint8_t control = data[size - 1];
    AURA_MODE mode = AURA_DEFAULT;
    if (control & 1) {
        mode |= AURA_ACCURATETIME;
    }
    if (control & 2) {
        mode |= AURA_MPEGSEARCH;
    }
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecMPEG::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
        return 0;
    }
    auto *file = AURA_New(AURA::MemoryFile);
    if (!file) {
        (void)codec->release();
        return 0;
    }
    codec->mFile = file;
    // Further control bits play an outer container: its flag and the
    // padding its layer III frames are stored with.
    if (control & 4) {
        codec->mFlags |= AURA::CodecMPEG::FLAG_CONTAINER;
    }
    if (control & 8) {
        codec->mFlags |= AURA::CodecMPEG::FLAG_PAD2;
    }
    if (control & 16) {
        codec->mFlags |= AURA::CodecMPEG::FLAG_PAD4;
    }
    if (file->init(nullptr, 0, 0) != AURA_OK ||
        file->open(reinterpret_cast<const char *>(data), static_cast<unsigned int>(size), false, nullptr) != AURA_OK) {
        (void)codec->release();
        return 0;
    }

    if (codec->open(mode, nullptr) == AURA_OK) {
        const AURA_CODEC_WAVEFORMAT &wf = codec->state()->waveformat[0];
        require(wf.format == AURA_SOUND_FORMAT_PCM16);
        require(wf.channels == 1 || wf.channels == 2);
        require(wf.frequency >= 8000 && wf.frequency <= 48000);
        std::vector<uint8_t> buffer(FRAME_BYTES);
        drain(codec, buffer, MAX_FRAMES);
        const unsigned int length = wf.lengthpcm == 0xFFFFFFFFu ? 0 : wf.lengthpcm;
        for (int i = 0; i < 3; ++i) {
            const uint8_t pick = size > static_cast<size_t>(i + 2) ? data[size - 2 - i] : 0;
            const unsigned int position =
                static_cast<unsigned int>(static_cast<uint64_t>(length + 2000u) * pick / 255u);
            (void)codec->setPosition(0, position, AURA_TIMEUNIT_PCM);
            drain(codec, buffer, 4);
        }
    }
    (void)codec->release();
    return 0;
}
