// Opens the input as an IT through the shared tracker-song run
// (fuzz_codec_music.h): header, extension chunks, instruments, sample
// headers, packed patterns and compressed samples, then up to two seconds
// of it played: new-note actions, envelopes, filters and echo plug-ins.
//
// Input: [order, read size] then the file.
#include "fuzz_codec_music.h"
#include "music/aura_codec_it.h"

namespace {

void put(std::vector<uint8_t> &song, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        song[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<uint8_t> chunk(const char *id, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> out(id, id + 4);
    out.resize(8, 0);
    put(out, 4, static_cast<uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// An "FXnn" echo plug-in record: on the master path or not.
std::vector<uint8_t> echo(int index, bool master)
{
    std::vector<uint8_t> body(0x84 + 24, 0);
    body[8] = master ? 1 : 0;
    std::memcpy(body.data() + 0x40, "Echo", 4);
    put(body, 0x80, 24, 4);
    const float values[5] = {0.5f, 0.5f, 0.1f, 0.2f, 0.0f};
    for (int k = 0; k < 5; ++k) {
        uint32_t bits = 0;
        std::memcpy(&bits, &values[k], 4);
        put(body, 0x88 + 4 * static_cast<size_t>(k), bits, 4);
    }
    const char id[5] = {'F', 'X', '0', static_cast<char>('0' + index), 0};
    return chunk(id, body);
}

// A note on all 64 columns playing one looping 8-bit sample through a
// filtered instrument, column 0 into an echo plug-in and the whole song
// through another: the deepest graph a song builds.
std::vector<uint8_t> widest()
{
    std::vector<uint8_t> song(192, 0);
    std::memcpy(song.data(), "IMPM", 4);
    put(song, 32, 2, 2); // orders
    put(song, 34, 1, 2); // instruments
    put(song, 36, 1, 2); // samples
    put(song, 38, 1, 2); // patterns
    put(song, 42, 0x214, 2);
    put(song, 44, 1 | 4, 2);
    song[48] = 128;
    song[49] = 48;
    song[50] = 6;
    song[51] = 125;
    std::fill(song.begin() + 64, song.begin() + 128, 32);
    std::fill(song.begin() + 128, song.begin() + 192, 64);
    song.insert(song.end(), {0, 255});
    const size_t offsets = song.size();
    song.resize(song.size() + 3 * 4 + 2, 0);
    std::vector<uint8_t> map(4 * 64, 0);
    put(map, 0, 2, 4);
    for (const auto &c : {chunk("CHFX", map), echo(0, true), echo(1, false)}) {
        song.insert(song.end(), c.begin(), c.end());
    }
    const size_t instrument = song.size();
    put(song, offsets, static_cast<uint32_t>(instrument), 4);
    song.resize(instrument + 550, 0);
    std::memcpy(song.data() + instrument, "IMPI", 4);
    song[instrument + 24] = 128;
    song[instrument + 25] = 0x80;
    song[instrument + 58] = 0x80 | 64; // cutoff
    song[instrument + 59] = 0x80 | 64; // resonance
    for (int n = 0; n < 120; ++n) {
        song[instrument + 64 + 2 * static_cast<size_t>(n)] = static_cast<uint8_t>(n);
        song[instrument + 65 + 2 * static_cast<size_t>(n)] = 1;
    }
    const size_t sample = song.size();
    put(song, offsets + 4, static_cast<uint32_t>(sample), 4);
    song.resize(sample + 80, 0);
    std::memcpy(song.data() + sample, "IMPS", 4);
    song[sample + 17] = 64;
    song[sample + 18] = 1 | 0x10; // a looping 8-bit sample
    song[sample + 19] = 64;
    song[sample + 46] = 1;
    put(song, sample + 48, 64, 4);
    put(song, sample + 56, 64, 4);
    put(song, sample + 60, 8363, 4);
    const size_t pattern = song.size();
    put(song, offsets + 8, static_cast<uint32_t>(pattern), 4);
    song.resize(pattern + 8, 0);
    for (int c = 0; c < 64; ++c) {
        song.insert(song.end(), {static_cast<uint8_t>(0x81 + c), 0x03, 60, 1});
    }
    song.push_back(0);
    put(song, pattern, static_cast<uint32_t>(song.size() - pattern - 8), 2);
    put(song, pattern + 2, 1, 2);
    put(song, sample + 72, static_cast<uint32_t>(song.size()), 4);
    for (int i = 0; i < 64; ++i) {
        song.push_back(static_cast<uint8_t>(i * 4 - 128));
    }
    return song;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<uint8_t> warm = widest();
    return aurafuzz::fuzzSong(*AURA::CodecIT::getDescriptionEx(), warm, data, size);
}
