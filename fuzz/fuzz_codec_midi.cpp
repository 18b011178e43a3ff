// Opens the input as a MIDI file from memory on a small DLS bank of sines
// written at start-up, renders up to a second of it, seeks to where the
// input says, renders again, seeks back and closes.
//
// Input: [polyphony, seek, read size] then the file.
//
// Traps when a read reports other than what it was asked for, when the
// length passes the scan's cap, or when the codec or its bank leaves memory
// allocated after release.
#include "aura.hpp"
#include "base/aura_memory.h"
#include "codec/aura_codec.h"
#include "file/aura_file_memory.h"
#include "music/aura_codec_midi.h"
#include "system/aura_systemi.h"

#include "files.h"
#include "midi_writer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_midi";
constexpr size_t HEADER = 3;
constexpr int RATE = 8000;

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

AURA::SystemI *system()
{
    static AURA::System *made = nullptr;
    if (!made) {
        require(AURA::System_Create(&made) == AURA_OK);
        require(made->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) == AURA_OK);
        require(made->setSoftwareFormat(RATE, AURA_SOUND_FORMAT_PCMFLOAT, 2, 6, AURA_DSP_RESAMPLER_LINEAR) == AURA_OK);
        require(made->init(8, AURA_INIT_NORMAL, nullptr) == AURA_OK);
    }
    return static_cast<AURA::SystemI *>(made);
}

// Two sines: a melodic instrument with an envelope, a key group and drums.
const std::string &bankPath()
{
    static const std::string path = [] {
        static auratest::TempDir dir("fuzz-midi");
        const std::string file = dir.file("bank.dls");
        auratest::DlsRegion low;
        low.high = 59;
        low.keyGroup = 1;
        low.connections = {{0, 0, 0x0206, 0, -600000000}, {0, 0, 0x020A, 0, 30000000}, {1, 0, 0x0003, 0, 655360}};
        auratest::DlsRegion high;
        high.low = 60;
        high.wave = 1;
        high.ownSample = true;
        high.fineTune = -20;
        auratest::DlsRegion drum;
        drum.wave = 7; // past the waves: no wave
        const std::vector<auratest::DlsInstrument> instruments = {
            {0, 0, {low, high}}, {0, 1, {high}}, {0x80000000u, 0, {low, drum}}};
        require(auratest::writeAll(file, auratest::sineBank({{16, 60, 0, 4}, {20, 69, 5, 4}}, instruments)));
        return file;
    }();
    return path;
}

void render(AURA::Codec &codec, unsigned int frames, unsigned int step)
{
    static std::vector<float> buffer(2 * 4096);
    while (frames > 0) {
        const unsigned int n = std::min({frames, step, 4096u});
        unsigned int got = 0;
        if (codec.mDescription.read(codec.state(), buffer.data(), n * 8, &got) != AURA_OK) {
            return;
        }
        require(got == n * 8);
        frames -= n;
    }
}

void playOnce(AURA::SystemI *engine, const uint8_t *song, size_t length, const uint8_t *header)
{
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecMIDI::getDescriptionEx(), engine, &codec) != AURA_OK) {
        return;
    }
    auto *file = AURA_New(AURA::MemoryFile);
    require(file != nullptr);
    codec->mFile = file;
    static const uint8_t empty = 0;
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.dlsname = bankPath().c_str();
    exinfo.maxpolyphony = header[0] % 8;
    if (file->init(nullptr, 0, 0) == AURA_OK &&
        file->open(reinterpret_cast<const char *>(length ? song : &empty), static_cast<unsigned int>(length), false,
                   nullptr) == AURA_OK &&
        codec->open(AURA_SOFTWARE, &exinfo) == AURA_OK) {
        require(codec->mState.waveformat->lengthpcm <= AURA::CodecMIDI::MAX_SONG_MS / 1000 * RATE + 1);
        const unsigned int step = 1u + header[2] * 37u;
        render(*codec, RATE / 2, step);
        (void)codec->setPosition(0, header[1] * 100u, AURA_TIMEUNIT_PCM);
        render(*codec, RATE / 2, step);
        (void)codec->setPosition(0, 10, AURA_TIMEUNIT_PCM);
        render(*codec, 256, step);
    }
    (void)codec->release();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER || size > (1u << 18)) {
        return 0;
    }
    AURA::SystemI *engine = system();
    static const bool warm = [engine] {
        // The graph grows to its size once; a song on every voice first.
        std::vector<uint8_t> song = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96};
        auratest::MidiTrack track;
        for (int k = 0; k < 8; ++k) {
            track.note(0, 20, k, 40 + k * 5);
        }
        const std::vector<uint8_t> chunk = auratest::trackChunk(track);
        song.insert(song.end(), chunk.begin(), chunk.end());
        const uint8_t header[HEADER] = {7, 0, 0};
        playOnce(engine, song.data(), song.size(), header);
        return true;
    }();
    (void)warm;
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    playOnce(engine, data + HEADER, size - HEADER, data);
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
