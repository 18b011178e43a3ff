#include "output/aura_output.h"

#include "dsp/aura_dsp_mixer.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

namespace AURA {

AURA_RESULT Output::checkFormat(OutputFormat &format)
{
    // Bounds that keep a block buffer small and the clock arithmetic exact.
    constexpr int kMinRate = 1000;
    constexpr int kMaxRate = 384000;
    constexpr unsigned int kMaxBlockLength = 65536;
    if (format.rate < kMinRate || format.rate > kMaxRate || format.channels < 1 ||
        format.channels > DSP_MAXCHANNELS || format.blocklength == 0 ||
        format.blocklength > kMaxBlockLength) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (format.format != AURA_SOUND_FORMAT_PCMFLOAT) {
        format.format = AURA_SOUND_FORMAT_PCM16;
    }
    return AURA_OK;
}

AURA_RESULT Output::mixBlock(void *buffer, unsigned int frames)
{
    if (!buffer || !mSystem || !mSystem->mDSPSoundCard) {
        return AURA_ERR_INVALID_PARAM;
    }
    DSPMixer *system = mSystem;
    CriticalSectionGuard guard(system->mDSPCrit);
    (void)system->mDSPTimeStamp.stampIn();
    (void)system->flushDSPConnectionRequests(false);
    auto *out = static_cast<unsigned char *>(buffer);
    unsigned int done = 0;
    while (done < frames) {
        // The graph mixes at most one DSP block at a time.
        unsigned int length = frames - done;
        const AURA_RESULT result = system->mDSPSoundCard->read(
            out, &length, mFormat.speakermode, mFormat.channels, system->nextDSPTick());
        if (result != AURA_OK) {
            return result;
        }
        if (length == 0) {
            return AURA_ERR_INTERNAL;
        }
        out += DSPSoundCard::bytesFor(mFormat.format, length, mFormat.channels);
        done += length;
        system->mDSPClock.fetch_add(length, std::memory_order_acq_rel);
    }
    mFramesMixed.fetch_add(frames, std::memory_order_acq_rel);
    (void)system->mDSPTimeStamp.stampOut(50);
    return AURA_OK;
}

} // namespace AURA
