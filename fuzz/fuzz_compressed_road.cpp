// The compressed-sample road: the input is opened from memory as a sample
// kept compressed (IMA ADPCM blocks and MPEG frames stay as the file holds
// them; other formats load as PCM), its first subsound when it has some,
// and played through the non-real-time WAV writer by the decoding units
// with a loop, a seek to a place the input chooses and a bounded number of
// blocks.
//
// Input: [loops, seek hi, seek lo, unused] then the file: loops % 3 extra
// plays; the seek lands at (seek / 65536) of the sample's length.
//
// Traps when an open succeeds with a format the engine cannot play, when a
// call answers something no caller can expect, or when an update fails.
#include "fuzz_stream_play.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzplay::Input in;
    if (!fuzzplay::readInput(data, size, 1u << 20, &in)) {
        return 0;
    }
    AURA::System *sys = fuzzplay::system();
    AURA::Sound *sound = nullptr;
    const AURA_MODE mode = AURA_OPENMEMORY | AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE |
                           (in.loops ? AURA_LOOP_NORMAL : AURA_LOOP_OFF);
    if (sys->createSound(in.file, mode, &in.exinfo, &sound) != AURA_OK) {
        fuzzplay::require(sound == nullptr);
        return 0;
    }
    int subsounds = 0;
    fuzzplay::require(sound->getNumSubSounds(&subsounds) == AURA_OK);
    AURA::Sound *first = nullptr;
    if (subsounds > 0 && (sound->getSubSound(0, &first) != AURA_OK || !first)) {
        fuzzplay::require(sound->release() == AURA_OK);
        return 0;
    }
    fuzzplay::play(first ? first : sound, in.loops, in.seek, sound);
    return 0;
}
