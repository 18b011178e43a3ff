#include "codec/aura_codec_raw.h"

#include "base/aura_sampleformat.h"
#include "file/aura_file.h"

#include <algorithm>

namespace AURA {

namespace {
AURA_RESULT canPointCallback(AURA_CODEC_STATE *state)
{
    CodecRaw *codec = Codec::fromState<CodecRaw>(state);
    return codec ? codec->canPointInternal() : AURA_ERR_INVALID_PARAM;
}

bool isPCM(AURA_SOUND_FORMAT format)
{
    return format >= AURA_SOUND_FORMAT_PCM8 && format <= AURA_SOUND_FORMAT_PCMFLOAT;
}
} // namespace

constinit AURA_CODEC_DESCRIPTION_EX rawcodec;

AURA_CODEC_DESCRIPTION_EX *CodecRaw::getDescriptionEx()
{
    return describeOnce(rawcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA Raw Codec";
        description.version = 0x10100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM | AURA_TIMEUNIT_RAWBYTES;
        CodecCallbacks<CodecRaw>::describe(description);
        description.canpoint = &canPointCallback;
        description.mType = AURA_SOUND_TYPE_RAW;
        description.mSize = sizeof(CodecRaw);
        description.mConstruct = &constructCodec<CodecRaw>;
    });
}

AURA_RESULT CodecRaw::openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_RAW;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    // Tried last, the raw codec would take any file: it takes one only when
    // the creation info describes raw data (other uses of the creation
    // info, such as a memory length, leave the format at none).
    if (!exinfo || !mFile) {
        return AURA_ERR_FORMAT;
    }
    const AURA_SOUND_FORMAT format = exinfo->format;
    const bool adpcm = format == AURA_SOUND_FORMAT_IMAADPCM;
    if ((!isPCM(format) && !adpcm) || exinfo->numchannels < 1 || exinfo->numchannels > MAX_CHANNELS ||
        exinfo->defaultfrequency <= 0) {
        return AURA_ERR_FORMAT;
    }
    if (mode & AURA_SOFTWARE) {
        // Software samples take PCM, or IMA ADPCM kept compressed.
        if ((mode & AURA_CREATECOMPRESSEDSAMPLE) ? !adpcm : !isPCM(format)) {
            return AURA_ERR_FORMAT;
        }
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
    mWaveFormat.format = format;
    mWaveFormat.channels = exinfo->numchannels;
    mWaveFormat.frequency = exinfo->defaultfrequency;
    result = getSamplesFromBytes(mWaveFormat.lengthbytes, &mWaveFormat.lengthpcm, mWaveFormat.channels, format);
    if (result != AURA_OK) {
        return result;
    }
    // Seeks land on whole frames, or whole blocks of every channel.
    const auto channels = static_cast<unsigned int>(mWaveFormat.channels);
    mWaveFormat.blockalign = static_cast<int>(
        adpcm ? IMA_ADPCM_BLOCK_BYTES * channels : static_cast<unsigned int>(getBitsFromFormat(format)) / 8 * channels);
    mState.waveformat = &mWaveFormat;
    mState.numsubsounds = 0;
    if (adpcm) {
        if (channels > 2) {
            return AURA_ERR_TOOMANYCHANNELS;
        }
        mSamplesPerADPCMBlock = IMA_ADPCM_BLOCK_SAMPLES;
        mReadBufferLength = IMA_ADPCM_BLOCK_BYTES * channels;
    }
    return AURA_OK;
}

AURA_RESULT CodecRaw::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    unsigned int got = 0;
    const AURA_RESULT result = mFile->read(buffer, 1, sizebytes, &got);
    if (bytesread) {
        *bytesread = got;
    }
    return result;
}

AURA_RESULT CodecRaw::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int postype)
{
    if (postype == AURA_TIMEUNIT_RAWBYTES) {
        return mFile->seek(static_cast<int>(std::min(position, mWaveFormat.lengthbytes) + mSrcDataOffset), 0);
    }
    if (mWaveFormat.lengthpcm == 0 || mWaveFormat.blockalign <= 0) {
        return mFile->seek(static_cast<int>(mSrcDataOffset), 0);
    }
    const auto block = static_cast<uint64_t>(mWaveFormat.blockalign);
    uint64_t byte = 0;
    if (mSamplesPerADPCMBlock) {
        byte = position / mSamplesPerADPCMBlock * block;
    } else {
        byte = static_cast<uint64_t>(position) * block;
    }
    byte = std::min<uint64_t>(byte, mWaveFormat.lengthbytes - mWaveFormat.lengthbytes % block);
    return mFile->seek(static_cast<int>(byte + mSrcDataOffset), 0);
}

AURA_RESULT CodecRaw::canPointInternal()
{
    return AURA_OK;
}

AURA_RESULT CodecRaw::closeInternal()
{
    return AURA_OK;
}

} // namespace AURA
