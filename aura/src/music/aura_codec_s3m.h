// Scream Tracker 3 modules: "SCRM" at offset 44, up to 32 channels, packed
// patterns of 64 rows, unsigned 8 or 16-bit mono or stereo samples; rendered
// tick by tick through the song engine.
#ifndef AURA_CODEC_S3M_H
#define AURA_CODEC_S3M_H

#include "music/aura_music.h"

namespace AURA {

// The effect steps of one S3M column.
struct MusicChannelS3M : MusicChannel {
    AURA_RESULT volumeSlide(MusicVirtualChannel &slot);
    AURA_RESULT portamento(MusicVirtualChannel &slot);
    AURA_RESULT vibrato(MusicVirtualChannel &slot);
    AURA_RESULT tremolo(MusicVirtualChannel &slot);
    AURA_RESULT fineVibrato(MusicVirtualChannel &slot);
    AURA_RESULT tremor(MusicVirtualChannel &slot);
};

// The registry record of CodecS3M: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX s3mcodec;

class CodecS3M : public MusicSong {
public:
    static constexpr int ROWS = 64;
    // The lists a file may fill: more is refused.
    static constexpr int MAX_ORDERS = 256;
    static constexpr int MAX_INSTRUMENTS = 256;
    static constexpr int MAX_PATTERNS = 256;
    // The last entry of the period table: higher notes play it.
    static constexpr int MAX_NOTE = 131;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT update(bool audible) override;
    AURA_RESULT updateNote(bool audible);
    AURA_RESULT updateEffects();

    [[nodiscard]] const MusicSample &sample(int i) const { return mSample[i]; }
    [[nodiscard]] int numSamples() const { return mNumSamples; }
    [[nodiscard]] int numOrders() const { return mNumOrders; }
    [[nodiscard]] uint8_t orderEntry(int i) const { return mOrderList[i]; }
    [[nodiscard]] int defaultPan(int channel) const { return mDefaultPan[channel]; }
    [[nodiscard]] bool fastVolumeSlides() const { return mFastVolumeSlides; }
    [[nodiscard]] int globalVolume() const { return mGlobalVolume; }

private:
    AURA_RESULT loadHeader(unsigned int filesize, char *name, int *numinstruments, int *numpatterns,
                           uint16_t *instrumentpointers, uint16_t *patternpointers);
    AURA_RESULT loadInstruments(int count, const uint16_t *pointers, uint32_t *datapointers);
    AURA_RESULT loadPatterns(int count, const uint16_t *pointers, const uint8_t *channelmap);
    AURA_RESULT loadSampleData(const uint32_t *datapointers);
    [[nodiscard]] unsigned int period(const MusicSample &sample, int note) const;
    MusicSample *sampleOf(MusicChannel &channel);
    void updateVoice(int column, MusicVirtualChannel &slot, MusicSample *sample);
    void retrigger(MusicChannelS3M &channel, MusicVirtualChannel &slot);

    bool mFastVolumeSlides = false;
    bool mJumped = false; // a position jump ran in this row
    uint8_t mChannelMap[32] = {};
};

} // namespace AURA

#endif // AURA_CODEC_S3M_H
