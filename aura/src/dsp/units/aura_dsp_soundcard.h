// The head of the graph: pulls the float mix and writes it in the output's
// sample format.
#ifndef AURA_DSP_SOUNDCARD_H
#define AURA_DSP_SOUNDCARD_H

#include "dsp/aura_dsp_filter.h"

namespace AURA {

class DSPSoundCard : public DSPFilter {
public:
    using DSPFilter::read;

    // The unit is level 0 of the graph.
    AURA_RESULT alloc(AURA_DSP_DESCRIPTION_EX *description) override;
    // One block of length frames in the description's format into outbuffer.
    AURA_RESULT read(void *outbuffer, unsigned int *length, AURA_SPEAKERMODE speakermode,
                     int speakermodechannels, unsigned int tick) override;

    // Bytes of frames frames of channels channels of a sample format.
    static unsigned int bytesFor(AURA_SOUND_FORMAT format, unsigned int frames, int channels);
};

} // namespace AURA

#endif // AURA_DSP_SOUNDCARD_H
