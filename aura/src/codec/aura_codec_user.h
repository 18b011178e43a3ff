// A sound whose PCM the application produces: the codec describes the
// format given in the creation info and hands out silence of it, which the
// sound layer then passes through the application's PCM read callback.
#ifndef AURA_CODEC_USER_H
#define AURA_CODEC_USER_H

#include "codec/aura_codec.h"

namespace AURA {

// The registry record of CodecUser: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX usercodec;

class CodecUser : public Codec {
public:
    // mFlags: the creation info gave a length, and reads end there.
    static constexpr unsigned int FLAG_USERLENGTH = 0x10;
    static constexpr int MAX_CHANNELS = 16;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    AURA_RESULT closeInternal();

    AURA_CODEC_WAVEFORMAT mWaveFormat{};
    uint64_t mPosition = 0; // bytes handed out since the start or the last seek
};

} // namespace AURA

#endif // AURA_CODEC_USER_H
