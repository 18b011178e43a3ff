// Headerless sample data described by the caller's creation info: integer
// PCM of 8 to 32 bits, 32-bit float, or IMA ADPCM kept compressed. The file
// is the audio from its first byte.
#ifndef AURA_CODEC_RAW_H
#define AURA_CODEC_RAW_H

#include "codec/aura_codec.h"

namespace AURA {

// The registry record of CodecRaw: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX rawcodec;

class CodecRaw : public Codec {
public:
    static constexpr unsigned int IMA_ADPCM_BLOCK_BYTES = 36; // per channel
    static constexpr unsigned int IMA_ADPCM_BLOCK_SAMPLES = 64;
    static constexpr int MAX_CHANNELS = 16;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    AURA_RESULT canPointInternal();
    AURA_RESULT closeInternal();

    AURA_CODEC_WAVEFORMAT mWaveFormat{};
    unsigned int mSamplesPerADPCMBlock = 0;
};

} // namespace AURA

#endif // AURA_CODEC_RAW_H
