// The node class through which every processing unit is read: the standard
// pull read (inputs, mix, callback), and an optional history ring of the
// unit's output for spectrum and wave-data readers.
#ifndef AURA_DSP_FILTER_H
#define AURA_DSP_FILTER_H

#include "dsp/aura_dspi.h"

namespace AURA {

class DSPFilter : public DSPI {
public:
    using DSPI::read;

    AURA_RESULT read(float **outbuffer, int *outchannels, unsigned int *length,
                     AURA_SPEAKERMODE speakermode, int speakermodechannels,
                     unsigned int tick) override;
    AURA_RESULT release(bool freethis) override;
    AURA_RESULT stopBuffering() override;
    // A unit that hands its one input on unchanged lets that input add
    // itself into the reader's block.
    int fusedChannels(unsigned int tick, int speakermodechannels) override;
    AURA_RESULT readFused(const FusedMix &mix, unsigned int *length, unsigned int tick,
                          float **rampblock) override;
    // Itself, then its first input's connection, then that input.
    void prefetch(int depth) const override;
    AURA_RESULT startBuffering();
    AURA_RESULT getHistoryBuffer(float **buffer, unsigned int *position, unsigned int *length);

    float *mHistoryBuffer = nullptr;
    unsigned int mHistoryPosition = 0;
    int mBufferChannels = 0; // channels of the block kept in the unit's buffer

private:
    void writeHistory(const float *block, unsigned int length, int channels);
    // Mixes an input through the fused kernels when it can; false when it
    // goes the ordinary way (read, then mix through the connection).
    bool mixFused(DSPConnectionI *connection, int inchannels, unsigned int *length, AURA_SPEAKERMODE speakermode,
                  int speakermodechannels, unsigned int tick, bool &mixed, AURA_RESULT &result);
    [[nodiscard]] bool passesThrough(const DSPConnectionI *connection, int inchannels, int speakermodechannels) const;
};

} // namespace AURA

#endif // AURA_DSP_FILTER_H
