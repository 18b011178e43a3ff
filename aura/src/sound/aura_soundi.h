// The engine object behind a sound handle: what a channel reads of the
// sound it plays (length, format, defaults, loops, sync points).
#ifndef AURA_SOUNDI_H
#define AURA_SOUNDI_H

#include "aura.h"
#include "aura.hpp"
#include "aura_codec.h"
#include "base/aura_globals.h"
#include "base/aura_samplesource.h"

#include <atomic>
#include <mutex>
#include <cstdint>

namespace AURA {

class SystemI;
class Codec;
class Metadata;
class AsyncThread;
class SoundGroupI;

// A named position of a sound, in PCM samples.
struct AURA_SYNCPOINT {
    const char *mName;      // points into mNameBuffer
    unsigned int mOffset;   // PCM samples
    int mSubSoundIndex;
    unsigned short mIndex;  // its place in the sorted list
    char mNameBuffer[256];
};

class SoundI : public Sound, public SampleSource {
public:
    static constexpr int MAX_SYNCPOINTS = 1024;

    // What a sound is doing (see AURA_OPENSTATE).
    static constexpr int OPENSTATE_READY = 0;
    static constexpr int OPENSTATE_LOADING = 1;
    static constexpr int OPENSTATE_ERROR = 2;
    static constexpr int OPENSTATE_SUBSOUND = 5;
    static constexpr int OPENSTATE_SETPOSITION = 7;

    // What the non-blocking loader needs to open the sound or seek it.
    struct AsyncRecord {
        char *mName = nullptr;              // pool copy of the file name
        const char *mMemory = nullptr;      // the caller's block
        unsigned int mBufferSize = 0;
        AURA_TIMEUNIT mBufferSizeType = AURA_TIMEUNIT_PCM;
        AURA_CREATESOUNDEXINFO mExinfo{};
        bool mHasExinfo = false;
        unsigned int mSeekPosition = 0;
        unsigned int mSeekPosType = AURA_TIMEUNIT_PCM;
        int mSubSound = -1;                 // a subsound switch asked for
        std::atomic<AURA_RESULT> mResult{AURA_OK};
        AsyncThread *mThread = nullptr;
    };

    SoundI();
    virtual ~SoundI();
    // Keeps what the loader needs to open the sound later (a copy of the
    // name and of the creation information). 44 when out of memory.
    AURA_RESULT makeAsyncRecord(const char *name_or_data, const AURA_CREATESOUNDEXINFO *exinfo);
    SoundI(const SoundI &) = delete;
    SoundI &operator=(const SoundI &) = delete;

    // Stops every channel that plays the sound, then frees it (freethis).
    virtual AURA_RESULT releaseInternal(bool freethis = true);
    // Length in PCM samples (2), milliseconds (1) or PCM bytes (4).
    virtual AURA_RESULT getLengthInternal(unsigned int *length, unsigned int lengthtype);
    // The frames the sound holds as far as is known now (0xFFFFFFFF:
    // unknown): its length, or what a stream held once its data ended
    // before that length or before a length it never knew.
    [[nodiscard]] virtual unsigned int heldLength() const { return mLength; }
    virtual AURA_RESULT getMode(unsigned int *mode);
    [[nodiscard]] virtual bool isStream() const { return false; }

    AURA_RESULT setDefaults(float frequency, float volume, float pan, int priority);
    AURA_RESULT getDefaults(float *frequency, float *volume, float *pan, int *priority);
    AURA_RESULT setVariations(float frequencyvar, float volumevar, float panvar);
    AURA_RESULT setLoopPoints(unsigned int loopstart, unsigned int loopend);
    // Adds a sync point at a PCM offset; the list stays sorted by offset.
    AURA_RESULT addSyncPoint(unsigned int offset, const char *name, AURA_SYNCPOINT **point);
    // Bits per sample of the format (0 for compressed or no format).
    [[nodiscard]] int bitsPerSample() const;
    // The format getFormat reports: what the sound holds (a stream holds
    // its file).
    [[nodiscard]] virtual AURA_SOUND_FORMAT reportedFormat() const { return mFormat; }
    AURA_RESULT getFormat(AURA_SOUND_TYPE *type, AURA_SOUND_FORMAT *format, int *channels, int *bits);
    AURA_RESULT getLoopPoints(unsigned int *loopstart, unsigned int *loopend);
    AURA_RESULT getNumSyncPoints(int *numsyncpoints);
    // 37 for an index outside the list.
    AURA_RESULT getSyncPoint(int index, AURA_SYNCPOINT **point);
    AURA_RESULT getNumTags(int *numtags, int *numtagsupdated);
    // See Metadata::getTag; 78 when the sound has no tags.
    AURA_RESULT getTag(const char *name, int index, AURA_TAG *tag);
    AURA_RESULT getOpenState(AURA_OPENSTATE *state, AURA_RESULT *result);
    // The codec a tracker song is rendered by while the sound lives (a
    // stream's); null for other sounds.
    [[nodiscard]] virtual Codec *liveCodec() const { return nullptr; }
    // The song operations of that codec; 25 without one.
    AURA_RESULT getMusicNumChannels(int *numchannels);
    AURA_RESULT setMusicChannelVolume(int channel, float volume);
    AURA_RESULT getMusicChannelVolume(int channel, float *volume);
    AURA_RESULT setMusicSpeed(float speed);
    AURA_RESULT getMusicSpeed(float *speed);
    // Write access to a range of the sample's data, in bytes; the second
    // pointer is for a range that wraps (never, for a sample).
    virtual AURA_RESULT lock(unsigned int offset, unsigned int length, void **ptr1, void **ptr2,
                             unsigned int *len1, unsigned int *len2);
    virtual AURA_RESULT unlock(void *ptr1, void *ptr2, unsigned int len1, unsigned int len2);
    // The PCM a voice reads in place, with zeroed guard frames after it;
    // null for a sound without data of its own.

    // A multi-sound file (a DLS collection): its parent sound holds one
    // slot per subsound, null until that subsound is loaded. A sample
    // parent keeps the file's codec open for loadSubSound; a stream parent
    // plays one subsound at a time and switches to another in getSubSound.
    AURA_RESULT getNumSubSounds(int *numsubsounds);
    AURA_RESULT getSubSound(int index, SoundI **subsound);
    // 36 for a sound without subsounds, 37 for an index outside them; a
    // subsound already loaded is kept.
    AURA_RESULT loadSubSound(int index, unsigned int mode);
    // The name the file gives the sound ("" when none), cut to namelen
    // bytes with the terminator.
    AURA_RESULT getName(char *name, int namelen);
    // Plays the parent as a list of its subsounds, one after another (a
    // sentence): every entry loaded (37 otherwise), all of one channel
    // count, format and compressed mode (76 otherwise). An empty list takes
    // the sentence away. Channels that play the sound are stopped.
    AURA_RESULT setSubSoundSentence(const int *subsoundlist, int numsubsounds);
    // One entry of a sentence: a subsound and its frames.
    struct SentenceEntry {
        int mIndex;
        unsigned int mLength;
    };
    [[nodiscard]] int sentenceEntries() const override { return mSubSoundListNum; }
    [[nodiscard]] const SampleSource *sentenceEntry(int index, unsigned int *length) const override;
    // The sentence's entry that holds frame `position` and the frames into it.
    void sentencePosition(unsigned int position, int *entry, unsigned int *remainder) const;
    // The first frame of entry `entry` in the sentence.
    [[nodiscard]] unsigned int sentenceEntryStart(int entry) const;
    // Releases the subsounds and the codec a parent keeps.
    void releaseSubSounds();
    // Stops every channel that plays the sound.
    void stopChannels();

    SystemI *mSystem = nullptr;
    LinkedListNode mSoundNode;           // in the system's list of sounds
    LinkedListNode mChannelHead;         // the channels that play the sound (their mSoundNode)
    // Guards every sound's channel list: decoders of music on other threads
    // (a MIDI sound opened on the loader) play the waves of a shared bank.
    [[nodiscard]] static std::mutex &channelListLock();
    std::atomic<int> mOpenState{OPENSTATE_READY};
    std::atomic<int> mFailure{AURA_OK};  // what put a blocking sound in the error state
    AsyncRecord *mAsyncData = nullptr;   // non-blocking sounds only
    LinkedListNode mAsyncNode;           // in the loader's queue
    AURA_SOUND_TYPE mType = AURA_SOUND_TYPE_UNKNOWN;
    Metadata *mMetadata = nullptr;       // the file's tags, or null
    // Guards mMetadata of a stream, whose decoder brings new tags (an
    // internet radio's titles) while the caller reads them.
    std::mutex mTagLock;
    unsigned int mMode = AURA_LOOP_OFF | AURA_2D | AURA_SOFTWARE;
    unsigned int mLoopStart = 0;
    unsigned int mLoopLength = 0;
    int mLoopCount = -1;
    float mDefaultFrequency = 44100.0f;
    float mDefaultVolume = 1.0f;
    float mDefaultPan = 0.0f;
    int mDefaultPriority = 128;
    float mFrequencyVariation = 0.0f;
    float mVolumeVariation = 0.0f;
    float mPanVariation = 0.0f;
    unsigned int mSpeakerBits = 0;       // low 20 bits: default speakers; high: map flags
    float mMinDistance = 1.0f;
    float mMaxDistance = 10000.0f;
    float mConeInsideAngle = 360.0f;
    float mConeOutsideAngle = 360.0f;
    float mConeOutsideVolume = 1.0f;
    AURA_VECTOR *mRolloffPoints = nullptr; // the game's array
    int mNumRolloffPoints = 0;
    // Channels playing the sound: bank waves are played by the decoders of
    // sounds on several threads at once.
    std::atomic<int> mPlayCount{0};
    std::atomic<uint64_t> mLastUsedDSPClock{0};
    SoundI *mSubSoundParent = nullptr;   // the multi-sound this one belongs to
    int mSubSoundIndex = 0;
    int mNumSubSounds = 0;
    SoundI **mSubSound = nullptr;        // mNumSubSounds slots
    Codec *mSubSoundCodec = nullptr;     // a sample parent's open file
    char *mName = nullptr;               // pool copy, or null
    SentenceEntry *mSubSoundList = nullptr; // the sentence, or null
    int mSubSoundListNum = 0;
    AURA_SYNCPOINT *mSyncPoint = nullptr; // sorted by offset
    int mNumSyncPoints = 0;
    void *mUserData = nullptr;
    // Its sound group (null: none), set on the game's thread and read by
    // the voices that mix it.
    std::atomic<SoundGroupI *> mSoundGroup{nullptr};
    LinkedListNode mSoundGroupNode; // in its group's list of sounds
};

} // namespace AURA

#endif // AURA_SOUNDI_H
