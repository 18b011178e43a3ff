#include "mpeg/aura_codec_mpeg.h"

#include "base/aura_memory.h"
#include "codec/wav/aura_codec_wav.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_mpeg";

// Seek-table growth step, in frames.
constexpr unsigned int FRAME_TABLE_STEP = 1000;
// Frames decoded ahead of a seek target so the bit reservoir, the overlap
// and the synthesis history are right again when it is reached.
constexpr unsigned int PRIME_FRAMES = 9;
constexpr unsigned int PRIME_FRAMES_CONTAINER = 3;
// The most main data a layer III frame takes from the frames before it,
// and the most bytes of a frame that are not main data (header, CRC,
// side information).
constexpr uint64_t RESERVOIR_BYTES = 511;
constexpr uint64_t FRAME_OVERHEAD_BYTES = 38;

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

unsigned int clampLength(uint64_t samples)
{
    return static_cast<unsigned int>(std::min<uint64_t>(samples, CodecMPEG::LENGTH_MAX));
}

} // namespace

constinit AURA_CODEC_DESCRIPTION_EX mpegcodec;

AURA_CODEC_DESCRIPTION_EX *CodecMPEG::getDescriptionEx()
{
    return describeOnce(mpegcodec, [](AURA_CODEC_DESCRIPTION_EX &description) { describe(description); });
}

void CodecMPEG::describe(AURA_CODEC_DESCRIPTION_EX &description)
{
    description = AURA_CODEC_DESCRIPTION_EX{};
    description.name = "AURA MPEG Codec";
    description.version = 0x00010100;
    description.defaultasstream = 0;
    description.timeunits = AURA_TIMEUNIT_PCM | AURA_TIMEUNIT_RAWBYTES;
    CodecCallbacks<CodecMPEG>::describe(description);
    description.soundcreate = &CodecMPEG::soundCreateCallback;
    description.reset = &CodecMPEG::resetCallback;
    description.mType = AURA_SOUND_TYPE_MPEG;
    description.mSize = sizeof(CodecMPEG);
    description.mConstruct = &constructCodec<CodecMPEG>;
}

AURA_RESULT CodecMPEG::createDecoder(SystemI *system, int streams, CodecMPEG **decoder)
{
    if (!decoder || streams < 1 || streams > MAX_STREAMS) {
        return AURA_ERR_INVALID_PARAM;
    }
    *decoder = nullptr;
    AURA_CODEC_DESCRIPTION_EX description;
    describe(description);
    Codec *made = nullptr;
    AURA_RESULT result = Codec::create(description, system, &made);
    if (result != AURA_OK) {
        return result;
    }
    auto *mpeg = static_cast<CodecMPEG *>(made);
    initAll();
    mpeg->mNumStreams = streams > 1 ? streams : 0;
    mpeg->mStreamCapacity = streams;
    mpeg->mMemoryBlock =
        AURA_Memory_Alloc(static_cast<int>(sizeof(MpegDecoderState) * static_cast<size_t>(streams) + 16));
    if (!mpeg->mMemoryBlock) {
        (void)mpeg->release();
        return AURA_ERR_MEMORY;
    }
    const auto address = reinterpret_cast<uintptr_t>(mpeg->mMemoryBlock);
    mpeg->mFrame = reinterpret_cast<MpegDecoderState *>((address + 15) & ~static_cast<uintptr_t>(15));
    result = mpeg->allocPCMBuffer(static_cast<unsigned int>(streams) * 2 * MPEG_MAX_FRAME_SAMPLES * 2,
                                  MPEG_MAX_FRAME_SAMPLES);
    if (result != AURA_OK) {
        (void)mpeg->release();
        return result;
    }
    mpeg->resetFrame();
    *decoder = mpeg;
    return AURA_OK;
}

void CodecMPEG::setSource(File *file, unsigned int offset, unsigned int length, int channels, int frequency)
{
    mFile = file;
    mSrcDataOffset = offset;
    mLengthBytes = length;
    mDataEnd = static_cast<unsigned int>(std::min<uint64_t>(static_cast<uint64_t>(offset) + length, 0xFFFFFFFFu));
    mSeekable = file && (file->getFlags() & File::FLAG_SEEKABLE) != 0;
    const int streams = std::clamp((channels + 1) / 2, 1, mStreamCapacity);
    mNumStreams = streams > 1 ? streams : 0;
    mWaveFormat = AURA_CODEC_WAVEFORMAT{};
    mWaveFormat.format = AURA_SOUND_FORMAT_PCM16;
    mWaveFormat.channels = channels;
    mWaveFormat.frequency = frequency;
    mWaveFormat.blockalign = channels * 2;
    mWaveFormat.lengthbytes = length;
    mState.waveformat = &mWaveFormat;
    mState.numsubsounds = 0;
    dropFrameOffsets();
    mHasXingFrames = mHasXingToc = false;
    mXingFrameLength = 0;
    mCut = false;
    resetPCMBuffer();
    resetFrame();
    int samples = static_cast<int>(MPEG_MAX_FRAME_SAMPLES);
    uint8_t head[4];
    MpegHeader header;
    const unsigned int options = (mFlags & FLAG_CONTAINER) ? MPEG_HEADER_CONTAINER : 0;
    if (file && length >= 4 && seekTo(offset) == AURA_OK && readExact(head, 4) == AURA_OK &&
        decodeHeader(be32(head), options, &header) == AURA_OK) {
        // The frames' own rate: a holder's record of it may differ.
        samples = header.samplesPerFrame();
        mWaveFormat.frequency = header.frequency;
    }
    mPCMFrameBytes = static_cast<unsigned int>(samples * std::max(channels, 1) * 2);
    if (file) {
        (void)seekTo(offset);
    }
}

void CodecMPEG::borrowFrameOffsets(const uint32_t *offsets, unsigned int count)
{
    dropFrameOffsets();
    mFrameOffsets = const_cast<uint32_t *>(offsets);
    mNumFrameOffsets = offsets ? count : 0;
    mOwnsFrameOffsets = false;
}

void CodecMPEG::dropFrameOffsets()
{
    if (mFrameOffsets && mOwnsFrameOffsets) {
        AURA_Memory_Free(mFrameOffsets);
    }
    mFrameOffsets = nullptr;
    mNumFrameOffsets = 0;
    mOwnsFrameOffsets = true;
}

void CodecMPEG::releaseDecoder()
{
    mFile = nullptr;
    dropFrameOffsets();
    (void)release();
}

AURA_RESULT CodecMPEG::soundCreateCallback(AURA_CODEC_STATE *state, int subsound, AURA_SOUND *sound)
{
    CodecMPEG *codec = fromState<CodecMPEG>(state);
    return codec ? codec->soundCreateInternal(subsound, sound) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT CodecMPEG::resetCallback(AURA_CODEC_STATE *state)
{
    CodecMPEG *codec = fromState<CodecMPEG>(state);
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    codec->resetFrame();
    return AURA_OK;
}

AURA_RESULT CodecMPEG::readExact(void *buffer, unsigned int size)
{
    unsigned int got = 0;
    const AURA_RESULT result = mFile->read(buffer, 1, size, &got);
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    return got == size ? AURA_OK : AURA_ERR_FILE_EOF;
}

AURA_RESULT CodecMPEG::seekTo(unsigned int position)
{
    if (position > 0x7FFFFFFFu) {
        return AURA_ERR_FILE_COULDNOTSEEK;
    }
    return mFile->seek(static_cast<int>(position), 0);
}

AURA_RESULT CodecMPEG::seekBy(int offset)
{
    return mFile->seek(offset, 1);
}

void CodecMPEG::resetFrame()
{
    if (!mFrame) {
        return;
    }
    const int streams = std::max(1, mNumStreams);
    for (int i = 0; i < streams; ++i) {
        resetDecoder(&mFrame[i]);
    }
    mLockedLayer = 0;
    mPrevBodySize = 0;
}

void CodecMPEG::freeMemory()
{
    dropFrameOffsets();
    if (mMemoryBlock) {
        AURA_Memory_Free(mMemoryBlock);
        mMemoryBlock = nullptr;
    }
    mFrame = nullptr;
}

void CodecMPEG::freeSyncPoints()
{
    if (mSyncPoints) {
        AURA_Memory_Free(mSyncPoints);
    }
    mSyncPoints = nullptr;
    mNumSyncPoints = 0;
}

AURA_RESULT CodecMPEG::closeInternal()
{
    freeSyncPoints();
    freePCMBuffer();
    mState.waveformat = nullptr;
    freeMemory();
    return AURA_OK;
}

AURA_RESULT CodecMPEG::parseHeader(const uint8_t bytes[4], bool checkChannels, MpegHeader *header)
{
    const unsigned int options = (mFlags & FLAG_CONTAINER) ? MPEG_HEADER_CONTAINER : 0;
    AURA_RESULT result = decodeHeader(be32(bytes), options, header);
    if (result != AURA_OK) {
        return result;
    }
    if (mLockedLayer != 0 && header->layer != mLockedLayer) {
        return AURA_ERR_FORMAT;
    }
    if (checkChannels && mNumStreams == 0 &&
        (header->channels != mWaveFormat.channels || header->frequency != mWaveFormat.frequency)) {
        return AURA_ERR_FORMAT;
    }
    return AURA_OK;
}

unsigned int CodecMPEG::frameSpan(const MpegHeader &header, int channels) const
{
    unsigned int body = static_cast<unsigned int>(header.bodySize);
    if (!(mFlags & FLAG_CONTAINER)) {
        return body;
    }
    if (channels > 2) {
        body = ((std::max(body, mPrevBodySize) + 4 + 15) & ~15u) - 4;
    }
    if (header.layer == 3 && (mFlags & FLAG_PAD2)) {
        body = ((body + 4 + 1) & ~1u) - 4;
    }
    if (header.layer == 3 && (mFlags & FLAG_PAD4)) {
        body = ((body + 4 + 3) & ~3u) - 4;
    }
    return body;
}

AURA_RESULT CodecMPEG::openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    mType = AURA_SOUND_TYPE_MPEG;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    mSrcDataOffset = 0;
    mDataEnd = 0;
    mCut = false;
    mFlags &= ~FLAG_GUESSEDLENGTH;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    freeMemory();
    mSeekable = (mFile->getFlags() & File::FLAG_SEEKABLE) != 0;
    AURA_RESULT result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }

    uint8_t head[12];
    result = readExact(head, 8);
    if (result == AURA_ERR_FILE_EOF) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    bool haveLength = false;
    bool wholeFile = false;
    mLengthBytes = 0;
    mLoopStart = mLoopEnd = 0;
    if (std::memcmp(head, "RIFF", 4) == 0) {
        result = readExact(head + 8, 4);
        if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
            return result;
        }
        if (result == AURA_OK && std::memcmp(head + 8, "WAVE", 4) == 0) {
            CodecWav::ChunkFacts facts;
            freeSyncPoints();
            const AURA_RESULT walked =
                CodecWav::scanChunks(mFile, le32(head + 4), &facts, &mSyncPoints, &mNumSyncPoints);
            if (walked != AURA_OK || !facts.haveFormat || !facts.haveData) {
                freeSyncPoints();
            } else {
                if (facts.formatTag != WAVE_FORMAT_MPEGLAYER3 && facts.formatTag != WAVE_FORMAT_MPEG) {
                    freeSyncPoints();
                    return AURA_ERR_FORMAT;
                }
                mSrcDataOffset = facts.dataOffset;
                mLengthBytes = facts.dataSize;
                mLoopStart = facts.loopStart;
                mLoopEnd = facts.loopEnd;
                haveLength = true;
            }
        }
    }
    if (!haveLength) {
        unsigned int size = 0;
        result = mFile->getSize(&size);
        if (result != AURA_OK) {
            return result;
        }
        mLengthBytes = size;
        wholeFile = true;
    }

    // One aligned decoder state per stream.
    const int streams = std::max(1, mNumStreams);
    const size_t bytes = sizeof(MpegDecoderState) * static_cast<size_t>(streams) + 16;
    if (bytes > static_cast<size_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    mMemoryBlock = AURA_Memory_Alloc(static_cast<int>(bytes));
    if (!mMemoryBlock) {
        return AURA_ERR_MEMORY;
    }
    auto address = reinterpret_cast<uintptr_t>(mMemoryBlock);
    mFrame = reinterpret_cast<MpegDecoderState *>((address + 15) & ~static_cast<uintptr_t>(15));
    mHasXingFrames = mHasXingToc = false;
    mXingFrameLength = 0;
    resetFrame();

    // Sync search: a header that parses, confirmed by the one after it (or
    // by the end of the file).
    if (mLengthBytes == 0) {
        return AURA_ERR_FORMAT;
    }
    const unsigned int limit =
        (mode & AURA_MPEGSEARCH) ? mLengthBytes : std::min<unsigned int>(mLengthBytes, SEARCH_LIMIT);
    MpegHeader first;
    unsigned int failed = 0;
    for (;;) {
        if (failed >= limit) {
            return AURA_ERR_FORMAT;
        }
        result = seekTo(mSrcDataOffset);
        uint8_t bytes4[4];
        if (result == AURA_OK) {
            result = readExact(bytes4, 4);
        }
        if (result == AURA_ERR_FILE_EOF) {
            return AURA_ERR_FORMAT;
        }
        if (result != AURA_OK && result != AURA_ERR_FILE_COULDNOTSEEK) {
            return result;
        }
        mLockedLayer = 0;
        if (result != AURA_OK || parseHeader(bytes4, false, &first) != AURA_OK) {
            ++mSrcDataOffset;
            ++failed;
            continue;
        }
        mLockedLayer = first.layer;
        result = seekBy(static_cast<int>(frameSpan(first, first.channels)));
        if (result != AURA_OK) {
            return result;
        }
        result = readExact(bytes4, 4);
        if (result == AURA_ERR_FILE_EOF) {
            break;
        }
        if (result != AURA_OK) {
            return result;
        }
        MpegHeader second;
        if (parseHeader(bytes4, false, &second) == AURA_OK && second.channels == first.channels &&
            second.frequency == first.frequency) {
            break;
        }
        ++mSrcDataOffset;
        ++failed;
    }

    initAll();
    mLockedLayer = first.layer;
    mWaveFormat = AURA_CODEC_WAVEFORMAT{};
    mWaveFormat.format = AURA_SOUND_FORMAT_PCM16;
    mWaveFormat.channels = first.channels;
    mWaveFormat.frequency = first.frequency;
    mWaveFormat.blockalign = first.channels * 2;
    mWaveFormat.loopstart = mLoopStart;
    mWaveFormat.loopend = mLoopEnd;
    mState.waveformat = &mWaveFormat;

    // A Xing frame at the start carries the frame count and a table of
    // contents, not audio.
    const unsigned int frameLength = static_cast<unsigned int>(first.bodySize) + 4;
    uint8_t frame[MPEG_MAX_FRAME_BODY + 4];
    result = seekTo(mSrcDataOffset);
    if (result != AURA_OK) {
        return result;
    }
    unsigned int got = 0;
    result = mFile->read(frame, 1, frameLength, &got);
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    uint32_t xingFrames = 0;
    bool hasToc = false;
    if (decodeXingHeader(frame, got, first, mXingToc, &hasToc, &xingFrames) == AURA_OK) {
        mHasXingToc = hasToc;
        mHasXingFrames = xingFrames != 0;
        mXingFrameLength = frameLength;
        mSrcDataOffset += frameLength;
    }
    mPCMFrameBytes = static_cast<unsigned int>(first.samplesPerFrame() * first.channels * 2);

    // A file of unknown length (an internet radio) keeps it unknown.
    const unsigned int dataBytes =
        mLengthBytes == File::LENGTH_UNKNOWN ? mLengthBytes
        : wholeFile ? (mLengthBytes > mSrcDataOffset ? mLengthBytes - mSrcDataOffset : 0)
                  : (mHasXingFrames || mHasXingToc ? (mLengthBytes > frameLength ? mLengthBytes - frameLength : 0)
                                                   : mLengthBytes);
    mLengthBytes = dataBytes;
    mFlags |= FLAG_EXACTLENGTH;
    mFlags &= ~FLAG_LENGTHBOUNDED;
    if ((mode & AURA_ACCURATETIME) && mSeekable) {
        (void)seekTo(mSrcDataOffset);
        unsigned int pcmBytes = 0;
        result = getPCMLength(&pcmBytes);
        if (result != AURA_OK) {
            return result;
        }
        mWaveFormat.lengthpcm = pcmBytes / 2 / static_cast<unsigned int>(first.channels);
        mFlags |= FLAG_LENGTHBOUNDED;
        mCut = mCut || (mHasXingFrames && mNumFrameOffsets < xingFrames);
    } else if (mHasXingFrames) {
        mWaveFormat.lengthpcm = clampLength(static_cast<uint64_t>(xingFrames) * first.samplesPerFrame());
    } else if (mLengthBytes == 0xFFFFFFFFu || !mSeekable) {
        // A medium that only goes forward cannot be measured, and a guess
        // from the bit rate would cut the sound or pad it with silence:
        // the length is known when the data ends.
        mWaveFormat.lengthpcm = 0xFFFFFFFFu;
        mFlags &= ~FLAG_EXACTLENGTH;
    } else {
        // Constant bit rate assumed: the bytes over the rate.
        const int bitrate =
            (first.bodySize + 4 - first.padding) * first.frequency / (first.layer == 3 && first.lsf ? 72 : 144);
        const double seconds = bitrate > 0 ? static_cast<double>(mLengthBytes) * 8.0 / bitrate : 0.0;
        mWaveFormat.lengthpcm = clampLength(static_cast<uint64_t>(seconds * first.frequency));
        mFlags &= ~FLAG_EXACTLENGTH;
        mFlags |= FLAG_GUESSEDLENGTH;
    }
    mWaveFormat.lengthbytes = mLengthBytes;

    result =
        allocPCMBuffer(static_cast<unsigned int>(first.channels) * MPEG_MAX_FRAME_SAMPLES * 2, MPEG_MAX_FRAME_SAMPLES);
    if (result != AURA_OK) {
        return result;
    }
    // Every frame has the first one's channels (others are refused): one
    // frame fills the front of any buffer of a whole frame's room.
    mPCMBufferDirect = mNumStreams == 0;
    if ((mode & AURA_CREATECOMPRESSEDSAMPLE) && !(mode & (AURA_HARDWARE | AURA_SOFTWARE))) {
        mWaveFormat.mode |= AURA_SOFTWARE;
    }
    if ((mode & AURA_CREATECOMPRESSEDSAMPLE) && !(mode & AURA_CREATESTREAM)) {
        // The frames stay as they are, for the decoding units.
        mWaveFormat.format = AURA_SOUND_FORMAT_MPEG;
    }
    resetFrame();
    return seekTo(mSrcDataOffset);
}

AURA_RESULT CodecMPEG::getPCMLength(unsigned int *pcmbytes)
{
    *pcmbytes = 0;
    unsigned int start = 0;
    AURA_RESULT result = mFile->tell(&start);
    if (result != AURA_OK) {
        return result;
    }
    dropFrameOffsets();
    unsigned int capacity = 0;
    uint64_t total = 0;
    unsigned int offset = 0;
    bool rejected = false;
    const int savedLock = mLockedLayer;
    while (offset < mLengthBytes) {
        uint8_t bytes4[4];
        if (readExact(bytes4, 4) != AURA_OK) {
            break;
        }
        MpegHeader header;
        const bool parsed = parseHeader(bytes4, true, &header) == AURA_OK;
        bool ok =
            parsed && static_cast<uint64_t>(offset) + 4 + static_cast<unsigned int>(header.bodySize) <= mLengthBytes;
        if (parsed && !ok && !rejected) {
            // A frame right after the one before that the data ends inside:
            // the file was cut.
            mCut = true;
            break;
        }
        const unsigned int span = ok ? frameSpan(header, mWaveFormat.channels) : 0;
        if (ok && rejected) {
            // After junk, a header counts only when the next one follows it.
            uint8_t next[4];
            if (seekBy(static_cast<int>(span)) != AURA_OK) {
                break;
            }
            const AURA_RESULT peeked = readExact(next, 4);
            MpegHeader following;
            ok = peeked == AURA_ERR_FILE_EOF ||
                 (peeked == AURA_OK && decodeHeader(be32(next), 0, &following) == AURA_OK &&
                  following.layer == header.layer);
            if (seekTo(mSrcDataOffset + offset + 4) != AURA_OK) {
                break;
            }
        }
        if (!ok) {
            if (std::memcmp(bytes4, "TAG", 3) == 0 && offset + 128 <= mLengthBytes) {
                offset += 128;
                if (seekBy(124) != AURA_OK) {
                    break;
                }
            } else {
                offset += 1;
                if (seekBy(-3) != AURA_OK) {
                    break;
                }
            }
            rejected = true;
            continue;
        }
        rejected = false;
        if (mNumFrameOffsets == capacity) {
            const size_t grown = (static_cast<size_t>(capacity) + FRAME_TABLE_STEP) * sizeof(uint32_t);
            if (grown > static_cast<size_t>(MemPool::MAX_SIZE)) {
                break;
            }
            auto *table = static_cast<uint32_t *>(AURA_Memory_ReAlloc(mFrameOffsets, static_cast<int>(grown)));
            if (!table) {
                mLockedLayer = savedLock;
                return AURA_ERR_MEMORY;
            }
            mFrameOffsets = table;
            capacity += FRAME_TABLE_STEP;
        }
        mFrameOffsets[mNumFrameOffsets++] = offset;
        total += static_cast<uint64_t>(header.samplesPerFrame()) * static_cast<unsigned int>(header.channels) * 2;
        mPrevBodySize = static_cast<unsigned int>(header.bodySize);
        if (seekBy(static_cast<int>(span)) != AURA_OK) {
            break;
        }
        offset += span + 4;
    }
    mLockedLayer = savedLock;
    *pcmbytes = static_cast<unsigned int>(std::min<uint64_t>(total, 0xFFFFFFFEull));
    return seekTo(start) == AURA_OK ? AURA_OK : AURA_OK;
}

AURA_RESULT CodecMPEG::readFrame(MpegDecoderState *state, int16_t *out, int stride, unsigned int *produced,
                                 int *frameChannels)
{
    uint8_t frame[MPEG_MAX_FRAME_BODY + 4];
    int rejected = 0;
    MpegHeader header;
    for (;;) {
        if (mDataEnd != 0) {
            // The holder's frames end here; what follows is not ours.
            unsigned int here = 0;
            if (mFile->tell(&here) != AURA_OK || static_cast<uint64_t>(here) + 4 > mDataEnd) {
                return AURA_ERR_FILE_EOF;
            }
        }
        AURA_RESULT result = readExact(frame, 4);
        if (result != AURA_OK) {
            return result;
        }
        if (rejected > 0) {
            mLockedLayer = 0;
        }
        bool ok = parseHeader(frame, true, &header) == AURA_OK;
        if (ok && (rejected > 0 || (mFlags & FLAG_VERIFYNEXT)) && mSeekable) {
            unsigned int here = 0;
            uint8_t next[4];
            MpegHeader following;
            ok = mFile->tell(&here) == AURA_OK &&
                 seekBy(static_cast<int>(frameSpan(header, mWaveFormat.channels))) == AURA_OK;
            if (ok) {
                const AURA_RESULT peeked = readExact(next, 4);
                ok = peeked == AURA_ERR_FILE_EOF ||
                     (peeked == AURA_OK && decodeHeader(be32(next), 0, &following) == AURA_OK &&
                      following.layer == header.layer);
                if (seekTo(here) != AURA_OK) {
                    return AURA_ERR_FILE_COULDNOTSEEK;
                }
            }
        }
        if (ok) {
            break;
        }
        if (std::memcmp(frame, "TAG", 3) == 0) {
            result = seekBy(124);
        } else {
            result = seekBy(-3);
        }
        if (result != AURA_OK) {
            // (A tag that runs past the end of the file ends the data.)
            return result == AURA_ERR_FILE_COULDNOTSEEK ? AURA_ERR_FILE_EOF : result;
        }
        ++rejected;
    }
    mLockedLayer = header.layer;
    mFlags &= ~FLAG_VERIFYNEXT;
    const unsigned int span = frameSpan(header, mWaveFormat.channels);
    AURA_RESULT result = readExact(frame + 4, static_cast<unsigned int>(header.bodySize));
    if (result == AURA_ERR_FILE_EOF && rejected == 0) {
        // The file ends inside a frame that follows the one before: cut.
        mCut = true;
    }
    if (result == AURA_OK && span > static_cast<unsigned int>(header.bodySize)) {
        result = seekBy(static_cast<int>(span - static_cast<unsigned int>(header.bodySize)));
        // (Padding that runs past the end of the file ends the data.)
        result = result == AURA_ERR_FILE_COULDNOTSEEK ? AURA_ERR_FILE_EOF : result;
    }
    if (result != AURA_OK) {
        return result;
    }
    mPrevBodySize = static_cast<unsigned int>(header.bodySize);
    // A frame that decodes badly still gives its length of output.
    (void)decodeFrame(state, header, frame, static_cast<unsigned int>(header.bodySize) + 4, out, stride, produced);
    *frameChannels = header.channels;
    return AURA_OK;
}

AURA_RESULT CodecMPEG::readInternal(void *buffer, unsigned int /*sizebytes*/, unsigned int *bytesread)
{
    if (!bytesread || !mFrame) {
        return AURA_ERR_INVALID_PARAM;
    }
    *bytesread = 0;
    auto *out = static_cast<int16_t *>(buffer);
    if (!out) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int channels = mWaveFormat.channels;
    const int streams = std::max(1, mNumStreams);
    AURA_RESULT result = AURA_OK;
    // Interleaved streams each fill their own channels of the output.
    int channel = 0;
    for (int stream = 0; stream < streams && channel < channels; ++stream) {
        unsigned int produced = 0;
        int frameChannels = 0;
        result = readFrame(&mFrame[stream], out + channel, channels, &produced, &frameChannels);
        if (result != AURA_OK) {
            break;
        }
        *bytesread += produced;
        channel += std::max(1, frameChannels);
    }
    return result;
}

AURA_RESULT CodecMPEG::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int postype)
{
    if (postype == AURA_TIMEUNIT_RAWBYTES) {
        return seekTo(mSrcDataOffset + position);
    }
    if (!mFrame || mPCMFrameBytes == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const uint64_t channels = static_cast<uint64_t>(mWaveFormat.channels);
    const uint64_t frameBytes = mPCMFrameBytes;
    const uint64_t bytePosition = static_cast<uint64_t>(position) * channels * 2;
    const uint64_t target = bytePosition / frameBytes;
    uint64_t startFrame = 0;
    uint64_t discard = 0;
    if (bytePosition != 0) {
        uint64_t back = std::min<uint64_t>((mFlags & FLAG_CONTAINER) ? PRIME_FRAMES_CONTAINER : PRIME_FRAMES, target);
        if (target >= 2 && target < mNumFrameOffsets) {
            // The frame before the target must decode right (its overlap
            // and synthesis history lead into the target), so the frames
            // before it must hold the most main data its reservoir can
            // reach back into. Small frames take more of them.
            const uint64_t last = target - 1;
            uint64_t first = last;
            while (first > 0 && mFrameOffsets[last] - mFrameOffsets[first] <
                                    RESERVOIR_BYTES + FRAME_OVERHEAD_BYTES * (last - first)) {
                --first;
            }
            back = std::max(back, target - first);
        }
        startFrame = target - back;
        discard = frameBytes * back + (bytePosition - frameBytes * target);
    }
    const uint64_t discardSamples = discard / (channels * 2);
    uint64_t offset = 0;
    if (mNumFrameOffsets > 0) {
        offset = mFrameOffsets[std::min<uint64_t>(startFrame, mNumFrameOffsets - 1)];
        if (startFrame >= mNumFrameOffsets) {
            // Past the last frame: decode from it and let the read end.
            discard = 0;
        }
    } else if (mHasXingToc) {
        // The table maps percents of the time to 256ths of the bytes from
        // the Xing frame on.
        double fraction256 = mXingToc[0];
        if (position > discardSamples && mWaveFormat.lengthpcm != 0) {
            const double percent = static_cast<double>(position - discardSamples) / mWaveFormat.lengthpcm * 100.0;
            if (std::isfinite(percent)) {
                const int i = std::clamp(static_cast<int>(percent), 0, 99);
                const double fa = mXingToc[i];
                const double fb = i < 99 ? mXingToc[i + 1] : 256.0;
                fraction256 = fa + (fb - fa) * std::clamp(percent - i, 0.0, 1.0);
            }
        }
        const double bytes = fraction256 / 256.0 * (static_cast<double>(mLengthBytes) + mXingFrameLength);
        offset = bytes > mXingFrameLength ? static_cast<uint64_t>(bytes) - mXingFrameLength : 0;
    } else if (position > discardSamples) {
        const uint64_t totalBytes = static_cast<uint64_t>(mWaveFormat.lengthpcm) * channels * 2;
        const uint64_t frames = totalBytes / frameBytes;
        offset = frames ? startFrame * mLengthBytes / frames : 0;
    }
    if (offset > mLengthBytes) {
        offset = 0;
    }
    AURA_RESULT result = seekTo(mSrcDataOffset + static_cast<unsigned int>(offset));
    if (result != AURA_OK) {
        return result;
    }
    resetFrame();
    if (!(mFlags & FLAG_CONTAINER)) {
        mFlags |= FLAG_VERIFYNEXT;
    }
    uint8_t scratch[4608];
    result = AURA_OK;
    while (discard > 0) {
        const unsigned int chunk = static_cast<unsigned int>(std::min<uint64_t>(discard, sizeof(scratch)));
        unsigned int got = 0;
        result = read(scratch, chunk, &got);
        if (result != AURA_OK) {
            break;
        }
        if (got == 0) {
            got = chunk;
        }
        discard -= std::min<uint64_t>(got, discard);
    }
    mFlags &= ~FLAG_VERIFYNEXT;
    return result;
}

AURA_RESULT CodecMPEG::soundCreateInternal(int /*subsound*/, AURA_SOUND *sound)
{
    if (mNumSyncPoints == 0) {
        return AURA_OK;
    }
    const AURA_RESULT result = CodecWav::addSyncPoints(sound, mSyncPoints, mNumSyncPoints);
    freeSyncPoints();
    return result;
}

} // namespace AURA
