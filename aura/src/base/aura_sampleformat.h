// The sample formats' facts every layer uses: bits of a sample, and bytes
// of a number of samples (frames) and back, for PCM and the block formats.
#ifndef AURA_SAMPLEFORMAT_H
#define AURA_SAMPLEFORMAT_H

#include "aura.h"

namespace AURA {

// Bytes of n samples of a format in `channels` channels; 25 for a format
// above 11. Formats 9 to 11 (compressed streams) pass the value unchanged.
[[nodiscard]] AURA_RESULT getBytesFromSamples(unsigned int samples, unsigned int *bytes, int channels,
                                              AURA_SOUND_FORMAT format);
// The inverse; 0 channels passes the value through.
[[nodiscard]] AURA_RESULT getSamplesFromBytes(unsigned int bytes, unsigned int *samples, int channels,
                                              AURA_SOUND_FORMAT format);
// Bits of one sample of a PCM format; 0 for the others.
[[nodiscard]] int getBitsFromFormat(AURA_SOUND_FORMAT format);

} // namespace AURA

#endif // AURA_SAMPLEFORMAT_H
