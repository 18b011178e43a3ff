// Streams through the C interface: Ogg Vorbis and WAV files decoded while
// they play, rendered one block per update by the WAV writer and compared
// with the reference decoders' output.
#include "aura.h"
#include "aura.hpp"
#include "files.h"
#include "stdio_files.h"
#include "tools.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <chrono>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

namespace {

using auratest::quote;
using auratest::run;

std::vector<int16_t> rawSamples(const auratest::Bytes &bytes)
{
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

class Streams : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.ok());
        mSystem = mRender.handle();
        ASSERT_NE(mSystem, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(mRender.release(), AURA_OK);
        mSystem = nullptr;
    }

    // An Ogg file of a stereo tone and what oggdec makes of it.
    std::string makeOgg(const std::string &name, double seconds, std::vector<int16_t> *decoded)
    {
        const std::string wav = mDir.file(name + ".wav");
        const std::string ogg = mDir.file(name + ".ogg");
        const std::string raw = mDir.file(name + ".raw");
        EXPECT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(wav) + " synth " + std::to_string(seconds) +
                        " sine 220-880 sine 330 vol 0.5"));
        EXPECT_TRUE(run("oggenc -Q -o " + quote(ogg) + " " + quote(wav)));
        EXPECT_TRUE(run("oggdec -Q -R -o " + quote(raw) + " " + quote(ogg)));
        *decoded = rawSamples(auratest::readAll(raw));
        return ogg;
    }

    void update(int times) { mRender.update(times); }

    std::vector<int16_t> finish()
    {
        mSystem = nullptr;
        return mRender.finish().pcm16;
    }

    auratest::TempDir mDir{"aura-streams"};
    auratest::WavRender mRender{{44100, AURA_SOUND_FORMAT_PCM16, 384, AURA_DSP_RESAMPLER_LINEAR, 32}};
    AURA_SYSTEM *mSystem = nullptr;
};

TEST_F(Streams, AnOggStreamPlaysAsOggdecDecodesItAcrossRingWraps)
{
    std::vector<int16_t> expected;
    const std::string ogg = makeOgg("song", 3.0, &expected);
    AURA_SOUND *stream = nullptr;
    ASSERT_EQ(AURA_System_CreateStream(mSystem, ogg.c_str(), AURA_DEFAULT, nullptr, &stream), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(AURA_Sound_GetLength(stream, &length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, expected.size() / 2);
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(mSystem, AURA_CHANNEL_FREE, stream, 0, &channel), AURA_OK);
    static std::atomic<int> ends{0};
    ends = 0;
    ASSERT_EQ(AURA_Channel_SetCallback(channel,
                                       [](AURA_CHANNEL *, AURA_CHANNEL_CALLBACKTYPE type, void *, void *) {
                                           ends += type == AURA_CHANNEL_CALLBACKTYPE_END ? 1 : 0;
                                           return AURA_OK;
                                       }),
              AURA_OK);
    unsigned int last = 0;
    bool ended = false;
    for (int i = 0; i < 400 && !ended; ++i) {
        update(1);
        unsigned int ms = 0;
        const AURA_RESULT result = AURA_Channel_GetPosition(channel, &ms, AURA_TIMEUNIT_MS);
        if (result != AURA_OK) {
            ended = true;
            break;
        }
        EXPECT_GE(ms, last) << "positions only grow";
        last = ms;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(ends.load(), 1);
    update(3);
    const std::vector<int16_t> out = finish();
    ASSERT_GE(out.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(out[i], expected[i]) << "sample " << i;
    }
}

TEST_F(Streams, ASeekInMillisecondsLandsOnItsSampleAndPlaysFromThere)
{
    std::vector<int16_t> expected;
    const std::string ogg = makeOgg("seek", 2.5, &expected);
    AURA_SOUND *stream = nullptr;
    ASSERT_EQ(AURA_System_CreateStream(mSystem, ogg.c_str(), AURA_DEFAULT, nullptr, &stream), AURA_OK);
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(mSystem, AURA_CHANNEL_FREE, stream, 1, &channel), AURA_OK);
    ASSERT_EQ(AURA_Channel_SetPosition(channel, 1000, AURA_TIMEUNIT_MS), AURA_OK);
    unsigned int pcm = 0;
    ASSERT_EQ(AURA_Channel_GetPosition(channel, &pcm, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(pcm, 44100u);
    ASSERT_EQ(AURA_Channel_SetPaused(channel, 0), AURA_OK);
    update(150);
    const std::vector<int16_t> out = finish();
    const size_t frames = std::min(out.size(), expected.size() - 2 * 44100) / 2;
    ASSERT_GT(frames, 44100u);
    for (size_t i = 0; i < frames * 2; ++i) {
        ASSERT_EQ(out[i], expected[2 * 44100 + i]) << "sample " << i;
    }
}

// A looping stream with a loop count of 2: the whole stream three times.
std::vector<int16_t> playThreeTimes(Streams &test, AURA_SYSTEM *system, const std::string &ogg, int updates)
{
    AURA_SOUND *stream = nullptr;
    EXPECT_EQ(AURA_System_CreateStream(system, ogg.c_str(), AURA_LOOP_NORMAL, nullptr, &stream), AURA_OK);
    AURA_CHANNEL *channel = nullptr;
    EXPECT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stream, 1, &channel), AURA_OK);
    EXPECT_EQ(reinterpret_cast<AURA::Channel *>(channel)->setLoopCount(2), AURA_OK);
    EXPECT_EQ(AURA_Channel_SetPaused(channel, 0), AURA_OK);
    test.update(updates);
    return test.finish();
}

void expectThreePlays(const std::vector<int16_t> &out, const std::vector<int16_t> &expected)
{
    ASSERT_GE(out.size(), expected.size() * 3);
    for (size_t loop = 0; loop < 3; ++loop) {
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(out[loop * expected.size() + i], expected[i]) << "play " << loop << " sample " << i;
        }
    }
}

TEST_F(Streams, AShortStreamFitsItsRingAndALoopCountRepeatsIt)
{
    // Half a second fits the ring: decoded once, then played like a sample.
    std::vector<int16_t> expected;
    const std::string ogg = makeOgg("short", 0.5, &expected);
    const std::vector<int16_t> out = playThreeTimes(*this, mSystem, ogg, 250);
    mSystem = nullptr;
    expectThreePlays(out, expected);
    for (size_t i = expected.size() * 3; i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0) << "silence after the third play, sample " << i;
    }
}

TEST_F(Streams, ALongStreamLoopsTwiceThenPlaysOn)
{
    std::vector<int16_t> expected;
    const std::string ogg = makeOgg("loops", 1.5, &expected);
    const std::vector<int16_t> out = playThreeTimes(*this, mSystem, ogg, 560);
    mSystem = nullptr;
    expectThreePlays(out, expected);
}

TEST_F(Streams, MissingAndForeignFilesAreRefused)
{
    AURA_SOUND *stream = nullptr;
    EXPECT_EQ(AURA_System_CreateStream(mSystem, mDir.file("none.ogg").c_str(), AURA_DEFAULT, nullptr, &stream),
              AURA_ERR_FILE_NOTFOUND);
    const std::string text = mDir.file("text.ogg");
    auratest::writeAll(text, auratest::Bytes(100, 'x'));
    EXPECT_EQ(AURA_System_CreateStream(mSystem, text.c_str(), AURA_DEFAULT, nullptr, &stream), AURA_ERR_FORMAT);
    EXPECT_EQ(stream, nullptr);
}

} // namespace

namespace {

// Two streams refilled by the stream thread while the mixer thread plays
// them and the caller pauses, seeks, stops, plays and releases at random.
TEST(StreamsThreads, RandomCallsOnTwoPlayingStreams)
{
    auratest::TempDir dir("aura-stream-threads");
    ASSERT_TRUE(dir.ok());
    const std::string wav = dir.file("stem.wav");
    const std::string ogg = dir.file("stem.ogg");
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(wav) + " synth 2 sine 300 sine 450 vol 0.3"));
    ASSERT_TRUE(run("oggenc -Q -o " + quote(ogg) + " " + quote(wav)));

    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 32, AURA_INIT_NORMAL, 384);
    ASSERT_NE(system, nullptr);
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.decodebuffersize = 2048; // small chunks: many refills
    AURA_SOUND *stems[2] = {};
    AURA_CHANNEL *channels[2] = {};
    const std::string files[2] = {ogg, wav};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(AURA_System_CreateStream(system, files[i].c_str(), AURA_LOOP_NORMAL, &exinfo, &stems[i]), AURA_OK);
        ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stems[i], 0, &channels[i]), AURA_OK);
    }
    uint32_t seed = 7;
    auto next = [&seed](uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % range;
    };
    for (int op = 0; op < 1000; ++op) {
        const int i = static_cast<int>(next(2));
        switch (next(6)) {
        case 0:
            (void)AURA_Channel_SetPaused(channels[i], static_cast<int>(next(2)));
            break;
        case 1:
            (void)AURA_Channel_SetPosition(channels[i], next(1900), AURA_TIMEUNIT_MS);
            break;
        case 2:
            (void)AURA_Channel_Stop(channels[i]);
            (void)AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stems[i], 0, &channels[i]);
            break;
        case 3:
            if (next(10) == 0) {
                ASSERT_EQ(AURA_Sound_Release(stems[i]), AURA_OK);
                ASSERT_EQ(AURA_System_CreateStream(system, files[i].c_str(), AURA_LOOP_NORMAL, &exinfo, &stems[i]),
                          AURA_OK);
                (void)AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stems[i], 0, &channels[i]);
            }
            break;
        default: {
            unsigned int position = 0;
            (void)AURA_Channel_GetPosition(channels[i], &position, AURA_TIMEUNIT_MS);
            ASSERT_EQ(AURA_System_Update(system), AURA_OK);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            break;
        }
        }
    }
    for (AURA_SOUND *stem : stems) {
        ASSERT_EQ(AURA_Sound_Release(stem), AURA_OK);
    }
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace

namespace {

// The loader's work, watched from the caller's thread.
struct Loaded {
    std::mutex lock;
    std::condition_variable done;
    int calls = 0;
    AURA_RESULT result = AURA_ERR_INTERNAL;
    AURA_OPENSTATE state = AURA_OPENSTATE_FORCEINT;
};
Loaded *gLoaded = nullptr;

AURA_RESULT onLoaded(AURA_SOUND *sound, AURA_RESULT result)
{
    std::lock_guard<std::mutex> lock(gLoaded->lock);
    ++gLoaded->calls;
    gLoaded->result = result;
    (void)reinterpret_cast<AURA::Sound *>(sound)->getOpenState(&gLoaded->state);
    gLoaded->done.notify_all();
    return AURA_OK;
}

// A file whose open waits until the test lets it go.
std::atomic<bool> gOpenMayFinish{false};
AURA_RESULT slowOpen(const char *name, int, unsigned int *filesize, void **handle, void **userdata)
{
    while (!gOpenMayFinish.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FILE *file = std::fopen(name, "rb");
    if (!file) {
        return AURA_ERR_FILE_NOTFOUND;
    }
    std::fseek(file, 0, SEEK_END);
    *filesize = static_cast<unsigned int>(std::ftell(file));
    std::fseek(file, 0, SEEK_SET);
    *handle = file;
    *userdata = nullptr;
    return AURA_OK;
}
class NonBlockingThreads : public Streams {
protected:
    void SetUp() override
    {
        Streams::SetUp();
        gLoaded = &mLoaded;
        gOpenMayFinish = false;
        mExinfo.cbsize = sizeof(mExinfo);
        mExinfo.nonblockcallback = onLoaded;
    }
    void TearDown() override
    {
        gOpenMayFinish = true;
        Streams::TearDown();
        gLoaded = nullptr;
    }
    bool waitForLoad(int calls)
    {
        std::unique_lock<std::mutex> lock(mLoaded.lock);
        return mLoaded.done.wait_for(lock, std::chrono::seconds(20), [&] { return mLoaded.calls >= calls; });
    }
    Loaded mLoaded;
    AURA_CREATESOUNDEXINFO mExinfo{};
};

TEST_F(NonBlockingThreads, CreationReturnsLoadingAndTheCallbackBringsTheResult)
{
    std::vector<int16_t> expected;
    const std::string ogg = makeOgg("later", 1.0, &expected);
    mExinfo.useropen = slowOpen;
    mExinfo.userclose = auratest::stdioClose;
    mExinfo.userread = auratest::stdioRead;
    mExinfo.userseek = auratest::stdioSeek;
    AURA_SOUND *stream = nullptr;
    ASSERT_EQ(AURA_System_CreateStream(mSystem, ogg.c_str(), AURA_NONBLOCKING, &mExinfo, &stream), AURA_OK);
    ASSERT_NE(stream, nullptr);
    AURA_OPENSTATE state{};
    ASSERT_EQ(reinterpret_cast<AURA::Sound *>(stream)->getOpenState(&state), AURA_OK);
    EXPECT_EQ(state, AURA_OPENSTATE_LOADING);
    AURA_CHANNEL *channel = nullptr;
    EXPECT_EQ(AURA_System_PlaySound(mSystem, AURA_CHANNEL_FREE, stream, 0, &channel), AURA_ERR_NOTREADY);
    gOpenMayFinish = true;
    ASSERT_TRUE(waitForLoad(1));
    EXPECT_EQ(mLoaded.result, AURA_OK);
    EXPECT_EQ(mLoaded.state, AURA_OPENSTATE_READY);
    unsigned int length = 0;
    ASSERT_EQ(AURA_Sound_GetLength(stream, &length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, expected.size() / 2);

    // A seek is the loader's too: the call returns at once, and a pause
    // asked for meanwhile holds when the seek is done.
    ASSERT_EQ(AURA_System_PlaySound(mSystem, AURA_CHANNEL_FREE, stream, 0, &channel), AURA_OK);
    update(2);
    ASSERT_EQ(AURA_Channel_SetPosition(channel, 500, AURA_TIMEUNIT_MS), AURA_OK);
    ASSERT_EQ(AURA_Channel_SetPaused(channel, 1), AURA_OK);
    // The loader seeks once the stream steps aside in an update.
    for (int i = 0; i < 4000; ++i) {
        ASSERT_EQ(reinterpret_cast<AURA::Sound *>(stream)->getOpenState(&state), AURA_OK);
        if (state == AURA_OPENSTATE_READY) {
            break;
        }
        update(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(waitForLoad(2));
    EXPECT_EQ(state, AURA_OPENSTATE_READY);
    EXPECT_EQ(mLoaded.result, AURA_OK);
    int paused = 0;
    ASSERT_EQ(AURA_Channel_GetPaused(channel, &paused), AURA_OK);
    EXPECT_EQ(paused, 1) << "the pause asked for during the seek holds";
    unsigned int pcm = 0;
    ASSERT_EQ(AURA_Channel_GetPosition(channel, &pcm, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(pcm, 22050u);
}

TEST_F(NonBlockingThreads, AMissingFileEndsInTheErrorState)
{
    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(mSystem, mDir.file("gone.ogg").c_str(), AURA_NONBLOCKING, &mExinfo, &sound),
              AURA_OK);
    ASSERT_TRUE(waitForLoad(1));
    EXPECT_EQ(mLoaded.result, AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(mLoaded.state, AURA_OPENSTATE_ERROR);
    AURA_RESULT result = AURA_OK;
    AURA_OPENSTATE state{};
    ASSERT_EQ(reinterpret_cast<AURA::Sound *>(sound)->getOpenState(&state, &result), AURA_OK);
    EXPECT_EQ(state, AURA_OPENSTATE_ERROR);
    EXPECT_EQ(result, AURA_ERR_FILE_NOTFOUND);
}

TEST_F(NonBlockingThreads, ReleasingASystemWithWorkQueuedStrandsNothing)
{
    std::vector<int16_t> expected;
    const std::string ogg = makeOgg("queued", 0.3, &expected);
    mExinfo.useropen = slowOpen;
    mExinfo.userclose = auratest::stdioClose;
    mExinfo.userread = auratest::stdioRead;
    mExinfo.userseek = auratest::stdioSeek;
    std::vector<AURA_SOUND *> sounds(5);
    for (AURA_SOUND *&sound : sounds) {
        ASSERT_EQ(AURA_System_CreateSound(mSystem, ogg.c_str(), AURA_NONBLOCKING, &mExinfo, &sound), AURA_OK);
    }
    // The first is being opened, the rest wait: the release takes the
    // waiting ones out of the queue and waits for the one under way.
    std::thread letGo([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gOpenMayFinish = true;
    });
    EXPECT_EQ(mRender.release(), AURA_OK);
    mSystem = nullptr;
    letGo.join();
    int calls = 0;
    {
        std::lock_guard<std::mutex> lock(mLoaded.lock);
        calls = mLoaded.calls;
    }
    EXPECT_LE(calls, 5) << "each sound is opened at most once, or taken out of the queue";
    // Nothing of the released sounds runs afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(mLoaded.lock);
    EXPECT_EQ(mLoaded.calls, calls);
}

} // namespace

namespace {

// The game's music road through the C interface: two streamed stems started
// in the same update, effects on top, the position read every frame.
class GameRoad : public ::testing::Test {
protected:
    static constexpr unsigned int BLOCK = 384;
    static constexpr int RATE = 44100;

    void SetUp() override
    {
        ASSERT_TRUE(mDir.ok());
        // Two mono stems and an effect, made by the tools.
        for (auto [name, tone] : {std::pair{"bass", "sine 110 sine 55"}, std::pair{"lead", "sine 660-990"}}) {
            const std::string wav = mDir.file(std::string(name) + ".wav");
            const std::string ogg = mDir.file(std::string(name) + ".ogg");
            const std::string raw = mDir.file(std::string(name) + ".raw");
            ASSERT_TRUE(run("sox -D -n -r 44100 -c 1 -b 16 " + quote(wav) + " synth 12 " + tone + " vol 0.4"));
            ASSERT_TRUE(run("oggenc -Q -o " + quote(ogg) + " " + quote(wav)));
            ASSERT_TRUE(run("oggdec -Q -R -o " + quote(raw) + " " + quote(ogg)));
            mStems.push_back(ogg);
            mDecoded.push_back(rawSamples(auratest::readAll(raw)));
        }
        mEffect = mDir.file("hit.wav");
        ASSERT_TRUE(run("sox -D -n -r 44100 -c 1 -b 16 " + quote(mEffect) + " synth 0.25 pluck C4 vol 0.5"));
    }

    // Renders the road to a float WAV; with music false only the effects.
    std::vector<float> render(bool music, std::vector<unsigned int> *positions = nullptr)
    {
        auratest::WavRender render({RATE, AURA_SOUND_FORMAT_PCMFLOAT, BLOCK, AURA_DSP_RESAMPLER_LINEAR, 32});
        AURA_SYSTEM *system = render.handle();
        AURA_SOUND *effect = nullptr;
        EXPECT_EQ(AURA_System_CreateSound(system, mEffect.c_str(), AURA_DEFAULT, nullptr, &effect), AURA_OK);
        AURA_CHANNEL *stems[2] = {};
        if (music) {
            for (int i = 0; i < 2; ++i) {
                AURA_SOUND *stream = nullptr;
                EXPECT_EQ(AURA_System_CreateStream(system, mStems[static_cast<size_t>(i)].c_str(), AURA_DEFAULT, nullptr,
                                                   &stream),
                          AURA_OK);
                EXPECT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, stream, 1, &stems[i]), AURA_OK);
                EXPECT_EQ(AURA_Channel_SetVolume(stems[i], 1.0f), AURA_OK);
                EXPECT_EQ(AURA_Channel_SetPan(stems[i], i == 0 ? -1.0f : 1.0f), AURA_OK);
            }
            // Unpaused in the same update.
            for (AURA_CHANNEL *stem : stems) {
                EXPECT_EQ(AURA_Channel_SetPaused(stem, 0), AURA_OK);
            }
        }
        for (int frame = 0; frame < 1300; ++frame) {
            if (frame % 300 == 50) {
                AURA_CHANNEL *hit = nullptr;
                EXPECT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, effect, 1, &hit), AURA_OK);
                EXPECT_EQ(AURA_Channel_SetVolume(hit, 0.3f + 0.1f * static_cast<float>(frame / 300)), AURA_OK);
                EXPECT_EQ(AURA_Channel_SetPan(hit, -0.5f + 0.25f * static_cast<float>(frame / 300)), AURA_OK);
                EXPECT_EQ(AURA_Channel_SetPaused(hit, 0), AURA_OK);
            }
            EXPECT_EQ(AURA_System_Update(system), AURA_OK);
            if (music) {
                for (AURA_CHANNEL *stem : stems) {
                    unsigned int ms = 0;
                    EXPECT_EQ(AURA_Channel_GetPosition(stem, &ms, AURA_TIMEUNIT_MS), AURA_OK);
                    if (positions) {
                        positions->push_back(ms);
                    }
                }
            }
        }
        return render.finish().samples;
    }

    auratest::TempDir mDir{"aura-game-road"};
    std::vector<std::string> mStems;
    std::vector<std::vector<int16_t>> mDecoded;
    std::string mEffect;
};

TEST_F(GameRoad, EachStemMatchesOggdecUnderTheEffectsAndTheStemsStayInStep)
{
    std::vector<unsigned int> positions;
    const std::vector<float> road = render(true, &positions);
    const std::vector<float> effects = render(false);
    ASSERT_EQ(road.size(), effects.size());
    const size_t frames = road.size() / 2;
    ASSERT_EQ(frames, 1300u * BLOCK);

    // Each stem is alone on its side once the effects are taken away.
    for (int side = 0; side < 2; ++side) {
        const std::vector<int16_t> &expected = mDecoded[static_cast<size_t>(side)];
        double signal = 0.0;
        double noise = 0.0;
        for (size_t f = 0; f < frames && f < expected.size(); ++f) {
            const double heard = static_cast<double>(road[2 * f + static_cast<size_t>(side)]) -
                                 static_cast<double>(effects[2 * f + static_cast<size_t>(side)]);
            const double want = expected[f] / 32768.0;
            signal += want * want;
            noise += (heard - want) * (heard - want);
        }
        ASSERT_GT(signal, 0.0);
        const double snr = noise > 0.0 ? 10.0 * std::log10(signal / noise) : 200.0;
        EXPECT_GE(snr, 90.0) << "stem " << side;
    }

    // Positions only grow, and the two stems agree within a block.
    const double blockMs = 1000.0 * BLOCK / RATE;
    for (size_t i = 2; i < positions.size(); ++i) {
        EXPECT_GE(positions[i], positions[i - 2]) << "update " << i / 2;
    }
    const size_t last = positions.size() - 2;
    EXPECT_GE(positions[last], 10000u) << "ten seconds in";
    EXPECT_LE(std::abs(static_cast<int>(positions[last]) - static_cast<int>(positions[last + 1])), blockMs);
    // The reported position follows what was heard within one block.
    const double heardMs = 1000.0 * static_cast<double>(1300 * BLOCK) / RATE;
    EXPECT_NEAR(static_cast<double>(positions[last]), heardMs, blockMs + 1.0);
}

} // namespace
