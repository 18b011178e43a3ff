// Fused voice kernels: read a sample with the resampler (nearest or linear;
// 8-bit, 16-bit or float; mono or stereo), weight each frame by the voice's
// steady levels and add it into the output block, in one pass and without
// an intermediate block. Each kernel exists for the baseline instruction set
// and, where the compiler and the CPU allow, for AVX2 and AVX-512; the set is
// chosen once from the CPU, or from AURA_MIX_KERNELS (general, baseline,
// avx2, avx512), and tests and benchmarks may switch it.
#ifndef AURA_DSP_MIXKERNELS_H
#define AURA_DSP_MIXKERNELS_H

#include "dsp/units/aura_dsp_mixrun.h"

#include <cstddef>
#include <cstdint>

namespace AURA {

struct ResamplerEdge;

enum class MixKernelSet : int {
    General = 0,  // no fused kernels: every voice goes unit by unit
    Baseline = 1, // SSE2 on x86-64, plain C++ elsewhere
    AVX2 = 2,     // AVX2 with FMA
    AVX512 = 3,   // AVX-512F
};
inline constexpr int MIX_KERNEL_SETS = 4;

// The set in use. The first call chooses it: AURA_MIX_KERNELS when it names
// a set the machine has, else the widest the CPU runs.
[[nodiscard]] MixKernelSet mixKernelSet();
// Whether this build and this CPU can run the set (General always).
[[nodiscard]] bool mixKernelSetAvailable(MixKernelSet set);
// Makes `set` the one in use; false (and no change) when it is unavailable.
bool setMixKernelSet(MixKernelSet set);
[[nodiscard]] const char *mixKernelSetName(MixKernelSet set);

// Whole-block sample conversions of the stream and output roads in the
// widest of AVX2 and AVX-512 the set in use has: 16-bit to float scaled by 1/32768, and
// float times `scale` to 16-bit (rounded in the current mode, clipped, NaN
// as 0). They do whole groups of samples from the start and return how many
// they did (0 with the other sets); the caller finishes the rest.
[[nodiscard]] std::size_t pcm16ToFloatWide(float *out, const uint8_t *src, std::size_t samples);
[[nodiscard]] std::size_t floatToPcm16Wide(uint8_t *dest, const uint8_t *src, std::size_t samples, float scale);

// A connection's steady mix into an interleaved stereo block: out[2f] +=
// in[f] x left and out[2f + 1] += in[f] x right for a mono block; out[2f]
// += a x levels[0][0] + b x levels[0][1] and out[2f + 1] += a x
// levels[1][0] + b x levels[1][1] for a stereo one (a, b its frame). In AVX2
// when the set in use has it, equal bit for bit to those loops; whole groups
// of frames from the start, returning how many (0 otherwise: the caller
// does the rest).
[[nodiscard]] std::size_t mixMonoToStereoWide(float *out, const float *in, std::size_t frames, float left,
                                              float right);
[[nodiscard]] std::size_t mixStereoToStereoWide(float *out, const float *in, std::size_t frames,
                                                const float levels[2][2]);

// Adds run.count resampled frames into run.out and advances run.position.
// The frames are read between frame 0 and dataframes (exclusive); with
// linear interpolation the neighbour of edge.lastframe is edge.edge (or the
// frame itself), as AURA_Resampler_Linear has it. Frames whose reads lie
// well inside the data go to the set in use; those near the end of the
// data or at the edge to a scalar loop of the same arithmetic.
void mixResampled(MixRun &run, const ResamplerEdge &edge, int64_t dataframes);

} // namespace AURA

#endif // AURA_DSP_MIXKERNELS_H
