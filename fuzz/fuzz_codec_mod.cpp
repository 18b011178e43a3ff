// Opens the input as a MOD through the shared tracker-song run
// (fuzz_codec_music.h).
//
// Input: [order, read size] then the file.
#include "fuzz_codec_music.h"
#include "music/aura_codec_mod.h"

namespace {

// A song on every column of the widest MOD.
std::vector<uint8_t> widest()
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
    return song;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<uint8_t> warm = widest();
    return aurafuzz::fuzzSong(*AURA::CodecMOD::getDescriptionEx(), warm, data, size);
}
