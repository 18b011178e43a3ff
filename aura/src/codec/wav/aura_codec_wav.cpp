#include "codec/wav/aura_codec_wav.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_wav";

constexpr uint8_t KSDATAFORMAT_SUBTYPE_PCM[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint8_t KSDATAFORMAT_SUBTYPE_IEEE_FLOAT[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                         0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The bytes the discarding read of a seek asks for at a time.
constexpr unsigned int SEEK_DISCARD_PIECE = 1000;
constexpr unsigned int SEEK_SCRATCH_BYTES = 4096;
// The bytes a forward skip over a file that cannot seek reads at a time.
constexpr unsigned int SKIP_PIECE = 4096;

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

AURA_RESULT soundCreateCallback(AURA_CODEC_STATE *state, int subsound, AURA_SOUND *sound)
{
    CodecWav *codec = Codec::fromState<CodecWav>(state);
    return codec ? codec->soundCreateInternal(subsound, sound) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT canPointCallback(AURA_CODEC_STATE *state)
{
    CodecWav *codec = Codec::fromState<CodecWav>(state);
    return codec ? codec->canPointInternal() : AURA_ERR_INVALID_PARAM;
}

// Byte of the block that holds code k (the k-th sample after the header)
// of channel c, with codes interleaved in 4-byte units per channel.
constexpr uint64_t imaCodeByte(uint64_t k, uint64_t c, uint64_t channels)
{
    return 4 * channels + ((k / 8) * channels + c) * 4 + (k % 8) / 2;
}

bool isKnownSubFormat(const WAVE_FORMATEXTENSIBLE &format)
{
    return std::memcmp(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM, 16) == 0 ||
           std::memcmp(format.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 16) == 0;
}

AURA_SOUND_FORMAT pcmFormatOfBits(unsigned int bits)
{
    switch (bits) {
    case 8: return AURA_SOUND_FORMAT_PCM8;
    case 16: return AURA_SOUND_FORMAT_PCM16;
    case 24: return AURA_SOUND_FORMAT_PCM24;
    case 32: return AURA_SOUND_FORMAT_PCM32;
    default: return AURA_SOUND_FORMAT_NONE;
    }
}
} // namespace

constexpr int IMAAdpcm_StepTab[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int IMAAdpcm_IndexTab[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

namespace {
// What one 4-bit code does at one step index: the difference it adds to the
// predictor and the step index it leaves. A decoder then follows one table
// load per code instead of four tests and a clamp.
struct ImaTransition {
    int32_t diff; // up to 61436 at the top step
    int32_t next;
};

constexpr std::array<ImaTransition, 89 * 16> makeImaTransitions()
{
    std::array<ImaTransition, 89 * 16> table{};
    for (int index = 0; index < 89; ++index) {
        const int step = IMAAdpcm_StepTab[index];
        for (int code = 0; code < 16; ++code) {
            int diff = step >> 3;
            if (code & 4) {
                diff += step;
            }
            if (code & 2) {
                diff += step >> 1;
            }
            if (code & 1) {
                diff += step >> 2;
            }
            if (code & 8) {
                diff = -diff;
            }
            table[static_cast<size_t>(index * 16 + code)] = {
                diff, std::clamp(index + IMAAdpcm_IndexTab[code], 0, 88)};
        }
    }
    return table;
}

constexpr std::array<ImaTransition, 89 * 16> kImaTransitions = makeImaTransitions();

// One 4-bit code applied to the channel's predictor and step index.
inline int imaStep(int code, int &predictor, int &index)
{
    const ImaTransition t = kImaTransitions[static_cast<size_t>(index * 16 + code)];
    predictor = std::clamp(predictor + t.diff, -32768, 32767);
    index = t.next;
    return predictor;
}
} // namespace

unsigned int IMAAdpcm_MaxSamplesPerBlock(unsigned int blockalign, unsigned int channels)
{
    if (channels == 0 || blockalign / channels < 4) {
        return 0;
    }
    return (blockalign / channels - 4) * 2 + 1;
}

unsigned int IMAAdpcm_SamplesInShortBlock(uint64_t bytes, unsigned int channels, unsigned int samplesperblock)
{
    const uint64_t headers = 4 * static_cast<uint64_t>(channels);
    if (channels == 0 || bytes < headers) {
        return 0;
    }
    return static_cast<unsigned int>(std::min<uint64_t>(1 + (bytes - headers) / headers * 8, samplesperblock));
}

AURA_RESULT IMAAdpcm_CheckBlockHeaders(const uint8_t *data, uint64_t bytes, unsigned int blockalign,
                                       unsigned int channels, bool unitinterleave)
{
    if (!data || blockalign == 0 || channels == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    // Where each channel's step index sits: the third byte of its header,
    // or, in 2-byte units, the first byte of its second unit.
    const uint64_t headers = 4 * static_cast<uint64_t>(channels);
    for (uint64_t block = 0; block + headers <= bytes; block += blockalign) {
        for (unsigned int c = 0; c < channels; ++c) {
            const uint64_t at =
                unitinterleave ? 2 * (static_cast<uint64_t>(channels) + c) : 4 * static_cast<uint64_t>(c) + 2;
            if (data[block + at] > 88) {
                return AURA_ERR_FILE_BAD;
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT IMAAdpcm_DecodeM16(unsigned char *in, short *out, unsigned int numblocks, unsigned int blockalign,
                               unsigned int samplesperblock, int step)
{
    if (numblocks == 0) {
        return AURA_OK;
    }
    if (!in || !out || step < 1 || samplesperblock == 0 ||
        samplesperblock > IMAAdpcm_MaxSamplesPerBlock(blockalign, 1)) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (unsigned int block = 0; block < numblocks; ++block) {
        const unsigned char *src = in + static_cast<size_t>(block) * blockalign;
        short *dst = out + static_cast<size_t>(block) * samplesperblock * static_cast<size_t>(step);
        int predictor = static_cast<int16_t>(static_cast<uint16_t>(src[0] | src[1] << 8));
        int index = src[2];
        if (index > 88) {
            return AURA_ERR_FILE_BAD;
        }
        dst[0] = static_cast<short>(predictor);
        for (unsigned int k = 0; k + 1 < samplesperblock; ++k) {
            const unsigned char byte = src[4 + k / 2];
            const int code = (k & 1) ? byte >> 4 : byte & 0xF;
            dst[static_cast<size_t>(k + 1) * static_cast<size_t>(step)] =
                static_cast<short>(imaStep(code, predictor, index));
        }
    }
    return AURA_OK;
}

AURA_RESULT IMAAdpcm_DecodeS16(unsigned char *in, short *out, unsigned int numblocks, unsigned int blockalign,
                               unsigned int samplesperblock)
{
    if (numblocks == 0) {
        return AURA_OK;
    }
    if (!in || !out || samplesperblock == 0 || samplesperblock > IMAAdpcm_MaxSamplesPerBlock(blockalign, 2) ||
        (samplesperblock > 1 && imaCodeByte(samplesperblock - 2, 1, 2) >= blockalign)) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (unsigned int block = 0; block < numblocks; ++block) {
        const unsigned char *src = in + static_cast<size_t>(block) * blockalign;
        short *dst = out + static_cast<size_t>(block) * samplesperblock * 2;
        int predictor[2];
        int index[2];
        for (int c = 0; c < 2; ++c) {
            predictor[c] = static_cast<int16_t>(static_cast<uint16_t>(src[c * 4] | src[c * 4 + 1] << 8));
            index[c] = src[c * 4 + 2];
            if (index[c] > 88) {
                return AURA_ERR_FILE_BAD;
            }
            dst[c] = static_cast<short>(predictor[c]);
        }
        for (unsigned int k = 0; k + 1 < samplesperblock; ++k) {
            for (unsigned int c = 0; c < 2; ++c) {
                const unsigned char byte = src[imaCodeByte(k, c, 2)];
                const int code = (k & 1) ? byte >> 4 : byte & 0xF;
                dst[static_cast<size_t>(k + 1) * 2 + c] = static_cast<short>(imaStep(code, predictor[c], index[c]));
            }
        }
    }
    return AURA_OK;
}

constinit AURA_CODEC_DESCRIPTION_EX wavcodec;

AURA_CODEC_DESCRIPTION_EX *CodecWav::getDescriptionEx()
{
    return describeOnce(wavcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA Wav Codec";
        description.version = 0x10100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM | AURA_TIMEUNIT_RAWBYTES;
        CodecCallbacks<CodecWav>::describe(description);
        description.soundcreate = &soundCreateCallback;
        description.canpoint = &canPointCallback;
        description.mType = AURA_SOUND_TYPE_WAV;
        description.mSize = sizeof(CodecWav);
        description.mConstruct = &constructCodec<CodecWav>;
    });
}

uint64_t CodecWav::fileEnd() const
{
    // A size of 0 or all ones is not known: only the reads then tell the end.
    const unsigned int size = mState.filesize;
    return (size == 0 || size == 0xFFFFFFFFu) ? 0xFFFFFFFFull : size;
}

AURA_RESULT CodecWav::readBytes(void *buffer, unsigned int bytes, unsigned int *got)
{
    unsigned int count = 0;
    AURA_RESULT result = bytes ? mFile->read(buffer, 1, bytes, &count) : AURA_OK;
    if (got) {
        *got = count;
    }
    if (result == AURA_OK && count < bytes) {
        result = AURA_ERR_FILE_EOF;
    }
    return result;
}

AURA_RESULT CodecWav::seekTo(uint64_t position)
{
    if (position > fileEnd() || position > 0x7FFFFFFFu) {
        return AURA_ERR_FILE_EOF;
    }
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result == AURA_OK && here == position) {
        return AURA_OK;
    }
    result = mFile->seek(static_cast<int>(position), 0);
    if (result == AURA_OK || here > position) {
        return result;
    }
    // A file that cannot seek still goes forward by reading.
    uint8_t scratch[SKIP_PIECE];
    uint64_t left = position - here;
    while (left > 0) {
        unsigned int got = 0;
        result = readBytes(scratch, static_cast<unsigned int>(std::min<uint64_t>(left, sizeof(scratch))), &got);
        left -= std::min<uint64_t>(got, left);
        if (result != AURA_OK) {
            return left ? result : AURA_OK;
        }
    }
    return AURA_OK;
}

void CodecWav::freeSyncPoints()
{
    if (mSyncPoint) {
        AURA_Memory_Free(mSyncPoint);
    }
    mSyncPoint = nullptr;
    mNumSyncPoints = 0;
}

AURA_RESULT CodecWav::openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    (void)exinfo;
    mType = AURA_SOUND_TYPE_WAV;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    mFileSeekable = (mFile->getFlags() & File::FLAG_SEEKABLE) != 0;

    // A file that cannot seek may already stand at its start.
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK || here != 0) {
        result = mFile->seek(0, 0);
        if (result != AURA_OK) {
            return result;
        }
    }
    uint8_t riff[12];
    unsigned int got = 0;
    result = readBytes(riff, 8, &got);
    if (result == AURA_ERR_FILE_EOF) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    if (std::memcmp(riff, "RIFF", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    const unsigned int riffSize = le32(riff + 4);
    result = readBytes(riff + 8, 4, &got);
    if (result == AURA_ERR_FILE_EOF) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    if (std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return AURA_ERR_FORMAT;
    }

    mWaveFormatMemory = static_cast<AURA_CODEC_WAVEFORMAT *>(AURA_Memory_Calloc(sizeof(AURA_CODEC_WAVEFORMAT)));
    if (!mWaveFormatMemory) {
        return AURA_ERR_MEMORY;
    }
    mState.waveformat = mWaveFormatMemory;
    freeSyncPoints();
    mSrcDataOffset = 0xFFFFFFFFu;
    mListDepth = 0;
    mDataCut = false;

    result = parseChunk(riffSize);
    if (result != AURA_OK) {
        return result;
    }
    if (!mSrcFormat) {
        return AURA_ERR_FORMAT;
    }
    if (mSrcDataOffset == 0xFFFFFFFFu) {
        if (mSrcFormat != &mBuiltInFormat) {
            AURA_Memory_Free(mSrcFormat);
        }
        mSrcFormat = nullptr;
        mSrcDataOffset = 0;
        return AURA_ERR_FORMAT;
    }
    result = setupFormat(mode);
    if (result != AURA_OK) {
        return result;
    }
    // Reads start at the first audio byte.
    result = seekTo(mSrcDataOffset);
    return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
}

AURA_RESULT CodecWav::setupFormat(unsigned int mode)
{
    const WAVE_FORMATEXTENSIBLE &src = *mSrcFormat;
    AURA_CODEC_WAVEFORMAT &wf = *mState.waveformat;
    const unsigned int channels = src.nChannels;
    const unsigned int bits = src.wBitsPerSample;
    const unsigned int blockalign = src.nBlockAlign;
    uint16_t tag = src.wFormatTag;
    if (channels == 0 || blockalign == 0) {
        return AURA_ERR_FORMAT;
    }

    std::memset(&mSrcFormatRecord, 0, sizeof(mSrcFormatRecord));
    std::memcpy(&mSrcFormatRecord, &src, tag == WAVE_FORMAT_EXTENSIBLE ? 40 : 18);

    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    const uint64_t dataBytes = wf.lengthbytes;
    unsigned int pcmBufferBytes = 0;
    unsigned int pcmBufferSamples = 0;
    unsigned int readBufferBytes = 0;
    int waveBlockAlign = static_cast<int>(blockalign);

    if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE) {
        bool isFloat = tag == WAVE_FORMAT_IEEE_FLOAT;
        if (tag == WAVE_FORMAT_EXTENSIBLE) {
            if (!isKnownSubFormat(src)) {
                return AURA_ERR_FORMAT;
            }
            isFloat = std::memcmp(src.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 16) == 0;
            wf.channelmask = src.dwChannelMask;
        }
        if (isFloat) {
            if (bits != 32) {
                return AURA_ERR_FORMAT;
            }
            format = AURA_SOUND_FORMAT_PCMFLOAT;
        } else {
            format = pcmFormatOfBits(bits);
            if (format == AURA_SOUND_FORMAT_NONE) {
                return AURA_ERR_FORMAT;
            }
        }
        // Frames are whole samples of every channel; a trailing partial
        // frame is not audio.
        const uint64_t frameBytes = static_cast<uint64_t>(channels) * (bits / 8);
        const uint64_t frames = dataBytes * 8 / bits / channels;
        wf.lengthpcm = static_cast<unsigned int>(std::min<uint64_t>(frames, 0xFFFFFFFFu));
        mDataLength = static_cast<unsigned int>(frames * frameBytes);
        waveBlockAlign = static_cast<int>(frameBytes);
    } else if (tag == WAVE_FORMAT_IMA_ADPCM || tag == WAVE_FORMAT_IMA_ADPCM_ALT) {
        const unsigned int perBlock = src.wValidBitsPerSample;
        if (perBlock == 0 || perBlock > IMAAdpcm_MaxSamplesPerBlock(blockalign, channels) ||
            (perBlock > 1 && imaCodeByte(perBlock - 2, channels - 1, channels) >= blockalign)) {
            return AURA_ERR_FORMAT;
        }
        mKeptCompressed = (mode & AURA_CREATECOMPRESSEDSAMPLE) != 0;
        if (mKeptCompressed && channels > 2) {
            return AURA_ERR_TOOMANYCHANNELS;
        }
        mSamplesPerADPCMBlock = perBlock;
        const uint64_t blocks = dataBytes / blockalign;
        uint64_t frames = blocks * perBlock;
        uint64_t bytes = blocks * blockalign;
        // A short last block decodes as far as its codes go (here, or in
        // the decoding units when the blocks are kept), and no further than
        // the fact chunk's count when it ends there. Whole blocks play
        // whole, as sox plays them.
        const uint64_t rest = dataBytes % blockalign;
        if (rest >= 4 * channels) {
            uint64_t partial = IMAAdpcm_SamplesInShortBlock(rest, channels, perBlock);
            const unsigned int fact = wf.lengthpcm;
            if (fact > frames && fact - frames < partial) {
                partial = fact - frames;
            }
            frames += partial;
            bytes += rest;
        }
        wf.lengthpcm = static_cast<unsigned int>(std::min<uint64_t>(frames, 0xFFFFFFFFu));
        mDataLength = static_cast<unsigned int>(bytes);
        format = mKeptCompressed ? AURA_SOUND_FORMAT_IMAADPCM : AURA_SOUND_FORMAT_PCM16;
        mStoredFormat = AURA_SOUND_FORMAT_IMAADPCM;

        // Describe what the reads deliver: 16-bit PCM.
        mSrcFormatRecord.wFormatTag = WAVE_FORMAT_PCM;
        mSrcFormatRecord.wBitsPerSample = 16;
        mSrcFormatRecord.nBlockAlign = static_cast<uint16_t>(channels * 2);
        mSrcFormatRecord.nAvgBytesPerSec = static_cast<uint32_t>(channels * 2 * src.nSamplesPerSec);

        // Buffers are sized by the block, or by the short block a file holds
        // without a whole one, so a header cannot make it allocate more
        // than the file holds.
        readBufferBytes = blocks > 0 ? blockalign : static_cast<unsigned int>(bytes);
        if (frames > 0 && !mKeptCompressed) {
            pcmBufferSamples = static_cast<unsigned int>(std::min<uint64_t>(frames, perBlock));
            pcmBufferBytes = channels * pcmBufferSamples * 2;
        }
    } else {
        // MPEG and everything else belong to other codecs.
        return AURA_ERR_FORMAT;
    }

    wf.lengthbytes = mDataLength;
    // The data chunk is cut to what the file holds, and decodes to at most
    // four times its size (IMA ADPCM).
    boundLength(static_cast<uint64_t>(wf.lengthpcm) * channels * (getBitsFromFormat(format) / 8), 4);
    wf.format = format;
    wf.channels = static_cast<int>(channels);
    wf.frequency = static_cast<int>(src.nSamplesPerSec);
    wf.blockalign = waveBlockAlign;

    if (readBufferBytes > 0 && mDataLength > 0 && (mDataLength >= readBufferBytes || pcmBufferBytes > 0)) {
        // Blocks of more than two channels are split into one mono block
        // per channel beside the read buffer.
        const unsigned int extra = channels > 2 ? readBufferBytes : 0;
        mReadBuffer = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(readBufferBytes + extra)));
        if (!mReadBuffer) {
            return AURA_ERR_MEMORY;
        }
        mReadBufferLength = readBufferBytes;
        mChannelScratch = extra ? mReadBuffer + readBufferBytes : nullptr;
    }
    if (pcmBufferBytes > 0) {
        const AURA_RESULT result = allocPCMBuffer(pcmBufferBytes, pcmBufferSamples);
        if (result != AURA_OK) {
            return result;
        }
    }

    // Loop points outside the sound are dropped; a loop end is its last sample.
    if (mLoopEnd >= wf.lengthpcm && wf.lengthpcm > 0) {
        mLoopEnd = wf.lengthpcm - 1;
    }
    if (mLoopStart < mLoopEnd && wf.lengthpcm > 0) {
        wf.loopstart = mLoopStart;
        wf.loopend = mLoopEnd;
        wf.mode = AURA_LOOP_NORMAL;
    } else {
        mLoopStart = mLoopEnd = 0;
    }
    // The engine's ADPCM decoder pool, which plays compressed samples, is
    // made ready by the sound layer that owns it.
    return AURA_OK;
}

AURA_RESULT CodecWav::closeInternal()
{
    if (mSrcFormat && mSrcFormat != &mBuiltInFormat) {
        AURA_Memory_Free(mSrcFormat);
    }
    mSrcFormat = nullptr;
    if (mWaveFormatMemory) {
        AURA_Memory_Free(mWaveFormatMemory);
    }
    mWaveFormatMemory = nullptr;
    mState.waveformat = nullptr;
    if (mReadBuffer) {
        AURA_Memory_Free(mReadBuffer);
    }
    mReadBuffer = nullptr;
    mChannelScratch = nullptr;
    mReadBufferLength = 0;
    freeSyncPoints();
    freePCMBuffer();
    return AURA_OK;
}

AURA_RESULT CodecWav::decodeBlock(short *out, unsigned int blockalign, unsigned int perBlock)
{
    const unsigned int channels = mSrcFormat->nChannels;
    if (channels == 1) {
        return IMAAdpcm_DecodeM16(mReadBuffer, out, 1, blockalign, perBlock, 1);
    }
    if (channels == 2) {
        return IMAAdpcm_DecodeS16(mReadBuffer, out, 1, blockalign, perBlock);
    }
    // Each channel's header, then its 4-byte units of codes, gathered into
    // a mono block.
    const unsigned int units = (perBlock - 1 + 7) / 8;
    const unsigned int monoBytes = 4 + units * 4;
    for (unsigned int c = 0; c < channels; ++c) {
        std::memcpy(mChannelScratch, mReadBuffer + c * 4, 4);
        for (unsigned int u = 0; u < units; ++u) {
            std::memcpy(mChannelScratch + 4 + u * 4, mReadBuffer + imaCodeByte(u * 8, c, channels), 4);
        }
        const AURA_RESULT result =
            IMAAdpcm_DecodeM16(mChannelScratch, out + c, 1, monoBytes, perBlock, static_cast<int>(channels));
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecWav::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    if (!mSrcFormat || !mState.waveformat || !buffer) {
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
    const uint16_t tag = mSrcFormat->wFormatTag;
    const bool ima = tag == WAVE_FORMAT_IMA_ADPCM || tag == WAVE_FORMAT_IMA_ADPCM_ALT;

    if (ima && !mKeptCompressed) {
        const unsigned int blockalign = mSrcFormat->nBlockAlign;
        const unsigned int channels = mSrcFormat->nChannels;
        // The sound ends at its length, which may fall inside the last block.
        const uint64_t before = (here - mSrcDataOffset) / blockalign * mSamplesPerADPCMBlock;
        const uint64_t frames = std::min<uint64_t>(mSamplesPerADPCMBlock,
                                                   mState.waveformat->lengthpcm > before
                                                       ? mState.waveformat->lengthpcm - before
                                                       : 0);
        const auto produced = static_cast<unsigned int>(channels * frames * 2);
        const auto held = static_cast<unsigned int>(std::min<uint64_t>(end - here, blockalign));
        if (frames == 0 || held < 4 * channels || held > mReadBufferLength || !mReadBuffer) {
            return AURA_ERR_FILE_EOF;
        }
        if (sizebytes < produced) {
            return AURA_ERR_INVALID_PARAM;
        }
        unsigned int got = 0;
        result = readBytes(mReadBuffer, held, &got);
        if (result != AURA_OK) {
            return result;
        }
        result = decodeBlock(static_cast<short *>(buffer), held, static_cast<unsigned int>(frames));
        if (result != AURA_OK) {
            return result;
        }
        if (bytesread) {
            *bytesread = produced;
        }
        return AURA_OK;
    }
    if (!ima && tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT && tag != WAVE_FORMAT_EXTENSIBLE) {
        return AURA_ERR_PLUGIN_MISSING;
    }

    bool cut = false;
    if (sizebytes >= end - here) {
        sizebytes = static_cast<unsigned int>(end - here);
        cut = true;
    }
    unsigned int got = 0;
    const unsigned int bits = mSrcFormat->wBitsPerSample;
    if (!ima && bits == 16) {
        result = mFile->read(buffer, 2, sizebytes / 2, &got);
        got *= 2;
    } else {
        result = mFile->read(buffer, 1, sizebytes, &got);
    }
    if (!ima && bits == 8) {
        // Unsigned 8-bit samples become signed.
        auto *bytes = static_cast<uint8_t *>(buffer);
        for (unsigned int i = 0; i < got; ++i) {
            bytes[i] ^= 0x80;
        }
    }
    if (bytesread) {
        *bytesread = got;
    }
    if (cut && (result == AURA_OK || result == AURA_ERR_FILE_EOF)) {
        return AURA_ERR_FILE_EOF;
    }
    return result;
}

AURA_RESULT CodecWav::setPositionInternal(int subsound, unsigned int position, unsigned int postype)
{
    (void)subsound;
    if (!mState.waveformat || !mSrcFormat) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_CODEC_WAVEFORMAT &wf = *mState.waveformat;
    const uint64_t dataStart = mSrcDataOffset;
    if (postype == AURA_TIMEUNIT_RAWBYTES) {
        return seekTo(dataStart + std::min(position, mDataLength));
    }
    if (postype != AURA_TIMEUNIT_PCM) {
        return AURA_ERR_FORMAT;
    }
    if (position == 0 || wf.lengthpcm == 0 || mDataLength == 0) {
        return seekTo(dataStart + (position == 0 ? 0 : mDataLength));
    }
    const uint64_t blockalign = static_cast<unsigned int>(std::max(wf.blockalign, 1));
    const uint64_t raw = std::min<uint64_t>(static_cast<uint64_t>(position) * mDataLength / wf.lengthpcm,
                                            mDataLength);
    uint64_t aligned = raw / blockalign * blockalign;
    auto blockStart = static_cast<unsigned int>(aligned * wf.lengthpcm / mDataLength);
    if (mSamplesPerADPCMBlock > 0 && !mKeptCompressed) {
        // Decoded blocks: a short last block or a count that ends inside
        // one makes the bytes no measure of the frames.
        if (position >= wf.lengthpcm) {
            return seekTo(dataStart + mDataLength);
        }
        const unsigned int block = position / mSamplesPerADPCMBlock;
        aligned = static_cast<uint64_t>(block) * mSrcFormat->nBlockAlign;
        blockStart = block * mSamplesPerADPCMBlock;
    }
    AURA_RESULT result = seekTo(dataStart + aligned);
    if (result != AURA_OK) {
        return result;
    }
    if (wf.format == AURA_SOUND_FORMAT_IMAADPCM) {
        // Compressed data can only be entered at a block.
        return AURA_OK;
    }
    unsigned int positionBytes = 0;
    unsigned int blockStartBytes = 0;
    result = getBytesFromSamples(position, &positionBytes, wf.channels, wf.format);
    if (result == AURA_OK) {
        result = getBytesFromSamples(blockStart, &blockStartBytes, wf.channels, wf.format);
    }
    if (result != AURA_OK) {
        return result;
    }
    unsigned int left = positionBytes > blockStartBytes ? positionBytes - blockStartBytes : 0;
    uint8_t scratch[SEEK_SCRATCH_BYTES];
    while (left > 0) {
        unsigned int got = 0;
        result = read(scratch, std::min(left, SEEK_DISCARD_PIECE), &got);
        if (result != AURA_OK) {
            return result;
        }
        if (got == 0) {
            break;
        }
        left -= std::min(got, left);
    }
    return AURA_OK;
}

AURA_RESULT CodecWav::soundCreateInternal(int subsound, AURA_SOUND *sound)
{
    (void)subsound;
    if (mNumSyncPoints == 0) {
        return AURA_OK;
    }
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The sound keeps its own sorted copies; the codec's array goes.
    const AURA_RESULT result = addSyncPoints(sound, mSyncPoint, mNumSyncPoints);
    if (result != AURA_OK) {
        return result;
    }
    freeSyncPoints();
    return AURA_OK;
}

AURA_RESULT CodecWav::addSyncPoints(AURA_SOUND *sound, const AURA_SYNCPOINT *points, int count)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    auto *soundi = static_cast<SoundI *>(reinterpret_cast<Sound *>(sound));
    for (int i = 0; i < count; ++i) {
        const AURA_RESULT result = soundi->addSyncPoint(points[i].mOffset, points[i].mNameBuffer, nullptr);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecWav::canPointInternal()
{
    if (!mSrcFormat) {
        return AURA_ERR_MEMORY_CANTPOINT;
    }
    const uint16_t tag = mSrcFormat->wFormatTag;
    const bool plain = tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT ||
                       (tag == WAVE_FORMAT_EXTENSIBLE && isKnownSubFormat(*mSrcFormat));
    return plain && mSrcFormat->wBitsPerSample != 8 ? AURA_OK : AURA_ERR_MEMORY_CANTPOINT;
}

} // namespace AURA
