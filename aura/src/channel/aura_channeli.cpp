#include "channel/aura_channeli.h"
#include "channel/aura_soundgroupi.h"
#include "codec/aura_codec.h"

#include "channel/aura_channelgroupi.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"
#include "channel/aura_reverbi.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "os/aura_os.h"
#include "dsp/aura_dspi.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_fft.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace AURA {

namespace {

uint32_t stampOf(uint32_t handle)
{
    return handle & 0xFFFFu;
}

// The engine's random generator, shared by every system.
unsigned int nextRandom()
{
    unsigned int seed = gGlobal->mRandomNext.load(std::memory_order_relaxed);
    unsigned int next = 0;
    do {
        next = seed * 214013u + 2531011u;
    } while (!gGlobal->mRandomNext.compare_exchange_weak(seed, next, std::memory_order_relaxed));
    return (next >> 16) & 0x7FFF;
}

} // namespace

ChannelI::ChannelI()
{
    mNode.initNode();
    mNode.mData = this;
    mSortedNode.initNode();
    mSortedNode.mData = this;
    mGroupNode.initNode();
    mGroupNode.mData = this;
    mSoundNode.initNode();
    mSoundNode.mData = this;
    mSoundGroupNode.initNode();
    mSoundGroupNode.mData = this;
}

ChannelI::~ChannelI()
{
    unlistFromSound();
}

void ChannelI::unlistFromSound()
{
    std::lock_guard<std::mutex> lock(SoundI::channelListLock());
    mSoundNode.removeNode();
}

AURA_RESULT ChannelI::init(int index, SystemI *system)
{
    mIndex = index;
    mSystem = system;
    const uint32_t systemIndex = system ? system->mIndex : 0;
    mHandleOriginal = (systemIndex << 28) | ((static_cast<uint32_t>(index) & 0xFFFu) << 16) | 1u;
    mHandleCurrent = mHandleOriginal;
    mFrequency = 44100.0f;
    mPriority = 128;
    mVolume = 1.0f;
    mPan = 0.0f;
    std::fill(std::begin(mInputMix), std::end(mInputMix), 1.0f);
    std::fill(std::begin(mSpeakerMix), std::end(mSpeakerMix), 0.0f);
    mSortKey = UNSORTED;
    return AURA_OK;
}

Channel *ChannelI::getHandle() const
{
    return reinterpret_cast<Channel *>(static_cast<uintptr_t>(mHandleCurrent));
}

AURA_RESULT ChannelI::validate(const Channel *channel, ChannelI **channeli)
{
    if (!channeli) {
        return AURA_ERR_INVALID_PARAM;
    }
    *channeli = nullptr;
    const auto handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(channel));
    SystemI *system = nullptr;
    if (SystemI::getInstance(handle >> 28, &system) != AURA_OK) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!system->mChannel) {
        return AURA_ERR_UNINITIALIZED;
    }
    const int index = static_cast<int>((handle >> 16) & 0xFFFu);
    if (index >= system->mNumChannels) {
        return AURA_ERR_INVALID_HANDLE;
    }
    ChannelI *found = &system->mChannel[index];
    if (stampOf(handle) == 0 || handle == found->mHandleCurrent) {
        *channeli = found;
        return AURA_OK;
    }
    // How far the channel has moved on, within the stamps' 1..65535 cycle.
    const uint32_t current = stampOf(found->mHandleCurrent);
    const uint32_t given = stampOf(handle);
    const uint32_t distance = (current + 65535u - given) % 65535u;
    return distance > 1 ? AURA_ERR_CHANNEL_STOLEN : AURA_ERR_INVALID_HANDLE;
}

AURA_RESULT ChannelI::referenceStamp(bool newstamp)
{
    uint32_t stamp = stampOf(newstamp ? mHandleCurrent : mHandleOriginal) + 1;
    if (stamp == 65536) {
        stamp = 1;
    }
    mHandleCurrent = (mHandleCurrent & 0xFFFF0000u) | stamp;
    if (newstamp) {
        mHandleOriginal = mHandleCurrent;
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Starting and stopping.

template <class Source>
AURA_RESULT ChannelI::playSource(Source *source, bool paused, bool reset, bool startmuted)
{
    if (!source) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    const AURA_RESULT result = alloc(source, reset);
    if (result != AURA_OK) {
        return result;
    }
    SoundI *sound = nullptr;
    if constexpr (std::is_same_v<Source, SoundI>) {
        sound = source;
    }
    return begin(sound, paused, reset, startmuted);
}

AURA_RESULT ChannelI::play(SoundI *sound, bool paused, bool reset, bool startmuted)
{
    return playSource(sound, paused, reset, startmuted);
}

AURA_RESULT ChannelI::play(DSPI *dsp, bool paused, bool reset, bool startmuted)
{
    return playSource(dsp, paused, reset, startmuted);
}

AURA_RESULT ChannelI::begin(SoundI *sound, bool paused, bool reset, bool startmuted)
{
    // A fresh handle, and silence until everything is set.
    (void)referenceStamp(true);
    mFlags.set(ChannelFlag::Starting);
    (void)setPaused(true);
    AURA_RESULT result = AURA_OK;
    if (reset) {
        mFadeVolume = startmuted ? 0.0f : 1.0f;
        mFadeTarget = mFadeVolume;
        result = setDefaults();
        if (result == AURA_OK && sound) {
            result = setPosition(0, AURA_TIMEUNIT_PCM);
        }
        if (result != AURA_OK) {
            return result;
        }
    }
    result = start();
    if (result != AURA_OK) {
        return result;
    }
    if (sound) {
        ++sound->mPlayCount;
        if (SoundGroupI *group = sound->mSoundGroup.load(std::memory_order_relaxed)) {
            group->markPlayed();
        }
        if (sound->mNumSyncPoints > 0) {
            mSyncPointCurrent = &sound->mSyncPoint[0];
            mSyncPointLastPos = 0;
        }
    }
    return paused ? AURA_OK : setPaused(false);
}

AURA_RESULT ChannelI::alloc(SoundI *sound, bool reset)
{
    // A parent plays its sentence; without one, a stream plays its current
    // subsound and a sample nothing.
    if (sound->mNumSubSounds > 0 && sound->mSubSoundListNum == 0 && (sound->mLength == 0 || !sound->isStream())) {
        return AURA_ERR_SUBSOUNDS;
    }
    if (reset) {
        mSyncPointCurrent = nullptr;
        if (mSystem && mSystem->mMasterChannelGroup && mChannelGroup != mSystem->mMasterChannelGroup) {
            (void)setChannelGroupInternal(mSystem->mMasterChannelGroup, false);
        }
        for (ChannelFlag flag : {ChannelFlag::Paused, ChannelFlag::Muted, ChannelFlag::MutedInEffect,
                                 ChannelFlag::Virtual, ChannelFlag::PauseDelay, ChannelFlag::Moved3D}) {
            mFlags.clear(flag);
        }
        std::fill(std::begin(mInputMix), std::end(mInputMix), 1.0f);
        mEndDelay = 0;
        mDSPClockEnd = 0;
        mDSPClockPause = 0;
        mDSPClockDelay = mSystem ? mSystem->mDSPClock.load(std::memory_order_acquire) : 0;
        mDopplerPitch = 1.0f;
        m3DDistanceVolume = 1.0f;
        m3DConeVolume = 1.0f;
        mDirectOcclusion = 0.0f;
        mReverbOcclusion = 0.0f;
        mDirectGain = 1.0f;
        if (mSystem) {
            for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
                (void)mSystem->mReverbGlobal.resetChanProperties(i, mIndex);
            }
            (void)mSystem->mReverb3D.resetChanProperties(0, mIndex);
            (void)mSystem->mReverb3D.setPresenceGain(0, mIndex, 1.0f);
            mSystem->forEachUserReverb([this](ReverbI &user) {
                (void)user.resetChanProperties(0, mIndex);
                (void)user.setPresenceGain(0, mIndex, 0.0f);
            });
        }
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        ChannelReal *voice = mRealChannel[i];
        if (!voice) {
            return AURA_ERR_INVALID_HANDLE;
        }
        {
            // A software voice's source unit may still read these for the
            // voice's last play while the mixer finishes its block.
            CriticalSectionGuard guard(mSystem ? mSystem->mDSPCrit : nullptr);
            voice->mSound = sound;
            voice->mSubChannelIndex = i;
            voice->mDSP = nullptr;
            voice->mMode = sound->mMode;
            voice->mLoopStart = sound->mLoopStart;
            voice->mLoopLength = sound->mLoopLength;
            voice->mLoopCount = sound->mLoopCount;
            voice->mLength = sound->mLength;
            voice->mParent = this;
        }
        if (i == 0) {
            // Listed with the sound, so that its release finds the channel.
            std::lock_guard<std::mutex> lock(SoundI::channelListLock());
            mSoundNode.removeNode();
            mSoundNode.addBefore(sound->mChannelHead);
        }
        // The voice's own alloc marks it allocated (and counts it once).
        const AURA_RESULT result = voice->alloc();
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::alloc(DSPI *dsp, bool reset)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (reset) {
        for (ChannelFlag flag : {ChannelFlag::Paused, ChannelFlag::Muted, ChannelFlag::MutedInEffect,
                                 ChannelFlag::Virtual, ChannelFlag::Moved3D}) {
            mFlags.clear(flag);
        }
        std::fill(std::begin(mInputMix), std::end(mInputMix), 1.0f);
        mEndDelay = 0;
        mDSPClockDelay = mSystem ? mSystem->mDSPClock.load(std::memory_order_acquire) : 0;
        mDopplerPitch = 1.0f;
        m3DLevel = 1.0f;
        m3DDistanceVolume = 1.0f;
        m3DConeVolume = 1.0f;
        mDirectOcclusion = 0.0f;
        mReverbOcclusion = 0.0f;
    }
    unlistFromSound();
    for (int i = 0; i < mNumRealChannels; ++i) {
        ChannelReal *voice = mRealChannel[i];
        voice->mSubChannelIndex = i;
        voice->mSound = nullptr;
        voice->mDSP = dsp;
        voice->mLoopStart = 0;
        voice->mLoopLength = 0xFFFFFFFFu;
        voice->mLoopCount = -1;
        voice->mMode = AURA_SOFTWARE | AURA_2D;
        voice->mParent = this;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->alloc(dsp);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::start()
{
    for (int i = 0; i < mNumRealChannels; ++i) {
        ChannelReal *voice = mRealChannel[i];
        const AURA_RESULT result = voice->start();
        if (result != AURA_OK) {
            return result;
        }
        voice->mFlags.clear(VoiceFlag::Stopped);
        voice->mFlags.clear(VoiceFlag::Taken);
        voice->mFlags.set(VoiceFlag::Playing);
    }
    mFlags.clear(ChannelFlag::StopDeferred);
    return AURA_OK;
}

AURA_RESULT ChannelI::returnToFreeList()
{
    if (!mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    mSortedNode.removeNode();
    mSoundGroupNode.removeNode();
    mSoundGroupListed = nullptr;
    mNode.removeNode();
    mNode.addBefore(mSystem->mChannelFreeListHead);
    mSortKey = UNSORTED;
    mSortKey2 = UNSORTED;
    mFlags.clear(ChannelFlag::StartingWhenEmulated);
    return AURA_OK;
}

AURA_RESULT ChannelI::stopEx(unsigned int stopflags)
{
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (mRealChannel[0]->mFlags.has(VoiceFlag::Stopped)) {
        return AURA_OK;
    }
    if ((stopflags & STOP_PROCESSENDDELAY) && mEndDelay > 0) {
        mFlags.set(ChannelFlag::StopDeferred);
        return AURA_OK;
    }
    if (stopflags & STOP_UPDATESYNCPOINTS) {
        (void)updateSyncPoints(false);
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        ChannelReal *voice = mRealChannel[i];
        voice->mFlags.clear(VoiceFlag::Playing);
        voice->mFlags.clear(VoiceFlag::Paused);
        voice->mFlags.clear(VoiceFlag::InUse);
        voice->mFlags.clear(VoiceFlag::Taken);
        voice->mFlags.set(VoiceFlag::Stopped);
        if (voice->mPool) {
            voice->mPool->noteFree(*voice);
        }
    }
    if ((stopflags & STOP_RESETCHANNELGROUP) && mSystem && mSystem->mMasterChannelGroup) {
        const AURA_RESULT result = setChannelGroupInternal(mSystem->mMasterChannelGroup, false);
        if (result != AURA_OK) {
            return result;
        }
    }
    SoundI *sound = mRealChannel[0]->mSound;
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->stop();
        if (result != AURA_OK) {
            return result;
        }
    }
    if (sound) {
        int count = sound->mPlayCount.load(std::memory_order_relaxed);
        while (count > 0 && !sound->mPlayCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
        }
        if (count == 1 && mSystem) {
            sound->mLastUsedDSPClock = mSystem->mDSPClock.load(std::memory_order_acquire);
        }
    }
    if (stopflags & STOP_RETURNTOFREELIST) {
        mEndDelay = 0;
        mDSPClockDelay = 0;
        mDSPClockEnd = 0;
        mDSPClockPause = 0;
        const AURA_RESULT result = returnToFreeList();
        if (result != AURA_OK) {
            return result;
        }
        mAddDSP = nullptr;
    }
    mFlags.clear(ChannelFlag::Virtual);
    mFlags.clear(ChannelFlag::Starting);

    ChannelReal *voices[MAX_VOICES] = {};
    const int numVoices = mNumRealChannels;
    std::copy(mRealChannel, mRealChannel + numVoices, voices);

    if ((stopflags & STOP_CALLBACKS) && mCallback) {
        // The callback may start a new sound on this very channel.
        mCallback(reinterpret_cast<AURA_CHANNEL *>(getHandle()), AURA_CHANNEL_CALLBACKTYPE_END,
                  nullptr, nullptr);
    }
    for (int i = 0; i < numVoices; ++i) {
        ChannelReal *voice = voices[i];
        const bool restarted = voice->mFlags.has(VoiceFlag::Playing) && i < mNumRealChannels &&
                               mRealChannel[i] == voice && voice->mParent == this;
        if (!restarted) {
            voice->mSound = nullptr;
            voice->mDSP = nullptr;
            voice->mParent = nullptr;
        }
    }
    if (mNumRealChannels == 0 || !mRealChannel[0] || !mRealChannel[0]->mSound) {
        unlistFromSound(); // not restarted on a sound by the callback
    }
    if (mSortKey == UNSORTED && !mFlags.has(ChannelFlag::Starting) && mNode.mNext != &mNode &&
        !mRealChannel[0]->mFlags.has(VoiceFlag::Playing)) {
        for (int i = 0; i < MAX_VOICES; ++i) {
            mRealChannel[i] = nullptr;
        }
        mNumRealChannels = 0;
        if (stopflags & STOP_RESETCALLBACKS) {
            mCallback = nullptr;
            mSyncPointCurrent = nullptr;
        }
        if (stopflags & STOP_REFSTAMP) {
            (void)referenceStamp(false);
        }
    }
    if (!(stopflags & STOP_DONTFREELEVELS) && mLevels && mSystem) {
        (void)mSystem->mSpeakerLevelsPool.free(mLevels);
        mLevels = nullptr;
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Settings.

bool ChannelI::pausedAbove() const
{
    for (const ChannelGroupI *group = mChannelGroup; group; group = group->mParent) {
        if (group->mPaused) {
            return true;
        }
    }
    return false;
}

bool ChannelI::mutedAbove() const
{
    for (const ChannelGroupI *group = mChannelGroup; group; group = group->mParent) {
        if (group->mMute) {
            return true;
        }
    }
    return false;
}

AURA_RESULT ChannelI::setPaused(bool paused)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!paused) {
        mFlags.clear(ChannelFlag::Paused);
        if (mFlags.has(ChannelFlag::Starting)) {
            mFlags.clear(ChannelFlag::Starting);
            (void)updatePosition();
            // A 3D sound's volume, pan and reverb sends are right before it
            // is heard.
            // (Occlusion waits for the next update, as for a moved sound.)
            if (mRealChannel[0] && (mRealChannel[0]->mMode & AURA_3D)) {
                (void)calcVolumeAndPitchFor3D(true);
                (void)forEachVoice([](ChannelReal *voice) { return voice->set2DFreqVolumePanFor3D(); });
            }
        }
    } else {
        mFlags.set(ChannelFlag::Paused);
    }
    const bool effective = mFlags.has(ChannelFlag::Paused) || pausedAbove();
    AURA_RESULT first = AURA_OK;
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->setPaused(effective);
        mRealChannel[i]->mFlags.set(VoiceFlag::Paused, effective);
        if (first == AURA_OK) {
            first = result;
        }
    }
    return first;
}

AURA_RESULT ChannelI::getPaused(bool *paused)
{
    if (!paused) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    *paused = mFlags.has(ChannelFlag::Paused);
    if (!*paused && mFlags.has(ChannelFlag::PauseDelay)) {
        return mRealChannel[0]->getPaused(paused);
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::pushSpeakerMix(ChannelReal *voice) const
{
    return voice->setSpeakerMix(mSpeakerMix[0], mSpeakerMix[1], mSpeakerMix[2], mSpeakerMix[3],
                                mSpeakerMix[4], mSpeakerMix[5], mSpeakerMix[6], mSpeakerMix[7]);
}

AURA_RESULT ChannelI::applyVolume()
{
    const float volume = mFlags.has(ChannelFlag::MutedInEffect) ? 0.0f : mVolume;
    if (mNumRealChannels > 1 && mSpeakerMode == SPEAKERMODE_LEVELS && mLevels) {
        return forEachVoice([&](ChannelReal *voice) { return voice->updateSpeakerLevels(volume); });
    }
    if (mNumRealChannels > 1 && mSpeakerMode == SPEAKERMODE_MIX) {
        return forEachVoice([&](ChannelReal *voice) { return pushSpeakerMix(voice); });
    }
    return forEachVoice([&](ChannelReal *voice) { return voice->setVolume(volume); });
}

AURA_RESULT ChannelI::setMute(bool mute)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    mFlags.set(ChannelFlag::Muted, mute);
    mFlags.set(ChannelFlag::MutedInEffect, mute || mutedAbove());
    const AURA_RESULT result = applyVolume();
    (void)updatePosition();
    return result;
}

AURA_RESULT ChannelI::getMute(bool *mute)
{
    return readField(mute, mFlags.has(ChannelFlag::Muted));
}

AURA_RESULT ChannelI::setVolume(float volume, bool forceupdate)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (std::isnan(volume)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    volume = std::clamp(volume, 0.0f, 1.0f);
    const bool changed = volume != mVolume;
    mVolume = volume;
    const AURA_RESULT result = applyVolume();
    if (changed || forceupdate) {
        (void)updatePosition();
    }
    return result;
}

AURA_RESULT ChannelI::getVolume(float *volume)
{
    return readField(volume, mVolume);
}

AURA_RESULT ChannelI::setFrequency(float frequency)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (std::isnan(frequency)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    frequency = std::clamp(frequency, mRealChannel[0]->mMinFrequency, mRealChannel[0]->mMaxFrequency);
    const bool turned = (frequency < 0.0f) != (mFrequency < 0.0f);
    mFrequency = frequency;
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) { return voice->setFrequency(frequency); });
    if (turned && mSyncPointCurrent) {
        (void)updateSyncPoints(true);
    }
    return first;
}

AURA_RESULT ChannelI::getFrequency(float *frequency)
{
    return readField(frequency, mFrequency);
}

AURA_RESULT ChannelI::setPan(float pan, bool push)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (std::isnan(pan)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    mPan = std::clamp(pan, -1.0f, 1.0f);
    mSpeakerMode = SPEAKERMODE_PAN;
    if (!push || (mRealChannel[0]->mMode & AURA_3D)) {
        return AURA_OK;
    }
    const SoundI *sound = mRealChannel[0]->mSound;
    // A split stereo sound keeps its left and right.
    const bool split = mNumRealChannels == 2 ||
                       (mNumRealChannels > 2 && sound && (sound->mSpeakerBits & 0x20000000u));
    AURA_RESULT first = AURA_OK;
    for (int i = 0; i < mNumRealChannels; ++i) {
        const float voicePan = split ? ((i % 2) ? 1.0f : -1.0f) : mPan;
        const AURA_RESULT result = mRealChannel[i]->setPan(voicePan, 1.0f);
        first = first == AURA_OK ? result : first;
    }
    return first;
}

AURA_RESULT ChannelI::setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br,
                                    float sl, float sr, bool push)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    const float levels[8] = {fl, fr, c, lfe, bl, br, sl, sr};
    for (int i = 0; i < 8; ++i) {
        mSpeakerMix[i] = std::isnan(levels[i]) ? 0.0f : std::clamp(levels[i], 0.0f, 5.0f);
    }
    mSpeakerMode = SPEAKERMODE_MIX;
    if (!push || (mRealChannel[0]->mMode & AURA_3D)) {
        return AURA_OK;
    }
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) {
        return pushSpeakerMix(voice);
    });
    return first;
}

namespace {
// The row of a speaker in a speaker mode, or -1 (39) when the mode has no
// such speaker; -2 (37) beyond the mode's speakers.
int speakerRow(AURA_SPEAKERMODE mode, AURA_SPEAKER speaker)
{
    const int s = static_cast<int>(speaker);
    switch (mode) {
    case AURA_SPEAKERMODE_MONO: return s == 0 ? 0 : -1;
    case AURA_SPEAKERMODE_STEREO:
    case AURA_SPEAKERMODE_STEREO_LINEAR: return s <= 1 ? s : -1;
    case AURA_SPEAKERMODE_QUAD: return s <= 1 ? s : (s == 4 || s == 5) ? s - 2 : -1;
    case AURA_SPEAKERMODE_SURROUND: return (s <= 2 || s == 4 || s == 5) ? s : -1;
    case AURA_SPEAKERMODE_5POINT1: return s <= 5 ? s : -1;
    case AURA_SPEAKERMODE_7POINT1: return s <= 7 ? s : -1;
    case AURA_SPEAKERMODE_PROLOGIC: return s <= 5 ? s : -2;
    default: return s;
    }
}
} // namespace

AURA_RESULT ChannelI::setSpeakerLevels(AURA_SPEAKER speaker, const float *levels, int numlevels,
                                       bool push)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!levels || numlevels < 0 || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (numlevels > mSystem->mMaxInputChannels) {
        return AURA_ERR_TOOMANYCHANNELS;
    }
    // The mode decides which speakers exist (39 for one it lacks); the row a
    // speaker maps to must exist in the output (quad's back pair are rows 2
    // and 3 of its four).
    const int row = speaker < 0 ? -2 : speakerRow(mSystem->mSpeakerMode, speaker);
    if (row == -1) {
        return AURA_ERR_INVALID_SPEAKER;
    }
    if (row < 0 || row >= mSystem->mNumOutputSpeakers) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mLevels && mSystem->mSpeakerLevelsPool.alloc(&mLevels) != AURA_OK) {
        mLevels = nullptr;
        return AURA_ERR_MEMORY;
    }
    float clamped[DSP_MAXCHANNELS] = {};
    for (int i = 0; i < numlevels; ++i) {
        clamped[i] = std::isnan(levels[i]) ? 0.0f : std::clamp(levels[i], 0.0f, 1.0f);
    }
    mSpeakerMode = SPEAKERMODE_LEVELS;
    if (!push || (mRealChannel[0]->mMode & AURA_3D)) {
        std::copy(clamped, clamped + numlevels, mLevels + row * mSystem->mMaxInputChannels);
        return AURA_OK;
    }
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) { return voice->setSpeakerLevels(row, clamped, numlevels); });
    // Voices that keep no matrix of their own still leave it here.
    std::copy(clamped, clamped + numlevels, mLevels + row * mSystem->mMaxInputChannels);
    return first;
}

AURA_RESULT ChannelI::getSpeakerLevels(AURA_SPEAKER speaker, float *levels, int numlevels)
{
    if (!levels || numlevels < 0 || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    const int row = speaker < 0 ? -2 : speakerRow(mSystem->mSpeakerMode, speaker);
    if (row == -1) {
        return AURA_ERR_INVALID_SPEAKER;
    }
    if (row < 0 || row >= mSystem->mNumOutputSpeakers) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (int i = 0; i < numlevels; ++i) {
        levels[i] = (mLevels && i < mSystem->mMaxInputChannels)
                        ? mLevels[row * mSystem->mMaxInputChannels + i]
                        : 0.0f;
    }
    return AURA_OK;
}

unsigned int ChannelI::toPCM(unsigned int position, unsigned int unit) const
{
    const SoundI *sound = mNumRealChannels ? mRealChannel[0]->mSound : nullptr;
    if (!sound) {
        return position;
    }
    switch (unit) {
    case AURA_TIMEUNIT_MS:
        return static_cast<unsigned int>(static_cast<double>(position) / 1000.0 * sound->mDefaultFrequency);
    case AURA_TIMEUNIT_PCMBYTES: {
        const int channels = sound->mChannels > 0 ? sound->mChannels : 1;
        const int bits = sound->bitsPerSample();
        uint64_t samples = position;
        switch (sound->mFormat) {
        case AURA_SOUND_FORMAT_NONE: return 0;
        case AURA_SOUND_FORMAT_GCADPCM: samples = samples * 14 / 8; break;
        case AURA_SOUND_FORMAT_IMAADPCM: samples = samples * 64 / 36; break;
        case AURA_SOUND_FORMAT_VAG: samples = samples * 28 / 16; break;
        default:
            if (bits == 0) {
                return position;
            }
            return static_cast<unsigned int>(samples * 8 / static_cast<uint64_t>(bits) /
                                             static_cast<uint64_t>(channels));
        }
        return static_cast<unsigned int>(samples / static_cast<uint64_t>(channels));
    }
    default:
        return position;
    }
}

AURA_RESULT ChannelI::sentenceToPCM(const SoundI &sound, unsigned int *position, unsigned int postype) const
{
    if (sound.mSubSoundListNum <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (postype == AURA_TIMEUNIT_SENTENCE || postype == AURA_TIMEUNIT_SENTENCE_SUBSOUND) {
        // The start of an entry.
        if (*position >= static_cast<unsigned int>(sound.mSubSoundListNum)) {
            return AURA_ERR_INVALID_POSITION;
        }
        *position = sound.sentenceEntryStart(static_cast<int>(*position));
        return AURA_OK;
    }
    if (postype != AURA_TIMEUNIT_SENTENCE_MS && postype != AURA_TIMEUNIT_SENTENCE_PCM &&
        postype != AURA_TIMEUNIT_SENTENCE_PCMBYTES) {
        return AURA_ERR_FORMAT;
    }
    // A place within the entry that plays now.
    unsigned int now = 0;
    const AURA_RESULT result = mRealChannel[0]->getPosition(&now, AURA_TIMEUNIT_PCM);
    if (result != AURA_OK) {
        return result;
    }
    int entry = 0;
    unsigned int into = 0;
    sound.sentencePosition(now, &entry, &into);
    const unsigned int pcm = toPCM(*position, postype == AURA_TIMEUNIT_SENTENCE_MS    ? AURA_TIMEUNIT_MS
                                              : postype == AURA_TIMEUNIT_SENTENCE_PCM ? AURA_TIMEUNIT_PCM
                                                                                      : AURA_TIMEUNIT_PCMBYTES);
    if (pcm >= sound.mSubSoundList[entry].mLength) {
        return AURA_ERR_INVALID_POSITION;
    }
    *position = sound.sentenceEntryStart(entry) + pcm;
    return AURA_OK;
}

AURA_RESULT ChannelI::setPosition(unsigned int position, unsigned int postype)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    SoundI *sound = mRealChannel[0]->mSound;
    if (sound && postype == AURA_TIMEUNIT_MODORDER) {
        // A tracker song's stream finds the order itself.
        if (!sound->liveCodec()) {
            return AURA_ERR_FORMAT;
        }
    } else if (sound && postype >= AURA_TIMEUNIT_SENTENCE_MS && postype <= AURA_TIMEUNIT_SENTENCE_SUBSOUND) {
        const AURA_RESULT result = sentenceToPCM(*sound, &position, postype);
        if (result != AURA_OK) {
            return result;
        }
        postype = AURA_TIMEUNIT_PCM;
    } else if (sound && postype != AURA_TIMEUNIT_BUFFERED) {
        if (postype != AURA_TIMEUNIT_MS && postype != AURA_TIMEUNIT_PCM &&
            postype != AURA_TIMEUNIT_PCMBYTES) {
            return AURA_ERR_FORMAT;
        }
        unsigned int length = 0;
        const AURA_RESULT result = sound->getLengthInternal(&length, postype);
        if (result != AURA_OK) {
            return result;
        }
        // An empty sound has one place to be: its start.
        if (position >= length && !(position == 0 && length == 0)) {
            return AURA_ERR_INVALID_POSITION;
        }
        position = toPCM(position, postype);
        postype = AURA_TIMEUNIT_PCM;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->setPosition(position, postype);
        if (result != AURA_OK && result != AURA_ERR_INVALID_POSITION) {
            return result;
        }
    }
    return updateSyncPoints(true);
}

AURA_RESULT ChannelI::getPosition(unsigned int *position, unsigned int postype)
{
    if (!position) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (postype == AURA_TIMEUNIT_MODORDER || postype == AURA_TIMEUNIT_MODROW || postype == AURA_TIMEUNIT_MODPATTERN) {
        // Where the song's decoder is (the stream plays a little behind it).
        SoundI *sound = mRealChannel[0]->mSound;
        Codec *codec = sound ? sound->liveCodec() : nullptr;
        return codec ? codec->getPosition(position, postype) : AURA_ERR_FORMAT;
    }
    return mRealChannel[0]->getPosition(position, postype);
}

AURA_RESULT ChannelI::setLoopCount(int loopcount)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (loopcount < -1) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) { return voice->setLoopCount(loopcount); });
    return first;
}

AURA_RESULT ChannelI::getLoopCount(int *loopcount)
{
    if (!loopcount) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    return mRealChannel[0]->getLoopCount(loopcount);
}

namespace {
bool loopUnit(unsigned int unit)
{
    return unit == AURA_TIMEUNIT_MS || unit == AURA_TIMEUNIT_PCM || unit == AURA_TIMEUNIT_PCMBYTES;
}
} // namespace

AURA_RESULT ChannelI::setLoopPoints(unsigned int loopstart, unsigned int loopstarttype,
                                    unsigned int loopend, unsigned int loopendtype)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!loopUnit(loopstarttype) || !loopUnit(loopendtype)) {
        return AURA_ERR_FORMAT;
    }
    const unsigned int start = toPCM(loopstart, loopstarttype);
    const unsigned int end = toPCM(loopend, loopendtype);
    if (start >= end) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->setLoopPoints(start, end - start + 1);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::getLoopPoints(unsigned int *loopstart, unsigned int loopstarttype,
                                    unsigned int *loopend, unsigned int loopendtype)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!loopUnit(loopstarttype) || !loopUnit(loopendtype)) {
        return AURA_ERR_FORMAT;
    }
    const ChannelReal *voice = mRealChannel[0];
    const SoundI *sound = voice->mSound;
    auto fromPCM = [&](unsigned int pcm, unsigned int unit) -> unsigned int {
        if (!sound || unit == AURA_TIMEUNIT_PCM) {
            return pcm;
        }
        if (unit == AURA_TIMEUNIT_MS) {
            return sound->mDefaultFrequency > 0.0f
                       ? static_cast<unsigned int>(static_cast<double>(pcm) * 1000.0 / sound->mDefaultFrequency)
                       : 0;
        }
        return static_cast<unsigned int>(static_cast<uint64_t>(pcm) *
                                         static_cast<uint64_t>(sound->bitsPerSample()) / 8 *
                                         static_cast<uint64_t>(std::max(sound->mChannels, 0)));
    };
    if (loopstart) {
        *loopstart = fromPCM(voice->mLoopStart, loopstarttype);
    }
    if (loopend) {
        const unsigned int end = voice->mLoopLength ? voice->mLoopStart + voice->mLoopLength - 1 : voice->mLoopStart;
        *loopend = fromPCM(end, loopendtype);
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::setMode(unsigned int mode)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->setMode(mode);
        if (result != AURA_OK) {
            return result;
        }
    }
    return applyVolume();
}

AURA_RESULT ChannelI::getMode(unsigned int *mode)
{
    if (!mode) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    *mode = mRealChannel[0]->mMode;
    return AURA_OK;
}

AURA_RESULT ChannelI::setDelay(AURA_DELAYTYPE delaytype, unsigned int delayhi, unsigned int delaylo)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    const uint64_t clock = (static_cast<uint64_t>(delayhi) << 32) | delaylo;
    switch (delaytype) {
    case AURA_DELAYTYPE_END_MS:
        mEndDelay = delayhi;
        return AURA_OK;
    case AURA_DELAYTYPE_DSPCLOCK_START:
        mDSPClockDelay = clock;
        break;
    case AURA_DELAYTYPE_DSPCLOCK_END:
        mDSPClockEnd = clock;
        break;
    case AURA_DELAYTYPE_DSPCLOCK_PAUSE:
        mDSPClockPause = clock;
        mFlags.set(ChannelFlag::PauseDelay);
        break;
    default:
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) { return voice->setDSPClockDelay(); });
    return first;
}

AURA_RESULT ChannelI::setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props)
{
    if (!props) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) { return voice->setReverbProperties(props); });
    return first;
}

AURA_RESULT ChannelI::getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *props)
{
    if (!props) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    // Every voice reads the instance the caller named, not the one named by
    // the flags an earlier voice wrote back; the first voice's answer is
    // the channel's.
    const AURA_REVERB_CHANNELPROPERTIES request = *props;
    AURA_RESULT first = AURA_OK;
    for (int i = 0; i < mNumRealChannels; ++i) {
        AURA_REVERB_CHANNELPROPERTIES answer = request;
        const AURA_RESULT result = mRealChannel[i]->getReverbProperties(&answer);
        if (i == 0) {
            *props = answer;
        }
        first = first == AURA_OK ? result : first;
    }
    return first;
}

AURA_RESULT ChannelI::setCallback(AURA_CHANNEL_CALLBACK callback)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    mCallback = callback;
    return AURA_OK;
}

AURA_RESULT ChannelI::updateSyncPoints(bool seeked)
{
    if (mNumRealChannels == 0 || !mRealChannel[0]->mSound) {
        return AURA_OK;
    }
    SoundI *sound = mRealChannel[0]->mSound;
    // A subsound with sync points of its own (a bank's) uses them; others
    // use their parent's list, marked with the subsound they belong to.
    SoundI *owner = sound->mSubSoundParent && sound->mNumSyncPoints == 0 ? sound->mSubSoundParent : sound;
    if (owner->mNumSyncPoints == 0 || !owner->mSyncPoint) {
        return AURA_OK;
    }
    AURA_SYNCPOINT *first = owner->mSyncPoint;
    AURA_SYNCPOINT *last = owner->mSyncPoint + owner->mNumSyncPoints - 1;
    if (!mSyncPointCurrent) {
        mSyncPointCurrent = first;
    }
    unsigned int position = 0;
    if (mRealChannel[0]->getPosition(&position, AURA_TIMEUNIT_PCM) != AURA_OK) {
        return AURA_OK;
    }
    const bool forwards = mFrequency >= 0.0f;
    if (seeked) {
        if (forwards) {
            AURA_SYNCPOINT *p = first;
            while (p <= last && p->mOffset < position) {
                ++p;
            }
            mSyncPointCurrent = p <= last ? p : first;
        } else {
            AURA_SYNCPOINT *p = last;
            while (p >= first && p->mOffset > position) {
                --p;
            }
            mSyncPointCurrent = p >= first ? p : last;
        }
        mSyncPointLastPos = position;
        return AURA_OK;
    }

    auto fire = [&](AURA_SYNCPOINT *p) {
        if (mCallback && (owner == sound || p->mSubSoundIndex == sound->mSubSoundIndex)) {
            mCallback(reinterpret_cast<AURA_CHANNEL *>(getHandle()), AURA_CHANNEL_CALLBACKTYPE_SYNCPOINT,
                      reinterpret_cast<void *>(static_cast<uintptr_t>(p->mIndex)), nullptr);
        }
    };
    // The callback may stop the channel: each step re-checks.
    if (forwards) {
        const bool wrapped = position < mSyncPointLastPos;
        if (wrapped) {
            // Points to the end of the sound, then from its start.
            while (mSyncPointCurrent && mSyncPointCurrent <= last && mNumRealChannels) {
                fire(mSyncPointCurrent++);
            }
            mSyncPointCurrent = first;
        }
        while (mSyncPointCurrent && mSyncPointCurrent <= last && mSyncPointCurrent->mOffset < position &&
               mNumRealChannels) {
            fire(mSyncPointCurrent++);
        }
        if (mSyncPointCurrent && mSyncPointCurrent > last) {
            mSyncPointCurrent = first;
            if (!wrapped && position >= mSyncPointLastPos) {
                // Every point is behind us until the sound loops.
                mSyncPointCurrent = last + 1;
            }
        }
    } else {
        const bool wrapped = position > mSyncPointLastPos;
        if (wrapped) {
            while (mSyncPointCurrent && mSyncPointCurrent >= first && mNumRealChannels) {
                fire(mSyncPointCurrent--);
            }
            mSyncPointCurrent = last;
        }
        while (mSyncPointCurrent && mSyncPointCurrent >= first && mSyncPointCurrent->mOffset > position &&
               mNumRealChannels) {
            fire(mSyncPointCurrent--);
        }
        if (mSyncPointCurrent && mSyncPointCurrent < first) {
            mSyncPointCurrent = first - 1;
        }
    }
    mSyncPointLastPos = position;
    return AURA_OK;
}

AURA_RESULT ChannelI::getCurrentSound(SoundI **sound)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    *sound = nullptr;
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    SoundI *playing = mRealChannel[0]->mSound;
    *sound = playing;
    return AURA_OK;
}

AURA_RESULT ChannelI::getRealChannel(ChannelReal **voices, int *numvoices)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (voices) {
        std::copy(mRealChannel, mRealChannel + mNumRealChannels, voices);
    }
    if (numvoices) {
        *numvoices = mNumRealChannels;
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::isPlaying(bool *isplaying)
{
    if (!isplaying) {
        return AURA_ERR_INVALID_PARAM;
    }
    *isplaying = false;
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (mRealChannel[0]->mFlags.has(VoiceFlag::Stopped)) {
        return AURA_OK;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        bool playing = false;
        if (mRealChannel[i]->isPlaying(&playing) == AURA_OK && playing) {
            *isplaying = true;
            return AURA_OK;
        }
    }
    if (mEndDelay > 0) {
        mFlags.set(ChannelFlag::StopDeferred);
        *isplaying = true;
        return AURA_OK;
    }
    // Finished: to the end of the sorted list, where nothing outranks it.
    mSortKey = UNSORTED;
    if (mSystem && mSortedNode.mNext != &mSortedNode) {
        mSortedNode.removeNode();
        mSortedNode.addBefore(mSystem->mChannelSortedListHead);
    }
    mSortKey2 = UNSORTED;
    if (mSoundGroupListed) {
        mSoundGroupNode.removeNode();
        mSoundGroupNode.addBefore(mSoundGroupListed->mChannelListHead);
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::setDefaults()
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    SoundI *sound = mRealChannel[0]->mSound;
    DSPI *dsp = mRealChannel[0]->mDSP;
    if (!sound && dsp) {
        // A played unit: its own defaults, no variations.
        float frequency = 0.0f;
        float volume = 0.0f;
        float pan = 0.0f;
        (void)dsp->getDefaults(&frequency, &volume, &pan, &mPriority);
        take3DSettings(nullptr);
        mDirectOcclusion = 0.0f;
        mReverbOcclusion = 0.0f;
        AURA_RESULT result = setFrequency(frequency);
        if (result == AURA_OK) {
            result = setVolume(volume);
        }
        return result == AURA_OK ? setPan(pan) : result;
    }
    if (!sound) {
        return AURA_ERR_INTERNAL;
    }
    mPriority = sound->mDefaultPriority;
    take3DSettings(sound);
    float frequency = sound->mDefaultFrequency;
    float volume = sound->mDefaultVolume;
    float pan = sound->mDefaultPan;
    mDirectOcclusion = 0.0f;
    mReverbOcclusion = 0.0f;
    if (sound->mFrequencyVariation > 0.0f) {
        frequency += sound->mFrequencyVariation * (static_cast<float>(nextRandom()) * 2.0f / 32768.0f - 1.0f);
    }
    if (sound->mVolumeVariation > 0.0f) {
        volume += sound->mVolumeVariation * (static_cast<float>(nextRandom()) * 2.0f / 32768.0f - 1.0f);
    }
    if (sound->mPanVariation > 0.0f) {
        pan += sound->mPanVariation * (static_cast<float>(nextRandom()) * 4.0f / 32768.0f - 2.0f);
    }
    AURA_RESULT result = setFrequency(frequency);
    if (result == AURA_OK) {
        result = setVolume(volume);
    }
    if (result != AURA_OK) {
        return result;
    }
    const unsigned int mask = sound->mSpeakerBits & 0xFFFFFu;
    if (mask == 0) {
        return setPan(pan);
    }
    // The mask names speakers as WAVE_FORMAT_EXTENSIBLE does (side left is
    // bit 9); each named speaker of the engine plays at full level.
    float mix[8] = {};
    int given = 0;
    for (int bit = 0; bit < 20 && given < sound->mChannels; ++bit) {
        if (!(mask & (1u << bit))) {
            continue;
        }
        ++given;
        const int speaker = DSPI::speakerOfMaskBit(bit);
        if (speaker >= 0) {
            mix[speaker] = 1.0f;
        } else if (speaker == -1) {
            mix[4] = mix[5] = 1.0f; // the back centre plays from both backs
        }
    }
    return setSpeakerMix(mix[0], mix[1], mix[2], mix[3], mix[4], mix[5], mix[6], mix[7]);
}

AURA_RESULT ChannelI::update(ElapsedTime elapsed, bool force)
{
    const int delta = elapsed.ms;
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (mFlags.has(ChannelFlag::Starting)) {
        return AURA_OK;
    }
    if (mFlags.has(ChannelFlag::StopDeferred) && mEndDelay > 0) {
        mEndDelay = delta > 0 && static_cast<unsigned int>(delta) < mEndDelay
                        ? mEndDelay - static_cast<unsigned int>(delta)
                        : 0;
    }
    // A 3D channel or listener that moved: the voices pan again, and
    // distance, cone, Doppler and occlusion are worked out anew.
    const bool listenerMoved = mSystem && mSystem->mListener[0].mMoved;
    if (mRealChannel[0]->mMode & AURA_3D) {
        const bool moved = mFlags.has(ChannelFlag::Moved3D) || listenerMoved;
        (void)calcVolumeAndPitchFor3D(false);
        if (moved) {
            (void)forEachVoice([](ChannelReal *voice) { return voice->set2DFreqVolumePanFor3D(); });
        }
        (void)updateOcclusion(delta, moved, force);
        mFlags.clear(ChannelFlag::Moved3D);
    }
    (void)updateSyncPoints(false);
    if (mNumRealChannels == 0 || mRealChannel[0]->mFlags.has(VoiceFlag::Stopped)) {
        return AURA_OK;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->update(elapsed);
        if (result != AURA_OK) {
            return result;
        }
    }
    // Sync points passed during this step fire at once.
    return updateSyncPoints(false);
}

AURA_RESULT ChannelI::getCurrentDSP(DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    *dsp = nullptr;
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    *dsp = mRealChannel[0]->mDSP;
    return AURA_OK;
}

AURA_RESULT ChannelI::getDSPHead(DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    *dsp = nullptr;
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    return mRealChannel[0]->getDSPHead(dsp);
}

AURA_RESULT ChannelI::addDSP(DSPI *dsp, DSPConnectionI **connection)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    DSPI *head = nullptr;
    AURA_RESULT result = getDSPHead(&head);
    if (result != AURA_OK) {
        return result;
    }
    if (!head) {
        return AURA_ERR_NEEDSSOFTWARE;
    }
    result = head->insertInputBetween(dsp, 0, false, connection);
    if (result == AURA_OK) {
        mAddDSP = dsp;
    }
    return result;
}

namespace {
// The head unit of a channel's voice and the channel count of what it plays.
AURA_RESULT historySource(ChannelI &channel, DSPFilter **head, int *channels)
{
    DSPI *unit = nullptr;
    const AURA_RESULT result = channel.getDSPHead(&unit);
    if (result != AURA_OK) {
        return result;
    }
    if (!unit) {
        return AURA_ERR_INITIALIZATION;
    }
    // Every head is a plain filter unit.
    *head = static_cast<DSPFilter *>(unit);
    const ChannelReal *voice = channel.mRealChannel[0];
    if (voice->mSound) {
        *channels = (voice->mSound->mSubSoundParent ? voice->mSound->mSubSoundParent : voice->mSound)->mChannels;
    } else if (voice->mDSP) {
        *channels = voice->mDSP->mDescription.channels > 0 ? voice->mDSP->mDescription.channels : 1;
    } else {
        return AURA_ERR_INVALID_HANDLE;
    }
    return AURA_OK;
}
} // namespace

AURA_RESULT ChannelI::getSpectrum(float *spectrumarray, int numvalues, int channeloffset,
                                  AURA_DSP_FFT_WINDOW windowtype)
{
    DSPFilter *head = nullptr;
    int channels = 0;
    const AURA_RESULT result = historySource(*this, &head, &channels);
    return result == AURA_OK ? getUnitSpectrum(head, channels, spectrumarray, numvalues, channeloffset, windowtype)
                             : result;
}

AURA_RESULT ChannelI::getWaveData(float *wavearray, int numvalues, int channeloffset)
{
    DSPFilter *head = nullptr;
    int channels = 0;
    const AURA_RESULT result = historySource(*this, &head, &channels);
    return result == AURA_OK ? getUnitWaveData(head, channels, wavearray, numvalues, channeloffset) : result;
}

AURA_RESULT ChannelI::set3DAttributes(const AURA_VECTOR *pos, const AURA_VECTOR *vel)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!(mRealChannel[0]->mMode & AURA_3D)) {
        return AURA_ERR_NEEDS3D;
    }
    auto differs = [](const AURA_VECTOR &a, const AURA_VECTOR &b) {
        return a.x != b.x || a.y != b.y || a.z != b.z;
    };
    if (pos) {
        if (differs(*pos, m3DPosition)) {
            mFlags.set(ChannelFlag::Moved3D);
        }
        m3DPosition = *pos;
    }
    if (vel) {
        if (differs(*vel, m3DVelocity)) {
            mFlags.set(ChannelFlag::Moved3D);
        }
        m3DVelocity = *vel;
    }
    const AURA_RESULT first = forEachVoice([&](ChannelReal *voice) { return voice->set3DAttributes(); });
    return first;
}

AURA_RESULT ChannelI::get3DAttributes(AURA_VECTOR *pos, AURA_VECTOR *vel)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (pos) {
        *pos = m3DPosition;
    }
    if (vel) {
        *vel = m3DVelocity;
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::getChannelInfo(AURA_CHANNEL_INFO *info)
{
    if (!info) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    ChannelReal *voice = mRealChannel[0];
    *info = AURA_CHANNEL_INFO{};
    info->mLevels = mLevels;
    (void)voice->getPosition(&info->mPosition, AURA_TIMEUNIT_PCM);
    info->mLoopStart = voice->mLoopStart;
    info->mLoopEnd = voice->mLoopLength ? voice->mLoopStart + voice->mLoopLength - 1 : voice->mLoopStart;
    info->mRealChannel = voice;
    info->mSound = voice->mSound;
    info->mDSP = voice->mSound ? nullptr : voice->mDSP;
    (void)voice->getLoopCount(&info->mLoopCount);
    info->mMute = mFlags.has(ChannelFlag::Muted);
    info->mPaused = mFlags.has(ChannelFlag::Paused);
    info->mMode = voice->mMode;
    return AURA_OK;
}

AURA_RESULT ChannelI::setChannelInfo(AURA_CHANNEL_INFO *info)
{
    if (!info) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    // The order matters: the mode first, as it decides what the rest means.
    (void)setMode(info->mMode);
    (void)setVolume(mVolume, true);
    (void)setFrequency(mFrequency);
    switch (mSpeakerMode) {
    case SPEAKERMODE_PAN:
        (void)setPan(mPan);
        break;
    case SPEAKERMODE_MIX:
        (void)setSpeakerMix(mSpeakerMix[0], mSpeakerMix[1], mSpeakerMix[2], mSpeakerMix[3], mSpeakerMix[4],
                                mSpeakerMix[5], mSpeakerMix[6], mSpeakerMix[7]);
        break;
    case SPEAKERMODE_LEVELS:
        if (info->mLevels && mSystem) {
            for (int i = 0; i < mNumRealChannels; ++i) {
                (void)mRealChannel[i]->updateSpeakerLevels(mVolume);
            }
        }
        break;
    }
    if (mRealChannel[0]->mMode & AURA_3D) {
        (void)set3DAttributes(&m3DPosition, &m3DVelocity);
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        (void)mRealChannel[i]->setDSPClockDelay();
        (void)mRealChannel[i]->setPosition(info->mPosition, AURA_TIMEUNIT_PCM);
        if (info->mLoopEnd > info->mLoopStart) {
            (void)mRealChannel[i]->setLoopPoints(info->mLoopStart, info->mLoopEnd - info->mLoopStart + 1);
        }
        (void)mRealChannel[i]->setLoopCount(info->mLoopCount);
    }
    (void)setMute(info->mMute);
    (void)setPaused(info->mPaused);
    for (int instance = 0; instance < 4; ++instance) {
        AURA_REVERB_CHANNELPROPERTIES props{};
        props.Flags = 0x10u << instance;
        if (mSystem && mSystem->mReverbGlobal.getChanProperties(instance, mIndex, &props, nullptr) == AURA_OK) {
            for (int i = 0; i < mNumRealChannels; ++i) {
                (void)mRealChannel[i]->setReverbProperties(&props);
            }
        }
    }
    if (mAddDSP) {
        DSPI *head = nullptr;
        if (getDSPHead(&head) == AURA_OK && head) {
            (void)head->insertInputBetween(mAddDSP, 0, false, nullptr);
        }
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::setChannelGroup(ChannelGroupI *group)
{
    return setChannelGroupInternal(group, true, false);
}

AURA_RESULT ChannelI::setChannelGroupInternal(ChannelGroupI *group, bool applysettings,
                                              bool forcedspmove)
{
    ChannelGroupI *old = mChannelGroup;
    if (old) {
        if (mGroupNode.mNext == &mGroupNode) {
            return AURA_OK;
        }
        --old->mNumChannels;
        mGroupNode.removeNode();
    }
    if (!group && mSystem) {
        group = mSystem->mMasterChannelGroup;
    }
    mChannelGroup = group;
    if (group) {
        mGroupNode.mNext = group->mChannelHead.mNext;
        mGroupNode.mPrev = &group->mChannelHead;
        group->mChannelHead.mNext->mPrev = &mGroupNode;
        group->mChannelHead.mNext = &mGroupNode;
        ++group->mNumChannels;
    }
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!applysettings) {
        return AURA_OK;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        const AURA_RESULT result = mRealChannel[i]->moveChannelGroup(old, group, forcedspmove);
        if (result != AURA_OK) {
            return result;
        }
    }
    AURA_RESULT result = setMute(mFlags.has(ChannelFlag::Muted));
    if (result != AURA_OK) {
        return result;
    }
    result = setPaused(mFlags.has(ChannelFlag::Paused));
    if (result != AURA_OK) {
        return result;
    }
    (void)setVolume(mVolume, true);
    if (!(mRealChannel[0]->mMode & AURA_3D)) {
        switch (mSpeakerMode) {
        case SPEAKERMODE_PAN:
            (void)setPan(mPan);
            break;
        case SPEAKERMODE_MIX:
            (void)setSpeakerMix(mSpeakerMix[0], mSpeakerMix[1], mSpeakerMix[2], mSpeakerMix[3], mSpeakerMix[4],
                                mSpeakerMix[5], mSpeakerMix[6], mSpeakerMix[7]);
            break;
        case SPEAKERMODE_LEVELS:
            break;
        }
    }
    (void)setFrequency(mFrequency);
    return AURA_OK;
}

AURA_RESULT ChannelI::getChannelGroup(ChannelGroupI **group)
{
    if (!group) {
        return AURA_ERR_INVALID_PARAM;
    }
    *group = mChannelGroup;
    return AURA_OK;
}

} // namespace AURA
