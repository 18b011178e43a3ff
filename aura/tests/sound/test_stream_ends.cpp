// Streams that end on a real-time output: the mixer thread stops the voice
// that plays a stream's ring where the decoded data ends, in the block it
// ends in, whenever the stream thread next looks. What the mixer wrote is
// read back from the real-time WAV writer. Through the public interface.
#include "aura.h"
#include "aura.hpp"
#include "files.h"
#include "stdio_files.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr unsigned int kBlock = 256;
constexpr unsigned int kChunk = 4096;

// Stereo frames that are never silent and follow no short period.
int16_t sampleAt(uint32_t frame, int channel)
{
    const uint32_t scrambled = (frame * 2654435761u) >> 13;
    const auto level = static_cast<int16_t>(1000 + (scrambled + static_cast<uint32_t>(channel) * 5000u) % 20000u);
    return channel == 0 ? level : static_cast<int16_t>(-level);
}

// A 16-bit stereo WAV file of `held` frames whose data chunk declares
// `declared`.
auratest::Bytes streamFile(uint32_t held, uint32_t declared)
{
    auratest::Bytes data;
    for (uint32_t i = 0; i < held; ++i) {
        for (int c = 0; c < 2; ++c) {
            auratest::put16(data, static_cast<uint16_t>(sampleAt(i, c)));
        }
    }
    return auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, 2, kRate, 4, 16)),
                           auratest::chunkSized("data", declared * 4, data)});
}

// A system on `output` at the files' rate and format, in blocks of kBlock.
AURA_SYSTEM *startSystem(AURA_OUTPUTTYPE output, unsigned int flags, void *driverdata)
{
    AURA_SYSTEM *system = nullptr;
    EXPECT_EQ(AURA_System_Create(&system), AURA_OK);
    const bool ready =
        system && AURA_System_SetOutput(system, output) == AURA_OK &&
        AURA_System_SetSoftwareFormat(system, kRate, AURA_SOUND_FORMAT_PCM16, 2, 2, AURA_DSP_RESAMPLER_LINEAR) ==
            AURA_OK &&
        AURA_System_SetDSPBufferSize(system, kBlock, 4) == AURA_OK &&
        AURA_System_Init(system, 8, flags, driverdata) == AURA_OK;
    EXPECT_TRUE(ready);
    if (!ready && system) {
        (void)AURA_System_Release(system);
        return nullptr;
    }
    return system;
}

std::atomic<int> gEnds{0};

AURA_RESULT countEnds(AURA_CHANNEL *, AURA_CHANNEL_CALLBACKTYPE type, void *, void *)
{
    gEnds += type == AURA_CHANNEL_CALLBACKTYPE_END ? 1 : 0;
    return AURA_OK;
}

// A file read through callbacks that claim `gClaimedSize` bytes: it ends
// before its size says, as a file cut while it plays would.
unsigned int gClaimedSize = 0;

AURA_RESULT claimOpen(const char *name, int, unsigned int *filesize, void **handle, void **userdata)
{
    FILE *file = std::fopen(name, "rb");
    if (!file) {
        return AURA_ERR_FILE_NOTFOUND;
    }
    *filesize = gClaimedSize;
    *handle = file;
    *userdata = nullptr;
    return AURA_OK;
}

struct EndCase {
    const char *name;
    uint32_t held; // frames the file holds
    uint32_t declared; // frames its header claims
    int loops; // loops played before the end (-1: none asked for)
    bool claimsAll; // the file says it holds what its header declares
    unsigned int chunk = kChunk; // frames decoded at a time; the ring holds four chunks
    // Once the channel has played `seekAt` frames it moves to `seekTo`
    // (seekAt 0: no seek).
    uint32_t seekAt = 0;
    uint32_t seekTo = 0;
};

// Block ends never meet the data ends (the voice starts on a block's first
// frame and moves one frame per output frame): a voice that played on to the
// block's end would stand past the data end in the ring.
TEST(StreamEndThreads, TheMixerStopsTheRingWhereTheDataEnds)
{
    const EndCase cases[] = {
        {"intact", 20000, 20000, -1, false},
        {"cut after the first ring", 20000, 50000, -1, false},
        // The codec sees the cut: the ring holds the whole stream.
        {"cut inside the first ring", 10000, 30000, -1, false},
        // The first fill of the ring finds the cut.
        {"cut inside the first ring, unseen at the open", 10000, 30000, -1, true},
        // The file's buffer past the cut holds earlier bytes: not data.
        {"cut after the first ring, unseen at the open", 20000, 50000, -1, true},
        {"intact, played twice", 20000, 20000, 1, false},
        // The end is decoded (by a fill well before it is played), then a
        // seek back fills the ring anew, short of the end: the old end is
        // gone, and a later fill finds it again.
        {"moved back after its end was decoded", 120000, 120000, -1, false, 16384, 80000, 5000},
    };
    for (const EndCase &c : cases) {
        SCOPED_TRACE(c.name);
        auratest::TempDir dir("aura-stream-ends");
        ASSERT_TRUE(dir.ok());
        const std::string input = dir.file("input.wav");
        ASSERT_TRUE(auratest::writeAll(input, streamFile(c.held, c.declared)));
        std::string output = dir.file("mix.wav");
        // Frames the ring plays from the last (re)start to the end.
        const uint32_t played = (c.held - c.seekTo) * static_cast<uint32_t>(c.loops >= 0 ? c.loops + 1 : 1);
        ASSERT_NE(played % kBlock, 0u);

        AURA_SYSTEM *system = startSystem(AURA_OUTPUTTYPE_WAVWRITER, AURA_INIT_NORMAL, output.data());
        ASSERT_NE(system, nullptr);

        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.decodebuffersize = c.chunk;
        if (c.claimsAll) {
            gClaimedSize = static_cast<unsigned int>(streamFile(0, c.declared).size()) + c.declared * 4;
            exinfo.useropen = claimOpen;
            exinfo.userclose = auratest::stdioClose;
            exinfo.userread = auratest::stdioRead;
            exinfo.userseek = auratest::stdioSeek;
        }
        AURA_SOUND *stream = nullptr;
        const AURA_MODE mode = c.loops >= 0 ? AURA_LOOP_NORMAL : AURA_DEFAULT;
        ASSERT_EQ(AURA_System_CreateStream(system, input.c_str(), mode, &exinfo, &stream), AURA_OK);
        AURA_CHANNEL *channel = nullptr;
        ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stream, 1, &channel), AURA_OK);
        gEnds = 0;
        ASSERT_EQ(AURA_Channel_SetCallback(channel, countEnds), AURA_OK);
        if (c.loops >= 0) {
            ASSERT_EQ(reinterpret_cast<AURA::Channel *>(channel)->setLoopCount(c.loops), AURA_OK);
        }
        ASSERT_EQ(AURA_Channel_SetPaused(channel, 0), AURA_OK);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        if (c.seekAt > 0) {
            unsigned int at = 0;
            while (at < c.seekAt && std::chrono::steady_clock::now() < deadline) {
                ASSERT_EQ(AURA_Channel_GetPosition(channel, &at, AURA_TIMEUNIT_PCM), AURA_OK);
                std::this_thread::yield();
            }
            ASSERT_GE(at, c.seekAt);
            ASSERT_EQ(AURA_Channel_SetPosition(channel, c.seekTo, AURA_TIMEUNIT_PCM), AURA_OK);
        }

        // The channel reports the end once the mixer has stopped its voice
        // (or once the stream thread has seen it).
        int playing = 1;
        while (playing && std::chrono::steady_clock::now() < deadline) {
            ASSERT_EQ(AURA_Channel_IsPlaying(channel, &playing), AURA_OK);
            std::this_thread::yield();
        }
        ASSERT_EQ(playing, 0) << "the stream never ended";
        // Where the voice stands in the ring: at the data end, not at the end
        // of the block that held it, nor further on in the ring's silence.
        unsigned int ring = 0;
        ASSERT_EQ(AURA_Channel_GetPosition(channel, &ring, AURA_TIMEUNIT_BUFFERED), AURA_OK);
        EXPECT_EQ(ring, played % (4 * c.chunk));
        unsigned int position = 0;
        ASSERT_EQ(AURA_Channel_GetPosition(channel, &position, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(position, c.held);
        // A file that held less than it said is reported so.
        AURA_OPENSTATE state{};
        AURA_RESULT failure = AURA_ERR_INTERNAL;
        ASSERT_EQ(reinterpret_cast<AURA::Sound *>(stream)->getOpenState(&state, &failure), AURA_OK);
        EXPECT_EQ(failure, c.held < c.declared ? AURA_ERR_FILE_EOF : AURA_OK);
        // The next update tells the end once.
        ASSERT_EQ(AURA_System_Update(system), AURA_OK);
        EXPECT_EQ(gEnds.load(), 1);
        EXPECT_NE(AURA_Channel_IsPlaying(channel, &playing), AURA_OK);
        ASSERT_EQ(AURA_System_Update(system), AURA_OK);
        EXPECT_EQ(gEnds.load(), 1);
        ASSERT_EQ(AURA_Sound_Release(stream), AURA_OK);
        ASSERT_EQ(AURA_System_Release(system), AURA_OK);

        // Every frame the file held, in order (up to the seek, then from its
        // target), then silence.
        const auratest::Wav mix = auratest::readWav(output);
        ASSERT_TRUE(mix.valid) << mix.error;
        ASSERT_EQ(mix.channels, 2u);
        const size_t frames = mix.pcm16.size() / 2;
        auto matches = [&](size_t at, uint32_t from, uint32_t count) {
            for (uint32_t i = 0; i < count; ++i) {
                for (int ch = 0; ch < 2; ++ch) {
                    if (at + i >= frames ||
                        mix.pcm16[2 * (at + i) + static_cast<size_t>(ch)] != sampleAt((from + i) % c.held, ch)) {
                        return false;
                    }
                }
            }
            return true;
        };
        size_t first = 0;
        while (first < frames && mix.pcm16[2 * first] == 0) {
            ++first;
        }
        size_t resumed = first;
        if (c.seekAt > 0) {
            // Where the target's frames begin in the mix, after the frames
            // played before the seek (16 frames in a row name them).
            resumed = first + c.seekAt;
            while (resumed < frames && !matches(resumed, c.seekTo, 16)) {
                ++resumed;
            }
            // The seek pauses the voice while it fills the ring anew: what
            // the mixer mixed meanwhile is silence.
            size_t paused = first;
            while (paused < resumed && matches(paused, static_cast<uint32_t>(paused - first), 1)) {
                ++paused;
            }
            ASSERT_GE(paused - first, c.seekAt) << "before the seek";
            for (size_t i = 2 * paused; i < 2 * resumed; ++i) {
                ASSERT_EQ(mix.pcm16[i], 0) << "sample " << i << " during the seek";
            }
        }
        ASSERT_TRUE(matches(resumed, c.seekTo, played)) << "from frame " << resumed;
        for (size_t i = 2 * (resumed + played); i < mix.pcm16.size(); ++i) {
            ASSERT_EQ(mix.pcm16[i], 0) << "sample " << i << " after the data end";
        }
    }
}

// Without the software mixer the ring plays on an emulated voice that keeps
// time in the update: the stream ends in the very update in which a sample
// of the same frames, started with it, ends.
TEST(StreamEnds, OnAnEmulatedVoiceAStreamEndsInTheUpdateItsSampleEndsIn)
{
    auratest::TempDir dir("aura-stream-ends");
    ASSERT_TRUE(dir.ok());
    const std::string input = dir.file("input.wav");
    constexpr uint32_t kFrames = 20000;
    ASSERT_TRUE(auratest::writeAll(input, streamFile(kFrames, kFrames)));

    AURA_SYSTEM *system = startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, AURA_INIT_SOFTWARE_DISABLE, nullptr);
    ASSERT_NE(system, nullptr);
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.decodebuffersize = kChunk;
    AURA_SOUND *stream = nullptr;
    ASSERT_EQ(AURA_System_CreateStream(system, input.c_str(), AURA_DEFAULT, &exinfo, &stream), AURA_OK);
    AURA_SOUND *sample = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(system, input.c_str(), AURA_DEFAULT, nullptr, &sample), AURA_OK);
    AURA_CHANNEL *streamChannel = nullptr;
    AURA_CHANNEL *sampleChannel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stream, 1, &streamChannel), AURA_OK);
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sample, 1, &sampleChannel), AURA_OK);
    ASSERT_EQ(AURA_Channel_SetPaused(streamChannel, 0), AURA_OK);
    ASSERT_EQ(AURA_Channel_SetPaused(sampleChannel, 0), AURA_OK);

    int streamEnd = -1;
    int sampleEnd = -1;
    for (int update = 0; update < 1000 && (streamEnd < 0 || sampleEnd < 0); ++update) {
        ASSERT_EQ(AURA_System_Update(system), AURA_OK);
        int playing = 0;
        if (streamEnd < 0 && AURA_Channel_IsPlaying(streamChannel, &playing) != AURA_OK) {
            streamEnd = update;
        }
        if (sampleEnd < 0 && AURA_Channel_IsPlaying(sampleChannel, &playing) != AURA_OK) {
            sampleEnd = update;
        }
    }
    EXPECT_GE(sampleEnd, static_cast<int>(kFrames / kBlock));
    EXPECT_EQ(streamEnd, sampleEnd);
    ASSERT_EQ(AURA_Sound_Release(stream), AURA_OK);
    ASSERT_EQ(AURA_Sound_Release(sample), AURA_OK);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
