#include "dsp/units/aura_dsp_soundcard.h"

#include "dsp/aura_dsp_mixer.h"
#include "os/aura_os.h"

#include <cstring>

namespace AURA {

unsigned int DSPSoundCard::bytesFor(AURA_SOUND_FORMAT format, unsigned int frames, int channels)
{
    const auto f = static_cast<uint64_t>(frames);
    const auto c = static_cast<uint64_t>(channels > 0 ? channels : 0);
    uint64_t bytes = 0;
    switch (format) {
    case AURA_SOUND_FORMAT_PCM8: bytes = f * c; break;
    case AURA_SOUND_FORMAT_PCM16: bytes = f * 2 * c; break;
    case AURA_SOUND_FORMAT_PCM24: bytes = f * 3 * c; break;
    case AURA_SOUND_FORMAT_PCM32:
    case AURA_SOUND_FORMAT_PCMFLOAT: bytes = f * 4 * c; break;
    case AURA_SOUND_FORMAT_GCADPCM: bytes = (f + 13) / 14 * 8 * c; break;
    case AURA_SOUND_FORMAT_IMAADPCM: bytes = (f + 63) / 64 * 36 * c; break;
    case AURA_SOUND_FORMAT_VAG: bytes = (f + 27) / 28 * 16 * c; break;
    case AURA_SOUND_FORMAT_XMA:
    case AURA_SOUND_FORMAT_MPEG:
    case AURA_SOUND_FORMAT_CELT: bytes = f; break;
    default: bytes = 0; break;
    }
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(bytes);
}

AURA_RESULT DSPSoundCard::alloc(AURA_DSP_DESCRIPTION_EX *description)
{
    const AURA_RESULT result = DSPI::alloc(description);
    if (result != AURA_OK) {
        return result;
    }
    return updateTreeLevel(0);
}

AURA_RESULT DSPSoundCard::read(void *outbuffer, unsigned int *length, AURA_SPEAKERMODE speakermode,
                               int speakermodechannels, unsigned int tick)
{
    if (!outbuffer || !length || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    float *mix = nullptr;
    int mixchannels = 0;
    AURA_RESULT result = DSPFilter::read(&mix, &mixchannels, length, speakermode,
                                         speakermodechannels, tick);
    if (result != AURA_OK) {
        return result;
    }
    const bool profiling = (mSystem->mFlags & 0x20) != 0;
    unsigned int start = 0;
    if (profiling) {
        (void)AURA_OS_Time_GetNs(&start);
    }
    const int channels = speakermodechannels;
    const AURA_SOUND_FORMAT format = mDescription.mFormat;
    const unsigned int frames = *length;

    if (!hasFlags(DSPI_FLAG_IDLE) && mix) {
        if (profiling) {
            (void)calculatePeaks(mix, frames, static_cast<unsigned int>(channels), nullptr);
        }
        // A lone input whose channel count differs reaches here unmixed
        // only when it matches the speakers; anything else was mixed.
        if (format != AURA_SOUND_FORMAT_PCMFLOAT) {
            result = convert(outbuffer, mix, format, AURA_SOUND_FORMAT_PCMFLOAT,
                             frames * static_cast<unsigned int>(channels), 1, 1, 1.0f);
            if (result != AURA_OK) {
                return result;
            }
        } else if (mix != outbuffer) {
            std::memcpy(outbuffer, mix, bytesFor(format, frames, channels));
        }
    } else {
        std::memset(outbuffer, 0, bytesFor(format, frames, channels));
        if (profiling) {
            std::memset(mPeakMeter, 0, sizeof(mPeakMeter));
            mNumPeakChannels = static_cast<unsigned short>(channels);
        }
    }

    setDSPTick(tick);
    if (profiling) {
        unsigned int now = 0;
        (void)AURA_OS_Time_GetNs(&now);
        mCPUUsage = static_cast<unsigned short>(mCPUUsageTemp + (now - start));
        mCPUUsageTemp = 0;
    }
    return AURA_OK;
}

} // namespace AURA
