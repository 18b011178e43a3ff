// A connection from an output node to one of its inputs, with the level
// matrix through which the input is mixed and a short ramp that smooths
// every change of level or volume. The setters may be called from any
// thread: they hold the system's DSP section, which the mixer holds while
// it mixes.
#ifndef AURA_DSP_CONNECTIONI_H
#define AURA_DSP_CONNECTIONI_H

#include "aura.h"
#include "aura_dsp.h"
#include "base/aura_globals.h"

namespace AURA {

class DSPI;
class DSPMixer;

// Frames over which a change of level or volume is ramped.
inline constexpr int DSP_RAMPCOUNT = 64;

class DSPConnectionI {
public:
    // Points the three matrices (set, current, ramp step) at consecutive
    // runs of maxoutputlevels x max(out, in) floats taken from the cursor,
    // and advances it.
    AURA_RESULT init(float *&levels, int maxoutputlevels, int maxinputlevels);
    // Volume 1.0, every level 0, nothing set, no ramp.
    AURA_RESULT reset();
    // Volume and levels of another connection.
    AURA_RESULT copy(const DSPConnectionI *source);
    // Adds length frames of in (inchannels wide) into out (outchannels
    // wide) through the current levels, advancing any ramp.
    AURA_RESULT mix(float *out, const float *in, int outchannels, int inchannels,
                    unsigned int length);
    // 1.0 on the diagonal.
    AURA_RESULT setUnity();
    // Levels of a pan position (-1 left .. 1 right) for a speaker mode.
    AURA_RESULT setPan(float pan, int outchannels, int inchannels, AURA_SPEAKERMODE speakermode);
    // 0 when the set levels are the identity for these channel counts.
    [[nodiscard]] int checkUnity(int outchannels, int inchannels) const;
    // The volume the levels are scaled by; reached through a ramp.
    AURA_RESULT setMix(float volume);
    AURA_RESULT getMix(float *volume) const;
    // A whole matrix (rows of numinputlevels levels, one row per output
    // level) or one speaker's row.
    AURA_RESULT setLevels(const float *levels, int numinputlevels);
    AURA_RESULT setLevels(AURA_SPEAKER speaker, const float *levels, int numinputlevels);
    AURA_RESULT getLevels(AURA_SPEAKER speaker, float *levels, int numinputlevels) const;
    // Ends a pending ramp: current = set x volume.
    void settleRamp();
    // Levels nobody set follow the input: chosen for its channel count, and
    // chosen again when that count changes (a unit that passed a mono block
    // through in one tick may mix stereo in the next).
    void followInput(int inchannels, int outchannels, AURA_SPEAKERMODE speakermode);
    // The first two rows and columns of the levels a pending ramp ends on
    // (the current ones without a ramp), as [output][input].
    void steadyLevels(float (&levels)[2][2]) const;

    // At volume 0 with no ramp under way: mixing it would add only zeros.
    [[nodiscard]] bool silent() const { return mRampCount == 0 && mVolume == 0.0f; }
    [[nodiscard]] float setLevel(int row, int column) const { return mLevel[row * mMaxInputLevels + column]; }
    [[nodiscard]] float currentLevel(int row, int column) const { return mLevelCurrent[row * mMaxInputLevels + column]; }

    LinkedListNode mInputNode;   // in the output node's input list
    LinkedListNode mOutputNode;  // in the input node's output list
    LinkedListNode *mPoolNode = nullptr;
    DSPMixer *mSystem = nullptr;  // whose DSP section guards changes against the mixer
    DSPI *mInputUnit = nullptr;
    DSPI *mOutputUnit = nullptr;
    float mVolume = 1.0f;
    bool mLevelsSet = false;
    int mAutoInputChannels = 0;  // > 0: levels the mixer chose for inputs this wide
    int mRampCount = 0;          // frames of ramp still to run
    unsigned short mMaxOutputLevels = 0; // rows
    unsigned short mMaxInputLevels = 0;  // row width
    float *mLevel = nullptr;        // levels as set, without the volume
    float *mLevelCurrent = nullptr; // levels in use, volume included
    float *mLevelDelta = nullptr;   // per-frame step of the ramp
    bool mInUse = false;            // handed out by the pool

private:
    void startRamp();
    template <int ROWS, int COLUMNS>
    void rampLevels(float *out, const float *in, unsigned int frames);
};

} // namespace AURA

#endif // AURA_DSP_CONNECTIONI_H
