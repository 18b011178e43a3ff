// FLAC files through libFLAC's stream decoder, fed by the engine's file
// layer: 8, 16, 24 and 32-bit samples, 1 to 8 channels, a frame per read;
// Vorbis comments become tags.
#ifndef AURA_CODEC_FLAC_H
#define AURA_CODEC_FLAC_H

#include "codec/aura_codec.h"

#include <FLAC/stream_decoder.h>

#include <cstdint>

namespace AURA {

FLAC__StreamDecoderReadStatus AURA_FLAC_ReadCallback(const FLAC__StreamDecoder *decoder, FLAC__byte buffer[],
                                                     size_t *bytes, void *clientdata);
FLAC__StreamDecoderSeekStatus AURA_FLAC_SeekCallback(const FLAC__StreamDecoder *decoder, FLAC__uint64 offset,
                                                     void *clientdata);
FLAC__StreamDecoderTellStatus AURA_FLAC_TellCallback(const FLAC__StreamDecoder *decoder, FLAC__uint64 *offset,
                                                     void *clientdata);
FLAC__StreamDecoderLengthStatus AURA_FLAC_LengthCallback(const FLAC__StreamDecoder *decoder, FLAC__uint64 *length,
                                                         void *clientdata);
FLAC__bool AURA_FLAC_EofCallback(const FLAC__StreamDecoder *decoder, void *clientdata);
FLAC__StreamDecoderWriteStatus AURA_FLAC_WriteCallback(const FLAC__StreamDecoder *decoder, const FLAC__Frame *frame,
                                                       const FLAC__int32 *const buffer[], void *clientdata);
void AURA_FLAC_MetadataCallback(const FLAC__StreamDecoder *decoder, const FLAC__StreamMetadata *metadata,
                                void *clientdata);
void AURA_FLAC_ErrorCallback(const FLAC__StreamDecoder *decoder, FLAC__StreamDecoderErrorStatus status,
                             void *clientdata);

// libFLAC's decoder calls, from the library loaded at the first open.
struct FlacLibrary;

// The registry record of CodecFLAC: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX flaccodec;

class CodecFLAC : public Codec {
public:
    // Comments this long or longer are not passed on.
    static constexpr unsigned int MAX_COMMENT = 4096;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);

    // Called by libFLAC's callbacks.
    FLAC__StreamDecoderWriteStatus writeFrame(const FLAC__Frame *frame, const FLAC__int32 *const buffer[]);
    void takeMetadata(const FLAC__StreamMetadata *metadata);

    FLAC__StreamDecoder *mDecoder = nullptr;
    const FlacLibrary *mFlac = nullptr; // libFLAC's calls, loaded at the first open
    bool mFrameReady = false; // a seek already decoded the frame at the new position

private:
    AURA_CODEC_WAVEFORMAT *mWaveFormatBlock = nullptr;
    bool mHaveStreamInfo = false;
    bool mFrameError = false; // a frame broke what STREAMINFO promised
    bool mAtEnd = false; // sought to the very end
    unsigned int mBits = 0;
    unsigned int mChannels = 0;
    unsigned int mMaxBlockSize = 0;
    uint64_t mTotalSamples = 0; // 0: unknown
    unsigned int mFilled = 0; // bytes the last frame wrote
};

} // namespace AURA

#endif // AURA_CODEC_FLAC_H
