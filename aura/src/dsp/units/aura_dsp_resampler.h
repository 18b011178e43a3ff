// Resampling: the per-sample kernels that turn PCM of any format and rate
// into float frames at the mixer's rate, and the ring-buffered resampler
// unit that feeds them from a source (its own read callback, or the float
// output of its graph inputs).
#ifndef AURA_DSP_RESAMPLER_H
#define AURA_DSP_RESAMPLER_H

#include "dsp/aura_dsp_filter.h"

#include <atomic>
#include <cstdint>

namespace AURA {

// 32.32 fixed point: high word whole frames, low word the fraction.
inline constexpr int64_t FIXED_ONE = int64_t{1} << 32;
[[nodiscard]] constexpr int64_t fixedWhole(int64_t value) { return value >> 32; }
[[nodiscard]] constexpr uint32_t fixedFraction(int64_t value) { return static_cast<uint32_t>(value); }
[[nodiscard]] constexpr int64_t fixedFromWhole(int64_t whole) { return static_cast<int64_t>(static_cast<uint64_t>(whole) << 32); }

// The frame an interpolating kernel takes as the neighbour of the last
// frame it may read: the frame after `lastframe` is never read from the
// source; `edge` (a frame in the source format) stands in for it. With
// lastframe < 0 every frame the position names may be read, and the one
// after it.
struct ResamplerEdge {
    int64_t lastframe = -1;
    const void *edge = nullptr;
};

// Writes `count` float frames from the source at *position (32.32 frames
// from `source`) and advances *position by *step per frame (a negative step
// runs backwards). Formats 1 to 5; any other writes nothing.
void AURA_Resampler_NoInterp(float *out, unsigned int count, const void *source, AURA_SOUND_FORMAT format,
                             int64_t *position, const int64_t *step, int channels);
void AURA_Resampler_Linear(float *out, unsigned int count, const void *source, AURA_SOUND_FORMAT format,
                           int64_t *position, const int64_t *step, int channels,
                           const ResamplerEdge &edge = ResamplerEdge{});

// Bytes of one frame of a source format in the ring (compressed formats
// count their block sizes; 9 to 11 are byte streams).
[[nodiscard]] unsigned int resamplerFrameBytes(AURA_SOUND_FORMAT format, int channels);

// Silences `frames` frames of an interleaved block from frame `from`.
void zeroFrames(float *out, unsigned int from, unsigned int frames, int channels);

// The DSP-clock times of a source unit applied to a block of *n frames that
// starts at `clock`: an end inside the block silences the tail (and sets
// *ended), a pause does too and deactivates the unit and clears the pause
// time, a start silences the head. *n shrinks by what was silenced; the
// result is the first frame to produce. Only the first `outframes` frames of
// `out` are written (the others are added elsewhere, where silence is
// nothing).
unsigned int applyClockWindow(DSPI &unit, uint64_t clock, uint64_t start, uint64_t end, uint64_t &pause,
                              unsigned int pauseoffset, float *out, unsigned int *n, int channels, bool *ended,
                              unsigned int outframes = 0xFFFFFFFFu);

// What the owner of a resampler unit tells it about the play.
struct ResamplerPlayState {
    uint64_t mDSPClockStart = 0; // 0: not set
    uint64_t mDSPClockEnd = 0;
    uint64_t mDSPClockPause = 0;
    unsigned int mMode = 0;      // 0x2 loop normal
    unsigned int mLoopStart = 0;
    unsigned int mLoopLength = 0;
    std::atomic<unsigned int> mFinishTick{0};
};

class DSPResampler : public DSPFilter {
public:
    static constexpr unsigned int NOT_FINISHED = 0xFFFFFFFFu;
    static constexpr unsigned int LENGTH_UNKNOWN = 0xFFFFFFFFu;

    DSPResampler();
    ~DSPResampler() override;

    using DSPI::read;
    AURA_RESULT read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE speakermode,
                     int speakermodechannels, unsigned int tick) override;
    AURA_RESULT alloc(AURA_DSP_DESCRIPTION_EX *description) override;
    AURA_RESULT setPosition(unsigned int position, bool processinputs) override;
    AURA_RESULT release(bool freethis) override;
    // Connects a unit as the source of a multi-input resampler.
    virtual AURA_RESULT addInput(DSPI *input);
    using DSPI::addInput;

    AURA_RESULT setFrequency(float frequency);
    AURA_RESULT setFinished(bool finished, bool force);
    AURA_RESULT getFinished(bool *finished);

    std::atomic<int64_t> mPosition{0};   // source position, 32.32
    std::atomic<int64_t> mStep{0};       // source frames per output frame, 32.32, positive
    float mFrequency = 0.0f;
    int mOutputRate = 0;
    int64_t mBufferPosition = 0;         // read position in the ring, 32.32
    void *mBufferMemoryRing = nullptr;   // the ring's allocation (null when embedded)
    uint8_t *mRing = nullptr;            // frame 0 of the ring, 16-byte aligned
    int mInputChannels = 0;              // multi-input: floats per ring frame
    unsigned int mBlockLength = 0;       // frames a refill fetches
    unsigned int mBufferLength = 0;      // ring frames, twice the block
    unsigned int mFillPosition = 0;
    int mEndPosition = -1;               // ring frame where the source ended; -1 while it has not
    // A read callback that ends its source inside a block sets the frames
    // it produced there, so the source ends there and not at the block's end.
    static constexpr unsigned int WHOLE_BLOCK = 0xFFFFFFFFu;
    unsigned int mEndedFrames = WHOLE_BLOCK;
    unsigned int mOverlap = 4;
    unsigned int mPauseOffset = 0;
    int mFillCount = 2;                  // blocks to fetch before resampling
    DSPI *mTickSource = nullptr;
    std::atomic<int> mDirection{0};      // 1: the source is read backwards
    unsigned int mLength = LENGTH_UNKNOWN; // source frames
    int mLoopCount = 0;
    ResamplerPlayState *mPlayState = nullptr;
    ResamplerPlayState mOwnPlayState;

protected:
    // Zeroes the tail of the output from frame `from` and marks the end.
    void finishAt(float *out, unsigned int from, unsigned int frames, int channels, unsigned int tick);
    // Applies the DSP-clock start, end and pause times to a block of n
    // frames: zeroes what they silence and returns the first frame to
    // produce; n shrinks accordingly.
    // Frames that can be read before the read crosses into the block being
    // refilled (32.32).
    [[nodiscard]] int64_t spanToRefill() const;
    void resetRing();

    void *mPullMemory = nullptr;         // multi-input: the block its inputs are mixed into
    unsigned int mFrameBytes = 0;
    int mChannels = 0;                   // source channels in the ring
    AURA_SOUND_FORMAT mSourceFormat = AURA_SOUND_FORMAT_PCMFLOAT;
};

// The resampler a software voice puts in front of a stream or a played
// unit: its source is the float output of its inputs.
class DSPResamplerMultiInput : public DSPResampler {
public:
    using DSPI::read;
    AURA_RESULT read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE speakermode,
                     int speakermodechannels, unsigned int tick) override;
    AURA_RESULT addInput(DSPI *input) override;
    using DSPI::addInput;
};

} // namespace AURA

#endif // AURA_DSP_RESAMPLER_H
