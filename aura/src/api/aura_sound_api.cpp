// The sound handle class: forwards to the engine's sound.
#include "aura.hpp"
#include "base/aura_string.h"
#include "base/aura_metadata.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"

namespace AURA {

AURA_RESULT Sound::release()
{
    return static_cast<SoundI *>(this)->releaseInternal(true);
}

AURA_RESULT Sound::getLength(unsigned int *length, AURA_TIMEUNIT lengthtype)
{
    return static_cast<SoundI *>(this)->getLengthInternal(length, lengthtype);
}

AURA_RESULT Sound::getMusicNumChannels(int *numchannels)
{
    return static_cast<SoundI *>(this)->getMusicNumChannels(numchannels);
}

AURA_RESULT Sound::setMusicChannelVolume(int channel, float volume)
{
    return static_cast<SoundI *>(this)->setMusicChannelVolume(channel, volume);
}

AURA_RESULT Sound::getMusicChannelVolume(int channel, float *volume)
{
    return static_cast<SoundI *>(this)->getMusicChannelVolume(channel, volume);
}

AURA_RESULT Sound::setMusicSpeed(float speed)
{
    return static_cast<SoundI *>(this)->setMusicSpeed(speed);
}

AURA_RESULT Sound::getMusicSpeed(float *speed)
{
    return static_cast<SoundI *>(this)->getMusicSpeed(speed);
}

AURA_RESULT Sound::getFormat(AURA_SOUND_TYPE *type, AURA_SOUND_FORMAT *format, int *channels, int *bits)
{
    return static_cast<SoundI *>(this)->getFormat(type, format, channels, bits);
}

AURA_RESULT Sound::getDefaults(float *frequency, float *volume, float *pan, int *priority)
{
    return static_cast<SoundI *>(this)->getDefaults(frequency, volume, pan, priority);
}

AURA_RESULT Sound::setDefaults(float frequency, float volume, float pan, int priority)
{
    return static_cast<SoundI *>(this)->setDefaults(frequency, volume, pan, priority);
}

AURA_RESULT Sound::getMode(AURA_MODE *mode)
{
    return static_cast<SoundI *>(this)->getMode(mode);
}

AURA_RESULT Sound::getLoopPoints(unsigned int *loopstart, unsigned int *loopend)
{
    return static_cast<SoundI *>(this)->getLoopPoints(loopstart, loopend);
}

AURA_RESULT Sound::setLoopPoints(unsigned int loopstart, unsigned int loopend)
{
    return static_cast<SoundI *>(this)->setLoopPoints(loopstart, loopend);
}

AURA_RESULT Sound::getNumSyncPoints(int *numsyncpoints)
{
    return static_cast<SoundI *>(this)->getNumSyncPoints(numsyncpoints);
}

AURA_RESULT Sound::getSyncPointInfo(int index, char *name, int namelen, unsigned int *offset,
                                    AURA_TIMEUNIT offsettype)
{
    auto *self = static_cast<SoundI *>(this);
    AURA_SYNCPOINT *point = nullptr;
    const AURA_RESULT result = self->getSyncPoint(index, &point);
    if (result != AURA_OK) {
        return result;
    }
    if (name && namelen > 0) {
        AURA_strncpy(name, point->mName ? point->mName : "", namelen - 1);
        name[namelen - 1] = 0;
    }
    if (offset) {
        if (offsettype == AURA_TIMEUNIT_PCM) {
            *offset = point->mOffset;
        } else if (offsettype == AURA_TIMEUNIT_MS) {
            *offset = self->mDefaultFrequency > 0.0f
                          ? static_cast<unsigned int>(static_cast<double>(point->mOffset) * 1000.0 /
                                                      self->mDefaultFrequency)
                          : 0;
        } else {
            return AURA_ERR_FORMAT;
        }
    }
    return AURA_OK;
}

AURA_RESULT Sound::getOpenState(AURA_OPENSTATE *state, AURA_RESULT *result)
{
    return static_cast<SoundI *>(this)->getOpenState(state, result);
}

AURA_RESULT Sound::getNumTags(int *numtags, int *numtagsupdated)
{
    return static_cast<SoundI *>(this)->getNumTags(numtags, numtagsupdated);
}

AURA_RESULT Sound::getTag(const char *name, int index, AURA_TAG *tag)
{
    return static_cast<SoundI *>(this)->getTag(name, index, tag);
}

AURA_RESULT Sound::lock(unsigned int offset, unsigned int length, void **ptr1, void **ptr2, unsigned int *len1,
                        unsigned int *len2)
{
    return static_cast<SoundI *>(this)->lock(offset, length, ptr1, ptr2, len1, len2);
}

AURA_RESULT Sound::unlock(void *ptr1, void *ptr2, unsigned int len1, unsigned int len2)
{
    return static_cast<SoundI *>(this)->unlock(ptr1, ptr2, len1, len2);
}

AURA_RESULT Sound::getNumSubSounds(int *numsubsounds)
{
    return static_cast<SoundI *>(this)->getNumSubSounds(numsubsounds);
}

AURA_RESULT Sound::getSubSound(int index, Sound **subsound)
{
    if (!subsound) {
        return AURA_ERR_INVALID_PARAM;
    }
    SoundI *found = nullptr;
    const AURA_RESULT result = static_cast<SoundI *>(this)->getSubSound(index, &found);
    *subsound = found;
    return result;
}

AURA_RESULT Sound::setSubSoundSentence(int *subsoundlist, int numsubsounds)
{
    return static_cast<SoundI *>(this)->setSubSoundSentence(subsoundlist, numsubsounds);
}

AURA_RESULT Sound::getName(char *name, int namelen)
{
    return static_cast<SoundI *>(this)->getName(name, namelen);
}

} // namespace AURA
