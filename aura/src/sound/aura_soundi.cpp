#include "sound/aura_soundi.h"

#include "codec/aura_codec.h"
#include "file/aura_file.h"
#include "base/aura_memory.h"
#include "base/aura_metadata.h"
#include "base/aura_string.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_sound";
} // namespace

SoundI::SoundI()
{
    mSoundNode.initNode();
    mSoundNode.mData = this;
    mChannelHead.initNode();
    mAsyncNode.initNode();
    mAsyncNode.mData = this;
    mSoundGroupNode.initNode();
    mSoundGroupNode.mData = this;
}

AURA_RESULT SoundI::makeAsyncRecord(const char *name_or_data, const AURA_CREATESOUNDEXINFO *exinfo)
{
    auto *record = AURA_New(AsyncRecord);
    if (!record) {
        return AURA_ERR_MEMORY;
    }
    if (mMode & (AURA_OPENMEMORY | AURA_OPENMEMORY_POINT)) {
        record->mMemory = name_or_data;
    } else if (name_or_data) {
        record->mName = AURA_strdup(name_or_data);
        if (!record->mName) {
            AURA_Delete(record);
            return AURA_ERR_MEMORY;
        }
    }
    if (exinfo) {
        record->mExinfo = *exinfo;
        record->mHasExinfo = true;
    }
    mAsyncData = record;
    return AURA_OK;
}

std::mutex &SoundI::channelListLock()
{
    static std::mutex lock;
    return lock;
}

SoundI::~SoundI()
{
    {
        // No channel keeps a link into a freed sound. Held only for this:
        // releasing the subsounds below stops their channels under it.
        std::lock_guard<std::mutex> lock(channelListLock());
        while (!mChannelHead.isEmpty()) {
            mChannelHead.mNext->removeNode();
        }
    }
    if (mAsyncData) {
        AURA_Memory_Free(mAsyncData->mName);
        AsyncRecord *record = mAsyncData;
        mAsyncData = nullptr;
        AURA_Delete(record);
    }
    AURA_Memory_Free(mSyncPoint);
    mSyncPoint = nullptr;
    AURA_Memory_Free(mSubSoundList);
    mSubSoundList = nullptr;
    mSubSoundListNum = 0;
    releaseSubSounds();
    AURA_Memory_Free(mName);
    mName = nullptr;
    if (mMetadata) {
        (void)mMetadata->release();
        mMetadata = nullptr;
    }
}

void SoundI::releaseSubSounds()
{
    if (mSubSound) {
        for (int i = 0; i < mNumSubSounds; ++i) {
            if (SoundI *child = mSubSound[i]) {
                mSubSound[i] = nullptr;
                child->mSubSoundParent = nullptr;
                (void)child->releaseInternal(true);
            }
        }
        AURA_Memory_Free(mSubSound);
        mSubSound = nullptr;
    }
    if (mSubSoundCodec) {
        (void)mSubSoundCodec->release();
        mSubSoundCodec = nullptr;
    }
}

const SampleSource *SoundI::sentenceEntry(int index, unsigned int *length) const
{
    *length = 0;
    if (!mSubSoundList || index < 0 || index >= mSubSoundListNum) {
        return nullptr;
    }
    const SentenceEntry &entry = mSubSoundList[index];
    const SoundI *sound =
        mSubSound && entry.mIndex >= 0 && entry.mIndex < mNumSubSounds ? mSubSound[entry.mIndex] : nullptr;
    // A stream plays its subsounds itself: its entries are lengths only.
    if (sound || isStream()) {
        *length = entry.mLength;
    }
    return sound;
}

void SoundI::sentencePosition(unsigned int position, int *entry, unsigned int *remainder) const
{
    int at = 0;
    uint64_t start = 0;
    locateSentenceEntry(position, &at, &start);
    *entry = at;
    *remainder = static_cast<unsigned int>(position - std::min<uint64_t>(start, position));
}

unsigned int SoundI::sentenceEntryStart(int entry) const
{
    uint64_t start = 0;
    for (int i = 0; i < entry && i < mSubSoundListNum; ++i) {
        unsigned int length = 0;
        (void)sentenceEntry(i, &length);
        start += length;
    }
    return static_cast<unsigned int>(std::min<uint64_t>(start, 0xFFFFFFFFu));
}

AURA_RESULT SoundI::getNumSubSounds(int *numsubsounds)
{
    if (!numsubsounds) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numsubsounds = mNumSubSounds;
    return AURA_OK;
}

AURA_RESULT SoundI::getName(char *name, int namelen)
{
    if (!name || namelen <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const char *own = mName ? mName : "";
    const auto length = std::min<size_t>(std::strlen(own), static_cast<size_t>(namelen - 1));
    std::memcpy(name, own, length);
    name[length] = 0;
    return AURA_OK;
}

int SoundI::bitsPerSample() const
{
    return getBitsFromFormat(mFormat);
}

AURA_RESULT SoundI::getLengthInternal(unsigned int *length, unsigned int lengthtype)
{
    if (!length) {
        return AURA_ERR_INVALID_PARAM;
    }
    const unsigned int frames = heldLength();
    switch (lengthtype) {
    case AURA_TIMEUNIT_PCM:
        *length = frames;
        return AURA_OK;
    case AURA_TIMEUNIT_MS:
        *length = mDefaultFrequency > 0.0f
                      ? static_cast<unsigned int>(static_cast<double>(frames) * 1000.0 / mDefaultFrequency)
                      : 0;
        return AURA_OK;
    case AURA_TIMEUNIT_PCMBYTES: {
        const uint64_t bytes = static_cast<uint64_t>(frames) * static_cast<uint64_t>(bitsPerSample()) / 8 *
                               static_cast<uint64_t>(std::max(mChannels, 0));
        *length = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(bytes);
        return AURA_OK;
    }
    case AURA_TIMEUNIT_RAWBYTES:
        // The bytes of the file a live decoder reads (0xFFFFFFFF: a server
        // that gave no length).
        if (Codec *codec = liveCodec(); codec && codec->mFile) {
            return codec->mFile->getSize(length);
        }
        return AURA_ERR_FORMAT;
    case AURA_TIMEUNIT_MODORDER:
    case AURA_TIMEUNIT_MODROW:
    case AURA_TIMEUNIT_MODPATTERN:
        if (Codec *codec = liveCodec()) {
            return codec->getLength(length, lengthtype);
        }
        return AURA_ERR_FORMAT;
    default:
        return AURA_ERR_FORMAT;
    }
}

namespace {
template <class Call>
AURA_RESULT musicCall(Codec *codec, Call &&call)
{
    return codec ? call(codec->mDescription, codec->state()) : AURA_ERR_FORMAT;
}
} // namespace

AURA_RESULT SoundI::getMusicNumChannels(int *numchannels)
{
    return musicCall(liveCodec(), [&](const AURA_CODEC_DESCRIPTION_EX &d, AURA_CODEC_STATE *state) {
        return d.getmusicnumchannels ? d.getmusicnumchannels(state, numchannels) : AURA_ERR_FORMAT;
    });
}

AURA_RESULT SoundI::setMusicChannelVolume(int channel, float volume)
{
    return musicCall(liveCodec(), [&](const AURA_CODEC_DESCRIPTION_EX &d, AURA_CODEC_STATE *state) {
        return d.setmusicchannelvolume ? d.setmusicchannelvolume(state, channel, volume) : AURA_ERR_FORMAT;
    });
}

AURA_RESULT SoundI::getMusicChannelVolume(int channel, float *volume)
{
    return musicCall(liveCodec(), [&](const AURA_CODEC_DESCRIPTION_EX &d, AURA_CODEC_STATE *state) {
        return d.getmusicchannelvolume ? d.getmusicchannelvolume(state, channel, volume) : AURA_ERR_FORMAT;
    });
}

AURA_RESULT SoundI::setMusicSpeed(float speed)
{
    return musicCall(liveCodec(), [&](const AURA_CODEC_DESCRIPTION_EX &d, AURA_CODEC_STATE *state) {
        return d.setmusicspeed ? d.setmusicspeed(state, speed) : AURA_ERR_FORMAT;
    });
}

AURA_RESULT SoundI::getMusicSpeed(float *speed)
{
    return musicCall(liveCodec(), [&](const AURA_CODEC_DESCRIPTION_EX &d, AURA_CODEC_STATE *state) {
        return d.getmusicspeed ? d.getmusicspeed(state, speed) : AURA_ERR_FORMAT;
    });
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

AURA_RESULT SoundI::getFormat(AURA_SOUND_TYPE *type, AURA_SOUND_FORMAT *format, int *channels, int *bits)
{
    if (type) {
        *type = mType;
    }
    if (format) {
        *format = reportedFormat();
    }
    if (channels) {
        *channels = mChannels;
    }
    if (bits) {
        *bits = getBitsFromFormat(reportedFormat());
    }
    return AURA_OK;
}

AURA_RESULT SoundI::getLoopPoints(unsigned int *loopstart, unsigned int *loopend)
{
    if (loopstart) {
        *loopstart = mLoopStart;
    }
    if (loopend) {
        *loopend = mLoopLength ? mLoopStart + mLoopLength - 1 : mLoopStart;
    }
    return AURA_OK;
}

AURA_RESULT SoundI::getNumSyncPoints(int *numsyncpoints)
{
    if (!numsyncpoints) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numsyncpoints = mNumSyncPoints;
    return AURA_OK;
}

AURA_RESULT SoundI::getSyncPoint(int index, AURA_SYNCPOINT **point)
{
    if (!point || index < 0 || index >= mNumSyncPoints) {
        return AURA_ERR_INVALID_PARAM;
    }
    *point = &mSyncPoint[index];
    return AURA_OK;
}

AURA_RESULT SoundI::getOpenState(AURA_OPENSTATE *state, AURA_RESULT *result)
{
    if (!state) {
        return AURA_ERR_INVALID_PARAM;
    }
    *state = static_cast<AURA_OPENSTATE>(mOpenState.load(std::memory_order_acquire));
    if (result) {
        *result = mAsyncData ? mAsyncData->mResult.load(std::memory_order_acquire)
                             : static_cast<AURA_RESULT>(mFailure.load(std::memory_order_acquire));
    }
    return AURA_OK;
}

AURA_RESULT SoundI::getNumTags(int *numtags, int *numtagsupdated)
{
    std::lock_guard<std::mutex> lock(mTagLock);
    if (!mMetadata) {
        if (numtags) {
            *numtags = 0;
        }
        if (numtagsupdated) {
            *numtagsupdated = 0;
        }
        return AURA_OK;
    }
    return mMetadata->getNumTags(numtags, numtagsupdated);
}

AURA_RESULT SoundI::getTag(const char *name, int index, AURA_TAG *tag)
{
    if (!tag) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(mTagLock);
    if (!mMetadata) {
        return AURA_ERR_TAGNOTFOUND;
    }
    return mMetadata->getTag(name, index, tag);
}

AURA_RESULT SoundI::lock(unsigned int /*offset*/, unsigned int /*length*/, void **ptr1, void **ptr2,
                         unsigned int *len1, unsigned int *len2)
{
    // A sound without data of its own (a stream's parent) has nothing to lock.
    if (ptr1) {
        *ptr1 = nullptr;
    }
    if (ptr2) {
        *ptr2 = nullptr;
    }
    if (len1) {
        *len1 = 0;
    }
    if (len2) {
        *len2 = 0;
    }
    return AURA_ERR_UNSUPPORTED;
}

AURA_RESULT SoundI::unlock(void * /*ptr1*/, void * /*ptr2*/, unsigned int /*len1*/, unsigned int /*len2*/)
{
    return AURA_ERR_UNSUPPORTED;
}

} // namespace AURA
