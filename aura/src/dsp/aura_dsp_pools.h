// Small pools of a system: speaker-level matrices of logical channels and
// history rings of units that keep their output for spectrum readers.
#ifndef AURA_DSP_POOLS_H
#define AURA_DSP_POOLS_H

#include "aura.h"

#include <cstdint>

namespace AURA {

class DSPMixer;

class SpeakerLevelsPool {
public:
    static constexpr int MATRICES_PER_CHUNK = 32;
    static constexpr int MAX_CHUNKS = 64;

    ~SpeakerLevelsPool();
    // Matrices of rows x columns floats; no memory is taken until alloc.
    AURA_RESULT init(DSPMixer *system, int rows, int columns);
    // A zeroed matrix; the receiver stays null (44) when none can be had.
    AURA_RESULT alloc(float **levels);
    AURA_RESULT free(float *levels);
    AURA_RESULT release();

private:
    struct Chunk {
        float *mMemory;
        uint32_t mUsed; // one bit per matrix
    };
    int mRows = 0;
    int mColumns = 0;
    Chunk mChunk[MAX_CHUNKS]{};
};

class HistoryBufferPool {
public:
    static constexpr int NUM_SLOTS = 16;          // one channel of history a slot
    static constexpr int SLOT_FLOATS = 16384;

    ~HistoryBufferPool();
    // A zeroed ring of 16384 frames of count channels: a run of free slots,
    // or, when there is none, memory of its own. 37 for a null receiver or
    // count 0, 44 when no memory can be had.
    AURA_RESULT alloc(float **buffer, int count);
    // Frees the run (or the separate memory); 37 for a buffer not handed out.
    AURA_RESULT free(float *buffer);
    AURA_RESULT release();

private:
    float *mMemory = nullptr;
    int mRunLength[NUM_SLOTS]{}; // at the first slot of a run: its length; 0 elsewhere
    bool mUsed[NUM_SLOTS]{};
    static constexpr int MAX_SEPARATE = 64;
    float *mSeparate[MAX_SEPARATE]{};
};

} // namespace AURA

#endif // AURA_DSP_POOLS_H
