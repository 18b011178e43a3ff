// Sentences: a parent sound played as a list of its subsounds, back to back.
// A sample parent's voices read each entry's own data in turn; a stream
// parent's decoder moves from entry to entry while it fills the ring.
#include "sound/aura_soundi.h"

#include "base/aura_memory.h"
#include "os/aura_os.h"
#include "codec/aura_codec.h"
#include "dsp/aura_dsp_mixer.h"
#include "sound/aura_stream.h"
#include "system/aura_systemi.h"

#include <algorithm>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_sentence";

// What every entry must share with the first.
struct EntryFormat {
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    int channels = 0;
    unsigned int compressed = 0;
    float frequency = 0.0f;
    unsigned int speakerBits = 0;
};
} // namespace

AURA_RESULT SoundI::setSubSoundSentence(const int *subsoundlist, int numsubsounds)
{
    if (numsubsounds < 0 || (numsubsounds > 0 && !subsoundlist) || mNumSubSounds <= 0 || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mOpenState.load(std::memory_order_acquire) != OPENSTATE_READY) {
        return AURA_ERR_NOTREADY;
    }
    const bool stream = isStream();
    auto *codec = stream ? static_cast<Stream *>(this)->mCodec : nullptr;
    if (stream && !codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    SentenceEntry *list = nullptr;
    if (numsubsounds > 0) {
        const uint64_t bytes = sizeof(SentenceEntry) * static_cast<uint64_t>(numsubsounds);
        if (bytes > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
            return AURA_ERR_MEMORY;
        }
        list = static_cast<SentenceEntry *>(AURA_Memory_Alloc(static_cast<int>(bytes)));
        if (!list) {
            return AURA_ERR_MEMORY;
        }
    }
    // Each entry: a loaded subsound (a stream's codec knows every one), of
    // the first entry's format; the whole fits a 32-bit frame count.
    EntryFormat first;
    uint64_t total = 0;
    bool entryCut = false; // an entry holds less than its file said
    AURA_RESULT result = AURA_OK;
    for (int i = 0; i < numsubsounds && result == AURA_OK; ++i) {
        const int index = subsoundlist[i];
        if (index < 0 || index >= mNumSubSounds) {
            result = AURA_ERR_INVALID_PARAM;
            break;
        }
        EntryFormat entry;
        unsigned int length = 0;
        if (stream) {
            AURA_CODEC_WAVEFORMAT waveformat{};
            {
                // The stream thread may be reading through the codec.
                CriticalSectionGuard guard(mSystem->mStreamUpdateCrit);
                result = codec->getWaveFormat(index, &waveformat);
            }
            if (result != AURA_OK) {
                break;
            }
            if (waveformat.lengthpcm == 0xFFFFFFFFu) {
                result = AURA_ERR_FORMAT; // an entry must say where it ends
                break;
            }
            entry = {waveformat.format, waveformat.channels, 0, static_cast<float>(waveformat.frequency),
                     waveformat.channelmask};
            length = waveformat.lengthpcm;
        } else {
            const SoundI *sound = mSubSound ? mSubSound[index] : nullptr;
            if (!sound) {
                result = AURA_ERR_INVALID_PARAM; // not loaded
                break;
            }
            entry = {sound->mFormat, sound->mChannels, sound->mMode & AURA_CREATECOMPRESSEDSAMPLE,
                     sound->mDefaultFrequency, sound->mSpeakerBits};
            length = sound->mLength;
            entryCut = entryCut || sound->mFailure.load(std::memory_order_acquire) == AURA_ERR_FILE_EOF;
        }
        if (i == 0) {
            first = entry;
        } else if (entry.format != first.format || entry.channels != first.channels ||
                   entry.compressed != first.compressed) {
            result = AURA_ERR_SUBSOUND_MODE;
            break;
        }
        total += length;
        if (total >= 0xFFFFFFFFu) {
            result = AURA_ERR_INVALID_PARAM;
            break;
        }
        list[i] = {index, length};
    }
    if (result != AURA_OK) {
        AURA_Memory_Free(list);
        return result;
    }

    // Nothing plays the old sentence on.
    stopChannels();
    SentenceEntry *old = mSubSoundList;
    if (stream) {
        auto *self = static_cast<Stream *>(this);
        // The stream thread reads the list while it fills.
        CriticalSectionGuard update(mSystem->mStreamUpdateCrit);
        mSubSoundList = list;
        mSubSoundListNum = numsubsounds;
        // The ring is set up again for the first entry, or for the stream's
        // own subsound when the sentence is taken away.
        result = mSystem->switchSubSound(self, numsubsounds > 0 ? list[0].mIndex : mSubSoundIndex);
    } else {
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        mSubSoundList = list;
        mSubSoundListNum = numsubsounds;
        mLength = static_cast<unsigned int>(total);
        mLoopStart = 0;
        mLoopLength = mLength;
        if (numsubsounds > 0) {
            // The parent plays as its entries do.
            mFormat = first.format;
            mChannels = first.channels;
            mDefaultFrequency = first.frequency;
            mSpeakerBits = first.speakerBits;
            mMode = (mMode & ~AURA_CREATECOMPRESSEDSAMPLE) | first.compressed;
        }
        // The parent holds no data of its own: it ended early exactly when
        // an entry of its sentence did.
        int failure = entryCut ? AURA_OK : AURA_ERR_FILE_EOF;
        (void)mFailure.compare_exchange_strong(failure, entryCut ? AURA_ERR_FILE_EOF : AURA_OK,
                                               std::memory_order_acq_rel);
    }
    AURA_Memory_Free(old);
    return result;
}

} // namespace AURA
