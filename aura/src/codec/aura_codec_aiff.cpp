#include "codec/aura_codec_aiff.h"

#include "base/aura_memory.h"
#include "codec/aura_codec_chunkreader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_aiff";

// Channels, frames, bits and rate; an AIFF-C file adds its compression type.
constexpr unsigned int COMM_BYTES = 18;
constexpr unsigned int COMM_AIFC_BYTES = COMM_BYTES + 4;

// Reverses the bytes of every `width`-byte sample in place.
void swapSamples(uint8_t *data, unsigned int bytes, unsigned int width)
{
    switch (width) {
    case 2:
        for (unsigned int i = 0; i + 1 < bytes; i += 2) {
            std::swap(data[i], data[i + 1]);
        }
        break;
    case 3:
        for (unsigned int i = 0; i + 2 < bytes; i += 3) {
            std::swap(data[i], data[i + 2]);
        }
        break;
    case 4:
        for (unsigned int i = 0; i + 3 < bytes; i += 4) {
            uint32_t word;
            std::memcpy(&word, data + i, 4);
            word = __builtin_bswap32(word);
            std::memcpy(data + i, &word, 4);
        }
        break;
    default: break;
    }
}
} // namespace

float ConvertFromIeeeExtended(unsigned char *bytes)
{
    const int exponent = ((bytes[0] & 0x7F) << 8) | bytes[1];
    const uint32_t high = readBE32(bytes + 2);
    const uint32_t low = readBE32(bytes + 6);
    float f = 0.0f;
    if (!(exponent == 0 && high == 0 && low == 0) && exponent != 0x7FFF) {
        f = static_cast<float>(std::ldexp(static_cast<double>(high), exponent - 16383 - 31));
        f += static_cast<float>(std::ldexp(static_cast<double>(low), exponent - 16383 - 63));
    }
    return (bytes[0] & 0x80) ? -f : f;
}

constinit AURA_CODEC_DESCRIPTION_EX aiffcodec;

AURA_CODEC_DESCRIPTION_EX *CodecAIFF::getDescriptionEx()
{
    return describeOnce(aiffcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA AIFF Codec";
        description.version = 0x00010100;
        description.timeunits = AURA_TIMEUNIT_PCM;
        CodecCallbacks<CodecAIFF>::describe(description);
        description.mType = AURA_SOUND_TYPE_AIFF;
        description.mSize = sizeof(CodecAIFF);
        description.mConstruct = &constructCodec<CodecAIFF>;
    });
}

AURA_RESULT CodecAIFF::openInternal(unsigned int /*mode*/, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    mType = AURA_SOUND_TYPE_AIFF;
    mDataCut = false;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChunkReader reader(mFile, mState.filesize);
    AURA_RESULT result = reader.seek(0);
    if (result != AURA_OK) {
        return result == AURA_ERR_FILE_EOF ? AURA_ERR_FORMAT : result;
    }
    uint8_t header[12];
    result = reader.read(header, sizeof(header));
    if (result == AURA_ERR_FILE_EOF || (result == AURA_OK && std::memcmp(header, "FORM", 4) != 0)) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    mIsAIFC = std::memcmp(header + 8, "AIFC", 4) == 0;
    if (!mIsAIFC && std::memcmp(header + 8, "AIFF", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    const uint64_t formEnd = 8 + static_cast<uint64_t>(readBE32(header + 4));

    mWaveFormatBlock = static_cast<AURA_CODEC_WAVEFORMAT *>(AURA_Memory_Calloc(sizeof(AURA_CODEC_WAVEFORMAT)));
    if (!mWaveFormatBlock) {
        return AURA_ERR_MEMORY;
    }
    mWaveFormatMemory = mWaveFormatBlock;
    mState.waveformat = mWaveFormatBlock;
    AURA_CODEC_WAVEFORMAT &wf = *mWaveFormatBlock;

    bool haveComm = false;
    bool haveData = false;
    int channels = 0;
    unsigned int bits = 0;
    uint64_t next = 12;
    while (next + 8 <= formEnd) {
        if (reader.seek(next) != AURA_OK) {
            break;
        }
        uint8_t chunk[8];
        if (reader.read(chunk, sizeof(chunk)) != AURA_OK) {
            break;
        }
        const uint32_t id = readBE32(chunk);
        const auto size = static_cast<int32_t>(readBE32(chunk + 4));
        if (size < 0) {
            break;
        }
        const uint64_t body = next + 8;
        bool stop = false;
        if (id == fourCC("COMM")) {
            // Never more than the chunk holds; the compression name is not needed.
            uint8_t comm[COMM_AIFC_BYTES] = {};
            const unsigned int want = mIsAIFC ? COMM_AIFC_BYTES : COMM_BYTES;
            if (static_cast<unsigned int>(size) < want) {
                return AURA_ERR_FORMAT;
            }
            result = reader.read(comm, want);
            if (result != AURA_OK) {
                return result == AURA_ERR_FILE_EOF ? AURA_ERR_FORMAT : result;
            }
            if (mIsAIFC) {
                if (std::memcmp(comm + 18, "sowt", 4) == 0) {
                    mLittleEndian = true;
                } else if (std::memcmp(comm + 18, "NONE", 4) != 0) {
                    return AURA_ERR_FORMAT;
                }
            }
            channels = static_cast<int16_t>(readBE16(comm));
            bits = static_cast<uint16_t>(readBE16(comm + 6));
            const float rate = ConvertFromIeeeExtended(comm + 8);
            // Beyond int range the conversion would be undefined.
            if (!(std::fabs(rate) < 2147483648.0f)) {
                return AURA_ERR_FORMAT;
            }
            wf.frequency = static_cast<int>(rate);
            switch (bits) {
            case 8: wf.format = AURA_SOUND_FORMAT_PCM8; break;
            case 16: wf.format = AURA_SOUND_FORMAT_PCM16; break;
            case 24: wf.format = AURA_SOUND_FORMAT_PCM24; break;
            case 32: wf.format = AURA_SOUND_FORMAT_PCM32; break;
            default: return AURA_ERR_FORMAT;
            }
            haveComm = true;
        } else if (id == fourCC("SSND")) {
            if (!haveData) {
                // The offset and block size fields come before the data.
                if (size < 8) {
                    return AURA_ERR_FORMAT;
                }
                mSrcDataOffset = static_cast<unsigned int>(std::min<uint64_t>(body + 8, 0xFFFFFFFFu));
                const uint64_t declared = static_cast<uint64_t>(size) - 8;
                mDataLength = static_cast<unsigned int>(reader.held(body + 8, declared));
                mDataCut = mDataLength < declared;
                haveData = true;
            }
            stop = !reader.seekable();
        }
        next = body + static_cast<uint64_t>(size) + (size & 1);
        if (stop) {
            break;
        }
    }

    if (!haveData) {
        mSrcDataOffset = 0;
        return AURA_ERR_FILE_BAD;
    }
    if (!haveComm) {
        return AURA_ERR_FORMAT;
    }
    if (channels <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    mBytesPerSample = bits / 8;
    const unsigned int frame = mBytesPerSample * static_cast<unsigned int>(channels);
    // Only whole frames are sound.
    mDataLength -= mDataLength % frame;
    wf.channels = channels;
    wf.lengthbytes = mDataLength;
    wf.lengthpcm = mDataLength / frame;
    boundLength(mDataLength, 1);
    wf.blockalign = static_cast<int>(frame);
    result = reader.seek(mSrcDataOffset);
    return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
}

AURA_RESULT CodecAIFF::closeInternal()
{
    if (mWaveFormatBlock) {
        AURA_Memory_Free(mWaveFormatBlock);
    }
    mWaveFormatBlock = nullptr;
    mWaveFormatMemory = nullptr;
    mState.waveformat = nullptr;
    return AURA_OK;
}

AURA_RESULT CodecAIFF::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    if (!mWaveFormatBlock || !buffer || mBytesPerSample == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK) {
        return result;
    }
    const uint64_t end = static_cast<uint64_t>(mSrcDataOffset) + mDataLength;
    if (here >= end) {
        return AURA_ERR_FILE_EOF;
    }
    // Whole samples only, so that every one can be put in order.
    if (sizebytes >= mBytesPerSample) {
        sizebytes -= sizebytes % mBytesPerSample;
    }
    bool cut = false;
    if (sizebytes >= end - here) {
        sizebytes = static_cast<unsigned int>(end - here);
        cut = true;
    }
    unsigned int got = 0;
    result = mFile->read(buffer, 1, sizebytes, &got);
    if (result == AURA_OK || result == AURA_ERR_FILE_EOF) {
        if (!mLittleEndian) {
            swapSamples(static_cast<uint8_t *>(buffer), got, mBytesPerSample);
        }
        if (cut) {
            result = AURA_ERR_FILE_EOF;
        }
    }
    if (bytesread) {
        *bytesread = got;
    }
    return result;
}

AURA_RESULT CodecAIFF::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int /*postype*/)
{
    if (!mWaveFormatBlock || mWaveFormatBlock->blockalign <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const uint64_t bytes = std::min<uint64_t>(
        static_cast<uint64_t>(position) * static_cast<unsigned int>(mWaveFormatBlock->blockalign), mDataLength);
    ChunkReader reader(mFile, mState.filesize);
    return reader.seek(mSrcDataOffset + bytes);
}

} // namespace AURA
