// The node of the DSP mixing graph. Nodes are joined by connections from an
// output (the node that pulls) to its inputs (the nodes that are pulled);
// the mixer pulls the root, the sound-card unit, once per block.
#ifndef AURA_DSPI_H
#define AURA_DSPI_H

#include "aura.h"
#include "aura_dsp.h"
#include "base/aura_globals.h"
#include "base/aura_plugin.h"

#include <atomic>
#include <cstdint>

namespace AURA {

class DSPMixer;
class DSPI;
class DSPConnectionI;
class MemoryTracker;

enum AURA_DSP_CATEGORY : int {
    AURA_DSP_CATEGORY_FILTER = 0,
    AURA_DSP_CATEGORY_DSPCODECMPEG = 1,
    AURA_DSP_CATEGORY_DSPCODECADPCM = 2,
    AURA_DSP_CATEGORY_DSPCODECXMA = 3,
    AURA_DSP_CATEGORY_DSPCODECCELT = 4,
    AURA_DSP_CATEGORY_DSPCODECRAW = 5,
    AURA_DSP_CATEGORY_SOUNDCARD = 6,
    AURA_DSP_CATEGORY_WAVETABLE = 7,
    AURA_DSP_CATEGORY_RESAMPLER = 8,
};

using AURA_DSP_GETMEMORYUSEDCALLBACK = AURA_RESULT (*)(AURA_DSP_STATE *, MemoryTracker *);
using AURA_DSP_UPDATECALLBACK = AURA_RESULT (*)(AURA_DSP_STATE *);
// Builds a plain-filter unit's own class in zeroed memory of the
// description's mSize bytes; without it the unit is a bare DSPFilter.
using AURA_DSP_CONSTRUCT = DSPI *(*)(void *memory);

// The description a node runs: the public record plus what the engine's own
// units need.
struct AURA_DSP_DESCRIPTION_EX : AURA_DSP_DESCRIPTION {
    LinkedListNode mNode;                  // the plug-in registry's list
    AURA_SOUND_FORMAT mFormat;             // source or output sample format
    AURA_DSP_TYPE mType;
    unsigned int mSize;                    // instance size in bytes
    AURA_DSP_CATEGORY mCategory;
    int mBlockLength;                      // source units: frames a refill (0: the system's)
    DSPI *mTickSource;                     // source units: whose tick ends them (null: the sound card)
    unsigned int mHandle;                  // the registry's handle
    AURA_DSP_GETMEMORYUSEDCALLBACK getmemoryused;
    AURA_DSP_UPDATECALLBACK update;        // deferred work, run by a queued request
    AURA_DSP_CONSTRUCT construct;          // plain filters: the unit's class
};

// Flags of a node.
inline constexpr unsigned int DSPI_FLAG_ACTIVE = 0x2;
inline constexpr unsigned int DSPI_FLAG_BYPASS = 0x4;
inline constexpr unsigned int DSPI_FLAG_FINISHED = 0x8;
inline constexpr unsigned int DSPI_FLAG_IDLE = 0x10;
inline constexpr unsigned int DSPI_FLAG_INSERTED = 0x20;
inline constexpr unsigned int DSPI_FLAG_QUEUEDFORDISCONNECT = 0x100;

inline constexpr int DSP_MAXTREEDEPTH = 128;
inline constexpr int DSP_MAXCHANNELS = 16;      // peak meters and level rows
inline constexpr int DSP_HISTORYLENGTH = 16384; // frames of a history ring

// A graph change queued by an API thread for the mixer side.
enum DSPConnectionRequestType : int {
    DSPCONNECTION_REQUEST_ADDINPUT = 0,
    DSPCONNECTION_REQUEST_ADDINPUT_CHECKCYCLE = 1,
    DSPCONNECTION_REQUEST_DISCONNECTFROM = 2,
    DSPCONNECTION_REQUEST_DISCONNECTALLINPUTS = 3,
    DSPCONNECTION_REQUEST_DISCONNECTALLOUTPUTS = 4,
    DSPCONNECTION_REQUEST_DISCONNECTALL = 5,
    DSPCONNECTION_REQUEST_INSERTINBETWEEN = 6,
    DSPCONNECTION_REQUEST_INSERTINBETWEEN_SEARCH = 7,
    DSPCONNECTION_REQUEST_UPDATE = 8,
};

struct DSPConnectionRequest {
    LinkedListNode mNode;
    DSPI *mThis;
    DSPI *mTarget;
    DSPConnectionI *mConnection;
    DSPConnectionRequestType mRequest;
    int mInputIndex;
};

// Where a unit adds its block straight into the block of the unit that
// reads it (a voice's source, through the fused kernels): that block and its
// channels, the connection's steady levels [output][input], and the frames
// at the start that a ramp of the connection's levels still covers, which
// the unit leaves in its own block for the reader to mix through the ramp.
struct FusedMix {
    float *out = nullptr;
    int outChannels = 0;
    float levels[2][2] = {};
    unsigned int rampFrames = 0;
};

class DSPI : public Plugin {
public:
    DSPI();
    ~DSPI() override;
    DSPI(const DSPI &) = delete;
    DSPI &operator=(const DSPI &) = delete;

    // Releases and frees the node.
    AURA_RESULT release() override { return release(true); }

    // The pull read of one block; the base has none (33).
    virtual AURA_RESULT read(float **outbuffer, int *outchannels, unsigned int *length,
                             AURA_SPEAKERMODE speakermode, int speakermodechannels,
                             unsigned int tick);
    virtual AURA_RESULT read(void *outbuffer, unsigned int *length, AURA_SPEAKERMODE speakermode,
                             int speakermodechannels, unsigned int tick);
    virtual AURA_RESULT alloc(AURA_DSP_DESCRIPTION_EX *description);
    virtual AURA_RESULT setPosition(unsigned int position, bool processinputs);
    virtual AURA_RESULT release(bool freethis);
    virtual AURA_RESULT addInput(DSPI *input, DSPConnectionI **connection);
    virtual AURA_RESULT remove();
    virtual AURA_RESULT reset();
    virtual AURA_RESULT setParameter(int index, float value);
    virtual AURA_RESULT getParameter(int index, float *value, char *valuestr, int valuestrlen);
    virtual AURA_RESULT getNumParameters(int *numparams);
    virtual AURA_RESULT getParameterInfo(int index, char *name, char *label, char *description,
                                         int descriptionlen, float *min, float *max);
    virtual AURA_RESULT showConfigDialog(void *hwnd, bool show);
    virtual AURA_RESULT getInfo(char *name, unsigned int *version, int *channels,
                                int *configwidth, int *configheight);
    virtual AURA_RESULT getType(AURA_DSP_TYPE *type);
    virtual AURA_RESULT setDefaults(float frequency, float volume, float pan, int priority);
    virtual AURA_RESULT getDefaults(float *frequency, float *volume, float *pan, int *priority);
    virtual AURA_RESULT stopBuffering();
    virtual AURA_RESULT setTargetFrequency(int frequency);
    virtual AURA_RESULT getTargetFrequency(int *frequency);
    // The channels of the block this unit can add straight into its reader's
    // block this tick (see FusedMix), or 0 when it cannot: the base cannot.
    virtual int fusedChannels(unsigned int tick, int speakermodechannels);
    // Produces this tick's block into mix.out, through mix.levels; the first
    // mix.rampFrames frames go into the unit's own block, handed back
    // through rampblock. Only after fusedChannels said yes in this tick.
    virtual AURA_RESULT readFused(const FusedMix &mix, unsigned int *length, unsigned int tick,
                                  float **rampblock);
    // Asks the memory for what a read of this unit touches `depth` links
    // down (0: the unit itself), without waiting for it: a unit that mixes
    // many inputs does so for the inputs it reads next.
    virtual void prefetch(int depth) const;

    // Graph changes, queued for the mixer side.
    AURA_RESULT addInputQueued(DSPI *input, bool checkcycle, DSPConnectionI *templ,
                               DSPConnectionI **connection);
    AURA_RESULT disconnectFrom(DSPI *target, DSPConnectionI *connection);
    AURA_RESULT disconnectAll(bool inputs, bool outputs);
    AURA_RESULT insertInputBetween(DSPI *dsp, int inputindex, bool search,
                                   DSPConnectionI **connection);
    AURA_RESULT getNumInputs(int *numinputs, bool flush);
    AURA_RESULT getNumOutputs(int *numoutputs, bool flush);
    AURA_RESULT getInput(int index, DSPI **input, DSPConnectionI **connection, bool flush);
    AURA_RESULT getOutput(int index, DSPI **output, DSPConnectionI **connection, bool flush);
    // 0 when target is this node or lies below it; 37 otherwise.
    AURA_RESULT doesUnitExist(DSPI *target, bool flush);
    AURA_RESULT setUserData(void *userdata);
    AURA_RESULT getUserData(void **userdata);

    // The same changes, applied at once. With lock set, the system's DSP and
    // then its connection section are held for the change.
    AURA_RESULT addInputInternal(DSPI *input, bool checkcycle, DSPConnectionI *connection,
                                 DSPConnectionI **connectionout, bool lock);
    AURA_RESULT disconnectFromInternal(DSPI *target, DSPConnectionI *connection, bool lock);
    AURA_RESULT disconnectAllInternal(bool inputs, bool outputs, bool lock);
    AURA_RESULT insertInputBetweenInternal(DSPI *dsp, int inputindex, bool search,
                                           DSPConnectionI *connection, bool lock);
    AURA_RESULT removeInternal(bool lock);
    AURA_RESULT updateTreeLevel(int level);

    // Execution services.
    AURA_RESULT updateDSPTick(unsigned int tick);
    static AURA_RESULT calculateSpeakerLevels(float levelFL, float levelFR, float levelC,
                                              float levelLFE, float levelBL, float levelBR,
                                              float levelSL, float levelSR,
                                              AURA_SPEAKERMODE speakermode, int inputchannels,
                                              AURA_SPEAKERMAPTYPE maptype, float *levels,
                                              int *numinputlevels);
    // The same for the layouts the tables above leave out (3, 5 and 7
    // channels): each input channel takes the column of its speaker in the
    // eight-channel layout. `channelmask` names the speakers the way
    // WAVE_FORMAT_EXTENSIBLE does; 0 takes them in WAV order.
    static AURA_RESULT calculateSpeakerLevelsByMask(float levelFL, float levelFR, float levelC, float levelLFE,
                                                    float levelBL, float levelBR, float levelSL, float levelSR,
                                                    AURA_SPEAKERMODE speakermode, int inputchannels,
                                                    unsigned int channelmask, float *levels, int *numinputlevels);
    // The engine's speaker (0 FL, 1 FR, 2 C, 3 LFE, 4 BL, 5 BR, 6 SL, 7 SR)
    // of a WAVE_FORMAT_EXTENSIBLE speaker bit; -1 for the back centre
    // (between BL and BR), -2 for bits the engine has no speaker for.
    static int speakerOfMaskBit(int bit);
    AURA_RESULT calculatePeaks(const float *buffer, unsigned int length, unsigned int channels,
                               DSPI *target = nullptr);
    AURA_RESULT createHistoryBuffer(float **buffer, int channels);
    AURA_RESULT releaseHistoryBuffer(float *buffer);
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);
    // Converts count samples between PCM formats 1 to 5 (strides in samples);
    // 37 for a pair it cannot convert.
    static AURA_RESULT convert(void *dest, const void *source, AURA_SOUND_FORMAT destformat,
                               AURA_SOUND_FORMAT sourceformat, unsigned int count,
                               int deststride, int sourcestride, float gain);

    // Flags are shared between API threads and the mixer. Bits already as
    // asked are left alone: the mixer sets and clears a few bits of every
    // unit every block, and a locked write costs more than a look.
    [[nodiscard]] unsigned int flags() const { return mFlags.load(std::memory_order_acquire); }
    void setFlags(unsigned int bits)
    {
        if ((flags() & bits) != bits) {
            mFlags.fetch_or(bits, std::memory_order_acq_rel);
        }
    }
    void clearFlags(unsigned int bits)
    {
        if (flags() & bits) {
            mFlags.fetch_and(~bits, std::memory_order_acq_rel);
        }
    }
    [[nodiscard]] bool hasFlags(unsigned int bits) const { return (flags() & bits) != 0; }
    void setActive(bool active) { active ? setFlags(DSPI_FLAG_ACTIVE) : clearFlags(DSPI_FLAG_ACTIVE); }
    void setBypass(bool bypass) { bypass ? setFlags(DSPI_FLAG_BYPASS) : clearFlags(DSPI_FLAG_BYPASS); }

    // Points the callback state at this unit. Once made, a unit's state
    // always names it, so neither the mixer nor an API thread writes it again.
    void bindState()
    {
        if (mDSPState.instance != this) {
            mDSPState.instance = this;
        }
    }

    [[nodiscard]] unsigned int getDSPTick() const { return mDSPTick.load(std::memory_order_acquire); }
    void setDSPTick(unsigned int tick) { mDSPTick.store(tick, std::memory_order_release); }

    // Bytes of one block buffer: max(input, output channels) x block + 16.
    [[nodiscard]] int blockBufferBytes() const;

    // Links in the system's list of every node.
    LinkedListNode mNode;
    int mListKey = -1;

    DSPMixer *mSystem = nullptr;
    Global *mGlobal = gGlobal;
    AURA_DSP_STATE mDSPState{};

    LinkedListNode mInputHead;   // input-side links of the connections that feed this node
    LinkedListNode mOutputHead;  // output-side links of the connections this node feeds
    int mNumInputs = 0;
    int mNumOutputs = 0;

    void *mBufferMemory = nullptr; // private output buffer (fan-out, or a source unit's own)
    bool mOwnsBuffer = false;      // the unit made its buffer itself: graph changes keep it
    int mTargetFrequency = 0;
    short mTreeLevel = -1;
    unsigned short mCPUUsage = 0;     // microseconds of the last read
    unsigned short mCPUUsageTemp = 0; // accumulated during the read under way
    unsigned char mPeakMeter[10] = {};
    unsigned short mNumPeakChannels = 0;
    AURA_DSP_DESCRIPTION_EX mDescription{};
    float mDefaultVolume = 1.0f;
    float mDefaultFrequency = 44100.0f;
    float mDefaultPan = 0.0f;
    int mDefaultPriority = 128;
    float *mBuffer = nullptr;         // current output buffer, 16-byte aligned

private:
    static AURA_RESULT callback(DSPI *dsp, AURA_RESULT (*fn)(AURA_DSP_STATE *));
    AURA_RESULT queueRequest(DSPConnectionRequestType type, DSPI *target,
                             DSPConnectionI *connection, int inputindex);
    AURA_RESULT getCount(const int &count, int *out, bool flush);
    AURA_RESULT getLink(LinkedListNode &head, int count, int index, DSPI **unit,
                        DSPConnectionI **connection, bool flush, bool inputs);
    AURA_RESULT allocConnection(DSPConnectionI *templ, DSPConnectionI **connection);
    float *levelBuffer(int level);

    std::atomic<unsigned int> mDSPTick{0};
    std::atomic<unsigned int> mFlags{0};
};

} // namespace AURA

#endif // AURA_DSPI_H
