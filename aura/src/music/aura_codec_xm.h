// FastTracker 2 extended modules: up to 64 channels, patterns of 1 to 256
// rows, instruments of up to 16 samples with volume and pan envelopes,
// fadeout and auto-vibrato, delta-coded 8 or 16-bit samples (or Ogg Vorbis
// ones), linear or Amiga pitch; rendered tick by tick through the song
// engine.
#ifndef AURA_CODEC_XM_H
#define AURA_CODEC_XM_H

#include "music/aura_music.h"

namespace AURA {

struct MusicEnvelope {
    static constexpr int MAX_POINTS = 12;
    static constexpr uint8_t ON = 1;
    static constexpr uint8_t SUSTAIN = 2;
    static constexpr uint8_t LOOP = 4;

    uint16_t mX[MAX_POINTS] = {};
    uint8_t mY[MAX_POINTS] = {}; // 0..64
    uint8_t mCount = 0;
    uint8_t mSustain = 0;
    uint8_t mLoopStart = 0;
    uint8_t mLoopEnd = 0;
    uint8_t mType = 0;
};

struct MusicInstrument {
    static constexpr int MAX_SAMPLES = 16;

    int mNumSamples = 0;
    int mSample[MAX_SAMPLES] = {}; // indices into the song's samples, -1 none
    uint8_t mKeyMap[96] = {}; // note -> sample of this instrument
    MusicEnvelope mVolumeEnvelope;
    MusicEnvelope mPanEnvelope;
    uint8_t mVibratoType = 0;
    uint8_t mVibratoSweep = 0;
    uint8_t mVibratoDepth = 0;
    uint8_t mVibratoRate = 0;
    unsigned int mFadeOut = 0; // per tick, out of 65536
};

// The effect steps of one XM column.
struct MusicChannelXM : MusicChannel {
    AURA_RESULT portamento(MusicVirtualChannel &slot);
    AURA_RESULT vibrato(MusicVirtualChannel &slot, bool advance);
    AURA_RESULT tremolo(MusicVirtualChannel &slot);
    AURA_RESULT instrumentVibrato(MusicVirtualChannel &slot, const MusicInstrument &instrument);
    AURA_RESULT processVolumeByte(MusicVirtualChannel &slot, uint8_t volume);
};

// The registry record of CodecXM: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX xmcodec;

class CodecXM : public MusicSong {
public:
    static constexpr int MAX_ORDERS = 256;
    static constexpr int MAX_INSTRUMENTS = 128;
    static constexpr int MAX_ROWS = 256;
    static constexpr uint8_t KEY_OFF = 0xFF;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT update(bool audible) override;
    AURA_RESULT updateNote(bool audible);
    AURA_RESULT updateEffects();

    // Steps one envelope of a voice by a tick; `flag` is what it changes.
    static void processEnvelope(MusicEnvelopeState &state, MusicVirtualChannel &slot, const MusicEnvelope &envelope,
                                uint8_t flag);
    // The Amiga period of a note with a finetune (1/128 semitone).
    static AURA_RESULT getAmigaPeriod(int note, int finetune, int *period);
    // The frequency of a period in the song's pitch table.
    [[nodiscard]] int frequency(int period) const;

    [[nodiscard]] bool linear() const { return mLinear; }
    [[nodiscard]] int numPatterns() const { return mNumPatternsMem; }
    [[nodiscard]] const MusicPattern &pattern(int i) const { return mPattern[i]; }
    [[nodiscard]] int numInstruments() const { return mNumInstruments; }
    [[nodiscard]] const MusicInstrument &instrument(int i) const { return mInstrument[i]; }
    [[nodiscard]] int numSamples() const { return mNumSamples; }
    [[nodiscard]] const MusicSample &sample(int i) const { return mSample[i]; }
    [[nodiscard]] int numOrders() const { return mNumOrders; }
    [[nodiscard]] int restart() const { return mRestart; }
    [[nodiscard]] int globalVolume() const { return mGlobalVolume; }

private:
    AURA_RESULT loadPatterns(unsigned int count);
    AURA_RESULT loadInstruments();
    AURA_RESULT loadInstrument(MusicInstrument &instrument, int index, unsigned int at, bool *ended);
    AURA_RESULT loadSampleData(MusicSample &sample, uint64_t length, uint8_t **buffer, uint64_t *capacity);
    void processNote(const MusicNote &cell, MusicChannelXM &channel, MusicVirtualChannel &slot,
                     const MusicInstrument &instrument, MusicSample *sample);
    void stepEnvelopes(MusicVirtualChannel &slot, const MusicInstrument &instrument);
    void setEnvelopePosition(MusicVirtualChannel &slot, const MusicInstrument &instrument, int position);
    MusicVirtualChannel *spawnNewChannel(MusicChannelXM &channel, MusicVirtualChannel *slot, MusicSample *sample);
    void updateFlags(int column, MusicChannelXM &channel, MusicVirtualChannel &slot, MusicSample *sample);
    [[nodiscard]] const MusicInstrument &instrumentOf(const MusicChannel &channel) const;
    MusicSample *sampleOf(const MusicInstrument &instrument, int note);
    [[nodiscard]] int notePeriod(int realnote, int finetune) const;

    MusicInstrument *mInstrument = nullptr;
    int mNumInstruments = 0;
    MusicInstrument mDummyInstrument;
    bool mLinear = false;
    bool mJumped = false; // a position jump ran in this row
    uint8_t mGlobalSlideMemory = 0;
};

} // namespace AURA

#endif // AURA_CODEC_XM_H
