// The mixer's state that the DSP units and the outputs read: the software
// format, the block size and clock, the DSP sections, the queue of graph
// changes, the pools, the level buffers and the sound-card unit. The system
// is one (it derives from this class); units and outputs see only this.
#ifndef AURA_DSP_MIXER_H
#define AURA_DSP_MIXER_H

#include "aura.h"
#include "base/aura_globals.h"
#include "dsp/aura_dsp_connectionpool.h"
#include "dsp/aura_dsp_pools.h"
#include "dsp/aura_dspi.h"
#include "os/aura_timestamp.h"

#include <atomic>
#include <cstdint>

struct AURA_OS_CRITICALSECTION;

namespace AURA {

class DSPSoundCard;

class DSPMixer {
public:
    static constexpr int REQUEST_CHUNK = 64;

    DSPMixer();
    virtual ~DSPMixer() = default;
    DSPMixer(const DSPMixer &) = delete;
    DSPMixer &operator=(const DSPMixer &) = delete;

    // Stops whatever plays the unit (the system's channels); the unit is
    // about to be released. Nothing plays units of a bare mixer.
    virtual AURA_RESULT stopDSP(DSPI *dsp);

    // Frees the sound-card unit, the pools, the buffers, the request
    // records and the sections, and forgets the units still listed.
    AURA_RESULT closeDSPEngine();

    AURA_RESULT flushDSPConnectionRequests(bool lockdsp);
    AURA_RESULT getDSPBufferSize(unsigned int *bufferlength, int *numbuffers);
    AURA_RESULT lockDSP();
    AURA_RESULT unlockDSP();

    // Queues a graph change for the mixer side (never flushes: it runs
    // under the connection section only, which may not take the DSP one).
    AURA_RESULT queueDSPConnectionRequest(DSPConnectionRequestType type, DSPI *unit, DSPI *target,
                                          DSPConnectionI *connection, int inputindex);

    // The next mix tick: never 0, so a fresh node (tick 0) is never taken
    // for one that already produced the block.
    unsigned int nextDSPTick();

    // The shared block buffer of a tree level, made on first use; null when
    // it cannot be allocated.
    float *getLevelBuffer(int level);

    // What the system's callback is given as the system (set by the system).
    AURA_SYSTEM *mSystemHandle = nullptr;

    // Format.
    AURA_SOUND_FORMAT mOutputFormat = AURA_SOUND_FORMAT_PCM16;
    int mOutputRate = 24000;
    AURA_DSP_RESAMPLER mResampleMethod = AURA_DSP_RESAMPLER_LINEAR;
    int mMaxOutputChannels = 2;       // output channel count
    int mMaxInputChannels = 6;        // row stride of level matrices
    unsigned int mDSPBlockSize = 1024;
    unsigned int mDSPBufferSize = 4096;
    std::atomic<uint64_t> mDSPClock{0}; // output frames at the start of the block being mixed
    TimeStamp mDSPTimeStamp;             // the mixer's share of the CPU, taken around each mix
    unsigned int mFlags = 0;          // init flags

    // DSP.
    AURA_OS_CRITICALSECTION *mDSPCrit = nullptr;           // held while the graph is walked
    AURA_OS_CRITICALSECTION *mDSPConnectionCrit = nullptr; // held while requests move
    LinkedListNode mConnectionRequestUsedHead;             // pending, first in first out
    LinkedListNode mConnectionRequestFreeHead;
    LinkedListNode mConnectionRequestChunks;               // every allocated chunk of records
    bool mFlushingDSPConnectionRequests = false;
    float *mDSPLevelBuffer[DSP_MAXTREEDEPTH]{};            // raw allocations, shared per level
    LinkedListNode mDSPHead;                               // every unit of this system
    DSPSoundCard *mDSPSoundCard = nullptr;                 // "AURA SoundCard Unit"
    float *mDSPTempBuffer = nullptr;                       // scratch: one block of max channels
    void *mDSPTempBufferMemory = nullptr;
    DSPConnectionPool mDSPConnectionPool;
    HistoryBufferPool mHistoryBufferPool;
    SpeakerLevelsPool mSpeakerLevelsPool;
    AURA_SYSTEM_CALLBACK mCallback = nullptr;              // hears refused connections
    unsigned int mDSPTick = 0;
    // Voice blocks the fused kernels mixed (written by the mixer only).
    std::atomic<uint64_t> mFusedBlocks{0};

protected:
    AURA_RESULT growConnectionRequests();
};

} // namespace AURA

#endif // AURA_DSP_MIXER_H
