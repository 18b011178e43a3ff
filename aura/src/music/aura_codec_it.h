// Impulse Tracker modules: up to 64 channels, instruments with note-sample
// tables and volume, pan and pitch (or filter) envelopes, 8 or 16-bit
// samples stored plain or in the tracker's compressed block format (plain
// deltas, or deltas of deltas), patterns kept packed and unpacked a row at
// a time, and echo plug-ins described in extension chunks.
#ifndef AURA_CODEC_IT_H
#define AURA_CODEC_IT_H

#include "music/aura_music.h"

#include <cstdint>

namespace AURA {

class CodecIT;

struct MusicEnvelopeIT {
    static constexpr int MAX_NODES = 25;
    // In-memory flags.
    static constexpr uint8_t ON = 1;
    static constexpr uint8_t SUSTAIN = 2;
    static constexpr uint8_t LOOP = 4;
    static constexpr uint8_t CARRY = 8;
    static constexpr uint8_t FILTER = 16;

    uint8_t mFlags = 0;
    uint8_t mCount = 0; // at most MAX_NODES
    uint8_t mLoopBegin = 0; // all four inside the nodes
    uint8_t mLoopEnd = 0;
    uint8_t mSustainBegin = 0;
    uint8_t mSustainEnd = 0;
    int8_t mValue[MAX_NODES] = {};
    uint16_t mTick[MAX_NODES] = {};
};

struct MusicInstrumentIT {
    static constexpr int NOTES = 120;

    uint8_t mNewNoteAction = 0;
    uint8_t mDuplicateCheckType = 0;
    uint8_t mDuplicateCheckAction = 0;
    unsigned int mFadeOut = 0;
    int8_t mPitchPanSeparation = 0; // -32..32
    uint8_t mPitchPanCentre = 0;
    uint8_t mGlobalVolume = 128;
    uint8_t mDefaultPan = 0x80; // bit 7: not used
    uint8_t mRandomVolume = 0;
    uint8_t mRandomPan = 0;
    int mNumSamples = 0;
    char mName[27] = {};
    uint8_t mFilterCutoff = 0; // bit 7: used
    uint8_t mFilterResonance = 0; // bit 7: used
    uint8_t mMIDIChannel = 0;
    uint8_t mNoteTable[NOTES][2] = {}; // (note 0..119, sample 1-based or 0)
    MusicEnvelopeIT mVolumeEnvelope;
    MusicEnvelopeIT mPanEnvelope;
    MusicEnvelopeIT mPitchEnvelope; // a filter envelope with FILTER set
};

// What an IT sample keeps beyond the shared record.
struct MusicSampleIT {
    static constexpr uint8_t FLAG_16BIT = 0x02;
    static constexpr uint8_t FLAG_STEREO = 0x04;
    static constexpr uint8_t FLAG_COMPRESSED = 0x08;
    static constexpr uint8_t FLAG_LOOP = 0x10;
    static constexpr uint8_t FLAG_SUSTAIN = 0x20;
    static constexpr uint8_t FLAG_PINGPONG = 0x40;
    static constexpr uint8_t CONVERT_SIGNED = 0x01;
    static constexpr uint8_t CONVERT_DOUBLE_DELTA = 0x04;

    uint8_t mFlags = 0;
    uint8_t mConvert = 0;
    uint8_t mGlobalVolume = 64;
    uint8_t mPan = 0; // bit 7: used
    unsigned int mSustainBegin = 0;
    unsigned int mSustainEnd = 0;
    unsigned int mDataOffset = 0;
    uint8_t mVibratoSpeed = 0;
    uint8_t mVibratoDepth = 0;
    uint8_t mVibratoRate = 0;
    uint8_t mVibratoWaveform = 0;
};

struct MusicPatternIT {
    int mRows = 0;
    uint8_t *mPacked = nullptr;
    unsigned int mSize = 0;
};

// An echo plug-in described by an "FXnn" chunk.
struct MusicPluginIT {
    static constexpr unsigned int RECORD_BYTES = 128;
    static constexpr uint8_t FLAG_MASTER = 1;
    static constexpr uint8_t FLAG_BYPASS = 2;

    bool mUsed = false;
    uint8_t mRecord[RECORD_BYTES] = {};
    uint8_t mFlags = 0;
    float mParameter[5] = {}; // wet/dry, feedback, left delay, right delay, pan delay as the unit takes them
};

// One pattern column of an IT song: its note volume, the memories of its
// effects and its waves. Its foreground voice is mSlot; the voices new-note
// actions left playing stay owned by it in the background.
struct MusicChannelIT : MusicChannel {
    static constexpr uint8_t VIBRATO_NORMAL = 8;
    static constexpr uint8_t VIBRATO_FINE = 21;

    // The channel operations on the foreground voice `slot`.
    AURA_RESULT volumeSlide();
    AURA_RESULT panSlide();
    AURA_RESULT portamento();
    AURA_RESULT vibrato();
    AURA_RESULT fineVibrato();
    AURA_RESULT tremolo();
    AURA_RESULT panbrello();
    AURA_RESULT processVolumeByte(const MusicNote &cell, bool tickzero);

    // Resets what a restarted song forgets, keeping the links.
    void reset();

    CodecIT *mSong = nullptr;
    MusicVirtualChannel *mVoice = nullptr; // the voice the operations act on
    int mIndex = 0;
    uint8_t mSampleNumber = 0; // 1-based, 0 none
    uint8_t mTranslatedNote = 0;
    int mVolume = 0; // the note volume, 0..64
    int mVolumeDeltaIT = 0; // tremor and tremolo
    uint8_t mChannelSlideMemory = 0; // N
    uint8_t mSpecialMemory = 0; // S
    uint8_t mRetrigCounter = 0;
    uint8_t mHighOffset = 0; // SAy
    uint8_t mOwnPortaSpeed = 0; // G with linked memories off
    uint8_t mVibratoKind = VIBRATO_NORMAL;
    uint8_t mPanbrelloSpeed = 0;
    uint8_t mPanbrelloDepth = 0;
    int mPanbrelloPos = 0;
    uint8_t mVibratoWave = 0;
    uint8_t mTremoloWave = 0;
    uint8_t mPanbrelloWave = 0;
    uint8_t mVolumeColumnMemory = 0;
    bool mPortaDone = false;
};

// What an IT voice slot keeps beyond the shared slot.
struct MusicVoiceIT {
    bool mBackground = false;
    uint8_t mNewNoteAction = 0;
    uint8_t mEnvelopeEnable = 0; // bit 0: the volume envelope runs
    uint8_t mNote = 0;
    int mInstrument = -1;
    int mSample = -1;
    int mSampleVolume = 64;
    int mPanDelta = 0;
    int mDirection = 1;
    bool mFading = false;
    int mPitchEnvelope = 0;
    bool mFilter = false;
};

// The registry record of CodecIT: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX itcodec;

class CodecIT : public MusicSong {
public:
    static constexpr int MAX_ORDERS = 256;
    static constexpr int MAX_INSTRUMENTS = 256;
    static constexpr int MAX_SAMPLES = 256;
    static constexpr int MAX_PATTERNS = 256;
    static constexpr int MAX_ROWS = 256;
    static constexpr int MAX_PLUGINS = 50;
    static constexpr uint8_t NOTE_CUT = 0xFE;
    static constexpr uint8_t NOTE_OFF = 0xFF;

    // The bit reader over one compressed block.
    struct Block {
        uint8_t *mData = nullptr;
        unsigned int mBytes = 0;
        uint64_t mBit = 0; // bits taken so far
    };

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT update(bool audible) override;
    AURA_RESULT updateRow(bool audible);
    // Steps one envelope of a voice by a tick; `flag` is what it changes.
    AURA_RESULT processEnvelope(MusicEnvelopeState &state, MusicVirtualChannel &slot, const MusicEnvelopeIT &envelope,
                                uint8_t flag);
    AURA_RESULT processPitchEnvelope(MusicVirtualChannel &slot, const MusicInstrumentIT &instrument, int note);
    AURA_RESULT sampleVibrato(MusicVirtualChannel &slot);
    // The period of a note (0..119) of a sample with C5 speed `c5`.
    [[nodiscard]] int notePeriod(int note, unsigned int c5) const;
    [[nodiscard]] MusicVoiceIT &voiceIT(const MusicVirtualChannel &slot);
    [[nodiscard]] bool linear() const { return mFlags & 0x08; }
    [[nodiscard]] bool oldEffects() const { return mFlags & 0x10; }
    // G shares the E/F memory unless flag bit 5 gives it its own.
    [[nodiscard]] bool sharedPortaMemory() const { return !(mFlags & 0x20); }
    [[nodiscard]] bool usesInstruments() const { return (mFlags & 0x04) && mNumInstruments > 0; }
    [[nodiscard]] int globalVolume() const { return mGlobalVolume; }
    // Unpacks the next row of the current pattern into mRowCells; the rows a
    // pattern's data does not hold are empty.
    void unpackRow();

    // Decodes `points` compressed points of one channel from `source` (never
    // reading at or past `end`) into every `channels`-th point of `dest`.
    // AURA_ERR_FORMAT for a corrupt stream.
    static AURA_RESULT decompress8(const uint8_t *&source, const uint8_t *end, void *dest, unsigned int points,
                                   bool doubledelta, int channels);
    static AURA_RESULT decompress16(const uint8_t *&source, const uint8_t *end, void *dest, unsigned int points,
                                    bool doubledelta, int channels);
    static AURA_RESULT readBlock(const uint8_t *&source, const uint8_t *end, Block &block);
    static void freeBlock(Block &block);
    static AURA_RESULT readBits(Block &block, int count, uint32_t *value);

    [[nodiscard]] int numOrders() const { return mNumOrders; }
    [[nodiscard]] int numPatterns() const { return mNumPatternsMem; }
    [[nodiscard]] const MusicPatternIT &pattern(int i) const { return mPatternIT[i]; }
    [[nodiscard]] int numInstruments() const { return mNumInstruments; }
    [[nodiscard]] const MusicInstrumentIT &instrument(int i) const { return mInstrument[i]; }
    [[nodiscard]] int numSamples() const { return mNumSamples; }
    [[nodiscard]] const MusicSample &sample(int i) const { return mSample[i]; }
    [[nodiscard]] const MusicSampleIT &sampleIT(int i) const { return mSampleIT[i]; }
    [[nodiscard]] int mixVolume() const { return mMixVolume; }
    [[nodiscard]] int flags() const { return mFlags; }
    [[nodiscard]] bool usesFilters() const { return mUsesFilters; }
    [[nodiscard]] const MusicPluginIT &plugin(int i) const { return mPlugin[i]; }
    [[nodiscard]] int channelPlugin(int channel) const { return mChannelPlugin[channel]; }
    [[nodiscard]] const MusicNote &cell(int channel) const { return mRowCells[channel]; }

private:
    AURA_RESULT readAt(unsigned int offset, void *buffer, unsigned int bytes);
    AURA_RESULT readChunks(unsigned int limit);
    AURA_RESULT loadInstrument(MusicInstrumentIT &instrument, unsigned int offset);
    AURA_RESULT loadSampleHeader(int index, unsigned int offset);
    AURA_RESULT loadPatterns(const uint32_t *offsets, int count);
    AURA_RESULT loadSampleData(int index, unsigned int stored);
    // Moves to the first playable order from the current one and unpacks
    // the current row; false when the orders hold no pattern.
    bool seekRow();
    void updateRowTime();
    void updateTickTime();
    void restartFormat() override;
    void applyCell(MusicChannelIT &channel, const MusicNote &cell);
    void startNote(MusicChannelIT &channel, const MusicNote &cell, bool toneporta);
    void applyEffect(MusicChannelIT &channel, const MusicNote &cell);
    void effectTick(MusicChannelIT &channel, const MusicNote &cell);
    void specialEffect(MusicChannelIT &channel, int param, bool tickzero);
    void keyOff(MusicVirtualChannel &slot);
    void stopVoice(MusicVirtualChannel &slot);
    void outputVoice(MusicChannelIT &channel, MusicVirtualChannel &slot);
    AURA_RESULT createEffectGroups();
    [[nodiscard]] const MusicInstrumentIT *instrumentOf(const MusicVoiceIT &voice) const;
    [[nodiscard]] int amigaPeriod(int note, unsigned int c5) const;

    MusicInstrumentIT *mInstrument = nullptr;
    int mNumInstruments = 0;
    MusicSampleIT *mSampleIT = nullptr;
    MusicPatternIT *mPatternIT = nullptr;
    MusicPluginIT *mPlugin = nullptr; // MAX_PLUGINS records
    int mChannelPlugin[MAX_CHANNELS] = {}; // 0 none, n: plug-in n - 1
    int mFlags = 0;
    int mCompatible = 0;
    int mMixVolume = 128;
    bool mUsesFilters = false;

    // The row unpacker.
    const uint8_t *mRowData = nullptr;
    const uint8_t *mRowEnd = nullptr;
    MusicNote mRowCells[MAX_CHANNELS] = {};
    uint8_t mLastMask[MAX_CHANNELS] = {};
    MusicNote mLastCell[MAX_CHANNELS] = {};
    int mReaderOrder = -1; // where the row reader stands
    int mReaderRow = -1;
    int mRowDelay = -1; // SEx: the first on a row counts
    uint8_t mTempoMemory[MAX_CHANNELS] = {};
    MusicVoiceIT *mVoiceIT = nullptr; // one per voice slot
    MusicVoiceIT mDummyVoiceIT;
    uint8_t mGlobalSlideMemory = 0;
    int mEffectGroup[MAX_PLUGINS] = {}; // the host's group of each plug-in, -1 none
};

} // namespace AURA

#endif // AURA_CODEC_IT_H
