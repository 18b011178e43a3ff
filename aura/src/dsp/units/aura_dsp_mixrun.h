// One run of a fused voice kernel. Plain data only: the files that build the
// kernels for wider instruction sets include this and nothing of the engine
// with inline code, so no function compiled for AVX2 or AVX-512 can be
// chosen by the linker for code that runs everywhere.
#ifndef AURA_DSP_MIXRUN_H
#define AURA_DSP_MIXRUN_H

#include <cstddef>
#include <cstdint>

namespace AURA {

// Frames of a sample source added into interleaved float output.
struct MixRun {
    float *out = nullptr;            // first output frame, outChannels floats wide
    const uint8_t *source = nullptr; // frame 0 of the sample
    int64_t frames = 0;              // frames of the sample that may be read
    int64_t position = 0;            // 32.32 frames from source; advanced
    int64_t step = 0;                // 32.32 per output frame, negative backwards
    unsigned int count = 0;          // output frames
    int format = 0;                  // AURA_SOUND_FORMAT: PCM8, PCM16 or PCMFLOAT
    int inChannels = 1;              // 1 or 2
    int outChannels = 2;             // 1 or 2
    bool linear = true;              // linear interpolation, else nearest sample
    float levels[2][2] = {};         // [output][input], as the connection holds them
};

// The vector loops of one instruction set: whole groups of lanes from the
// start of the run, in which every frame a position names lies at least four
// frames before the end of the data (the caller sees to it). They advance
// out, position and count past what they did and return the frames done;
// the caller finishes the rest.
unsigned int mixRunBaseline(MixRun &run);
unsigned int mixRunAVX2(MixRun &run);
unsigned int mixRunAVX512(MixRun &run);

// The whole-block conversions of the stream and output roads in AVX2 and
// AVX-512: 16-bit samples to float scaled by 1/32768, and float scaled by
// `scale` to 16-bit, rounded in the current mode, clipped, NaN as 0. They do
// whole groups of 16 (32) samples and return how many they did; the caller
// finishes the rest with the same arithmetic.
std::size_t pcm16ToFloatAVX2(float *out, const uint8_t *src, std::size_t samples);
std::size_t floatToPcm16AVX2(uint8_t *dest, const uint8_t *src, std::size_t samples, float scale);
std::size_t pcm16ToFloatAVX512(float *out, const uint8_t *src, std::size_t samples);
std::size_t floatToPcm16AVX512(uint8_t *dest, const uint8_t *src, std::size_t samples, float scale);

// A connection's steady levels in AVX2 and AVX-512 (see
// aura_dsp_mixkernels.h): whole groups of 8 (AVX2 stereo: 4; AVX-512: 16)
// frames from the start; they return the frames done.
std::size_t mixMonoToStereoAVX2(float *out, const float *in, std::size_t frames, float left, float right);
std::size_t mixStereoToStereoAVX2(float *out, const float *in, std::size_t frames, const float levels[2][2]);
std::size_t mixMonoToStereoAVX512(float *out, const float *in, std::size_t frames, float left, float right);

} // namespace AURA

#endif // AURA_DSP_MIXRUN_H
