// Opens the input as an XM through the shared tracker-song run
// (fuzz_codec_music.h).
//
// Input: [order, read size] then the file.
#include "fuzz_codec_music.h"
#include "music/aura_codec_xm.h"

namespace {

void put(std::vector<uint8_t> &song, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        song.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A note on all 64 columns, one instrument of one looping 8-bit sample.
std::vector<uint8_t> widest()
{
    std::vector<uint8_t> song(60, 0);
    std::memcpy(song.data(), "Extended Module: ", 17);
    song[37] = 0x1A;
    put(song, 276, 4);
    for (const uint32_t field : {1u, 0u, 64u, 1u, 1u, 1u, 6u, 125u}) {
        put(song, field, 2);
    }
    song.resize(song.size() + 256, 0);
    put(song, 9, 4);
    song.push_back(0);
    put(song, 1, 2);
    put(song, 64 * 3, 2);
    for (int c = 0; c < 64; ++c) {
        song.insert(song.end(), {0x83, 49, 1});
    }
    const size_t instrument = song.size();
    put(song, 263, 4);
    song.resize(instrument + 27, 0);
    put(song, 1, 2);
    put(song, 40, 4);
    song.resize(instrument + 263, 0);
    put(song, 64, 4); // length
    put(song, 0, 4);
    put(song, 64, 4); // loop length
    song.insert(song.end(), {64, 0, 1, 128, 0, 0});
    song.resize(song.size() + 22, 0);
    song.insert(song.end(), 64, 4); // a rising ramp, delta coded
    return song;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<uint8_t> warm = widest();
    return aurafuzz::fuzzSong(*AURA::CodecXM::getDescriptionEx(), warm, data, size);
}
