// Opens the input as an S3M through the shared tracker-song run
// (fuzz_codec_music.h).
//
// Input: [order, read size] then the file.
#include "fuzz_codec_music.h"
#include "music/aura_codec_s3m.h"

namespace {

void put16(std::vector<uint8_t> &song, size_t at, unsigned int value)
{
    song[at] = static_cast<uint8_t>(value);
    song[at + 1] = static_cast<uint8_t>(value >> 8);
}

// A note on all 32 columns, one looping 8-bit sample.
std::vector<uint8_t> widest()
{
    constexpr size_t INSTRUMENT = 112;
    constexpr size_t PATTERN = 192;
    constexpr size_t DATA = 368;
    std::vector<uint8_t> song(DATA + 64, 0);
    std::memcpy(song.data() + 44, "SCRM", 4);
    put16(song, 32, 1); // orders
    put16(song, 34, 1); // instruments
    put16(song, 36, 1); // patterns
    song[48] = 64;
    song[49] = 6;
    song[50] = 125;
    song[51] = 0xB0;
    for (int c = 0; c < 32; ++c) {
        song[64 + static_cast<size_t>(c)] = static_cast<uint8_t>(c % 16);
    }
    song[96] = 0;
    put16(song, 97, INSTRUMENT / 16);
    put16(song, 99, PATTERN / 16);
    uint8_t *h = song.data() + INSTRUMENT;
    h[0] = 1;
    h[14] = DATA / 16;
    h[16] = 64; // length
    h[24] = 64; // loop end
    h[28] = 64;
    h[31] = 1;
    put16(song, INSTRUMENT + 32, 8363);
    std::vector<uint8_t> packed;
    for (int c = 0; c < 32; ++c) {
        packed.insert(packed.end(), {static_cast<uint8_t>(0x20 | c), 0x40, 1});
    }
    packed.insert(packed.end(), 64, 0);
    put16(song, PATTERN, static_cast<unsigned int>(packed.size() + 2));
    std::copy(packed.begin(), packed.end(), song.begin() + PATTERN + 2);
    for (int i = 0; i < 64; ++i) {
        song[DATA + static_cast<size_t>(i)] = static_cast<uint8_t>(128 + i);
    }
    return song;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<uint8_t> warm = widest();
    return aurafuzz::fuzzSong(*AURA::CodecS3M::getDescriptionEx(), warm, data, size);
}
