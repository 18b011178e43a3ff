// WAV files as aura-play makes and finishes them: a 16-bit PCM image in
// memory for generated sounds, and the trim of a rendered file.
#ifndef AURA_PLAY_WAV_IMAGE_H
#define AURA_PLAY_WAV_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace auraplay {

// A complete RIFF/WAVE file of interleaved 16-bit samples.
[[nodiscard]] std::vector<uint8_t> makeWavImage(const std::vector<int16_t> &samples, int channels, int rate);

// Cuts the data chunk of a WAV file to at most `frames` frames and rewrites
// the RIFF and data sizes. False when the file is not a WAV file this can
// read; a file already short enough is left as it is.
[[nodiscard]] bool trimWavFrames(const std::string &path, uint64_t frames);

} // namespace auraplay

#endif // AURA_PLAY_WAV_IMAGE_H
