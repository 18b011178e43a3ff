// Amiga-style MOD modules: 31 samples, 4-character tag at offset 1080, up to
// 32 channels; rendered tick by tick through the song engine.
#ifndef AURA_CODEC_MOD_H
#define AURA_CODEC_MOD_H

#include "music/aura_music.h"

namespace AURA {

// Four times the Amiga periods, 12 notes per octave from C of octave 0.
extern const unsigned int gPeriodTable[132];
// Half a sine, for vibrato and tremolo.
extern const uint8_t gSineTable[32];

// The effect steps of one MOD column.
struct MusicChannelMOD : MusicChannel {
    AURA_RESULT portamento(MusicVirtualChannel &slot);
    AURA_RESULT vibrato(MusicVirtualChannel &slot);
    AURA_RESULT tremolo(MusicVirtualChannel &slot);
};

// The registry record of CodecMOD: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX modcodec;

class CodecMOD : public MusicSong {
public:
    static constexpr int ROWS = 64;
    static constexpr int NUM_SAMPLES = 31;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();
    // The channel count of a tag at offset 1080, or 0 when it is none of MOD's.
    [[nodiscard]] static int channelsFromTag(const char tag[4]);
    // The note (1-based) of a stored Amiga period; 0 for none.
    [[nodiscard]] static uint8_t noteFromPeriod(unsigned int period);

    AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT update(bool audible) override;
    AURA_RESULT updateNote(bool audible);
    AURA_RESULT updateEffects();

    [[nodiscard]] const MusicSample &sample(int i) const { return mSample[i]; }

private:
    AURA_RESULT loadSamples(const uint8_t *header);
    AURA_RESULT loadPatterns();
    AURA_RESULT loadSampleData();
    [[nodiscard]] unsigned int period(const MusicSample &sample, int note) const;
    MusicSample *sampleOf(MusicChannel &channel);
    void updateVoice(int column, MusicVirtualChannel &slot, MusicSample *sample);

    bool mJumped = false; // a position jump ran in this row
};

} // namespace AURA

#endif // AURA_CODEC_MOD_H
