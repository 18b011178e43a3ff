#include "dsp/aura_dsp_connectioni.h"

#include "dsp/aura_dsp_mixer.h"
#include "dsp/aura_dspi.h"
#include "dsp/units/aura_dsp_mixkernels.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace AURA {

namespace {
AURA_OS_CRITICALSECTION *mixLock(DSPMixer *system)
{
    return system ? system->mDSPCrit : nullptr;
}
} // namespace

AURA_RESULT DSPConnectionI::init(float *&levels, int maxoutputlevels, int maxinputlevels)
{
    // Every output row gets its run; the pool sized the area for them.
    mMaxOutputLevels = static_cast<unsigned short>(maxoutputlevels);
    mMaxInputLevels = static_cast<unsigned short>(std::max(maxoutputlevels, maxinputlevels));
    const int cells = mMaxOutputLevels * mMaxInputLevels;
    mLevel = levels;
    mLevelCurrent = levels + cells;
    mLevelDelta = levels + 2 * cells;
    levels += 3 * cells;
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::reset()
{
    mVolume = 1.0f;
    mLevelsSet = false;
    mAutoInputChannels = 0;
    mRampCount = 0;
    const auto cells = static_cast<std::size_t>(mMaxOutputLevels) * mMaxInputLevels;
    if (mLevel) {
        std::memset(mLevel, 0, cells * sizeof(float));
        std::memset(mLevelCurrent, 0, cells * sizeof(float));
        std::memset(mLevelDelta, 0, cells * sizeof(float));
    }
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::copy(const DSPConnectionI *source)
{
    if (!source) {
        return AURA_ERR_INVALID_PARAM;
    }
    reset();
    mVolume = source->mVolume;
    mLevelsSet = source->mLevelsSet;
    mAutoInputChannels = source->mAutoInputChannels;
    const int rows = std::min(mMaxOutputLevels, source->mMaxOutputLevels);
    const int columns = std::min(mMaxInputLevels, source->mMaxInputLevels);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            mLevel[r * mMaxInputLevels + c] = source->mLevel[r * source->mMaxInputLevels + c];
        }
    }
    settleRamp();
    return AURA_OK;
}

void DSPConnectionI::settleRamp()
{
    const int cells = mMaxOutputLevels * mMaxInputLevels;
    for (int i = 0; i < cells; ++i) {
        mLevelCurrent[i] = mLevel[i] * mVolume;
        mLevelDelta[i] = 0.0f;
    }
    mRampCount = 0;
}

void DSPConnectionI::startRamp()
{
    // The first levels a connection gets apply at once: a new voice starts
    // at its level. Later changes glide there over the ramp.
    if (!mLevelsSet) {
        mLevelsSet = true;
        settleRamp();
        return;
    }
    const int cells = mMaxOutputLevels * mMaxInputLevels;
    constexpr float step = 1.0f / static_cast<float>(DSP_RAMPCOUNT);
    for (int i = 0; i < cells; ++i) {
        mLevelDelta[i] = (mLevel[i] * mVolume - mLevelCurrent[i]) * step;
    }
    mRampCount = DSP_RAMPCOUNT;
}

void DSPConnectionI::followInput(int inchannels, int outchannels, AURA_SPEAKERMODE speakermode)
{
    if (mLevelsSet && (mAutoInputChannels == 0 || mAutoInputChannels == inchannels)) {
        return;
    }
    if (inchannels == outchannels && mVolume == 1.0f) {
        setUnity();
    } else {
        setPan(0.0f, outchannels, inchannels, speakermode);
    }
    mAutoInputChannels = inchannels;
}

void DSPConnectionI::steadyLevels(float (&levels)[2][2]) const
{
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 2; ++c) {
            const bool inside = r < mMaxOutputLevels && c < mMaxInputLevels;
            const int cell = r * mMaxInputLevels + c;
            levels[r][c] = !inside ? 0.0f : mRampCount > 0 ? mLevel[cell] * mVolume : mLevelCurrent[cell];
        }
    }
}

AURA_RESULT DSPConnectionI::setUnity()
{
    CriticalSectionGuard guard(mixLock(mSystem));
    mAutoInputChannels = 0;
    const int cells = mMaxOutputLevels * mMaxInputLevels;
    std::fill(mLevel, mLevel + cells, 0.0f);
    for (int i = 0; i < mMaxOutputLevels; ++i) {
        mLevel[i * mMaxInputLevels + i] = 1.0f;
    }
    startRamp();
    return AURA_OK;
}

int DSPConnectionI::checkUnity(int outchannels, int inchannels) const
{
    if (outchannels != inchannels || outchannels > mMaxOutputLevels || inchannels > mMaxInputLevels) {
        return 1;
    }
    for (int r = 0; r < outchannels; ++r) {
        for (int c = 0; c < inchannels; ++c) {
            if (mLevel[r * mMaxInputLevels + c] != (r == c ? 1.0f : 0.0f)) {
                return 1;
            }
        }
    }
    return 0;
}

AURA_RESULT DSPConnectionI::setPan(float pan, int outchannels, int inchannels,
                                   AURA_SPEAKERMODE speakermode)
{
    CriticalSectionGuard guard(mixLock(mSystem));
    mAutoInputChannels = 0;
    pan = std::clamp(pan, -1.0f, 1.0f);
    float l = 1.0f;
    float r = 1.0f;
    if (inchannels == 1) {
        // Equal power for a mono source; linear in the linear stereo mode.
        const float p = (pan + 1.0f) * 0.5f;
        if (speakermode == AURA_SPEAKERMODE_STEREO_LINEAR) {
            l = 1.0f - p;
            r = p;
        } else {
            l = std::sqrt(1.0f - p);
            r = std::sqrt(p);
        }
    } else if (pan < 0.0f) {
        r = 1.0f + pan;
    } else {
        l = 1.0f - pan;
    }

    float matrix[AURA_SPEAKER_MAX * DSP_MAXCHANNELS] = {};
    int rowlength = 0;
    if (inchannels <= 2) {
        // Mono and stereo sources feed the front pair only.
        DSPI::calculateSpeakerLevels(l, r, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, speakermode,
                                     inchannels, AURA_SPEAKERMAPTYPE_DEFAULT, matrix, &rowlength);
    } else if (inchannels <= DSP_MAXCHANNELS) {
        DSPI::calculateSpeakerLevels(l, r, 1.0f, 1.0f, l, r, l, r, speakermode, inchannels,
                                     AURA_SPEAKERMAPTYPE_DEFAULT, matrix, &rowlength);
    }
    const int cells = mMaxOutputLevels * mMaxInputLevels;
    std::fill(mLevel, mLevel + cells, 0.0f);
    const int rows = std::min<int>(outchannels, mMaxOutputLevels);
    if (rowlength > 0) {
        const int columns = std::min<int>(rowlength, mMaxInputLevels);
        for (int row = 0; row < std::min(rows, static_cast<int>(AURA_SPEAKER_MAX)); ++row) {
            for (int col = 0; col < columns; ++col) {
                mLevel[row * mMaxInputLevels + col] = matrix[row * rowlength + col];
            }
        }
    } else {
        // A layout without a table: channel i goes to output i, wrapping.
        for (int col = 0; col < std::min<int>(inchannels, mMaxInputLevels) && rows > 0; ++col) {
            mLevel[(col % rows) * mMaxInputLevels + col] = 1.0f;
        }
    }
    startRamp();
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::setMix(float volume)
{
    CriticalSectionGuard guard(mixLock(mSystem));
    if (!std::isfinite(volume)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    if (volume == mVolume) {
        return AURA_OK;
    }
    mVolume = volume;
    if (mLevelsSet) {
        startRamp();
    }
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::getMix(float *volume) const
{
    if (!volume) {
        return AURA_ERR_INVALID_PARAM;
    }
    *volume = mVolume;
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::setLevels(const float *levels, int numinputlevels)
{
    if (!levels || numinputlevels < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mixLock(mSystem));
    mAutoInputChannels = 0;
    const int columns = std::min<int>(numinputlevels, mMaxInputLevels);
    std::fill(mLevel, mLevel + mMaxOutputLevels * mMaxInputLevels, 0.0f);
    for (int row = 0; row < mMaxOutputLevels; ++row) {
        for (int col = 0; col < columns; ++col) {
            mLevel[row * mMaxInputLevels + col] = levels[row * numinputlevels + col];
        }
    }
    startRamp();
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::setLevels(AURA_SPEAKER speaker, const float *levels, int numinputlevels)
{
    if (!levels || numinputlevels < 0 || speaker < 0 || speaker >= mMaxOutputLevels) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mixLock(mSystem));
    mAutoInputChannels = 0;
    float *row = mLevel + speaker * mMaxInputLevels;
    std::fill(row, row + mMaxInputLevels, 0.0f);
    std::copy(levels, levels + std::min<int>(numinputlevels, mMaxInputLevels), row);
    startRamp();
    return AURA_OK;
}

AURA_RESULT DSPConnectionI::getLevels(AURA_SPEAKER speaker, float *levels, int numinputlevels) const
{
    if (!levels || numinputlevels < 0 || speaker < 0 || speaker >= mMaxOutputLevels) {
        return AURA_ERR_INVALID_PARAM;
    }
    const float *row = mLevel + speaker * mMaxInputLevels;
    for (int i = 0; i < numinputlevels; ++i) {
        levels[i] = i < mMaxInputLevels ? row[i] : 0.0f;
    }
    return AURA_OK;
}

namespace {
// The most common shape, a mono voice into a stereo mix; the buffers never
// overlap, which lets the compiler keep the loop in vector registers.
void mixMonoToStereo(float *__restrict dst, const float *__restrict src, unsigned int frames, float l, float r)
{
    const std::size_t n = frames;
    for (std::size_t f = mixMonoToStereoWide(dst, src, n, l, r); f < n; ++f) {
        dst[2 * f] += src[f] * l;
        dst[2 * f + 1] += src[f] * r;
    }
}
} // namespace

namespace {
// Frames under a ramp: every level takes one step a frame before it weighs
// the frame. `level` and `delta` give a cell's current level (to be moved)
// and step.
template <class Level, class Delta>
void rampFrames(float *out, const float *in, unsigned int frames, int rows, int columns, int outchannels,
                int inchannels, Level &&level, Delta &&delta)
{
    for (unsigned int f = 0; f < frames; ++f) {
        const float *src = in + static_cast<std::size_t>(f) * inchannels;
        float *dst = out + static_cast<std::size_t>(f) * outchannels;
        for (int r = 0; r < rows; ++r) {
            float sum = 0.0f;
            for (int c = 0; c < columns; ++c) {
                float &current = level(r, c);
                current += delta(r, c);
                sum += src[c] * current;
            }
            dst[r] += sum;
        }
    }
}
} // namespace

template <int ROWS, int COLUMNS>
void DSPConnectionI::rampLevels(float *out, const float *in, unsigned int frames)
{
    // The levels and their steps in registers for the frames of the ramp:
    // the same sums in the same order as in the matrix.
    float level[ROWS][COLUMNS];
    float delta[ROWS][COLUMNS];
    for (int r = 0; r < ROWS; ++r) {
        for (int c = 0; c < COLUMNS; ++c) {
            level[r][c] = mLevelCurrent[r * mMaxInputLevels + c];
            delta[r][c] = mLevelDelta[r * mMaxInputLevels + c];
        }
    }
    rampFrames(out, in, frames, ROWS, COLUMNS, ROWS, COLUMNS, [&](int r, int c) -> float & { return level[r][c]; },
               [&](int r, int c) { return delta[r][c]; });
    for (int r = 0; r < ROWS; ++r) {
        for (int c = 0; c < COLUMNS; ++c) {
            mLevelCurrent[r * mMaxInputLevels + c] = level[r][c];
        }
    }
}

AURA_RESULT DSPConnectionI::mix(float *out, const float *in, int outchannels, int inchannels,
                                unsigned int length)
{
    if (!out || !in || outchannels <= 0 || inchannels <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int rows = std::min<int>(outchannels, mMaxOutputLevels);
    const int columns = std::min<int>(inchannels, mMaxInputLevels);
    const int stride = mMaxInputLevels;
    unsigned int frame = 0;

    // The ramp: every level moves one step a frame, then lands exactly on
    // the target.
    if (mRampCount > 0) {
        frame = std::min(static_cast<unsigned int>(mRampCount), length);
        if (rows == 2 && columns == 1 && inchannels == 1 && outchannels == 2) {
            rampLevels<2, 1>(out, in, frame);
        } else if (rows == 2 && columns == 2 && inchannels == 2 && outchannels == 2) {
            rampLevels<2, 2>(out, in, frame);
        } else {
            rampFrames(out, in, frame, rows, columns, outchannels, inchannels,
                       [&](int r, int c) -> float & { return mLevelCurrent[r * stride + c]; },
                       [&](int r, int c) { return mLevelDelta[r * stride + c]; });
        }
        mRampCount -= static_cast<int>(frame);
        if (mRampCount == 0) {
            settleRamp();
        }
    }
    if (frame >= length) {
        return AURA_OK;
    }

    // The steady part, with the common shapes unrolled.
    const float *src = in + static_cast<std::size_t>(frame) * inchannels;
    float *dst = out + static_cast<std::size_t>(frame) * outchannels;
    const unsigned int remaining = length - frame;
    if (columns == 1 && rows == 2 && inchannels == 1 && outchannels == 2) {
        const float l = mLevelCurrent[0];
        const float r = mLevelCurrent[stride];
        mixMonoToStereo(dst, src, remaining, l, r);
        return AURA_OK;
    }
    if (columns == 2 && rows == 2 && inchannels == 2 && outchannels == 2) {
        const float ll = mLevelCurrent[0];
        const float lr = mLevelCurrent[1];
        const float rl = mLevelCurrent[stride];
        const float rr = mLevelCurrent[stride + 1];
        const float levels[2][2] = {{ll, lr}, {rl, rr}};
        for (auto f = static_cast<unsigned int>(mixStereoToStereoWide(dst, src, remaining, levels)); f < remaining;
             ++f) {
            const float a = src[2 * f];
            const float b = src[2 * f + 1];
            dst[2 * f] += a * ll + b * lr;
            dst[2 * f + 1] += a * rl + b * rr;
        }
        return AURA_OK;
    }
    for (unsigned int f = 0; f < remaining; ++f) {
        const float *s = src + static_cast<std::size_t>(f) * inchannels;
        float *d = dst + static_cast<std::size_t>(f) * outchannels;
        for (int r = 0; r < rows; ++r) {
            const float *level = mLevelCurrent + r * stride;
            float sum = 0.0f;
            for (int c = 0; c < columns; ++c) {
                sum += s[c] * level[c];
            }
            d[r] += sum;
        }
    }
    return AURA_OK;
}

} // namespace AURA
