#include "codec/aura_codec.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "base/aura_metadata.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec";
} // namespace

Codec::Codec()
{
    mState.mCodec = this;
}

Codec::~Codec() = default;

AURA_RESULT Codec::create(const AURA_CODEC_DESCRIPTION_EX &description, SystemI *system, Codec **codec)
{
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    *codec = nullptr;
    const unsigned int size = std::max<unsigned int>(description.mSize, sizeof(Codec));
    if (size > static_cast<unsigned int>(MemPool::MAX_SIZE)) {
        return AURA_ERR_INVALID_PARAM;
    }
    void *memory = AURA_Memory_Calloc(static_cast<int>(size));
    if (!memory) {
        return AURA_ERR_MEMORY;
    }
    Codec *made = description.mConstruct ? description.mConstruct(memory) : ::new (memory) Codec();
    made->mDescription = description;
    if (!made->mDescription.getwaveformat) {
        made->mDescription.getwaveformat = &Codec::defaultGetWaveFormat;
    }
    made->mSystem = system;
    made->mGlobal = gGlobal;
    made->mType = description.mType;
    made->mState.fileread = &Codec::defaultFileRead;
    made->mState.fileseek = &Codec::defaultFileSeek;
    made->mState.metadata = &Codec::defaultMetaData;
    *codec = made;
    return AURA_OK;
}

AURA_RESULT Codec::open(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    if (!mDescription.open) {
        return AURA_ERR_UNSUPPORTED;
    }
    mState.filehandle = mFile;
    if (mFile) {
        unsigned int size = 0;
        if (mFile->getSize(&size) == AURA_OK) {
            mState.filesize = size;
        }
    }
    return mDescription.open(&mState, mode, exinfo);
}

void Codec::boundLength(uint64_t decodedBytes, unsigned int ratio)
{
    const unsigned int size = mState.filesize;
    if (size != 0 && size != 0xFFFFFFFFu && decodedBytes <= static_cast<uint64_t>(size) * ratio) {
        mFlags |= FLAG_LENGTHBOUNDED;
    } else {
        mFlags &= ~FLAG_LENGTHBOUNDED;
    }
}

AURA_RESULT Codec::release()
{
    if (mDescription.close) {
        (void)mDescription.close(&mState);
    }
    if (mFile) {
        (void)mFile->close();
        File *file = mFile;
        mFile = nullptr;
        AURA_Delete(file);
    }
    if (mWaveFormatMemory && mType == AURA_SOUND_TYPE_SBK) {
        AURA_Memory_Free(mWaveFormatMemory);
        mWaveFormatMemory = nullptr;
    }
    if (mMetadata) {
        (void)mMetadata->release();
        mMetadata = nullptr;
    }
    freePCMBuffer();
    this->~Codec();
    AURA_Memory_Free(this);
    return AURA_OK;
}

AURA_RESULT Codec::allocPCMBuffer(unsigned int bytes, unsigned int samples)
{
    freePCMBuffer();
    if (bytes == 0) {
        return AURA_OK;
    }
    if (bytes > static_cast<unsigned int>(MemPool::MAX_SIZE) - 16) {
        return AURA_ERR_MEMORY;
    }
    mPCMBufferMemory = AURA_Memory_Calloc(static_cast<int>(bytes + 16));
    if (!mPCMBufferMemory) {
        return AURA_ERR_MEMORY;
    }
    // Decoders write whole frames of 32-bit samples: align the start.
    auto address = reinterpret_cast<uintptr_t>(mPCMBufferMemory);
    mPCMBuffer = reinterpret_cast<uint8_t *>((address + 15) & ~static_cast<uintptr_t>(15));
    mPCMBufferLengthBytes = bytes;
    mPCMBufferLength = samples;
    resetPCMBuffer();
    return AURA_OK;
}

void Codec::freePCMBuffer()
{
    if (mPCMBufferMemory) {
        AURA_Memory_Free(mPCMBufferMemory);
    }
    mPCMBufferMemory = nullptr;
    mPCMBuffer = nullptr;
    mPCMBufferLength = 0;
    mPCMBufferLengthBytes = 0;
    resetPCMBuffer();
}

AURA_RESULT Codec::read(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (!mDescription.read) {
        return AURA_ERR_UNSUPPORTED;
    }
    if (!mPCMBuffer || mPCMBufferLengthBytes == 0) {
        if (const unsigned int frame = directFrameBytes(); frame > 1 && buffer) {
            const AURA_RESULT result = readWholeFrames(static_cast<uint8_t *>(buffer), sizebytes, frame, bytesread);
            // (A read that reached the end brings what arrived with it too.)
            if (result == AURA_OK || result == AURA_ERR_FILE_EOF) {
                (void)getMetadataFromFile();
            }
            return result;
        }
        unsigned int count = 0;
        const AURA_RESULT result = mDescription.read(&mState, buffer, sizebytes, &count);
        if (result == AURA_OK || result == AURA_ERR_FILE_EOF) {
            (void)getMetadataFromFile();
        }
        if (bytesread) {
            *bytesread = std::min(count, sizebytes);
        }
        return result;
    }

    unsigned int total = 0;
    unsigned int wanted = sizebytes;
    AURA_RESULT result = AURA_OK;
    bool refilled = false;
    bool ended = false;
    auto *out = static_cast<uint8_t *>(buffer);

    while (wanted > 0) {
        if (mPCMBufferOffsetBytes == 0) {
            if (ended) {
                result = AURA_ERR_FILE_EOF;
                break;
            }
            // A read that wants a whole block or more has it decoded in
            // place, without the copy out of mPCMBuffer.
            const bool direct = mPCMBufferDirect && wanted >= mPCMBufferLengthBytes;
            unsigned int filled = 0;
            const AURA_RESULT fill =
                mDescription.read(&mState, direct ? out + total : mPCMBuffer, mPCMBufferLengthBytes, &filled);
            filled = std::min(filled, mPCMBufferLengthBytes);
            refilled = refilled || direct;
            // A refill that reached the end still delivers its bytes; the
            // end is reported once they are handed out.
            if (fill == AURA_ERR_FILE_EOF && filled > 0) {
                ended = true;
            } else if (fill != AURA_OK) {
                mPCMBufferFilledBytes = 0;
                result = fill;
                break;
            }
            if (direct) {
                if (filled == 0) {
                    break;
                }
                total += filled;
                wanted -= filled;
                continue;
            }
            mPCMBufferFilledBytes = filled;
            refilled = true;
        }
        const unsigned int available = mPCMBufferFilledBytes - mPCMBufferOffsetBytes;
        const unsigned int n = std::min(wanted, available);
        if (n > 0) {
            std::memcpy(out + total, mPCMBuffer + mPCMBufferOffsetBytes, n);
        }
        mPCMBufferOffsetBytes += n;
        if (mPCMBufferOffsetBytes >= mPCMBufferFilledBytes) {
            mPCMBufferOffsetBytes = 0;
        }
        if (n == 0) {
            break;
        }
        total += n;
        wanted -= n;
    }
    if (refilled) {
        (void)getMetadataFromFile();
    }
    if (bytesread) {
        *bytesread = total;
    }
    return result;
}

unsigned int Codec::directFrameBytes()
{
    AURA_CODEC_WAVEFORMAT waveformat{};
    if (getWaveFormat(mState.numsubsounds > 0 ? mSubSoundIndex : 0, &waveformat) != AURA_OK) {
        return 0;
    }
    if (waveformat.format < AURA_SOUND_FORMAT_PCM8 || waveformat.format > AURA_SOUND_FORMAT_PCMFLOAT ||
        waveformat.channels <= 0) {
        return 0;
    }
    const uint64_t frame = static_cast<uint64_t>(getBitsFromFormat(waveformat.format)) / 8 *
                           static_cast<unsigned int>(waveformat.channels);
    return frame <= FRAME_CARRY_BYTES ? static_cast<unsigned int>(frame) : 0;
}

AURA_RESULT Codec::readWholeFrames(uint8_t *out, unsigned int sizebytes, unsigned int frame,
                                   unsigned int *bytesread)
{
    unsigned int total = 0;
    AURA_RESULT result = AURA_OK;
    const auto fromCarry = [&] {
        const unsigned int n = std::min(sizebytes - total, mFrameCarryFilled - mFrameCarryOffset);
        std::memcpy(out + total, mFrameCarry + mFrameCarryOffset, n);
        mFrameCarryOffset += n;
        total += n;
        if (mFrameCarryOffset == mFrameCarryFilled) {
            mFrameCarryOffset = 0;
            mFrameCarryFilled = 0;
        }
    };
    if (mFrameCarryFilled > 0) {
        fromCarry();
    }
    const unsigned int whole = (sizebytes - total) / frame * frame;
    bool complete = true;
    if (whole > 0) {
        unsigned int count = 0;
        result = mDescription.read(&mState, out + total, whole, &count);
        count = std::min(count, whole);
        total += count;
        complete = result == AURA_OK && count == whole;
    }
    if (complete && total < sizebytes) {
        // The frame the read ends inside is read whole; its start goes out now.
        unsigned int count = 0;
        result = mDescription.read(&mState, mFrameCarry, frame, &count);
        mFrameCarryFilled = std::min(count, frame);
        mFrameCarryOffset = 0;
        if (mFrameCarryFilled > 0) {
            fromCarry();
        }
        // Reading ahead met the end: it is reported by the read that comes
        // up short.
        if (result == AURA_ERR_FILE_EOF && total == sizebytes) {
            result = AURA_OK;
        }
    }
    // An end met while bytes of a frame still wait is reported with them.
    if (result == AURA_ERR_FILE_EOF && mFrameCarryFilled > 0) {
        result = AURA_OK;
    }
    if (bytesread) {
        *bytesread = total;
    }
    return result;
}

AURA_RESULT Codec::getWaveFormat(int subsound, AURA_CODEC_WAVEFORMAT *waveformat)
{
    if (!waveformat) {
        return AURA_ERR_INVALID_PARAM;
    }
    return mDescription.getwaveformat(&mState, subsound, waveformat);
}

AURA_RESULT Codec::setPosition(int subsound, unsigned int position, unsigned int postype)
{
    if (mState.numsubsounds > 0 && subsound >= mState.numsubsounds) {
        return AURA_ERR_INVALID_POSITION;
    }
    if (!mDescription.setposition) {
        return AURA_ERR_UNSUPPORTED;
    }
    if (subsound < 0) {
        subsound = mSubSoundIndex;
    }
    if (mState.numsubsounds == 0) {
        subsound = 0;
    }
    AURA_CODEC_WAVEFORMAT waveformat{};
    AURA_RESULT result = getWaveFormat(subsound, &waveformat);
    if (result != AURA_OK) {
        return result;
    }

    const unsigned int units = mDescription.timeunits;
    const auto msToSamples = [&](unsigned int ms) {
        return static_cast<unsigned int>(static_cast<float>(ms) / 1000.0f * static_cast<float>(waveformat.frequency));
    };
    if (units & AURA_TIMEUNIT_PCM) {
        if (postype == AURA_TIMEUNIT_PCMBYTES) {
            result = getSamplesFromBytes(position, &position, waveformat.channels, waveformat.format);
            postype = AURA_TIMEUNIT_PCM;
        } else if (postype == AURA_TIMEUNIT_MS) {
            position = msToSamples(position);
            postype = AURA_TIMEUNIT_PCM;
        } else if (!(units & postype)) {
            return AURA_ERR_FORMAT;
        }
    } else if (units & AURA_TIMEUNIT_PCMBYTES) {
        if (postype == AURA_TIMEUNIT_MS) {
            position = msToSamples(position);
            postype = AURA_TIMEUNIT_PCM;
        }
        if (postype == AURA_TIMEUNIT_PCM) {
            result = getBytesFromSamples(position, &position, waveformat.channels, waveformat.format);
            postype = AURA_TIMEUNIT_PCMBYTES;
        } else if (!(units & postype)) {
            return AURA_ERR_FORMAT;
        }
    } else if (units & AURA_TIMEUNIT_MS) {
        if (postype == AURA_TIMEUNIT_PCMBYTES) {
            result = getSamplesFromBytes(position, &position, waveformat.channels, waveformat.format);
            postype = AURA_TIMEUNIT_PCM;
        }
        if (postype == AURA_TIMEUNIT_PCM) {
            position = waveformat.frequency > 0
                           ? static_cast<unsigned int>(static_cast<float>(position) /
                                                       static_cast<float>(waveformat.frequency) * 1000.0f)
                           : 0;
            postype = AURA_TIMEUNIT_MS;
        } else if (!(units & postype)) {
            return AURA_ERR_FORMAT;
        }
    } else if (!(units & postype)) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }

    resetPCMBuffer();
    result = mDescription.setposition(&mState, subsound, position, postype);
    if (result == AURA_OK || result == AURA_ERR_FILE_EOF) {
        mSubSoundIndex = subsound;
        return AURA_OK;
    }
    return result;
}

AURA_RESULT Codec::getLength(unsigned int *length, unsigned int lengthtype)
{
    if (!length) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (lengthtype == AURA_TIMEUNIT_RAWBYTES) {
        AURA_CODEC_WAVEFORMAT waveformat{};
        const AURA_RESULT result = getWaveFormat(mSubSoundIndex, &waveformat);
        if (result != AURA_OK) {
            return result;
        }
        *length = waveformat.lengthbytes;
        return AURA_OK;
    }
    if (!mDescription.getlength) {
        *length = 0;
        return AURA_ERR_UNSUPPORTED;
    }
    return mDescription.getlength(&mState, length, lengthtype);
}

AURA_RESULT Codec::getPosition(unsigned int *position, unsigned int postype)
{
    if (!position) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (postype == AURA_TIMEUNIT_RAWBYTES) {
        if (!mFile) {
            *position = 0;
            return AURA_ERR_INVALID_PARAM;
        }
        unsigned int at = 0;
        const AURA_RESULT result = mFile->tell(&at);
        if (result != AURA_OK) {
            *position = 0;
            return result;
        }
        *position = at >= mSrcDataOffset ? at - mSrcDataOffset : 0;
    }
    if (!mDescription.getposition) {
        return AURA_ERR_UNSUPPORTED;
    }
    if (!(mDescription.timeunits & postype)) {
        return AURA_ERR_FORMAT;
    }
    return mDescription.getposition(&mState, position, postype);
}

Metadata *Codec::tags()
{
    if (!mMetadata) {
        mMetadata = AURA_New(Metadata);
    }
    return mMetadata;
}

AURA_RESULT Codec::metaData(AURA_TAGTYPE type, const char *name, const void *data, unsigned int datalen,
                            AURA_TAGDATATYPE datatype, bool unique)
{
    Metadata *list = tags();
    return list ? list->addTag(type, name, data, datalen, datatype, unique) : AURA_ERR_MEMORY;
}

AURA_RESULT Codec::getMetadataFromFile()
{
    if (!mFile) {
        return AURA_OK;
    }
    Metadata *fileTags = nullptr;
    AURA_RESULT result = mFile->getMetadata(&fileTags);
    if (result != AURA_OK) {
        return result;
    }
    if (!fileTags || fileTags->firstTag() == fileTags->end()) {
        return AURA_OK;
    }
    Metadata *list = tags();
    return list ? list->add(fileTags) : AURA_ERR_MEMORY;
}

Metadata *Codec::takeMetadata()
{
    Metadata *tags = mMetadata;
    mMetadata = nullptr;
    return tags;
}

AURA_RESULT Codec::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMTYPE_CODEC, mDescription.mSize);
    }
    if (mFile) {
        const AURA_RESULT result = mFile->getMemoryUsed(tracker);
        if (result != AURA_OK) {
            return result;
        }
    }
    if (mDescription.getmemoryused) {
        return mDescription.getmemoryused(&mState, tracker);
    }
    return AURA_OK;
}

AURA_RESULT Codec::defaultGetWaveFormat(AURA_CODEC_STATE *state, int index, AURA_CODEC_WAVEFORMAT *waveformat)
{
    if (!state || !waveformat || !state->waveformat) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int count = state->numsubsounds > 0 ? state->numsubsounds : 1;
    if (index < 0 || index >= count) {
        return AURA_ERR_INVALID_PARAM;
    }
    *waveformat = state->waveformat[index];
    return AURA_OK;
}

AURA_RESULT Codec::defaultFileRead(void *handle, void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    return static_cast<File *>(handle)->read(buffer, 1, sizebytes, bytesread);
}

AURA_RESULT Codec::defaultFileSeek(void *handle, unsigned int position)
{
    if (!handle || position > 0x7FFFFFFFu) {
        return AURA_ERR_INVALID_PARAM;
    }
    return static_cast<File *>(handle)->seek(static_cast<int>(position), 0);
}

AURA_RESULT Codec::defaultMetaData(AURA_CODEC_STATE *state, AURA_TAGTYPE type, char *name, void *data,
                                   unsigned int datalen, AURA_TAGDATATYPE datatype, int unique)
{
    Codec *codec = fromState(state);
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    return codec->metaData(type, name, data, datalen, datatype, unique != 0);
}

} // namespace AURA
