// Systems for tests, through the public interface only: one started on a
// given output, and one that renders to a file through the non-real-time
// WAV writer. Header-only, so that it compiles with whichever build of the
// engine the test links.
#ifndef AURA_TESTS_SUPPORT_SYSTEMS_H
#define AURA_TESTS_SUPPORT_SYSTEMS_H

#include "aura.h"
#include "aura.hpp"
#include "files.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace auratest {

// A system created and started on `output` with `channels` channels (and a
// DSP block of `block` frames when not 0); nullptr, after reporting the step
// that failed, when it cannot be.
inline AURA_SYSTEM *startSystem(AURA_OUTPUTTYPE output, int channels, unsigned int flags = AURA_INIT_NORMAL,
                                unsigned int block = 0)
{
    AURA_SYSTEM *system = nullptr;
    EXPECT_EQ(AURA_System_Create(&system), AURA_OK);
    if (!system) {
        return nullptr;
    }
    AURA_RESULT result = AURA_System_SetOutput(system, output);
    EXPECT_EQ(result, AURA_OK) << "output " << output;
    if (result == AURA_OK && block) {
        result = AURA_System_SetDSPBufferSize(system, block, 4);
        EXPECT_EQ(result, AURA_OK) << "block " << block;
    }
    if (result == AURA_OK) {
        result = AURA_System_Init(system, channels, flags, nullptr);
        EXPECT_EQ(result, AURA_OK) << "init";
    }
    if (result != AURA_OK) {
        (void)AURA_System_Release(system);
        return nullptr;
    }
    return system;
}

// The whole data of a sample, as bytes of its format.
inline Bytes sampleBytes(AURA::Sound *sound)
{
    unsigned int bytes = 0;
    EXPECT_EQ(sound->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    void *data = nullptr;
    unsigned int length = 0;
    if (bytes == 0 || sound->lock(0, bytes, &data, nullptr, &length, nullptr) != AURA_OK) {
        return {};
    }
    Bytes out(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + length);
    (void)sound->unlock(data, nullptr, length, 0);
    return out;
}

// Tests that open sounds on a started no-sound system (8 channels, non
// real time), with a scratch directory.
class NoSoundSystemTest : public ::testing::Test {
protected:
    explicit NoSoundSystemTest(const char *prefix) : mDir(prefix) {}
    void SetUp() override
    {
        ASSERT_TRUE(mDir.ok());
        mSystem = startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 8);
        ASSERT_NE(mSystem, nullptr);
    }
    void TearDown() override
    {
        if (mSystem) {
            EXPECT_EQ(AURA_System_Release(mSystem), AURA_OK);
        }
    }
    [[nodiscard]] AURA::System *system() const { return reinterpret_cast<AURA::System *>(mSystem); }

    TempDir mDir;
    AURA_SYSTEM *mSystem = nullptr;
};

// What createSound needs for a user sound of `bytes` bytes of PCM.
inline AURA_CREATESOUNDEXINFO userSoundInfo(unsigned int bytes, int channels, int rate,
                                            AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = bytes;
    exinfo.numchannels = channels;
    exinfo.defaultfrequency = rate;
    exinfo.format = format;
    return exinfo;
}

// What a WavRender mixes to.
struct RenderFormat {
    int rate = 44100;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCMFLOAT;
    unsigned int block = 1024;
    AURA_DSP_RESAMPLER resampler = AURA_DSP_RESAMPLER_LINEAR;
    int maxChannels = 64;
    int maxInputChannels = 6; // the widest sound it plays
    int outputChannels = 2;
    int maxADPCMcodecs = 0; // decoders of compressed IMA samples (0: the default)
    int maxMPEGcodecs = 0; // decoders of compressed MPEG samples (0: the default)
    unsigned int flags = AURA_INIT_NORMAL;
    int softwareChannels = 0; // 0: one voice per channel
};

// A system on the non-real-time WAV writer: one DSP block per update, on the
// caller's thread; the file is read back once the system is released.
class WavRender {
public:
    explicit WavRender(const RenderFormat &format = {}) : mPath(mDir.file("render.wav"))
    {
        EXPECT_TRUE(mDir.ok());
        AURA_SYSTEM *handle = nullptr;
        EXPECT_EQ(AURA_System_Create(&handle), AURA_OK);
        mSystem = reinterpret_cast<AURA::System *>(handle);
        if (!mSystem) {
            return;
        }
        EXPECT_EQ(mSystem->setOutput(AURA_OUTPUTTYPE_WAVWRITER_NRT), AURA_OK);
        EXPECT_EQ(mSystem->setSoftwareFormat(format.rate, format.format, format.outputChannels, format.maxInputChannels,
                                             format.resampler),
                  AURA_OK);
        EXPECT_EQ(mSystem->setDSPBufferSize(format.block, 4), AURA_OK);
        if (format.maxADPCMcodecs || format.maxMPEGcodecs) {
            AURA_ADVANCEDSETTINGS settings{};
            settings.cbsize = sizeof(settings);
            settings.maxADPCMcodecs = format.maxADPCMcodecs;
            settings.maxMPEGcodecs = format.maxMPEGcodecs;
            EXPECT_EQ(mSystem->setAdvancedSettings(&settings), AURA_OK);
        }
        EXPECT_EQ(mSystem->setSoftwareChannels(format.softwareChannels), AURA_OK);
        EXPECT_EQ(mSystem->init(format.maxChannels, format.flags, const_cast<char *>(mPath.c_str())), AURA_OK);
    }
    ~WavRender() { EXPECT_EQ(release(), AURA_OK); }
    WavRender(const WavRender &) = delete;
    WavRender &operator=(const WavRender &) = delete;

    [[nodiscard]] AURA::System *system() const { return mSystem; }
    [[nodiscard]] AURA_SYSTEM *handle() const { return reinterpret_cast<AURA_SYSTEM *>(mSystem); }

    // A sound of 16-bit frames (interleaved) at the given rate.
    AURA::Sound *sound(const std::vector<int16_t> &frames, int channels, int rate, AURA_MODE mode = AURA_LOOP_OFF)
    {
        return sound(frames.data(), static_cast<unsigned int>(frames.size() * 2), AURA_SOUND_FORMAT_PCM16, channels,
                     rate, mode);
    }
    // A sound of `bytes` bytes of PCM in `format` (interleaved).
    AURA::Sound *sound(const void *pcm, unsigned int bytes, AURA_SOUND_FORMAT format, int channels, int rate,
                       AURA_MODE mode = AURA_LOOP_OFF)
    {
        AURA_CREATESOUNDEXINFO exinfo = userSoundInfo(bytes, channels, rate, format);
        AURA::Sound *made = nullptr;
        EXPECT_EQ(mSystem->createSound(nullptr, AURA_OPENUSER | mode, &exinfo, &made), AURA_OK);
        if (!made) {
            return nullptr;
        }
        void *data = nullptr;
        unsigned int length = 0;
        EXPECT_EQ(made->lock(0, exinfo.length, &data, nullptr, &length, nullptr), AURA_OK);
        std::memcpy(data, pcm, length);
        EXPECT_EQ(made->unlock(data, nullptr, length, 0), AURA_OK);
        return made;
    }

    AURA::Channel *play(AURA::Sound *sound, bool paused = false)
    {
        AURA::Channel *channel = nullptr;
        EXPECT_EQ(mSystem->playSound(AURA_CHANNEL_FREE, sound, paused, &channel), AURA_OK);
        return channel;
    }

    void update(int times = 1)
    {
        for (int i = 0; i < times; ++i) {
            ASSERT_EQ(mSystem->update(), AURA_OK);
        }
    }

    // Ends the system, which completes the file; once only.
    AURA_RESULT release()
    {
        AURA::System *system = mSystem;
        mSystem = nullptr;
        return system ? system->release() : AURA_OK;
    }

    // Ends the system and reads what it wrote.
    Wav finish()
    {
        EXPECT_EQ(release(), AURA_OK);
        Wav wav = readWav(mPath);
        EXPECT_TRUE(wav.valid) << wav.error;
        return wav;
    }

private:
    TempDir mDir{"aura-render"};
    std::string mPath;
    AURA::System *mSystem = nullptr;
};

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_SYSTEMS_H
