#include "codec/aura_codec_user.h"

#include "base/aura_sampleformat.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {
AURA_RESULT setPositionCallback(AURA_CODEC_STATE *state, int subsound, unsigned int position, AURA_TIMEUNIT postype)
{
    CodecUser *codec = Codec::fromState<CodecUser>(state);
    return codec ? codec->setPositionInternal(subsound, position, postype) : AURA_ERR_INVALID_PARAM;
}
} // namespace

constinit AURA_CODEC_DESCRIPTION_EX usercodec;

AURA_CODEC_DESCRIPTION_EX *CodecUser::getDescriptionEx()
{
    return describeOnce(usercodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA User Reader Codec";
        description.version = 0x10100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM;
        description.open = &CodecCallbacks<CodecUser>::open;
        description.close = &CodecCallbacks<CodecUser>::close;
        description.read = &CodecCallbacks<CodecUser>::read;
        description.setposition = &setPositionCallback;
        description.mType = AURA_SOUND_TYPE_USER;
        description.mSize = sizeof(CodecUser);
        description.mConstruct = &constructCodec<CodecUser>;
    });
}

AURA_RESULT CodecUser::openInternal(unsigned int /*mode*/, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_USER;
    mState.numsubsounds = 0;
    mState.waveformat = &mWaveFormat;
    if (!exinfo || !mFile) {
        return AURA_ERR_FORMAT;
    }
    const int bits = getBitsFromFormat(exinfo->format);
    if (bits == 0 || exinfo->numchannels < 1 || exinfo->numchannels > MAX_CHANNELS || exinfo->defaultfrequency <= 0) {
        return AURA_ERR_FORMAT;
    }
    AURA_RESULT result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    mWaveFormat = AURA_CODEC_WAVEFORMAT{};
    result = mFile->getSize(&mWaveFormat.lengthbytes);
    if (result != AURA_OK) {
        return result;
    }
    mSrcDataOffset = 0;
    mPosition = 0;
    mWaveFormat.format = exinfo->format;
    mWaveFormat.channels = exinfo->numchannels;
    mWaveFormat.frequency = exinfo->defaultfrequency;
    mWaveFormat.blockalign = bits / 8 * exinfo->numchannels;
    if (exinfo->length) {
        mFlags |= FLAG_USERLENGTH;
        mWaveFormat.lengthpcm =
            static_cast<unsigned int>(static_cast<uint64_t>(exinfo->length) * 8 / static_cast<uint64_t>(bits) /
                                      static_cast<uint64_t>(exinfo->numchannels));
    } else {
        // Without a length the application's data has no end.
        mWaveFormat.lengthpcm = 0xFFFFFFFFu;
    }
    return AURA_OK;
}

AURA_RESULT CodecUser::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    // Silence, for the application's callback to write over: whatever it
    // leaves unwritten must not be an earlier block's data.
    unsigned int size = sizebytes;
    AURA_RESULT result = AURA_OK;
    if (mFlags & FLAG_USERLENGTH) {
        const uint64_t end =
            static_cast<uint64_t>(mWaveFormat.lengthpcm) * static_cast<unsigned int>(mWaveFormat.blockalign);
        const uint64_t left = end > mPosition ? end - mPosition : 0;
        if (left < size) {
            size = static_cast<unsigned int>(left);
            result = AURA_ERR_FILE_EOF;
        }
    }
    if (buffer && size) {
        std::memset(buffer, 0, size);
    }
    mPosition += size;
    if (bytesread) {
        *bytesread = size;
    }
    return result;
}

AURA_RESULT CodecUser::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int /*postype*/)
{
    uint64_t byte = static_cast<uint64_t>(position) * static_cast<unsigned int>(mWaveFormat.blockalign);
    if (mFlags & FLAG_USERLENGTH) {
        byte = std::min<uint64_t>(byte, static_cast<uint64_t>(mWaveFormat.lengthpcm) *
                                            static_cast<unsigned int>(mWaveFormat.blockalign));
    }
    mPosition = byte;
    return AURA_OK;
}

AURA_RESULT CodecUser::closeInternal()
{
    return AURA_OK;
}

} // namespace AURA
