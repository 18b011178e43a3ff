// The engine's host of a tracker song: every voice slot is a logical
// channel that plays the song's sample sounds on two software voices of the
// song's own pool, taken in turn (a new note starts on the voice whose graph
// changes were flushed a note ago, never on the one just stopped), all
// mixing into the song's target unit, which the song's read pulls under the
// DSP section.
#include "music/aura_music.h"

#include "base/aura_memory.h"
#include "base/aura_string.h"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "dsp/aura_dspi.h"
#include "os/aura_os.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelreal.h"
#include "voice/aura_channelsoftware.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_music_host";

class EngineMusicHost;

// A real channel through which a whole song stands in for one voice: its
// start restarts the song, its pause and volume act on the song's group.
class ChannelMusic final : public ChannelReal {
public:
    AURA_RESULT start() override { return mSong ? mSong->play(false) : AURA_ERR_INVALID_HANDLE; }
    AURA_RESULT stop() override { return mSong ? mSong->stop() : AURA_ERR_INVALID_HANDLE; }
    AURA_RESULT setPaused(bool paused) override;
    AURA_RESULT setVolume(float volume) override;
    AURA_RESULT updateStream() override;
    [[nodiscard]] bool isStream() const override { return false; }
    AURA_RESULT moveChannelGroup(ChannelGroupI *, ChannelGroupI *, bool) override { return AURA_OK; }
    AURA_RESULT setPositionEx(unsigned int position, unsigned int postype, bool) override
    {
        return setPosition(position, postype);
    }

    MusicSong *mSong = nullptr;
    ChannelGroupI *mGroup = nullptr;
};

class EngineMusicVoice final : public MusicVoice {
public:
    AURA_RESULT start(MusicSample *sample, unsigned int offset) override;
    AURA_RESULT setVolume(float volume) override { return live() ? mChannel.setVolume(volume, false) : AURA_OK; }
    AURA_RESULT setPan(float pan) override { return live() ? mChannel.setPan(pan, true) : AURA_OK; }
    AURA_RESULT setFrequency(float hz) override { return live() ? mChannel.setFrequency(hz) : AURA_OK; }
    AURA_RESULT route(bool filter, int effectgroup) override
    {
        mWantFilter = filter;
        mEffectGroup = effectgroup;
        return AURA_OK;
    }
    AURA_RESULT setFilter(float cutoff, float resonance) override
    {
        if (!mFilter || !mFilterInserted) {
            return AURA_OK;
        }
        AURA_RESULT result = mFilter->setParameter(0, cutoff);
        if (result == AURA_OK) {
            result = mFilter->setParameter(1, resonance);
        }
        return result;
    }
    AURA_RESULT stop() override
    {
        if (mFilter) {
            (void)mFilter->reset();
        }
        if (!live()) {
            return AURA_OK;
        }
        const AURA_RESULT result = mChannel.stopEx(STOP_RESETCALLBACKS);
        mChannel.mRealChannel[0] = nullptr;
        mChannel.mNumRealChannels = 0;
        return result;
    }
    AURA_RESULT setPaused(bool paused) override { return live() ? mChannel.setPaused(paused) : AURA_OK; }
    bool isPlaying() override
    {
        bool playing = false;
        return live() && mChannel.isPlaying(&playing) == AURA_OK && playing;
    }

    [[nodiscard]] bool live() const { return mChannel.mNumRealChannels > 0 && mChannel.mRealChannel[0]; }

    // Puts the voice's own low-pass between its sound and its group, or
    // takes it out.
    void placeFilter();

    ChannelI mChannel;
    EngineMusicHost *mHost = nullptr;
    int mSlot = 0;
    bool mAlternate = false;
    bool mWantFilter = false;
    int mEffectGroup = -1;
    DSPI *mFilter = nullptr;
    bool mFilterInserted = false;
};

class EngineMusicHost final : public MusicHost {
public:
    ~EngineMusicHost() override { close(); }

    AURA_RESULT init(SystemI *system, const char *targetname)
    {
        mSystem = system;
        if (!system) {
            return AURA_ERR_UNINITIALIZED;
        }
        AURA_DSP_DESCRIPTION_EX description{};
        AURA_strncpy(description.name, targetname, sizeof(description.name) - 1);
        description.version = 0x00010100;
        description.channels = 2;
        description.mFormat = AURA_SOUND_FORMAT_PCMFLOAT;
        AURA_RESULT result = system->createDSP(&description, &mTarget, true);
        if (result != AURA_OK) {
            return result;
        }
        mTarget->setActive(true);
        // The root of a tree of its own: it mixes into the level buffers,
        // which the DSP section keeps to one reader at a time.
        result = mTarget->updateTreeLevel(0);
        if (result != AURA_OK) {
            return result;
        }
        (void)mTarget->setDefaults(static_cast<float>(system->mOutputRate), 1.0f, 0.0f, 128);
        mGroup.mSystem = system;
        mGroup.mDSPHead = mTarget;
        mGroup.mDSPMixTarget = mTarget;
        return AURA_OK;
    }

    AURA_RESULT createVoices(int count) override
    {
        mVoices =
            static_cast<EngineMusicVoice *>(AURA_Memory_Calloc(static_cast<int>(sizeof(EngineMusicVoice)) * count));
        if (!mVoices) {
            return AURA_ERR_MEMORY;
        }
        for (int i = 0; i < count; ++i) {
            ::new (&mVoices[i]) EngineMusicVoice();
            // Of no system: the song's channels stay out of the system's
            // channel lists (its priority order, its free list), which the
            // API threads walk while the stream thread plays the song.
            (void)mVoices[i].mChannel.init(i, nullptr);
            mVoices[i].mChannel.mChannelGroup = &mGroup;
            mVoices[i].mHost = this;
            mVoices[i].mSlot = i;
        }
        mNumVoices = count;
        AURA_RESULT result = mPool.init(mSystem, nullptr, 2 * count);
        for (int i = 0; result == AURA_OK && i < 2 * count; ++i) {
            ChannelReal *voice = AURA_New(ChannelSoftware);
            result = voice ? mPool.setChannel(i, voice, mTarget) : AURA_ERR_MEMORY;
            if (result == AURA_OK) {
                // The song's voices send nothing to the system's reverbs.
                voice->mFlags.set(VoiceFlag::NoReverb);
            }
        }
        return result;
    }

    MusicVoice *voice(int slot) override { return slot >= 0 && slot < mNumVoices ? &mVoices[slot] : nullptr; }

    AURA_RESULT createSampleSound(MusicSample *sample) override
    {
        const uint64_t bytes = MusicSong::sampleBytes(*sample);
        if (bytes == 0 || bytes > 0x7FFFFFFFu) {
            return AURA_ERR_INVALID_PARAM;
        }
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.length = static_cast<unsigned int>(bytes);
        exinfo.numchannels = sample->mChannels;
        exinfo.defaultfrequency = static_cast<int>(std::max(sample->mMiddleC, 1u));
        exinfo.format = sample->mBits == 16 ? AURA_SOUND_FORMAT_PCM16 : AURA_SOUND_FORMAT_PCM8;
        SoundI *sound = nullptr;
        AURA_RESULT result =
            mSystem->createSoundInternal(nullptr, AURA_OPENUSER | sampleMode(*sample), 0, 0, &exinfo, false, &sound);
        if (result != AURA_OK) {
            return result;
        }
        unlist(sound);
        void *data = nullptr;
        void *wrap = nullptr;
        unsigned int length = 0;
        unsigned int wrapLength = 0;
        result = sound->lock(0, exinfo.length, &data, &wrap, &length, &wrapLength);
        if (result == AURA_OK) {
            std::memcpy(data, sample->mData, std::min(length, exinfo.length));
            result = sound->unlock(data, wrap, length, wrapLength);
        }
        return finishSampleSound(sample, sound, result);
    }

    AURA_RESULT createEncodedSampleSound(MusicSample *sample, const void *data, unsigned int length) override
    {
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.length = length;
        SoundI *sound = nullptr;
        // Decoded whole into a sample: the voices of a song play it like
        // any other.
        AURA_RESULT result = mSystem->createSoundInternal(static_cast<const char *>(data),
                                                          AURA_OPENMEMORY | AURA_CREATESAMPLE | sampleMode(*sample), 0,
                                                          0, &exinfo, false, &sound);
        if (result != AURA_OK) {
            return result;
        }
        unlist(sound);
        unsigned int frames = 0;
        if (sound->getLength(&frames, AURA_TIMEUNIT_PCM) == AURA_OK) {
            sample->mLength = frames;
            if (sample->mLoop) {
                // Loop points of the stored data that the decoded sound
                // does not reach are cut to it.
                sample->mLoopStart = std::min(sample->mLoopStart, frames ? frames - 1 : 0);
                sample->mLoopLength = std::min(sample->mLoopLength, frames - sample->mLoopStart);
                sample->mLoop = sample->mLoopLength > 0;
            }
        }
        return finishSampleSound(sample, sound, AURA_OK);
    }

    AURA_RESULT createEffectGroup(int index, const float *parameters, bool master) override
    {
        if (index < 0 || index >= MAX_EFFECT_GROUPS || !parameters) {
            return AURA_ERR_INVALID_PARAM;
        }
        DSPI *echo = nullptr;
        AURA_RESULT result = mSystem->createDSPByType(AURA_DSP_TYPE_ITECHO, &echo);
        if (result != AURA_OK) {
            return result;
        }
        echo->setActive(true);
        echo->mDefaultFrequency = static_cast<float>(mSystem->mOutputRate);
        for (int k = 0; result == AURA_OK && k < 5; ++k) {
            result = echo->setParameter(k, parameters[k]);
        }
        if (result == AURA_OK && master) {
            // The whole mix runs through it after the graph, in the order
            // of the records: however many there are, the graph stays as
            // deep as it is.
            mMasterEchoes[mNumMasterEchoes++] = echo;
        } else if (result == AURA_OK) {
            result = mTarget->addInput(echo, nullptr);
            if (result == AURA_OK) {
                ChannelGroupI &group = mEffectGroups[index];
                group.mSystem = mSystem;
                group.mDSPHead = echo;
                group.mDSPMixTarget = echo;
                result = mTarget->updateTreeLevel(0);
            }
        }
        if (result == AURA_OK) {
            mEchoes[mNumEchoes++] = echo;
            (void)mSystem->flushDSPConnectionRequests(true);
        } else {
            (void)echo->release(true);
        }
        return result;
    }

    ChannelGroupI *groupOf(int index)
    {
        return index >= 0 && index < MAX_EFFECT_GROUPS && mEffectGroups[index].mDSPHead ? &mEffectGroups[index]
                                                                                        : &mGroup;
    }

    void releaseSampleSound(MusicSample *sample) override
    {
        if (sample->mSound) {
            (void)static_cast<SoundI *>(sample->mSound)->releaseInternal(true);
            sample->mSound = nullptr;
        }
    }

    static AURA_MODE sampleMode(const MusicSample &sample)
    {
        AURA_MODE mode = AURA_2D | AURA_SOFTWARE | AURA_LOOP_OFF;
        if (sample.mLoop) {
            mode = AURA_2D | AURA_SOFTWARE | (sample.mBidi ? AURA_LOOP_BIDI : AURA_LOOP_NORMAL);
        }
        return mode;
    }

    void unlist(SoundI *sound)
    {
        // The song owns its samples: the system's release of its sounds
        // must not free them under the song that plays them.
        std::lock_guard<std::mutex> lock(mSystem->mSoundListLock);
        sound->mSoundNode.removeNode();
    }

    static AURA_RESULT finishSampleSound(MusicSample *sample, SoundI *sound, AURA_RESULT result)
    {
        if (result == AURA_OK && sample->mLoop) {
            result = sound->setLoopPoints(sample->mLoopStart, sample->mLoopStart + sample->mLoopLength - 1);
        }
        if (result != AURA_OK) {
            (void)sound->releaseInternal(true);
            return result;
        }
        sample->mSound = sound;
        return AURA_OK;
    }

    AURA_RESULT mix(float *out, unsigned int frames) override
    {
        while (frames > 0) {
            unsigned int length = frames;
            float *block = nullptr;
            int channels = 0;
            {
                CriticalSectionGuard guard(mSystem->mDSPCrit);
                const AURA_RESULT result = mTarget->read(&block, &channels, &length, AURA_SPEAKERMODE_STEREO, 2, ++mTick);
                if (result != AURA_OK) {
                    return result;
                }
                if (length == 0) {

                    return AURA_ERR_INTERNAL;
                }
                if (!block || channels <= 0) {
                    std::fill(out, out + length * 2, 0.0f);
                } else if (channels == 2) {
                    std::copy(block, block + length * 2, out);
                } else {
                    for (unsigned int i = 0; i < length; ++i) {
                        out[2 * i] = block[i * channels];
                        out[2 * i + 1] = block[i * channels + (channels > 1 ? 1 : 0)];
                    }
                }
            }
            const AURA_RESULT result = runMasterEchoes(out, length);
            if (result != AURA_OK) {
                return result;
            }
            out += length * 2;
            frames -= length;
        }
        return AURA_OK;
    }

    AURA_RESULT runMasterEchoes(float *block, unsigned int frames)
    {
        for (unsigned int done = 0; done < frames;) {
            const unsigned int n = std::min(frames - done, SCRATCH_FRAMES);
            float *at = block + static_cast<size_t>(done) * 2;
            for (int i = 0; i < mNumMasterEchoes; ++i) {
                DSPI *echo = mMasterEchoes[i];
                std::copy(at, at + n * 2, mScratch);
                const AURA_RESULT result = echo->mDescription.read(&echo->mDSPState, mScratch, at, n, 2, 2);
                if (result != AURA_OK) {
                    return result;
                }
            }
            done += n;
        }
        return AURA_OK;
    }

    int outputRate() const override { return mSystem ? mSystem->mOutputRate : 0; }

    AURA_RESULT hardwareChannel(MusicSong *song, ChannelReal **channel) override
    {
        // Made afresh each time it is asked for.
        mHardware.~ChannelMusic();
        ::new (&mHardware) ChannelMusic();
        mHardware.mSong = song;
        mHardware.mGroup = &mGroup;
        mHardware.mFlags.set(VoiceFlag::Taken);
        *channel = &mHardware;
        return AURA_OK;
    }

    void release() override
    {
        EngineMusicHost *self = this;
        AURA_Delete(self);
    }

    void close()
    {
        for (int i = 0; i < mNumVoices; ++i) {
            (void)mVoices[i].stop();
        }
        (void)mPool.release();
        if (mVoices) {
            for (int i = 0; i < mNumVoices; ++i) {
                if (mVoices[i].mFilter) {
                    (void)mVoices[i].mFilter->release(true);
                }
                mVoices[i].~EngineMusicVoice();
            }
            AURA_Memory_Free(mVoices);
            mVoices = nullptr;
        }
        mNumVoices = 0;
        for (int i = mNumEchoes - 1; i >= 0; --i) {
            (void)mEchoes[i]->release(true);
        }
        mNumEchoes = 0;
        mNumMasterEchoes = 0;
        for (ChannelGroupI &group : mEffectGroups) {
            group.mDSPHead = nullptr;
            group.mDSPMixTarget = nullptr;
        }
        if (mTarget) {
            (void)mTarget->release(true);
            mTarget = nullptr;
        }
        mGroup.mDSPHead = nullptr;
        mGroup.mDSPMixTarget = nullptr;
    }

    static constexpr int MAX_EFFECT_GROUPS = 50;

    SystemI *mSystem = nullptr;
    DSPI *mTarget = nullptr;
    ChannelGroupI mGroup;
    ChannelGroupI mEffectGroups[MAX_EFFECT_GROUPS];
    DSPI *mEchoes[MAX_EFFECT_GROUPS] = {}; // every echo, to release
    int mNumEchoes = 0;
    DSPI *mMasterEchoes[MAX_EFFECT_GROUPS] = {};
    int mNumMasterEchoes = 0;
    static constexpr unsigned int SCRATCH_FRAMES = 1024;
    float mScratch[2 * SCRATCH_FRAMES] = {};
    ChannelPool mPool;
    ChannelMusic mHardware;
    EngineMusicVoice *mVoices = nullptr;
    int mNumVoices = 0;
    unsigned int mTick = 0;
};

AURA_RESULT ChannelMusic::setPaused(bool paused)
{
    if (!mSong || !mGroup) {
        return AURA_ERR_INVALID_HANDLE;
    }
    (void)mGroup->setPausedInternal(paused, true);
    mSong->setVoicesPaused(paused);
    return AURA_OK;
}

AURA_RESULT ChannelMusic::setVolume(float volume)
{
    if (mGroup) {
        (void)mGroup->setVolumeInternal(volume);
    }
    return AURA_OK;
}

AURA_RESULT ChannelMusic::updateStream()
{
    if (!mSong || !mGroup || mGroup->mPaused) {
        return AURA_OK;
    }
    const AURA_CODEC_UPDATECALLBACK update = mSong->mDescription.update;
    return update ? update(mSong->state()) : AURA_OK;
}

AURA_RESULT EngineMusicVoice::start(MusicSample *sample, unsigned int offset)
{
    auto *sound = static_cast<SoundI *>(sample->mSound);
    ChannelReal *voice = nullptr;
    int found = 0;
    const int index = mSlot + (mAlternate ? mHost->mNumVoices : 0);
    AURA_RESULT result = mHost->mPool.allocateChannel(&voice, index, 1, &found);
    if (result != AURA_OK) {
        return result;
    }
    mAlternate = !mAlternate;
    if (live()) {
        (void)mChannel.stopEx(STOP_RESETCALLBACKS);
    }
    mChannel.mRealChannel[0] = voice;
    mChannel.mNumRealChannels = 1;
    mChannel.mChannelGroup = mHost->groupOf(mEffectGroup);
    result = mChannel.play(sound, true, false, false);
    if (result != AURA_OK) {
        (void)stop();
        return result;
    }
    placeFilter();
    (void)mChannel.setPosition(offset, AURA_TIMEUNIT_PCM);
    (void)mChannel.setPaused(false);
    (void)mHost->mSystem->flushDSPConnectionRequests(true);
    return AURA_OK;
}

void EngineMusicVoice::placeFilter()
{
    if (mWantFilter && !mFilter) {
        if (mHost->mSystem->createDSPByType(AURA_DSP_TYPE_ITLOWPASS, &mFilter) != AURA_OK) {
            mFilter = nullptr;
            mWantFilter = false; // no unit to be had: the note plays unfiltered
        } else {
            mFilter->setActive(true);
            mFilter->mDefaultFrequency = static_cast<float>(mHost->mSystem->mOutputRate);
        }
    }
    if (!mFilter) {
        return;
    }
    if (mWantFilter) {
        (void)mFilter->reset();
        mFilterInserted = mChannel.addDSP(mFilter, nullptr) == AURA_OK;
    } else if (mFilterInserted) {
        mChannel.mAddDSP = nullptr;
        (void)mFilter->remove();
        mFilterInserted = false;
    }
}
} // namespace

AURA_RESULT createMusicHost(Codec *codec, const char *targetname, MusicHost **host)
{
    if (!codec || !host) {
        return AURA_ERR_INVALID_PARAM;
    }
    *host = nullptr;
    auto *made = AURA_New(EngineMusicHost);
    if (!made) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result = made->init(codec->mSystem, targetname);
    if (result != AURA_OK) {
        made->release();
        return result;
    }
    *host = made;
    return AURA_OK;
}

} // namespace AURA
