// The source unit of a software voice that plays a sample from memory: it
// reads the sample's PCM in place, resamples it to the mixer's rate and
// keeps the voice's position, direction, loops and DSP-clock times.
#ifndef AURA_DSP_WAVETABLE_H
#define AURA_DSP_WAVETABLE_H

#include "base/aura_samplesource.h"
#include "dsp/units/aura_dsp_mixrun.h"
#include "dsp/units/aura_dsp_resampler.h"

#include <atomic>
#include <cstdint>

namespace AURA {

// The mode and loop a wavetable follows, kept by the voice that drives it.
// The voice changes them under the DSP section, which the mixer holds while
// it reads; the mixer counts the loops down.
struct WaveTableLoop {
    static constexpr unsigned int NO_END = 0xFFFFFFFFu;

    unsigned int mMode = 0;
    int mLoopCount = -1;
    unsigned int mLoopStart = 0;
    unsigned int mLoopLength = 0;
    // A forward normal loop that ends early: at frame mEndFrame (at most the
    // loop end) once the loop has wrapped mEndWraps more times. A stream's
    // ring loops for ever, and its data ends there. The mixer counts the
    // wraps down; NO_END leaves the loop alone.
    unsigned int mEndFrame = NO_END;
    unsigned int mEndWraps = 0;
};

class DSPWaveTable : public DSPI {
public:
    static constexpr unsigned int NO_NEW_POSITION = 0xFFFFFFFFu;
    static constexpr unsigned int NOT_FINISHED = 0xFFFFFFFFu;

    DSPWaveTable() = default;
    ~DSPWaveTable() override = default;

    using DSPI::read;
    AURA_RESULT read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE speakermode,
                     int speakermodechannels, unsigned int tick) override;
    AURA_RESULT alloc(AURA_DSP_DESCRIPTION_EX *description) override;
    // A sound of 8-bit, 16-bit or float frames, mono or stereo, read by no
    // one else, is added straight into the reader's block.
    int fusedChannels(unsigned int tick, int speakermodechannels) override;
    AURA_RESULT readFused(const FusedMix &mix, unsigned int *length, unsigned int tick,
                          float **rampblock) override;
    // Itself, then its sound and loop, then the frames at its position.
    void prefetch(int depth) const override;

    AURA_RESULT setFrequency(float frequency);
    AURA_RESULT setFinished(bool finished, bool force);
    AURA_RESULT getFinished(bool *finished);
    // Applied at the next read; clamped to the sound's length.
    AURA_RESULT setPositionInternal(unsigned int position);
    // The description callbacks of the unit.
    static AURA_RESULT setPositionCallback(AURA_DSP_STATE *state, unsigned int position);
    static AURA_RESULT resetCallback(AURA_DSP_STATE *state);
    static AURA_RESULT setParameterCallback(AURA_DSP_STATE *state, int index, float value);
    static AURA_RESULT getParameterCallback(AURA_DSP_STATE *state, int index, float *value, char *valuestr);
    // A description of the unit with these callbacks, for the voice to build
    // it with (category 7, no read callback: the unit reads by itself).
    static AURA_DSP_DESCRIPTION_EX makeDescription(int channels, AURA_SOUND_FORMAT format);

    std::atomic<int64_t> mPosition{0};              // 32.32 in the whole sound
    std::atomic<unsigned int> mNewPosition{NO_NEW_POSITION};
    std::atomic<int64_t> mStep{0};                  // 32.32, positive
    std::atomic<int> mDirection{0};                 // 1: backwards
    float mFrequency = 0.0f;
    // The voice whose mode, loop points and loop count the unit follows,
    // and the sound it plays.
    WaveTableLoop *mChannel = nullptr;
    const SampleSource *mSound = nullptr;
    uint64_t mDSPClockStart = 0;
    uint64_t mDSPClockEnd = 0;
    uint64_t mDSPClockPause = 0;
    std::atomic<unsigned int> mFinishTick{NOT_FINISHED};
    DSPI *mTickSource = nullptr;

private:
    // Where the frames of a block go: those below blockFrames into the unit's
    // own block, the rest (when mix.out is set) added into the reader's.
    struct Destination {
        float *block = nullptr;
        unsigned int blockFrames = 0;
        MixRun mix;
        void silence(unsigned int from, unsigned int frames, int channels) const;
    };
    // One block of n frames from the sound, its loops and its clock times.
    // A sentence entry that names no sound finishes the voice there.
    void produce(Destination &to, unsigned int n, unsigned int tick);
    // The part of a sentence that holds whole frame `whole`: the entry's
    // data, first frame and frames, and the next entry's data (null at the
    // last). False when the entry names no sound.
    struct Entry {
        const uint8_t *data = nullptr;
        int64_t start = 0;
        int64_t length = 0;
        const uint8_t *next = nullptr;
    };
    [[nodiscard]] bool sentenceEntryAt(const SampleSource &sound, int64_t whole, Entry *entry) const;
    void finishAt(const Destination &to, unsigned int from, unsigned int frames, int channels, unsigned int tick);
};

} // namespace AURA

#endif // AURA_DSP_WAVETABLE_H
