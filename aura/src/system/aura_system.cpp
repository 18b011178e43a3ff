// The life of a system: creation into the global list, format settings,
// init (output and DSP engine), the per-frame update, and release.
#include "channel/aura_channelgroupi.h"
#include "channel/aura_soundgroupi.h"
#include "channel/aura_channeli.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelsoftware.h"
#include "voice/aura_channelstream.h"
#include "sound/aura_stream.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "base/aura_string.h"
#include "system/aura_async.h"
#include "system/aura_systemi.h"
#include "profile/aura_profile.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"
#include "output/aura_output.h"
#include "output/aura_output_factory.h"

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <utility>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_system";

SystemI *fromNode(LinkedListNode *node)
{
    return static_cast<SystemI *>(node->mData);
}
} // namespace

namespace {
// A program that leaves main (or calls exit) with systems alive would destroy
// the memory pool and the system list under their mixer and stream threads:
// the systems are released first, by a handler registered after those
// globals were built, so it runs before they go.
void releaseLiveSystems()
{
    for (;;) {
        SystemI *system = nullptr;
        {
            std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
            LinkedListNode &head = gGlobal->mSystemHead;
            if (head.mNext == &head) {
                return;
            }
            system = fromNode(head.mNext);
        }
        (void)system->releaseInternal();
    }
}
} // namespace

AURA_RESULT SystemI::create(SystemI **system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    static std::once_flag exitHandler;
    std::call_once(exitHandler, [] { (void)std::atexit(&releaseLiveSystems); });
    *system = nullptr;
    SystemI *created = AURA_New(SystemI);
    if (!created) {
        return AURA_ERR_MEMORY;
    }
    {
        std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
        bool used[MAX_SYSTEMS] = {};
        LinkedListNode &head = gGlobal->mSystemHead;
        for (LinkedListNode *n = head.mNext; n != &head; n = n->mNext) {
            const unsigned int index = fromNode(n)->mIndex;
            if (index >= 1 && index <= MAX_SYSTEMS) {
                used[index - 1] = true;
            }
        }
        unsigned int index = 0;
        while (index < MAX_SYSTEMS && used[index]) {
            ++index;
        }
        if (index == MAX_SYSTEMS) {
            AURA_Delete(created);
            return AURA_ERR_MEMORY;
        }
        created->mIndex = index + 1;
        created->mGlobalNode.mData = created;
        created->mGlobalNode.mNext = head.mNext;
        created->mGlobalNode.mPrev = &head;
        head.mNext->mPrev = &created->mGlobalNode;
        head.mNext = &created->mGlobalNode;
    }
    (void)Global::incRef();
    *system = created;
    return AURA_OK;
}

AURA_RESULT SystemI::validate(const void *handle, SystemI **system)
{
    if (system) {
        *system = nullptr;
    }
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    const bool found = anySystem([&](SystemI *candidate) {
        if (static_cast<const void *>(static_cast<System *>(candidate)) != handle) {
            return false;
        }
        if (system) {
            *system = candidate;
        }
        return true;
    });
    return found ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT SystemI::getInstance(unsigned int index, SystemI **system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    *system = nullptr;
    const bool found = anySystem([&](SystemI *candidate) {
        *system = candidate->mIndex == index ? candidate : nullptr;
        return *system != nullptr;
    });
    return found ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT SystemI::setOutputInternal(AURA_OUTPUTTYPE output)
{
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    if (output < AURA_OUTPUTTYPE_AUTODETECT || output > AURA_OUTPUTTYPE_ALSA) {
        return AURA_ERR_INVALID_PARAM;
    }
    mOutputType = output;
    return AURA_OK;
}

AURA_RESULT SystemI::setDriverInternal(int driver)
{
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    if (driver < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    mDriver = driver;
    return AURA_OK;
}

AURA_RESULT SystemI::setSoftwareFormatInternal(int samplerate, AURA_SOUND_FORMAT format,
                                               int numoutputchannels, int maxinputchannels,
                                               AURA_DSP_RESAMPLER resamplemethod)
{
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    if (samplerate < 8000 || samplerate > 192000 || format < AURA_SOUND_FORMAT_PCM8 ||
        format > AURA_SOUND_FORMAT_PCMFLOAT || maxinputchannels < 1 ||
        maxinputchannels > DSP_MAXCHANNELS ||
        (resamplemethod != AURA_DSP_RESAMPLER_NOINTERP && resamplemethod != AURA_DSP_RESAMPLER_LINEAR)) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_SPEAKERMODE mode;
    switch (numoutputchannels) {
    case 1: mode = AURA_SPEAKERMODE_MONO; break;
    case 2: mode = AURA_SPEAKERMODE_STEREO; break;
    case 4: mode = AURA_SPEAKERMODE_QUAD; break;
    case 5: mode = AURA_SPEAKERMODE_SURROUND; break;
    case 6: mode = AURA_SPEAKERMODE_5POINT1; break;
    case 8: mode = AURA_SPEAKERMODE_7POINT1; break;
    default: return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT result = setSpeakerMode(mode);
    if (result != AURA_OK) {
        return result;
    }
    mOutputRate = samplerate;
    mOutputFormat = format;
    mMaxInputChannels = maxinputchannels;
    mResampleMethod = resamplemethod;
    return AURA_OK;
}

AURA_RESULT SystemI::getSoftwareFormatInternal(int *samplerate, AURA_SOUND_FORMAT *format,
                                               int *numoutputchannels, int *maxinputchannels,
                                               AURA_DSP_RESAMPLER *resamplemethod, int *bits)
{
    if (samplerate) {
        *samplerate = mOutputRate;
    }
    if (format) {
        *format = mOutputFormat;
    }
    if (numoutputchannels) {
        *numoutputchannels = mMaxOutputChannels;
    }
    if (maxinputchannels) {
        *maxinputchannels = mMaxInputChannels;
    }
    if (resamplemethod) {
        *resamplemethod = mResampleMethod;
    }
    if (bits) {
        switch (mOutputFormat) {
        case AURA_SOUND_FORMAT_PCM8: *bits = 8; break;
        case AURA_SOUND_FORMAT_PCM16: *bits = 16; break;
        case AURA_SOUND_FORMAT_PCM24: *bits = 24; break;
        case AURA_SOUND_FORMAT_PCM32:
        case AURA_SOUND_FORMAT_PCMFLOAT: *bits = 32; break;
        default: *bits = 0; break;
        }
    }
    return AURA_OK;
}

AURA_RESULT SystemI::setDSPBufferSizeInternal(unsigned int bufferlength, int numbuffers)
{
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    if (bufferlength < 16 || bufferlength > 16384 || numbuffers < 1 || numbuffers > 64) {
        return AURA_ERR_INVALID_PARAM;
    }
    mDSPBlockSize = bufferlength;
    mDSPBufferSize = bufferlength * static_cast<unsigned int>(numbuffers);
    return AURA_OK;
}

AURA_RESULT SystemI::initInternal(int maxchannels, unsigned int flags, void *extradriverdata)
{
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    if (maxchannels < 0 || maxchannels > 4095) {
        return AURA_ERR_INVALID_PARAM;
    }
    mFlags = flags;
    mMaxChannels = maxchannels;
    AURA_RESULT result = mPluginFactory.init(this);
    if (result == AURA_OK) {
        result = registerCodecs();
    }
    if (result == AURA_OK) {
        result = registerDSPUnits();
    }
    if (result == AURA_OK) {
        result = registerOutputs();
    }
    if (result != AURA_OK) {
        (void)mPluginFactory.release();
        return result;
    }

    OutputFormat format{};
    format.rate = mOutputRate;
    format.format = mOutputFormat;
    format.channels = mMaxOutputChannels;
    format.speakermode = mSpeakerMode;
    format.blocklength = mDSPBlockSize;
    format.numblocks = mDSPBlockSize ? static_cast<int>(mDSPBufferSize / mDSPBlockSize) : 4;
    result = openOutput(this, mOutputType, format, extradriverdata, &mOutput);
    if (result != AURA_OK) {
        mOutput = nullptr;
        (void)mPluginFactory.release();
        return result;
    }
    // A device that would not open fell back to real-time no sound; report
    // what really plays, so that a caller can choose another output.
    if ((mOutputType == AURA_OUTPUTTYPE_AUTODETECT || mOutputType == AURA_OUTPUTTYPE_ALSA) &&
        std::strcmp(mOutput->getName(), "alsa") != 0) {
        mOutputType = AURA_OUTPUTTYPE_NOSOUND;
    }
    // The device may have taken another rate or format than asked.
    mOutputRate = format.rate;
    mOutputFormat = format.format;

    result = initDSPEngine();
    if (result == AURA_OK) {
        result = initGeometry();
    }
    for (auto [crit, rank] : {std::pair{&mStreamUpdateCrit, AURA_OS_LOCKRANK::STREAM_UPDATE},
                              std::pair{&mStreamVoiceCrit, AURA_OS_LOCKRANK::STREAM_VOICE},
                              std::pair{&mStreamListCrit, AURA_OS_LOCKRANK::STREAM_LIST}}) {
        if (result == AURA_OK) {
            result = AURA_OS_CriticalSection_Create(crit);
        }
        if (result == AURA_OK) {
            (void)AURA_OS_CriticalSection_SetRank(*crit, rank);
        }
    }
    if (result == AURA_OK) {
        result = initChannels();
    }
    if (result == AURA_OK && mAdvancedSettings.maxADPCMcodecs > 0) {
        result = initDSPCodecPool(AURA_SOUND_FORMAT_IMAADPCM);
    }
    if (result == AURA_OK && mAdvancedSettings.maxMPEGcodecs > 0) {
        result = initDSPCodecPool(AURA_SOUND_FORMAT_MPEG);
    }
    if (result == AURA_OK && (mFlags & AURA_INIT_ENABLE_PROFILE)) {
        result = startProfiler();
    }
    if (result == AURA_OK) {
        mInitialised = true;
        mLastUpdateMs = currentMs();
        mLastUpdateFrames = mOutput->getFramesMixed();
        result = mOutput->start();
    }
    if (result != AURA_OK) {
        (void)closeInternal();
    }
    return result;
}

AURA_RESULT SystemI::set3DListenerAttributesInternal(int listener, const AURA_VECTOR *pos, const AURA_VECTOR *vel,
                                                     const AURA_VECTOR *forward, const AURA_VECTOR *up)
{
    if (listener < 0 || listener >= MAX_LISTENERS) {
        return AURA_ERR_INVALID_PARAM;
    }
    Listener &l = mListener[listener];
    if (pos) {
        l.mPosition = *pos;
    }
    if (vel) {
        l.mVelocity = *vel;
    }
    if (forward || up) {
        const AURA_VECTOR f = forward ? *forward : l.mForward;
        const AURA_VECTOR u = up ? *up : l.mUp;
        // Orientation vectors must be unit length and at right angles.
        const float ff = f.x * f.x + f.y * f.y + f.z * f.z;
        const float uu = u.x * u.x + u.y * u.y + u.z * u.z;
        const float fu = f.x * u.x + f.y * u.y + f.z * u.z;
        if (std::fabs(ff - 1.0f) > 0.01f || std::fabs(uu - 1.0f) > 0.01f || std::fabs(fu) > 0.01f) {
            return AURA_ERR_INVALID_VECTOR;
        }
        l.mForward = f;
        l.mUp = u;
        l.mRight = {u.y * f.z - u.z * f.y, u.z * f.x - u.x * f.z, u.x * f.y - u.y * f.x};
    }
    l.mMoved = true;
    return AURA_OK;
}

unsigned int SystemI::currentMs() const
{
    if (mUpdateClock) {
        return mUpdateClock();
    }
    unsigned int now = 0;
    (void)AURA_OS_Time_GetMs(&now);
    return now;
}

ElapsedTime SystemI::elapsedSinceUpdate(int clockMs)
{
    // A test's clock, or an output that keeps real time: the clock.
    if (mUpdateClock || !mOutput || mOutput->isRealTime() || mOutputRate <= 0) {
        return ElapsedTime(clockMs);
    }
    // Otherwise the time is what was mixed, however long the mixing took.
    // Whole milliseconds are counted from the start, so that they add up
    // to the mixed time instead of losing a fraction at every update.
    const uint64_t frames = mOutput->getFramesMixed();
    const auto rate = static_cast<uint64_t>(mOutputRate);
    const auto ms = static_cast<int>(frames * 1000 / rate - mLastUpdateFrames * 1000 / rate);
    const ElapsedTime elapsed = ElapsedTime::mixed(static_cast<int64_t>(frames - mLastUpdateFrames), mOutputRate, ms);
    mLastUpdateFrames = frames;
    return elapsed;
}

AURA_RESULT SystemI::initChannels()
{
    // The master group, with a unit of its own into which the channels'
    // heads are mixed, under the sound card.
    ChannelGroupI *master = nullptr;
    AURA_RESULT result = createChannelGroupInternal("master", &master);
    if (result != AURA_OK) {
        return result;
    }
    mMasterChannelGroup = master;

    mChannel = static_cast<ChannelI *>(
        AURA_Memory_Calloc(static_cast<int>(sizeof(ChannelI)) * std::max(mMaxChannels, 1)));
    if (!mChannel) {
        return AURA_ERR_MEMORY;
    }
    for (int i = 0; i < mMaxChannels; ++i) {
        ChannelI *channel = ::new (&mChannel[i]) ChannelI;
        (void)channel->init(i, this);
        channel->mNode.mNext = &mChannelFreeListHead;
        channel->mNode.mPrev = mChannelFreeListHead.mPrev;
        mChannelFreeListHead.mPrev->mNext = &channel->mNode;
        mChannelFreeListHead.mPrev = &channel->mNode;
        (void)channel->setChannelGroupInternal(master, false);
        ++mNumChannels;
    }
    result = mReverbGlobal.init(this, mMaxChannels);
    if (result == AURA_OK) {
        result = mReverb3D.init(this, mMaxChannels, 1);
    }
    if (result != AURA_OK) {
        return result;
    }

    // One voice a channel: a software voice that mixes into the master
    // group, or, with the software mixer off, an emulated voice that keeps
    // positions, loops and ends running exactly, silently.
    mVoicePool = AURA_New(ChannelPool);
    if (!mVoicePool) {
        return AURA_ERR_MEMORY;
    }
    const bool software = !(mFlags & AURA_INIT_SOFTWARE_DISABLE);
    // Fewer software voices than channels: the others wait on emulated
    // voices (virtual channels) or are refused.
    const int voices = software && mNumSoftwareVoices > 0 ? std::min(mNumSoftwareVoices, mMaxChannels) : mMaxChannels;
    result = mVoicePool->init(this, mOutput, voices);
    if (result == AURA_OK && software && (mFlags & AURA_INIT_VOL0_BECOMES_VIRTUAL)) {
        result = initEmulatedPool();
    }
    for (int i = 0; result == AURA_OK && i < voices; ++i) {
        ChannelReal *voice = nullptr;
        if (software) {
            voice = AURA_New(ChannelSoftware);
        } else {
            voice = AURA_New(ChannelEmulated);
        }
        result = voice ? mVoicePool->setChannel(i, voice, software ? master->mDSPMixTarget : nullptr)
                       : AURA_ERR_MEMORY;
    }
    if (result == AURA_OK && mReverbAmbientProperties.Environment != -1) {
        // An ambient room set before init gets its unit now.
        const AURA_REVERB_PROPERTIES ambient = mReverbAmbientProperties;
        result = setReverbAmbientProperties(&ambient);
    }
    return result;
}

AURA_RESULT SystemI::closeChannels()
{
    if (mChannel) {
        for (int i = 0; i < mNumChannels; ++i) {
            ChannelI &channel = mChannel[i];
            if (channel.mNumRealChannels) {
                (void)channel.stopEx(STOP_REFSTAMP | STOP_RETURNTOFREELIST | STOP_RESETCALLBACKS |
                                     STOP_RESETCHANNELGROUP);
            }
        }
    }
    if (mVoicePool) {
        (void)mVoicePool->release();
        AURA_Delete(mVoicePool);
        mVoicePool = nullptr;
    }
    if (mEmulatedPool) {
        (void)mEmulatedPool->release();
        AURA_Delete(mEmulatedPool);
        mEmulatedPool = nullptr;
    }
    // Groups other than the master first: their channels move to it.
    while (true) {
        ChannelGroupI *other = nullptr;
        for (LinkedListNode *n = mChannelGroupHead.mNext; n != &mChannelGroupHead; n = n->mNext) {
            auto *group = static_cast<ChannelGroupI *>(n->mData);
            if (group != mMasterChannelGroup) {
                other = group;
                break;
            }
        }
        if (!other) {
            break;
        }
        (void)other->releaseInternal(false);
    }
    if (mChannel) {
        for (int i = 0; i < mNumChannels; ++i) {
            mChannel[i].~ChannelI();
        }
        AURA_Memory_Free(mChannel);
        mChannel = nullptr;
    }
    mNumChannels = 0;
    releaseReverbUnits();
    (void)mReverbGlobal.release();
    (void)mReverb3D.release();
    mChannelFreeListHead.initNode();
    mChannelSortedListHead.initNode();
    if (mMasterChannelGroup) {
        (void)mMasterChannelGroup->releaseInternal(false);
        mMasterChannelGroup = nullptr;
    }
    return AURA_OK;
}

AURA_RESULT SystemI::createSoundGroupInternal(const char *name, SoundGroupI **group)
{
    if (!group) {
        return AURA_ERR_INVALID_PARAM;
    }
    *group = nullptr;
    if (!mChannel) {
        return AURA_ERR_UNINITIALIZED;
    }
    SoundGroupI *created = AURA_New(SoundGroupI);
    if (!created) {
        return AURA_ERR_MEMORY;
    }
    created->mSystem = this;
    if (name) {
        created->mName = AURA_strdup(name);
        if (!created->mName) {
            AURA_Delete(created);
            return AURA_ERR_MEMORY;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mSoundListLock);
        created->mNode.addAfter(mSoundGroupHead);
    }
    *group = created;
    return AURA_OK;
}

void SystemI::releaseSoundGroups()
{
    for (;;) {
        SoundGroupI *group = nullptr;
        {
            std::lock_guard<std::mutex> lock(mSoundListLock);
            if (mSoundGroupHead.isEmpty()) {
                return;
            }
            group = static_cast<SoundGroupI *>(mSoundGroupHead.mNext->mData);
        }
        (void)group->releaseInternal();
    }
}

AURA_RESULT SystemI::createChannelGroupInternal(const char *name, ChannelGroupI **group)
{
    if (!group) {
        return AURA_ERR_INVALID_PARAM;
    }
    *group = nullptr;
    if (!mDSPSoundCard) {
        return AURA_ERR_UNINITIALIZED;
    }
    ChannelGroupI *created = AURA_New(ChannelGroupI);
    if (!created) {
        return AURA_ERR_MEMORY;
    }
    created->mSystem = this;
    if (name) {
        created->mName = AURA_strdup(name);
    }
    // The group's own unit mixes its channels; it joins the master group's
    // unit (or, for the master, the sound card). Without the software mixer
    // groups only scale and pause.
    if (mFlags & AURA_INIT_SOFTWARE_DISABLE) {
        {
            std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
            created->mSystemNode.mNext = &mChannelGroupHead;
            created->mSystemNode.mPrev = mChannelGroupHead.mPrev;
            mChannelGroupHead.mPrev->mNext = &created->mSystemNode;
            mChannelGroupHead.mPrev = &created->mSystemNode;
        }
        if (mMasterChannelGroup) {
            (void)mMasterChannelGroup->addGroupInternal(created);
        }
        *group = created;
        return AURA_OK;
    }
    AURA_DSP_DESCRIPTION_EX description{};
    AURA_strncpy(description.name, "ChannelGroup", sizeof(description.name) - 1);
    description.version = 0x00010100;
    description.mFormat = AURA_SOUND_FORMAT_PCMFLOAT;
    DSPI *head = nullptr;
    AURA_RESULT result = createDSP(&description, &head, true);
    if (result != AURA_OK) {
        AURA_Delete(created);
        return result;
    }
    head->setActive(true);
    created->mDSPHead = head;
    created->mDSPMixTarget = head;
    {
        std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
        created->mSystemNode.mNext = &mChannelGroupHead;
        created->mSystemNode.mPrev = mChannelGroupHead.mPrev;
        mChannelGroupHead.mPrev->mNext = &created->mSystemNode;
        mChannelGroupHead.mPrev = &created->mSystemNode;
    }
    if (mMasterChannelGroup) {
        result = mMasterChannelGroup->addGroupInternal(created);
    } else {
        result = mDSPSoundCard->addInputQueued(head, false, nullptr, nullptr);
    }
    if (result != AURA_OK) {
        (void)created->releaseInternal(false);
        return result;
    }
    *group = created;
    return AURA_OK;
}

AURA_RESULT SystemI::getMasterChannelGroupInternal(ChannelGroupI **group)
{
    if (!group) {
        return AURA_ERR_INVALID_PARAM;
    }
    *group = mMasterChannelGroup;
    return mMasterChannelGroup ? AURA_OK : AURA_ERR_UNINITIALIZED;
}

AURA_RESULT SystemI::getFreeVoices(ChannelReal **voices, int count)
{
    if (!mVoicePool) {
        return AURA_ERR_UNINITIALIZED;
    }
    int found = 0;
    return mVoicePool->allocateChannel(voices, -1, count, &found);
}

AURA_RESULT SystemI::acquireChannel(AURA_CHANNELINDEX channelid, int priority, ChannelI **channelout)
{
    ChannelI *channel = nullptr;
    if (channelid == AURA_CHANNEL_FREE) {
        if (!mChannelFreeListHead.isEmpty()) {
            channel = static_cast<ChannelI *>(mChannelFreeListHead.mNext->mData);
        } else {
            // Every channel plays: take the least important, if it ranks
            // below the new sound.
            LinkedListNode *tail = mChannelSortedListHead.mPrev;
            ChannelI *least = tail != &mChannelSortedListHead ? static_cast<ChannelI *>(tail->mData) : nullptr;
            if (!least || least->mPriority < priority) {
                return AURA_ERR_CHANNEL_ALLOC;
            }
            channel = least;
        }
    } else if (channelid >= 0 && channelid < mNumChannels) {
        channel = &mChannel[channelid];
    } else {
        return AURA_ERR_INVALID_PARAM;
    }
    if (channel->mNumRealChannels) {
        (void)channel->stopEx(STOP_RETURNTOFREELIST | STOP_RESETCALLBACKS | STOP_REFSTAMP |
                              STOP_CALLBACKS);
    }
    ChannelReal *voice = nullptr;
    const AURA_RESULT result = acquireVoice(channel, priority, &voice);
    if (result != AURA_OK) {
        return result;
    }
    // From the free list into use.
    channel->mNode.removeNode();
    channel->mRealChannel[0] = voice;
    channel->mNumRealChannels = 1;
    *channelout = channel;
    return AURA_OK;
}

void SystemI::releaseUnplayedChannel(ChannelI *channel)
{
    (void)channel->mRealChannel[0]->stop();
    channel->mRealChannel[0] = nullptr;
    channel->mNumRealChannels = 0;
    (void)channel->returnToFreeList();
}

AURA_RESULT SystemI::playOnChannel(AURA_CHANNELINDEX channelid, int priority, ChannelI **channelout,
                                   const std::function<AURA_RESULT(ChannelI *)> &play)
{
    if (channelout) {
        *channelout = nullptr;
    }
    if (!mInitialised || !mChannel) {
        return AURA_ERR_UNINITIALIZED;
    }
    ChannelI *channel = nullptr;
    AURA_RESULT result = acquireChannel(channelid, priority, &channel);
    if (result != AURA_OK) {
        return result;
    }
    result = play(channel);
    if (result != AURA_OK) {
        releaseUnplayedChannel(channel);
        return result;
    }
    (void)channel->updatePosition();
    if (channelout) {
        *channelout = channel;
    }
    return AURA_OK;
}

AURA_RESULT SystemI::playSoundInternal(AURA_CHANNELINDEX channelid, SoundI *sound, bool paused,
                                       ChannelI **channelout)
{
    if (!sound) {
        if (channelout) {
            *channelout = nullptr;
        }
        return mInitialised ? AURA_ERR_INVALID_PARAM : AURA_ERR_UNINITIALIZED;
    }
    if (sound->mOpenState.load(std::memory_order_acquire) != SoundI::OPENSTATE_READY) {
        // Still loading (or failed): nothing to play yet.
        if (channelout) {
            *channelout = nullptr;
        }
        return AURA_ERR_NOTREADY;
    }
    if (sound->mChannels <= 0) {
        // A sound without audio (a playlist) has nothing to play.
        if (channelout) {
            *channelout = nullptr;
        }
        return AURA_ERR_FORMAT;
    }
    if (sound->isStream()) {
        // A stream plays once at a time: its own voice takes the channel's
        // voice, which plays the stream's ring buffer.
        auto *stream = static_cast<Stream *>(sound);
        ChannelStream *streamVoice = stream->mChannelStream;
        if (!streamVoice || !stream->mSample) {
            return AURA_ERR_INVALID_PARAM;
        }
        if (ChannelI *playing = streamVoice->mParent) {
            (void)playing->stopEx(STOP_RETURNTOFREELIST | STOP_RESETCALLBACKS | STOP_REFSTAMP | STOP_CALLBACKS);
        }
        return playOnChannel(channelid, sound->mDefaultPriority, channelout, [&](ChannelI *channel) {
            streamVoice->mRealChannel[0] = channel->mRealChannel[0];
            streamVoice->mNumRealChannels = 1;
            channel->mRealChannel[0] = streamVoice;
            return channel->play(sound, paused, true, false);
        });
    }
    return playOnChannel(channelid, sound->mDefaultPriority, channelout,
                         [&](ChannelI *channel) { return channel->play(sound, paused, true, false); });
}

AURA_RESULT SystemI::playDSPInternal(AURA_CHANNELINDEX channelid, DSPI *dsp, bool paused,
                                     ChannelI **channelout)
{
    if (!dsp) {
        if (channelout) {
            *channelout = nullptr;
        }
        return mInitialised ? AURA_ERR_INVALID_PARAM : AURA_ERR_UNINITIALIZED;
    }
    return playOnChannel(channelid, dsp->mDefaultPriority, channelout,
                         [&](ChannelI *channel) { return channel->play(dsp, paused, true, false); });
}

AURA_RESULT SystemI::stopDSP(DSPI *dsp)
{
    for (int i = 0; i < mNumChannels; ++i) {
        ChannelI &channel = mChannel[i];
        if (channel.mNumRealChannels && channel.mRealChannel[0]->mDSP == dsp) {
            (void)channel.stop();
        }
        if (channel.mAddDSP == dsp) {
            channel.mAddDSP = nullptr;
        }
    }
    return AURA_OK;
}

AURA_RESULT SystemI::updateInternal()
{
    if (!mInitialised) {
        return AURA_ERR_UNINITIALIZED;
    }
    (void)mUpdateTimeStamp.stampIn();
    AURA_RESULT result = mOutput ? mOutput->update() : AURA_OK;
    if (mOutput && !mOutput->isRealTime()) {
        streamThreadFunc(this);
    }
    // Loader threads of their own that finished their work go.
    (void)AsyncThread::update();

    const unsigned int now = currentMs();
    const int delta = static_cast<int>(now - mLastUpdateMs);
    mLastUpdateMs = now;
    const ElapsedTime elapsed = elapsedSinceUpdate(delta);
    if (mFlags & AURA_INIT_ENABLE_PROFILE) {
        // The profiler's troubles are the tool's, not the game's.
        (void)AURA_Profile_Update(this, static_cast<unsigned int>(delta));
    }

    // End callbacks run here, on the caller's thread; one may start a new
    // sound on its own channel.
    for (int i = 0; i < mNumChannels; ++i) {
        ChannelI &channel = mChannel[i];
        if (!channel.mNumRealChannels) {
            continue;
        }
        bool playing = false;
        (void)channel.isPlaying(&playing);
        if (playing) {
            (void)channel.update(elapsed);
            (void)channel.isPlaying(&playing);
        }
        if (!playing && channel.mNumRealChannels) {
            (void)channel.stopEx(STOP_FINISHED);
        }
    }
    promoteVirtualChannels();
    for (Listener &listener : mListener) {
        listener.mMoved = false;
    }
    (void)mUpdateTimeStamp.stampOut(50);
    return result;
}

AURA_RESULT SystemI::closeInternal()
{
    stopProfiler();
    (void)mGeometryMgr.releaseOcclusionThread();
    (void)releaseSounds();
    releaseSoundGroups();
    (void)mStreamThread.closeThread();
    if (mOutput) {
        // Stops the mixer thread before anything it reads goes away.
        releaseOutput(mOutput);
        mOutput = nullptr;
    }
    (void)closeChannels();
    closeDSPCodecPools();
    for (AURA_OS_CRITICALSECTION **crit : {&mStreamUpdateCrit, &mStreamVoiceCrit, &mStreamListCrit}) {
        (void)AURA_OS_CriticalSection_Free(*crit);
        *crit = nullptr;
    }
    (void)closeDSPEngine();
    (void)mPluginFactory.release();
    mInitialised = false;
    return AURA_OK;
}

AURA_RESULT SystemI::releaseInternal()
{
    (void)closeInternal();
    {
        std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
        mGlobalNode.mPrev->mNext = mGlobalNode.mNext;
        mGlobalNode.mNext->mPrev = mGlobalNode.mPrev;
        mGlobalNode.initNode();
        mIndex = 0;
    }
    const AURA_RESULT result = Global::decRef();
    SystemI *self = this;
    AURA_Delete(self);
    return result;
}

} // namespace AURA
