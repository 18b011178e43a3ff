// AIFF and uncompressed AIFF-C ("NONE" big-endian, "sowt" little-endian)
// files: 8, 16, 24 and 32-bit PCM, handed out in the engine's byte order.
#ifndef AURA_CODEC_AIFF_H
#define AURA_CODEC_AIFF_H

#include "codec/aura_codec.h"

#include <cstdint>

namespace AURA {

// An 80-bit IEEE 754 extended value (big-endian) as a float; infinity and
// not-a-number give 0 (with the sign).
[[nodiscard]] float ConvertFromIeeeExtended(unsigned char *bytes);

// The registry record of CodecAIFF: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX aiffcodec;

class CodecAIFF : public Codec {
public:
    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    [[nodiscard]] bool dataCut(int /*subsound*/) const override { return mDataCut; }

    AURA_CODEC_WAVEFORMAT *mWaveFormatBlock = nullptr;
    bool mIsAIFC = false;
    bool mLittleEndian = false; // "sowt" data

private:
    unsigned int mBytesPerSample = 0;
    unsigned int mDataLength = 0; // bytes of sample data the file holds
    bool mDataCut = false; // the file ends inside the sound data
};

} // namespace AURA

#endif // AURA_CODEC_AIFF_H
