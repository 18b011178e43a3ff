// PCM in memory that a voice plays in place: the sound behind a wavetable
// unit. The sound layer fills it; the DSP layer only reads it.
#ifndef AURA_SAMPLESOURCE_H
#define AURA_SAMPLESOURCE_H

#include "aura.h"

#include <cstdint>

namespace AURA {

class SampleSource {
public:
    SampleSource() = default;
    virtual ~SampleSource() = default;
    SampleSource(const SampleSource &) = delete;
    SampleSource &operator=(const SampleSource &) = delete;

    // The first frame of the PCM; null when the sound keeps none in memory.
    [[nodiscard]] virtual const uint8_t *getSampleData() const { return nullptr; }

    unsigned int mLength = 0;            // PCM samples
    AURA_SOUND_FORMAT mFormat = AURA_SOUND_FORMAT_PCM16;
    int mChannels = 1;
};

} // namespace AURA

#endif // AURA_SAMPLESOURCE_H
