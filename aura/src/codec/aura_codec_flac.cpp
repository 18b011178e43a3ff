#include "codec/aura_codec_flac.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

namespace AURA {

// libFLAC is loaded when the first FLAC file is opened, not with the
// engine: a program that plays no FLAC file never maps it or binds its
// symbols (about 0.07 ms of every start otherwise).
#define AURA_FLAC_FUNCTIONS(X)                                                                                         \
    X(FLAC__stream_decoder_new)                                                                                        \
    X(FLAC__stream_decoder_delete)                                                                                     \
    X(FLAC__stream_decoder_set_md5_checking)                                                                           \
    X(FLAC__stream_decoder_set_metadata_respond)                                                                       \
    X(FLAC__stream_decoder_init_stream)                                                                                \
    X(FLAC__stream_decoder_process_until_end_of_metadata)                                                              \
    X(FLAC__stream_decoder_process_single)                                                                             \
    X(FLAC__stream_decoder_get_state)                                                                                  \
    X(FLAC__stream_decoder_seek_absolute)                                                                              \
    X(FLAC__stream_decoder_flush)                                                                                      \
    X(FLAC__stream_decoder_finish)

struct FlacLibrary {
#define AURA_FLAC_POINTER(name) decltype(&::name) name = nullptr;
    AURA_FLAC_FUNCTIONS(AURA_FLAC_POINTER)
#undef AURA_FLAC_POINTER
};

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_flac";

// The library of the interface version the engine was built against (its
// file name's number is the version less the versions it stays compatible
// with); null when it cannot be loaded. Loaded once for all threads.
const FlacLibrary *flacLibrary()
{
    static const FlacLibrary *const loaded = [] {
        static FlacLibrary library;
        static_assert(FLAC_API_VERSION_CURRENT - FLAC_API_VERSION_AGE == 12,
                      "the file name below names libFLAC's interface version");
        void *handle = dlopen("libFLAC.so.12", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            return static_cast<const FlacLibrary *>(nullptr);
        }
        bool complete = true;
#define AURA_FLAC_SYMBOL(name)                                                                                         \
    library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));                                          \
    complete = complete && library.name;
        AURA_FLAC_FUNCTIONS(AURA_FLAC_SYMBOL)
#undef AURA_FLAC_SYMBOL
        return complete ? static_cast<const FlacLibrary *>(&library) : nullptr;
    }();
    return loaded;
}

// Steps of the decoder that may pass without a frame (metadata blocks
// after a seek) before a read gives up.
constexpr int MAX_EMPTY_STEPS = 64;

CodecFLAC *codecOf(void *clientdata)
{
    return static_cast<CodecFLAC *>(clientdata);
}

// Interleaves `samples` frames of every channel, `Bytes` low bytes of each
// 32-bit sample, little-endian.
template <unsigned int Bytes>
void interleave(uint8_t *out, const FLAC__int32 *const buffer[], unsigned int channels, unsigned int samples)
{
    if constexpr (Bytes == 2) {
        auto *dst = reinterpret_cast<int16_t *>(out);
        if (channels == 2) {
            const FLAC__int32 *left = buffer[0];
            const FLAC__int32 *right = buffer[1];
            for (unsigned int i = 0; i < samples; ++i) {
                dst[2 * i] = static_cast<int16_t>(left[i]);
                dst[2 * i + 1] = static_cast<int16_t>(right[i]);
            }
            return;
        }
        for (unsigned int c = 0; c < channels; ++c) {
            const FLAC__int32 *src = buffer[c];
            for (unsigned int i = 0; i < samples; ++i) {
                dst[i * channels + c] = static_cast<int16_t>(src[i]);
            }
        }
    } else if constexpr (Bytes == 4) {
        auto *dst = reinterpret_cast<int32_t *>(out);
        for (unsigned int c = 0; c < channels; ++c) {
            const FLAC__int32 *src = buffer[c];
            for (unsigned int i = 0; i < samples; ++i) {
                dst[i * channels + c] = src[i];
            }
        }
    } else {
        for (unsigned int c = 0; c < channels; ++c) {
            const FLAC__int32 *src = buffer[c];
            uint8_t *dst = out + c * Bytes;
            for (unsigned int i = 0; i < samples; ++i, dst += channels * Bytes) {
                const auto value = static_cast<uint32_t>(src[i]);
                dst[0] = static_cast<uint8_t>(value);
                if constexpr (Bytes == 3) {
                    dst[1] = static_cast<uint8_t>(value >> 8);
                    dst[2] = static_cast<uint8_t>(value >> 16);
                }
            }
        }
    }
}
} // namespace

FLAC__StreamDecoderReadStatus AURA_FLAC_ReadCallback(const FLAC__StreamDecoder *, FLAC__byte buffer[], size_t *bytes,
                                                     void *clientdata)
{
    CodecFLAC *codec = codecOf(clientdata);
    const auto want = static_cast<unsigned int>(std::min<size_t>(*bytes, 0x7FFFFFFF));
    unsigned int got = 0;
    if (want > 0) {
        (void)codec->mFile->read(buffer, 1, want, &got);
    }
    *bytes = got;
    return got > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE : FLAC__STREAM_DECODER_READ_STATUS_ABORT;
}

FLAC__StreamDecoderSeekStatus AURA_FLAC_SeekCallback(const FLAC__StreamDecoder *, FLAC__uint64 offset, void *clientdata)
{
    CodecFLAC *codec = codecOf(clientdata);
    if (offset > 0x7FFFFFFFu || codec->mFile->seek(static_cast<int>(offset), 0) != AURA_OK) {
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus AURA_FLAC_TellCallback(const FLAC__StreamDecoder *, FLAC__uint64 *offset,
                                                     void *clientdata)
{
    unsigned int position = 0;
    if (codecOf(clientdata)->mFile->tell(&position) != AURA_OK) {
        return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
    }
    *offset = position;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus AURA_FLAC_LengthCallback(const FLAC__StreamDecoder *, FLAC__uint64 *length,
                                                         void *clientdata)
{
    unsigned int size = 0;
    if (codecOf(clientdata)->mFile->getSize(&size) != AURA_OK) {
        return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
    }
    *length = size;
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool AURA_FLAC_EofCallback(const FLAC__StreamDecoder *, void *clientdata)
{
    File *file = codecOf(clientdata)->mFile;
    unsigned int position = 0;
    unsigned int size = 0;
    if (file->tell(&position) != AURA_OK || file->getSize(&size) != AURA_OK || size == 0 || size == 0xFFFFFFFFu) {
        return false;
    }
    return position >= size;
}

FLAC__StreamDecoderWriteStatus AURA_FLAC_WriteCallback(const FLAC__StreamDecoder *, const FLAC__Frame *frame,
                                                       const FLAC__int32 *const buffer[], void *clientdata)
{
    return codecOf(clientdata)->writeFrame(frame, buffer);
}

void AURA_FLAC_MetadataCallback(const FLAC__StreamDecoder *, const FLAC__StreamMetadata *metadata, void *clientdata)
{
    codecOf(clientdata)->takeMetadata(metadata);
}

void AURA_FLAC_ErrorCallback(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus, void *)
{
    // A damaged frame is skipped by the decoder; what is lost shows as a
    // shorter stream.
}

constinit AURA_CODEC_DESCRIPTION_EX flaccodec;

AURA_CODEC_DESCRIPTION_EX *CodecFLAC::getDescriptionEx()
{
    return describeOnce(flaccodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA FLAC Codec";
        description.version = 0x00010100;
        description.timeunits = AURA_TIMEUNIT_PCM;
        CodecCallbacks<CodecFLAC>::describe(description);
        description.mType = AURA_SOUND_TYPE_FLAC;
        description.mSize = sizeof(CodecFLAC);
        description.mConstruct = &constructCodec<CodecFLAC>;
    });
}

FLAC__StreamDecoderWriteStatus CodecFLAC::writeFrame(const FLAC__Frame *frame, const FLAC__int32 *const buffer[])
{
    const FLAC__FrameHeader &header = frame->header;
    // The buffer is sized for what STREAMINFO promised; a frame that breaks
    // the promise is not written anywhere.
    if (!mPCMBuffer || header.channels != mChannels || header.bits_per_sample != mBits ||
        header.blocksize > mMaxBlockSize) {
        mFrameError = true;
        mFilled = 0;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    const unsigned int samples = header.blocksize;
    switch (mBits) {
    case 8: interleave<1>(mPCMBuffer, buffer, mChannels, samples); break;
    case 16: interleave<2>(mPCMBuffer, buffer, mChannels, samples); break;
    case 24: interleave<3>(mPCMBuffer, buffer, mChannels, samples); break;
    default: interleave<4>(mPCMBuffer, buffer, mChannels, samples); break;
    }
    mFilled = samples * mChannels * (mBits / 8);
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void CodecFLAC::takeMetadata(const FLAC__StreamMetadata *metadata)
{
    if (metadata->type == FLAC__METADATA_TYPE_STREAMINFO) {
        const FLAC__StreamMetadata_StreamInfo &info = metadata->data.stream_info;
        if (!mWaveFormatBlock || mHaveStreamInfo) {
            return;
        }
        mHaveStreamInfo = true;
        AURA_CODEC_WAVEFORMAT &wf = *mWaveFormatBlock;
        switch (info.bits_per_sample) {
        case 8: wf.format = AURA_SOUND_FORMAT_PCM8; break;
        case 16: wf.format = AURA_SOUND_FORMAT_PCM16; break;
        case 24: wf.format = AURA_SOUND_FORMAT_PCM24; break;
        case 32: wf.format = AURA_SOUND_FORMAT_PCM32; break;
        default: wf.format = AURA_SOUND_FORMAT_NONE; break;
        }
        mBits = info.bits_per_sample;
        mChannels = info.channels;
        mMaxBlockSize = info.max_blocksize;
        mTotalSamples = info.total_samples;
        wf.channels = static_cast<int>(info.channels);
        wf.frequency = static_cast<int>(info.sample_rate);
        // 0 in the file means unknown; so does a count beyond 32 bits.
        wf.lengthpcm = (info.total_samples == 0 || info.total_samples >= 0xFFFFFFFFu)
                           ? 0xFFFFFFFFu
                           : static_cast<unsigned int>(info.total_samples);
        wf.blockalign = static_cast<int>(info.channels * (info.bits_per_sample / 8));
        if (wf.lengthpcm != 0xFFFFFFFFu) {
            boundLength(static_cast<uint64_t>(wf.lengthpcm) * static_cast<unsigned int>(wf.blockalign),
                        COMPRESSED_RATIO_BOUND);
        }
        return;
    }
    if (metadata->type != FLAC__METADATA_TYPE_VORBIS_COMMENT || !mState.metadata) {
        return;
    }
    const FLAC__StreamMetadata_VorbisComment &comments = metadata->data.vorbis_comment;
    char text[MAX_COMMENT];
    for (FLAC__uint32 i = 0; i < comments.num_comments; ++i) {
        const FLAC__StreamMetadata_VorbisComment_Entry &entry = comments.comments[i];
        if (!entry.entry || entry.length >= MAX_COMMENT) {
            continue;
        }
        std::memcpy(text, entry.entry, entry.length);
        text[entry.length] = 0;
        char *equals = static_cast<char *>(std::memchr(text, '=', entry.length));
        // A comment without a name is not a tag.
        if (!equals || equals == text) {
            continue;
        }
        *equals = 0;
        char *value = equals + 1;
        const auto length = static_cast<unsigned int>(text + entry.length - value);
        (void)mState.metadata(&mState, AURA_TAGTYPE_VORBISCOMMENT, text, value, length + 1, AURA_TAGDATATYPE_STRING, 0);
    }
}

AURA_RESULT CodecFLAC::openInternal(unsigned int /*mode*/, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    mType = AURA_SOUND_TYPE_FLAC;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_RESULT result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    uint8_t marker[4];
    unsigned int got = 0;
    result = mFile->read(marker, 1, 4, &got);
    // An empty file is no format at all; a marker cut short is a bad file.
    if (got == 0) {
        return AURA_ERR_FORMAT;
    }
    if (got < 4) {
        return AURA_ERR_FILE_BAD;
    }
    if (std::memcmp(marker, "fLaC", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    mFlac = flacLibrary();
    if (!mFlac) {
        return AURA_ERR_PLUGIN_MISSING;
    }
    mDecoder = mFlac->FLAC__stream_decoder_new();
    if (!mDecoder || !mFlac->FLAC__stream_decoder_set_md5_checking(mDecoder, false) ||
        !mFlac->FLAC__stream_decoder_set_metadata_respond(mDecoder, FLAC__METADATA_TYPE_VORBIS_COMMENT)) {
        return AURA_ERR_FILE_BAD;
    }
    if (mFlac->FLAC__stream_decoder_init_stream(mDecoder, &AURA_FLAC_ReadCallback, &AURA_FLAC_SeekCallback,
                                         &AURA_FLAC_TellCallback, &AURA_FLAC_LengthCallback, &AURA_FLAC_EofCallback,
                                         &AURA_FLAC_WriteCallback, &AURA_FLAC_MetadataCallback,
                                         &AURA_FLAC_ErrorCallback, this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        return AURA_ERR_FILE_BAD;
    }
    mWaveFormatBlock = static_cast<AURA_CODEC_WAVEFORMAT *>(AURA_Memory_Calloc(sizeof(AURA_CODEC_WAVEFORMAT)));
    if (!mWaveFormatBlock) {
        return AURA_ERR_MEMORY;
    }
    mWaveFormatMemory = mWaveFormatBlock;
    mState.waveformat = mWaveFormatBlock;
    (void)mFlac->FLAC__stream_decoder_process_until_end_of_metadata(mDecoder);
    if (!mHaveStreamInfo || mWaveFormatBlock->format == AURA_SOUND_FORMAT_NONE || mChannels == 0 ||
        mMaxBlockSize == 0) {
        return AURA_ERR_FORMAT;
    }
    unsigned int size = 0;
    result = mFile->getSize(&size);
    if (result != AURA_OK) {
        return result;
    }
    mWaveFormatBlock->lengthbytes = size;
    mSrcDataOffset = 0;
    return allocPCMBuffer(mMaxBlockSize * mChannels * (mBits / 8), mMaxBlockSize);
}

AURA_RESULT CodecFLAC::closeInternal()
{
    if (mDecoder) {
        (void)mFlac->FLAC__stream_decoder_finish(mDecoder);
        mFlac->FLAC__stream_decoder_delete(mDecoder);
        mDecoder = nullptr;
    }
    freePCMBuffer();
    if (mWaveFormatBlock) {
        AURA_Memory_Free(mWaveFormatBlock);
    }
    mWaveFormatBlock = nullptr;
    mWaveFormatMemory = nullptr;
    mState.waveformat = nullptr;
    return AURA_OK;
}

AURA_RESULT CodecFLAC::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    if (!mDecoder || !mPCMBuffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mAtEnd) {
        return AURA_ERR_FILE_EOF;
    }
    if (!mFrameReady) {
        // Never hand out the last frame again: a step that ends or fails
        // leaves nothing filled.
        mFilled = 0;
        for (int step = 0; step < MAX_EMPTY_STEPS && mFilled == 0 && !mFrameError; ++step) {
            if (!mFlac->FLAC__stream_decoder_process_single(mDecoder)) {
                break;
            }
            const FLAC__StreamDecoderState state = mFlac->FLAC__stream_decoder_get_state(mDecoder);
            if (state == FLAC__STREAM_DECODER_END_OF_STREAM || state > FLAC__STREAM_DECODER_END_OF_STREAM) {
                break;
            }
        }
    }
    mFrameReady = false;
    if (mFrameError) {
        mFilled = 0;
        return AURA_ERR_FILE_BAD;
    }
    if (mFilled == 0) {
        return AURA_ERR_FILE_EOF;
    }
    const unsigned int bytes = std::min(mFilled, sizebytes);
    if (buffer != mPCMBuffer) {
        std::memcpy(buffer, mPCMBuffer, bytes);
    }
    if (bytesread) {
        *bytesread = bytes;
    }
    return AURA_OK;
}

AURA_RESULT CodecFLAC::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int /*postype*/)
{
    if (!mDecoder) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!(mFile->getFlags() & File::FLAG_SEEKABLE)) {
        return AURA_OK;
    }
    mFrameReady = false;
    mAtEnd = false;
    mFilled = 0;
    if (mTotalSamples > 0 && position >= mTotalSamples) {
        // The decoder cannot stand after the last sample; reads just end.
        mAtEnd = true;
        return AURA_OK;
    }
    if (mFrameError || mFlac->FLAC__stream_decoder_get_state(mDecoder) == FLAC__STREAM_DECODER_ABORTED) {
        mFrameError = false;
        (void)mFlac->FLAC__stream_decoder_flush(mDecoder);
    }
    if (!mFlac->FLAC__stream_decoder_seek_absolute(mDecoder, position)) {
        // The decoder stays usable from wherever it stands.
        mFilled = 0;
        mFrameError = false;
        (void)mFlac->FLAC__stream_decoder_flush(mDecoder);
        return AURA_ERR_INTERNAL;
    }
    mFrameReady = mFilled > 0 && !mFrameError;
    return AURA_OK;
}

} // namespace AURA
