#include "dsp/units/aura_dsp_mixkernels.h"

#include "dsp/units/aura_dsp_pcm.h"
#include "dsp/units/aura_dsp_resampler.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace AURA {

namespace {

using namespace pcm;

constexpr const char *SET_NAMES[MIX_KERNEL_SETS] = {"general", "baseline", "avx2", "avx512"};

// Whether the vector loops of a set were built (the compiler knows the
// instruction set) and the CPU runs them (the OS keeps their registers).
bool runs(MixKernelSet set)
{
    switch (set) {
    case MixKernelSet::General:
    case MixKernelSet::Baseline:
        return true;
#if defined(__x86_64__) || defined(__i386__)
    case MixKernelSet::AVX2:
#if defined(AURA_MIX_KERNELS_AVX2)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
        return false;
#endif
    case MixKernelSet::AVX512:
#if defined(AURA_MIX_KERNELS_AVX512)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f");
#else
        return false;
#endif
#endif
    default:
        return false;
    }
}

// AURA_MIX_KERNELS when it names a set the machine has, else the widest.
MixKernelSet chooseSet()
{
    if (const char *forced = std::getenv("AURA_MIX_KERNELS")) {
        for (int i = 0; i < MIX_KERNEL_SETS; ++i) {
            if (std::strcmp(forced, SET_NAMES[i]) == 0 && runs(static_cast<MixKernelSet>(i))) {
                return static_cast<MixKernelSet>(i);
            }
        }
        std::fprintf(stderr, "AURA: AURA_MIX_KERNELS=%s is not a kernel set this machine runs "
                             "(general, baseline, avx2, avx512); choosing from the CPU\n", forced);
    }
    for (auto set : {MixKernelSet::AVX512, MixKernelSet::AVX2}) {
        if (runs(set)) {
            return set;
        }
    }
    return MixKernelSet::Baseline;
}

std::atomic<int> &currentSet()
{
    static std::atomic<int> set{static_cast<int>(chooseSet())};
    return set;
}

// What the vector loops share with the scalar one, frame by frame.
template <class Pcm, int IN, int OUT>
void mixScalar(MixRun &run, const ResamplerEdge &edge)
{
    constexpr int64_t frameBytes = static_cast<int64_t>(Pcm::BYTES) * IN;
    const auto *edgeFrame = static_cast<const uint8_t *>(edge.edge);
    int64_t pos = run.position;
    float *out = run.out;
    for (unsigned int i = 0; i < run.count; ++i) {
        const int64_t whole = fixedWhole(pos);
        const uint8_t *a = run.source + whole * frameBytes;
        float v[IN];
        if (run.linear) {
            const uint8_t *b = edge.lastframe >= 0 && whole >= edge.lastframe ? (edgeFrame ? edgeFrame : a)
                                                                              : a + frameBytes;
            const float frac = static_cast<float>(fixedFraction(pos)) * FRACTION_SCALE;
            for (int c = 0; c < IN; ++c) {
                const float va = Pcm::get(a + c * Pcm::BYTES);
                const float vb = Pcm::get(b + c * Pcm::BYTES);
                v[c] = va + (vb - va) * frac;
            }
        } else {
            for (int c = 0; c < IN; ++c) {
                v[c] = Pcm::get(a + c * Pcm::BYTES);
            }
        }
        for (int o = 0; o < OUT; ++o) {
            float sum = v[0] * run.levels[o][0];
            if constexpr (IN == 2) {
                sum += v[1] * run.levels[o][1];
            }
            out[o] += sum;
        }
        out += OUT;
        pos += run.step;
    }
    run.position = pos;
    run.out = out;
    run.count = 0;
}

template <class Pcm>
void mixScalarFormat(MixRun &run, const ResamplerEdge &edge)
{
    switch ((run.inChannels == 2 ? 2 : 0) | (run.outChannels == 2 ? 1 : 0)) {
    case 0: mixScalar<Pcm, 1, 1>(run, edge); break;
    case 1: mixScalar<Pcm, 1, 2>(run, edge); break;
    case 2: mixScalar<Pcm, 2, 1>(run, edge); break;
    default: mixScalar<Pcm, 2, 2>(run, edge); break;
    }
}

void mixScalarRun(MixRun &run, const ResamplerEdge &edge)
{
    switch (run.format) {
    case AURA_SOUND_FORMAT_PCM8: mixScalarFormat<Pcm8>(run, edge); break;
    case AURA_SOUND_FORMAT_PCM16: mixScalarFormat<Pcm16>(run, edge); break;
    case AURA_SOUND_FORMAT_PCMFLOAT: mixScalarFormat<PcmFloat>(run, edge); break;
    default: break;
    }
}

void mixVectorRun(MixRun &run, const ResamplerEdge &edge)
{
    switch (mixKernelSet()) {
#if defined(AURA_MIX_KERNELS_AVX512)
    case MixKernelSet::AVX512: (void)mixRunAVX512(run); break;
#endif
#if defined(AURA_MIX_KERNELS_AVX2)
    case MixKernelSet::AVX2: (void)mixRunAVX2(run); break;
#endif
    default: (void)mixRunBaseline(run); break;
    }
    mixScalarRun(run, edge); // what is left of the lanes
}

} // namespace

MixKernelSet mixKernelSet()
{
    return static_cast<MixKernelSet>(currentSet().load(std::memory_order_relaxed));
}

namespace {
// The conversions follow the kernel set: AVX-512 with it, AVX2 with AVX2
// (an AVX-512 CPU has AVX2 too; asked once all the same), SSE2 otherwise.
MixKernelSet conversionSet()
{
#if defined(AURA_MIX_KERNELS_AVX2)
    static const bool avx2 = runs(MixKernelSet::AVX2);
    const MixKernelSet set = mixKernelSet();
    return avx2 && set >= MixKernelSet::AVX2 ? set : MixKernelSet::Baseline;
#else
    return MixKernelSet::Baseline;
#endif
}
} // namespace

std::size_t pcm16ToFloatWide(float *out, const uint8_t *src, std::size_t samples)
{
    switch (conversionSet()) {
#if defined(AURA_MIX_KERNELS_AVX512)
    case MixKernelSet::AVX512: return pcm16ToFloatAVX512(out, src, samples);
#endif
#if defined(AURA_MIX_KERNELS_AVX2)
    case MixKernelSet::AVX2: return pcm16ToFloatAVX2(out, src, samples);
#endif
    default: return 0;
    }
}

std::size_t floatToPcm16Wide(uint8_t *dest, const uint8_t *src, std::size_t samples, float scale)
{
    switch (conversionSet()) {
#if defined(AURA_MIX_KERNELS_AVX512)
    case MixKernelSet::AVX512: return floatToPcm16AVX512(dest, src, samples, scale);
#endif
#if defined(AURA_MIX_KERNELS_AVX2)
    case MixKernelSet::AVX2: return floatToPcm16AVX2(dest, src, samples, scale);
#endif
    default: return 0;
    }
}

std::size_t mixMonoToStereoWide(float *out, const float *in, std::size_t frames, float left, float right)
{
    std::size_t done = 0;
#if defined(AURA_MIX_KERNELS_AVX512)
    if (conversionSet() == MixKernelSet::AVX512) {
        done = mixMonoToStereoAVX512(out, in, frames, left, right);
    }
#endif
#if defined(AURA_MIX_KERNELS_AVX2)
    if (conversionSet() >= MixKernelSet::AVX2) {
        done += mixMonoToStereoAVX2(out + 2 * done, in + done, frames - done, left, right);
    }
#endif
    (void)out, (void)in, (void)frames, (void)left, (void)right;
    return done;
}

std::size_t mixStereoToStereoWide(float *out, const float *in, std::size_t frames, const float levels[2][2])
{
#if defined(AURA_MIX_KERNELS_AVX2)
    if (conversionSet() >= MixKernelSet::AVX2) {
        return mixStereoToStereoAVX2(out, in, frames, levels);
    }
#endif
    (void)out, (void)in, (void)frames, (void)levels;
    return 0;
}

bool mixKernelSetAvailable(MixKernelSet set)
{
    return runs(set);
}

bool setMixKernelSet(MixKernelSet set)
{
    if (!runs(set)) {
        return false;
    }
    currentSet().store(static_cast<int>(set), std::memory_order_relaxed);
    return true;
}

const char *mixKernelSetName(MixKernelSet set)
{
    const auto i = static_cast<int>(set);
    return i >= 0 && i < MIX_KERNEL_SETS ? SET_NAMES[i] : "unknown";
}

void mixResampled(MixRun &run, const ResamplerEdge &edge, int64_t dataframes)
{
    // The vector loops read the frame a position names, its neighbour and up
    // to three frames more: only frames below `limit` go to them, and with
    // linear interpolation only those whose neighbour is the next frame.
    int64_t limit = dataframes - 4;
    if (run.linear && edge.lastframe >= 0) {
        limit = std::min(limit, edge.lastframe);
    }
    const int64_t below = fixedFromWhole(std::max<int64_t>(limit, 0));
    run.frames = dataframes;
    const int64_t step = run.step;
    const int64_t last = run.position + static_cast<int64_t>(run.count ? run.count - 1 : 0) * step;
    if (run.count == 0) {
        return;
    }
    if (std::min(run.position, last) < 0 || limit <= 0) {
        mixScalarRun(run, edge);
        return;
    }
    if (step >= 0) {
        // Forwards the safe frames come first.
        unsigned int safe = run.count;
        if (last >= below) {
            safe = run.position >= below
                       ? 0
                       : static_cast<unsigned int>((static_cast<uint64_t>(below - run.position) +
                                                    static_cast<uint64_t>(step) - 1) /
                                                   static_cast<uint64_t>(step));
        }
        const unsigned int rest = run.count - safe;
        run.count = safe;
        mixVectorRun(run, edge);
        run.count = rest;
        mixScalarRun(run, edge);
    } else {
        // Backwards they come last.
        unsigned int unsafe = 0;
        if (run.position >= below) {
            unsafe = static_cast<unsigned int>(
                std::min<uint64_t>(static_cast<uint64_t>(run.position - below) / static_cast<uint64_t>(-step) + 1,
                                   run.count));
        }
        const unsigned int rest = run.count - unsafe;
        run.count = unsafe;
        mixScalarRun(run, edge);
        run.count = rest;
        mixVectorRun(run, edge);
    }
}

} // namespace AURA
