#include "voice/aura_channelreal.h"

#include "codec/aura_codec.h"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "voice/aura_channelpool.h"
#include "base/aura_memory.h"
#include "channel/aura_reverbi.h"
#include "sound/aura_soundi.h"
#include "base/aura_string.h"
#include "system/aura_systemi.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/aura_dspi.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_channelreal";

// The three loop bits and the three roll-off bits, each group one choice.
constexpr unsigned int MODE_LOOP_MASK = AURA_LOOP_OFF | AURA_LOOP_NORMAL | AURA_LOOP_BIDI;
constexpr unsigned int MODE_ROLLOFF_MASK = AURA_3D_LOGROLLOFF | AURA_3D_LINEARROLLOFF | AURA_3D_CUSTOMROLLOFF;

// Speaker-map bits of a sound.
constexpr unsigned int SPEAKERMAP_ALLMONO = 0x10000000;
constexpr unsigned int SPEAKERMAP_ALLSTEREO = 0x20000000;

// Time-unit bit that getPosition ignores.
constexpr unsigned int TIMEUNIT_IGNORED = 0x10000000;

constexpr unsigned int UINT32_LIMIT = std::numeric_limits<unsigned int>::max();

unsigned int clampToUnsigned(uint64_t value)
{
    return value > UINT32_LIMIT ? UINT32_LIMIT : static_cast<unsigned int>(value);
}

// A non-negative double truncated to an unsigned 32-bit value, saturating
// (a negative, NaN or huge value never reaches an undefined conversion).
unsigned int truncateToUnsigned(double value)
{
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= static_cast<double>(UINT32_LIMIT)) {
        return UINT32_LIMIT;
    }
    return static_cast<unsigned int>(value);
}

int soundChannels(const SoundI *sound)
{
    return std::max(sound->mChannels, 0);
}

// PCM bytes of the sound's format to samples (0 without channels or for a
// format without a byte measure).
unsigned int bytesToSamples(const SoundI *sound, unsigned int bytes)
{
    unsigned int samples = 0;
    if (soundChannels(sound) == 0 || getSamplesFromBytes(bytes, &samples, sound->mChannels, sound->mFormat) != AURA_OK) {
        return 0;
    }
    return samples;
}

// Samples to PCM bytes of the sound's format. False for a format that has
// no byte measure (the receiver is then left alone).
bool samplesToBytes(const SoundI *sound, unsigned int samples, unsigned int *bytes)
{
    return getBytesFromSamples(samples, bytes, soundChannels(sound), sound->mFormat) == AURA_OK;
}

// Gives back an emulated voice's head: the unit leaves the graph and the
// system's list, then its memory (the voice's own) is destroyed and freed.
void releaseHead(DSPI *&head, void *&memory)
{
    if (head) {
        (void)head->release(false);
        head = nullptr;
    }
    if (memory) {
        static_cast<DSPFilter *>(memory)->~DSPFilter();
        AURA_Memory_Free(memory);
        memory = nullptr;
    }
}

SystemI *systemOf(const ChannelReal &voice)
{
    if (voice.mSystem) {
        return voice.mSystem;
    }
    return voice.mParent ? voice.mParent->mSystem : nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// ChannelReal

ChannelReal::ChannelReal() = default;

AURA_RESULT ChannelReal::moveChannelGroup(ChannelGroupI * /*oldgroup*/, ChannelGroupI * /*newgroup*/,
                                          bool /*forcedspmove*/)
{
    return AURA_OK;
}

AURA_RESULT ChannelReal::init(int index, SystemI *system, Output *output, DSPI * /*dsp*/)
{
    mSound = nullptr;
    mFlags.reset();
    mMode = 0;
    mPosition = 0;
    mDirection = 0;
    mLoopCount = -1;
    mSystem = system;
    mOutput = output;
    mIndex = index;
    return AURA_OK;
}

AURA_RESULT ChannelReal::close()
{
    return stop();
}

AURA_RESULT ChannelReal::alloc()
{
    mPosition = 0;
    // The mark says the pool counts this voice; stop takes it away again.
    mFlags.set(VoiceFlag::Allocated);
    if (mPool) {
        ++mPool->mChannelsUsed;
    }
    return AURA_OK;
}

AURA_RESULT ChannelReal::alloc(DSPI * /*dsp*/)
{
    return ChannelReal::alloc();
}

AURA_RESULT ChannelReal::start()
{
    return AURA_OK;
}

AURA_RESULT ChannelReal::update(ElapsedTime /*elapsed*/)
{
    return AURA_OK;
}

AURA_RESULT ChannelReal::stop()
{
    // Only a voice that alloc counted is taken off the count: a voice that
    // was never handed out, or one stopped twice (shutdown closes every
    // voice), leaves it alone.
    if (mFlags.has(VoiceFlag::Allocated)) {
        mFlags.clear(VoiceFlag::Allocated);
        if (mPool && mPool->mChannelsUsed > 0) {
            --mPool->mChannelsUsed;
        }
    }
    mFlags.clear(VoiceFlag::Taken);
    mFlags.clear(VoiceFlag::Paused);
    mFlags.clear(VoiceFlag::Playing);
    mFlags.set(VoiceFlag::Stopped);
    return AURA_OK;
}

AURA_RESULT ChannelReal::setPaused(bool paused)
{
    mFlags.set(VoiceFlag::Paused, paused);
    return AURA_OK;
}

AURA_RESULT ChannelReal::getPaused(bool *paused)
{
    if (!paused) {
        return AURA_ERR_INVALID_PARAM;
    }
    *paused = mFlags.has(VoiceFlag::Paused);
    return AURA_OK;
}

AURA_RESULT ChannelReal::setVolume(float /*volume*/)
{
    return AURA_OK;
}

AURA_RESULT ChannelReal::setFrequency(float /*frequency*/)
{
    return AURA_OK;
}

AURA_RESULT ChannelReal::setPan(float /*pan*/, float /*fbpan*/)
{
    return AURA_OK;
}

AURA_RESULT ChannelReal::setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br,
                                       float sl, float sr)
{
    if (mDSP) {
        return AURA_OK; // a played unit has no speakers of its own
    }
    const float v = mParent ? mParent->mVolume : 1.0f;

    if (mSound && mSound->mChannels > 1) {
        // One voice of a split multi-channel sound: it carries one speaker.
        if (mSound->mSpeakerBits & SPEAKERMAP_ALLMONO) {
            (void)setPan(0.0f, 1.0f);
            (void)setVolume(c * v);
        } else if (mSound->mSpeakerBits & SPEAKERMAP_ALLSTEREO) {
            if ((mSubChannelIndex & 1) == 0) {
                (void)setPan(-1.0f, 1.0f);
                (void)setVolume(fl * v);
            } else {
                (void)setPan(1.0f, 1.0f);
                (void)setVolume(fr * v);
            }
        } else {
            struct Placement {
                float pan;
                float fbpan;
            };
            static constexpr Placement kPlacement[8] = {
                {-1.0f, 1.0f}, {1.0f, 1.0f}, {0.0f, 1.0f},  {0.0f, 0.0f},
                {-1.0f, -1.0f}, {1.0f, -1.0f}, {-1.0f, 0.0f}, {1.0f, 0.0f}};
            const float level[8] = {fl, fr, c, lfe, bl, br, sl, sr};
            if (mSubChannelIndex >= 0 && mSubChannelIndex < 8) {
                const Placement &at = kPlacement[mSubChannelIndex];
                (void)setPan(at.pan, at.fbpan);
                (void)setVolume(level[mSubChannelIndex] * v);
            }
        }
        return AURA_OK;
    }

    const float total = std::min(fl + fr + c + lfe + bl + br + sl + sr, 1.0f);
    (void)setVolume(total * v);
    const float pan = std::clamp(-fl + fr - bl + br - sl + sr, -1.0f, 1.0f);
    const float fbpan = std::clamp(fl + fr + c - bl - br, -1.0f, 1.0f);
    (void)setPan(pan, fbpan);
    return AURA_OK;
}

AURA_RESULT ChannelReal::setSpeakerLevels(int speaker, const float *levels, int numlevels)
{
    if (!mParent) {
        return AURA_OK;
    }
    SystemI *system = systemOf(*this);
    if (!system) {
        return AURA_ERR_UNINITIALIZED;
    }
    const int stride = system->mMaxInputChannels;
    if (speaker < 0 || speaker >= SystemI::MAX_SPEAKERS || numlevels < 0 || numlevels > stride ||
        (!levels && numlevels > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mParent->mLevels) {
        float *matrix = nullptr;
        (void)system->mSpeakerLevelsPool.alloc(&matrix);
        if (!matrix) {
            return AURA_ERR_MEMORY;
        }
        mParent->mLevels = matrix;
    }
    float *row = mParent->mLevels + static_cast<std::ptrdiff_t>(speaker) * stride;
    for (int i = 0; i < numlevels; ++i) {
        const float value = levels[i];
        row[i] = value > 0.0f ? std::min(value, 1.0f) : 0.0f; // NaN becomes 0 too
    }
    return updateSpeakerLevels(mParent->mVolume);
}

AURA_RESULT ChannelReal::updateSpeakerLevels(float volume)
{
    if (!mParent || !mParent->mLevels) {
        return AURA_OK;
    }
    SystemI *system = systemOf(*this);
    if (!system) {
        return AURA_OK;
    }
    int speakers = system->mSpeakerMode == AURA_SPEAKERMODE_PROLOGIC ? 6 : system->mNumOutputSpeakers;
    speakers = std::clamp(speakers, 0, SystemI::MAX_SPEAKERS);
    const int stride = system->mMaxInputChannels;
    const int column = mSubChannelIndex;
    const bool inMatrix = column >= 0 && column < stride;
    auto level = [&](int row) {
        return inMatrix ? mParent->mLevels[static_cast<std::ptrdiff_t>(row) * stride + column] : 0.0f;
    };

    // Centre and low frequency carry no direction.
    float sumSquares = 0.0f;
    for (int r = 0; r < speakers; ++r) {
        if (r != AURA_SPEAKER_FRONT_CENTER && r != AURA_SPEAKER_LOW_FREQUENCY) {
            sumSquares += level(r) * level(r);
        }
    }
    const float magnitude = std::sqrt(sumSquares);

    float pan = 0.0f;
    float fbpan = 0.0f;
    for (int r = 0; r < speakers; ++r) {
        const float w = magnitude > 0.0f ? std::fabs(level(r)) / magnitude : 0.0f;
        switch (r) {
        case AURA_SPEAKER_FRONT_LEFT: pan -= w; fbpan += w; break;
        case AURA_SPEAKER_FRONT_RIGHT: pan += w; fbpan += w; break;
        case AURA_SPEAKER_BACK_LEFT: pan -= w; fbpan -= w; break;
        case AURA_SPEAKER_BACK_RIGHT: pan += w; fbpan -= w; break;
        case AURA_SPEAKER_SIDE_LEFT: pan -= w; break;
        case AURA_SPEAKER_SIDE_RIGHT: pan += w; break;
        default: break;
        }
    }
    (void)setVolume(std::min(magnitude, 1.0f) * volume);
    (void)setPan(std::clamp(pan, -1.0f, 1.0f), std::clamp(fbpan, -1.0f, 1.0f));
    return AURA_OK;
}

AURA_RESULT ChannelReal::setPosition(unsigned int position, unsigned int postype)
{
    if (postype != AURA_TIMEUNIT_MS && postype != AURA_TIMEUNIT_PCM && postype != AURA_TIMEUNIT_PCMBYTES) {
        return AURA_ERR_FORMAT;
    }
    if (!mSound) {
        return AURA_OK;
    }
    unsigned int length = 0;
    const AURA_RESULT result = mSound->getLengthInternal(&length, AURA_TIMEUNIT_PCM);
    if (result != AURA_OK) {
        return result;
    }
    unsigned int samples = position;
    if (postype == AURA_TIMEUNIT_MS) {
        samples = truncateToUnsigned(static_cast<double>(position) / 1000.0 *
                                     static_cast<double>(mSound->mDefaultFrequency));
    } else if (postype == AURA_TIMEUNIT_PCMBYTES) {
        samples = bytesToSamples(mSound, position);
    }
    // Past the end is the end: a seek never fails for being too far.
    mPosition = std::min(samples, length);
    return AURA_OK;
}

AURA_RESULT ChannelReal::setPositionEx(unsigned int position, unsigned int postype, bool /*fromstream*/)
{
    return setPosition(position, postype);
}

AURA_RESULT ChannelReal::getPosition(unsigned int *position, unsigned int postype)
{
    if (!position || !mSound) {
        return AURA_ERR_INVALID_PARAM;
    }
    return positionInUnit(*mSound, mPosition, postype, position);
}

AURA_RESULT ChannelReal::positionInUnit(const SoundI &sound, unsigned int pcm, unsigned int postype,
                                        unsigned int *position)
{
    postype &= ~TIMEUNIT_IGNORED;
    unsigned int samples = pcm;
    const SoundI *const soundp = &sound;
    switch (postype) {
    case AURA_TIMEUNIT_SENTENCE_MS:
    case AURA_TIMEUNIT_SENTENCE_PCM:
    case AURA_TIMEUNIT_SENTENCE_PCMBYTES:
    case AURA_TIMEUNIT_SENTENCE:
    case AURA_TIMEUNIT_SENTENCE_SUBSOUND: {
        if (soundp->mSubSoundListNum <= 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        int entry = 0;
        soundp->sentencePosition(pcm, &entry, &samples);
        if (postype == AURA_TIMEUNIT_SENTENCE) {
            *position = static_cast<unsigned int>(entry);
            return AURA_OK;
        }
        if (postype == AURA_TIMEUNIT_SENTENCE_SUBSOUND) {
            *position = static_cast<unsigned int>(soundp->mSubSoundList[entry].mIndex);
            return AURA_OK;
        }
        postype = postype == AURA_TIMEUNIT_SENTENCE_MS    ? AURA_TIMEUNIT_MS
                  : postype == AURA_TIMEUNIT_SENTENCE_PCM ? AURA_TIMEUNIT_PCM
                                                          : AURA_TIMEUNIT_PCMBYTES;
        break;
    }
    case AURA_TIMEUNIT_PCM:
    case AURA_TIMEUNIT_MS:
    case AURA_TIMEUNIT_PCMBYTES:
        break;
    default:
        return AURA_ERR_FORMAT;
    }
    switch (postype) {
    case AURA_TIMEUNIT_PCM:
        *position = samples;
        return AURA_OK;
    case AURA_TIMEUNIT_MS: {
        const double frequency = soundp->mDefaultFrequency;
        *position = frequency > 0.0 ? truncateToUnsigned(static_cast<double>(samples) / frequency * 1000.0) : 0;
        return AURA_OK;
    }
    case AURA_TIMEUNIT_PCMBYTES: {
        unsigned int bytes = 0;
        if (samplesToBytes(soundp, samples, &bytes)) {
            *position = bytes;
        }
        return AURA_OK;
    }
    default:
        return AURA_ERR_FORMAT;
    }
}

AURA_RESULT ChannelReal::setLoopPoints(unsigned int loopstart, unsigned int looplength)
{
    if (!mSound) {
        return AURA_ERR_INVALID_PARAM;
    }
    unsigned int length = 0;
    const AURA_RESULT result = mSound->getLengthInternal(&length, AURA_TIMEUNIT_PCM);
    if (result != AURA_OK) {
        return result;
    }
    // An empty sound has the empty loop at its start and no other.
    const bool emptyLoop = length == 0 && loopstart == 0 && looplength == 0;
    if (!emptyLoop && (loopstart >= length || static_cast<uint64_t>(loopstart) + looplength > length)) {
        return AURA_ERR_INVALID_PARAM;
    }
    mLoopStart = loopstart;
    mLoopLength = looplength;
    return AURA_OK;
}

AURA_RESULT ChannelReal::setLoopCount(int loopcount)
{
    mLoopCount = loopcount;
    return AURA_OK;
}

AURA_RESULT ChannelReal::getLoopCount(int *loopcount)
{
    if (!loopcount) {
        return AURA_ERR_INVALID_PARAM;
    }
    *loopcount = mLoopCount;
    return AURA_OK;
}

AURA_RESULT ChannelReal::set3DOcclusion(float /*directocclusion*/, float /*reverbocclusion*/)
{
    return mParent ? setVolume(mParent->mVolume) : AURA_OK;
}

namespace {

constexpr unsigned int REVERB_INSTANCE_BITS =
    AURA_REVERB_CHANNELFLAGS_INSTANCE0 | AURA_REVERB_CHANNELFLAGS_INSTANCE1 |
    AURA_REVERB_CHANNELFLAGS_INSTANCE2 | AURA_REVERB_CHANNELFLAGS_INSTANCE3;

// The one instance a read names: the first of instances 1, 2 and 3 whose
// bit is set, else instance 0.
int reverbInstanceOf(unsigned int flags)
{
    if (flags & AURA_REVERB_CHANNELFLAGS_INSTANCE1) {
        return 1;
    }
    if (flags & AURA_REVERB_CHANNELFLAGS_INSTANCE2) {
        return 2;
    }
    if (flags & AURA_REVERB_CHANNELFLAGS_INSTANCE3) {
        return 3;
    }
    return 0;
}

} // namespace

AURA_RESULT ChannelReal::setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props)
{
    if (!props) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mParent) {
        return AURA_OK;
    }
    SystemI *system = systemOf(*this);
    if (!system) {
        return AURA_ERR_UNINITIALIZED;
    }
    ReverbI &reverb = system->mReverbGlobal;
    const int channel = mParent->mIndex;
    const unsigned int named = props->Flags & REVERB_INSTANCE_BITS;
    const int numnamed = std::popcount(named);
    for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
        const unsigned int bit = AURA_REVERB_CHANNELFLAGS_INSTANCE0 << i;
        if ((named & bit) || (i == 0 && numnamed == 0)) {
            // Setting several instances at once goes on past one that fails.
            const AURA_RESULT result = reverb.setChanProperties(i, channel, props, nullptr);
            if (result != AURA_OK && numnamed <= 1) {
                return result;
            }
            continue;
        }
        // An instance not named keeps its send but follows the direct level.
        AURA_REVERB_CHANNELPROPERTIES current{};
        AURA_RESULT result = reverb.getChanProperties(i, channel, &current, nullptr);
        if (result == AURA_OK) {
            current.Direct = props->Direct;
            result = reverb.setChanProperties(i, channel, &current, nullptr);
        }
        if (result != AURA_OK) {
            return result;
        }
    }
    // The 3D reverb takes what names instance 0; every active user reverb
    // takes the properties whatever they name.
    if ((named & AURA_REVERB_CHANNELFLAGS_INSTANCE0) || numnamed == 0) {
        (void)system->mReverb3D.setChanProperties(0, channel, props, nullptr);
    }
    system->forEachUserReverb([&](ReverbI &user) {
        if (user.mMode == 1) {
            (void)user.setChanProperties(0, channel, props, nullptr);
        }
    });
    return AURA_OK;
}

AURA_RESULT ChannelReal::getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *props)
{
    if (!props) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mParent) {
        return AURA_OK;
    }
    SystemI *system = systemOf(*this);
    if (!system) {
        return AURA_ERR_UNINITIALIZED;
    }
    return system->mReverbGlobal.getChanProperties(reverbInstanceOf(props->Flags), mParent->mIndex, props,
                                                   nullptr);
}

AURA_RESULT ChannelReal::isPlaying(bool *isplaying, bool /*includethreadlatency*/)
{
    if (!isplaying) {
        return AURA_ERR_INVALID_PARAM;
    }
    *isplaying = mFlags.has(VoiceFlag::Taken) || mFlags.has(VoiceFlag::Playing);
    return AURA_OK;
}

AURA_RESULT ChannelReal::isVirtual(bool *isvirtual)
{
    if (!isvirtual) {
        return AURA_ERR_INVALID_PARAM;
    }
    *isvirtual = false;
    return AURA_OK;
}

AURA_RESULT ChannelReal::getDSPHead(DSPI **dsp)
{
    if (dsp) {
        *dsp = nullptr;
    }
    return AURA_ERR_NEEDSSOFTWARE;
}

AURA_RESULT ChannelReal::setMode(unsigned int mode)
{
    // Each group of exclusive bits keeps exactly one member when any of
    // them is given; the first given member wins.
    if (mode & MODE_LOOP_MASK) {
        mMode &= ~MODE_LOOP_MASK;
        if (mode & AURA_LOOP_OFF) {
            mMode |= AURA_LOOP_OFF;
        } else if (mode & AURA_LOOP_NORMAL) {
            mMode |= AURA_LOOP_NORMAL;
        } else {
            mMode |= AURA_LOOP_BIDI;
        }
    }
    if (mode & AURA_3D_HEADRELATIVE) {
        mMode = (mMode | AURA_3D_HEADRELATIVE) & ~AURA_3D_WORLDRELATIVE;
    } else if (mode & AURA_3D_WORLDRELATIVE) {
        mMode = (mMode | AURA_3D_WORLDRELATIVE) & ~AURA_3D_HEADRELATIVE;
    }
    if (mode & MODE_ROLLOFF_MASK) {
        mMode &= ~MODE_ROLLOFF_MASK;
        if (mode & AURA_3D_LOGROLLOFF) {
            mMode |= AURA_3D_LOGROLLOFF;
        } else if (mode & AURA_3D_LINEARROLLOFF) {
            mMode |= AURA_3D_LINEARROLLOFF;
        } else {
            mMode |= AURA_3D_CUSTOMROLLOFF;
        }
    }
    constexpr unsigned int copied = AURA_3D_IGNOREGEOMETRY | AURA_VIRTUAL_PLAYFROMSTART;
    mMode = (mMode & ~copied) | (mode & copied);

    if (mMode & AURA_HARDWARE) {
        return AURA_OK;
    }
    if (mode & AURA_2D) {
        // Leaving 3D needs a channel whose 3D factors go back to neutral.
        if (mParent) {
            mMode = (mMode & ~AURA_3D) | AURA_2D;
            mParent->mDopplerPitch = 1.0f;
            mParent->mDirectOcclusion = 0.0f;
        }
    } else if (mode & AURA_3D) {
        mMode = (mMode & ~AURA_2D) | AURA_3D;
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// ChannelEmulated

ChannelEmulated::ChannelEmulated() = default;

ChannelEmulated::~ChannelEmulated()
{
    releaseHead(mDSPHead, mDSPHeadMemory);
}

AURA_RESULT ChannelEmulated::init(int index, SystemI *system, Output *output, DSPI *dsp)
{
    AURA_RESULT result = ChannelReal::init(index, system, output, dsp);
    if (result != AURA_OK) {
        return result;
    }
    releaseHead(mDSPHead, mDSPHeadMemory); // a voice set up again starts with a fresh head
    if (!system || (system->mFlags & AURA_INIT_SOFTWARE_DISABLE)) {
        // No graph to join, but the clock runs all the same, backwards too.
        mMinFrequency = -mMaxFrequency;
        return AURA_OK;
    }

    void *memory = AURA_Memory_Calloc(static_cast<int>(sizeof(DSPFilter)));
    if (!memory) {
        return AURA_ERR_MEMORY;
    }
    mDSPHeadMemory = memory;
    DSPI *unit = ::new (memory) DSPFilter;

    AURA_DSP_DESCRIPTION_EX description{};
    AURA_strncpy(description.name, "EmulatedChannel DSPHead Unit", sizeof(description.name) - 1);
    description.version = 0x00010100;
    description.mFormat = AURA_SOUND_FORMAT_PCMFLOAT;
    description.mCategory = AURA_DSP_CATEGORY_FILTER;
    description.mSize = sizeof(DSPFilter);
    result = system->createDSP(&description, &unit, false);
    if (result != AURA_OK) {
        releaseHead(mDSPHead, mDSPHeadMemory);
        return result;
    }
    mDSPHead = unit;
    mMinFrequency = -mMaxFrequency; // it may run backwards
    return AURA_OK;
}

AURA_RESULT ChannelEmulated::close()
{
    const AURA_RESULT result = ChannelReal::close();
    releaseHead(mDSPHead, mDSPHeadMemory);
    return result;
}

AURA_RESULT ChannelEmulated::alloc()
{
    mStepRemainder = 0.0;
    mEndFrame = NO_END;
    mEndWraps = 0;
    AURA_RESULT result = ChannelReal::alloc();
    if (result != AURA_OK || !mDSPHead) {
        return result;
    }
    result = mDSPHead->disconnectFrom(nullptr, nullptr);
    if (result != AURA_OK) {
        return result;
    }
    ChannelGroupI *group = mParent ? mParent->mChannelGroup : nullptr;
    if (group && group->mDSPMixTarget) {
        result = group->mDSPMixTarget->addInputQueued(mDSPHead, false, nullptr, nullptr);
    }
    return result;
}

AURA_RESULT ChannelEmulated::moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup,
                                              bool forcedspmove)
{
    if (!mDSPHead || (oldgroup == newgroup && !forcedspmove)) {
        return AURA_OK;
    }
    AURA_RESULT result = AURA_OK;
    if (oldgroup && oldgroup->mDSPMixTarget) {
        result = oldgroup->mDSPMixTarget->disconnectFrom(mDSPHead, nullptr);
    }
    if (result == AURA_OK && newgroup && newgroup->mDSPMixTarget) {
        result = newgroup->mDSPMixTarget->addInputQueued(mDSPHead, false, nullptr, nullptr);
    }
    return result;
}

AURA_RESULT ChannelEmulated::update(ElapsedTime elapsed)
{
    AURA_RESULT result = ChannelReal::update(elapsed);
    if (result != AURA_OK) {
        return result;
    }
    if (!mParent) {
        return AURA_OK; // no channel, no frequency to run at
    }
    const bool running = mFlags.has(VoiceFlag::Playing) && !mFlags.has(VoiceFlag::Paused);
    const bool startingEmulated = mParent->mFlags.has(ChannelFlag::StartingWhenEmulated) &&
                                  !mParent->mFlags.has(ChannelFlag::Virtual);
    if (!running || startingEmulated || (mMode & AURA_VIRTUAL_PLAYFROMSTART)) {
        return AURA_OK;
    }
    SystemI *system = systemOf(*this);
    if (system && mParent->mDSPClockDelay > system->mDSPClock.load(std::memory_order_acquire)) {
        return AURA_OK; // scheduled to start later
    }

    // Samples to move, in doubles: rate x ticks overflows 32 bits long
    // before the division (48000 Hz x 60000 ms is 2880000000). The rate is
    // bounded so that rate x ticks stays exact. Mixed frames at the output
    // rate give a whole step whenever the rates are equal.
    const float frequency = mParent->mFrequency;
    const double rate = static_cast<double>(frequency) * static_cast<double>(mParent->mDopplerPitch);
    constexpr double kRateLimit = 1e9;
    const double samplesPerSecond = std::isfinite(rate) ? std::clamp(rate, -kRateLimit, kRateLimit) : 0.0;
    // The fraction of a sample left over carries to the next update, or a
    // virtual channel would fall behind by up to a sample an update.
    const double exact = samplesPerSecond * static_cast<double>(elapsed.ticks) /
                             static_cast<double>(elapsed.ticksPerSecond) +
                         mStepRemainder;
    int64_t step = static_cast<int64_t>(std::trunc(exact));
    mStepRemainder = exact - static_cast<double>(step);
    if (mDirection == 1) {
        step = -step;
    }
    const int64_t moved = static_cast<int64_t>(mPosition) + step;
    auto store = [this](int64_t position) {
        mPosition = position <= 0 ? 0 : clampToUnsigned(static_cast<uint64_t>(position));
    };

    const bool normal = (mMode & AURA_LOOP_NORMAL) != 0;
    const bool bidi = !normal && (mMode & AURA_LOOP_BIDI) != 0;
    // A loop of no length cannot be looped: the sound plays to its end.
    const bool looping = (normal || (bidi && mLoopCount != 0)) && mLoopLength > 0;
    if (!mSound || !looping || frequency == 0.0f) {
        store(moved);
        if (!mSound || looping) {
            return AURA_OK;
        }
        if (step < 0 && moved <= 0) {
            // Played backwards to the start: over, as an audible voice ends
            // there; otherwise the channel would sit at 0 for ever.
            mFlags.clear(VoiceFlag::Playing);
            return AURA_OK;
        }
        unsigned int length = 0;
        result = mSound->getLengthInternal(&length, AURA_TIMEUNIT_PCM);
        if (result != AURA_OK) {
            return result;
        }
        if (mPosition >= length) {
            mPosition = length;
            mFlags.clear(VoiceFlag::Playing);
        }
        return AURA_OK;
    }

    // The way the position moves: the frequency's sign, turned round while a
    // bidirectional loop runs backwards. A backward run bounces at the loop
    // start whatever the sign of the frequency.
    const bool forwards = (frequency > 0.0f) == (mDirection == 0);
    const auto loopStart = static_cast<int64_t>(mLoopStart);
    const auto loopLength = static_cast<int64_t>(mLoopLength);
    const int64_t loopEnd = loopStart + loopLength;
    if (normal && forwards && mEndFrame != NO_END) {
        // A loop that ends early (a stream's ring where its data ends): the
        // voice stops there, as an audible voice does.
        const int64_t end = std::min<int64_t>(mEndFrame, loopEnd);
        const int64_t from = std::clamp<int64_t>(mPosition, loopStart, loopEnd);
        const int64_t left = std::max<int64_t>(static_cast<int64_t>(mEndWraps) * loopLength + end - from, 0);
        if (moved - static_cast<int64_t>(mPosition) >= left) {
            store(end);
            mEndWraps = 0;
            mFlags.clear(VoiceFlag::Playing);
            return AURA_OK;
        }
        if (moved >= loopEnd) {
            const int64_t wraps = (moved - loopEnd) / loopLength + 1;
            mEndWraps -= static_cast<unsigned int>(std::min<int64_t>(wraps, mEndWraps));
        }
    }
    if (forwards ? moved < loopEnd : moved > loopStart) {
        store(moved);
        return AURA_OK;
    }

    // However far past the boundary the move went, the boundary is met
    // hits times; each meeting uses up one loop of a counted loop.
    const int64_t beyond = forwards ? moved - loopEnd : loopStart - moved;
    int64_t hits = beyond / loopLength + 1;
    const int64_t rest = beyond % loopLength;
    bool ends = false;
    if (mLoopCount >= 0 && mLoopCount < hits) {
        hits = mLoopCount;
        ends = true;
    }
    if (mLoopCount > 0) {
        mLoopCount -= static_cast<int>(hits);
    }
    const bool turned = bidi && (hits % 2) == 1;
    if (turned) {
        mDirection = mDirection == 0 ? 1 : 0;
    }
    if (ends) {
        // Out of loops: the voice stops at the boundary it runs into next.
        const bool towardsEnd = forwards != turned;
        store(towardsEnd ? loopEnd : loopStart);
        mFlags.clear(VoiceFlag::Playing);
        return AURA_OK;
    }
    if (bidi) {
        // Reflected at each boundary, as an audible voice plays it.
        const bool atFarSide = turned == forwards;
        store(atFarSide ? loopEnd - rest : loopStart + rest);
    } else {
        store(forwards ? loopStart + rest : loopEnd - rest);
    }
    return AURA_OK;
}

AURA_RESULT ChannelEmulated::stop()
{
    // A stream's play-state object is not modelled by sounds yet, so there
    // is no stream flag to raise here.
    AURA_RESULT result = AURA_OK;
    if (mDSPHead) {
        mDSPHead->clearFlags(DSPI_FLAG_ACTIVE);
        result = mDSPHead->disconnectAll(false, true);
    }
    if (mParent) {
        if (SystemI *system = systemOf(*this)) {
            for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
                (void)system->mReverbGlobal.resetConnectionPointer(i, mParent->mIndex);
            }
        }
    }
    const AURA_RESULT stopped = ChannelReal::stop();
    return result != AURA_OK ? result : stopped;
}

AURA_RESULT ChannelEmulated::isVirtual(bool *isvirtual)
{
    if (!isvirtual) {
        return AURA_ERR_INVALID_PARAM;
    }
    *isvirtual = true;
    return AURA_OK;
}

AURA_RESULT ChannelEmulated::getDSPHead(DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    *dsp = mDSPHead;
    return AURA_OK;
}

} // namespace AURA
