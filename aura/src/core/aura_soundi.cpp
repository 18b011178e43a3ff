#include "core/aura_soundi.h"

#include "core/aura_channeli.h"
#include "core/aura_memory.h"
#include "core/aura_string.h"
#include "core/aura_systemi.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_sound";
} // namespace

SoundI::SoundI() = default;

SoundI::~SoundI()
{
    AURA_Memory_Free(mSyncPoint);
    mSyncPoint = nullptr;
}

AURA_RESULT SoundI::releaseInternal(bool freethis)
{
    // Channels that still play the sound would read freed memory: stop them.
    if (mSystem && mSystem->mChannel) {
        for (int i = 0; i < mSystem->mNumChannels; ++i) {
            ChannelI &channel = mSystem->mChannel[i];
            SoundI *playing = nullptr;
            if (channel.getCurrentSound(&playing) == AURA_OK && playing == this) {
                (void)channel.stop();
            }
        }
    }
    if (freethis) {
        SoundI *self = this;
        AURA_Delete(self);
    }
    return AURA_OK;
}

int SoundI::bitsPerSample() const
{
    switch (mFormat) {
    case AURA_SOUND_FORMAT_PCM8: return 8;
    case AURA_SOUND_FORMAT_PCM16: return 16;
    case AURA_SOUND_FORMAT_PCM24: return 24;
    case AURA_SOUND_FORMAT_PCM32:
    case AURA_SOUND_FORMAT_PCMFLOAT: return 32;
    default: return 0;
    }
}

AURA_RESULT SoundI::getLengthInternal(unsigned int *length, unsigned int lengthtype)
{
    if (!length) {
        return AURA_ERR_INVALID_PARAM;
    }
    switch (lengthtype) {
    case AURA_TIMEUNIT_PCM:
        *length = mLength;
        return AURA_OK;
    case AURA_TIMEUNIT_MS:
        *length = mDefaultFrequency > 0.0f
                      ? static_cast<unsigned int>(static_cast<double>(mLength) * 1000.0 / mDefaultFrequency)
                      : 0;
        return AURA_OK;
    case AURA_TIMEUNIT_PCMBYTES: {
        const uint64_t bytes = static_cast<uint64_t>(mLength) * static_cast<uint64_t>(bitsPerSample()) / 8 *
                               static_cast<uint64_t>(std::max(mChannels, 0));
        *length = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(bytes);
        return AURA_OK;
    }
    default:
        return AURA_ERR_FORMAT;
    }
}

AURA_RESULT SoundI::getMode(unsigned int *mode)
{
    if (!mode) {
        return AURA_ERR_INVALID_PARAM;
    }
    *mode = mMode;
    return AURA_OK;
}

AURA_RESULT SoundI::setDefaults(float frequency, float volume, float pan, int priority)
{
    mDefaultFrequency = frequency;
    mDefaultVolume = std::clamp(volume, 0.0f, 1.0f);
    mDefaultPan = std::clamp(pan, -1.0f, 1.0f);
    mDefaultPriority = std::clamp(priority, 0, 256);
    return AURA_OK;
}

AURA_RESULT SoundI::getDefaults(float *frequency, float *volume, float *pan, int *priority)
{
    if (frequency) {
        *frequency = mDefaultFrequency;
    }
    if (volume) {
        *volume = mDefaultVolume;
    }
    if (pan) {
        *pan = mDefaultPan;
    }
    if (priority) {
        *priority = mDefaultPriority;
    }
    return AURA_OK;
}

AURA_RESULT SoundI::setVariations(float frequencyvar, float volumevar, float panvar)
{
    mFrequencyVariation = frequencyvar;
    mVolumeVariation = volumevar;
    mPanVariation = panvar;
    return AURA_OK;
}

AURA_RESULT SoundI::setLoopPoints(unsigned int loopstart, unsigned int loopend)
{
    if (loopstart >= loopend || loopend >= mLength) {
        return AURA_ERR_INVALID_PARAM;
    }
    mLoopStart = loopstart;
    mLoopLength = loopend - loopstart + 1;
    return AURA_OK;
}

AURA_RESULT SoundI::addSyncPoint(unsigned int offset, const char *name, AURA_SYNCPOINT **point)
{
    if (mNumSyncPoints >= MAX_SYNCPOINTS) {
        return AURA_ERR_MEMORY;
    }
    const int bytes = static_cast<int>(sizeof(AURA_SYNCPOINT)) * (mNumSyncPoints + 1);
    auto *grown = static_cast<AURA_SYNCPOINT *>(AURA_Memory_ReAlloc(mSyncPoint, bytes));
    if (!grown) {
        return AURA_ERR_MEMORY;
    }
    mSyncPoint = grown;
    int at = mNumSyncPoints;
    while (at > 0 && mSyncPoint[at - 1].mOffset > offset) {
        mSyncPoint[at] = mSyncPoint[at - 1];
        --at;
    }
    AURA_SYNCPOINT &added = mSyncPoint[at];
    std::memset(&added, 0, sizeof(added));
    added.mOffset = offset;
    AURA_strncpy(added.mNameBuffer, name ? name : "", sizeof(added.mNameBuffer) - 1);
    ++mNumSyncPoints;
    // Indices and name pointers follow the records' new places.
    for (int i = 0; i < mNumSyncPoints; ++i) {
        mSyncPoint[i].mIndex = static_cast<unsigned short>(i);
        mSyncPoint[i].mName = mSyncPoint[i].mNameBuffer;
    }
    if (point) {
        *point = &mSyncPoint[at];
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// The public class.

AURA_RESULT Sound::release()
{
    return static_cast<SoundI *>(this)->releaseInternal(true);
}

AURA_RESULT Sound::getLength(unsigned int *length, AURA_TIMEUNIT lengthtype)
{
    return static_cast<SoundI *>(this)->getLengthInternal(length, lengthtype);
}

} // namespace AURA
