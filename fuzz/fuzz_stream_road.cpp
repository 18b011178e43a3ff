// The stream road as a player takes it: the input is opened from memory as
// a stream (by whichever codec takes it), played through the
// non-real-time WAV writer with a loop, sought to a place the input chooses,
// and played on for a bounded number of blocks.
//
// Input: [loops, seek hi, seek lo, decode size] then the file. loops % 3
// extra plays; the seek lands at (seek / 65536) of the stream's length;
// decode size picks the ring's chunk (256 << (size % 5) frames).
//
// Traps when an open succeeds with a format the engine cannot play, when a
// call answers something no caller can expect, or when an update fails.
#include "fuzz_stream_play.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzplay::Input in;
    if (!fuzzplay::readInput(data, size, 0x7FFFFFFF, &in)) {
        return 0;
    }
    AURA::System *sys = fuzzplay::system();
    in.exinfo.decodebuffersize = 256u << (in.own % 5);
    AURA::Sound *stream = nullptr;
    const AURA_MODE mode = AURA_OPENMEMORY | AURA_CREATESTREAM | (in.loops ? AURA_LOOP_NORMAL : AURA_LOOP_OFF);
    if (sys->createStream(in.file, mode, &in.exinfo, &stream) != AURA_OK) {
        fuzzplay::require(stream == nullptr);
        return 0;
    }
    fuzzplay::play(stream, in.loops, in.seek);
    return 0;
}
