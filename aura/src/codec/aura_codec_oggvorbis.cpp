#include "codec/aura_codec_oggvorbis.h"

#include "base/aura_metadata.h"
#include "codec/wav/aura_codec_wav.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_oggvorbis";

// vorbisfile's out-of-memory code in decoders that route their memory
// through a context; the stock library never returns it, but a build of it
// that does must still give 44.
constexpr int OV_OUT_OF_MEMORY = -139;

constexpr uint64_t FILE_POSITION_MAX = 0xFFFFFFFFu;

// Seeks to an absolute 64-bit position; positions that do not fit the
// file layer's 32-bit offsets are refused rather than truncated.
AURA_RESULT seekAbsolute(File *file, uint64_t position)
{
    if (position > FILE_POSITION_MAX) {
        return AURA_ERR_INVALID_PARAM;
    }
    constexpr uint64_t intMax = static_cast<uint64_t>(INT_MAX);
    if (position <= intMax) {
        return file->seek(static_cast<int>(position), 0);
    }
    // Beyond INT_MAX: one step from the start, then the rest from there.
    const AURA_RESULT result = file->seek(INT_MAX, 0);
    if (result != AURA_OK) {
        return result;
    }
    return file->seek(static_cast<int>(position - intMax), 1);
}

// Reads exactly `size` bytes; a short read is reported as end of file.
AURA_RESULT readExact(File *file, void *buffer, unsigned int size)
{
    unsigned int got = 0;
    const AURA_RESULT result = file->read(buffer, 1, size, &got);
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    return got == size ? AURA_OK : AURA_ERR_FILE_EOF;
}

uint32_t readLE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

CodecOggVorbis *codecOf(void *datasource)
{
    return static_cast<CodecOggVorbis *>(datasource);
}

// Current position inside the codec's window, or a negative value.
int64_t windowPosition(CodecOggVorbis *codec)
{
    unsigned int at = 0;
    if (codec->mFile->tell(&at) != AURA_OK || at < codec->mOggStart) {
        return -1;
    }
    return static_cast<int64_t>(at - codec->mOggStart);
}

ov_callbacks vorbisCallbacks()
{
    ov_callbacks callbacks{};
    callbacks.read_func = &AURA_OggVorbis_ReadCallback;
    callbacks.seek_func = &AURA_OggVorbis_SeekCallback;
    callbacks.close_func = nullptr;
    callbacks.tell_func = &AURA_OggVorbis_TellCallback;
    return callbacks;
}

AURA_RESULT resultFromOpen(int ov)
{
    return ov == OV_OUT_OF_MEMORY ? AURA_ERR_MEMORY : AURA_ERR_FORMAT;
}

// Vorbis orders channels by their count (front left, centre, front right,
// ...); the engine takes them in WAV order (front left, front right,
// centre, LFE, back, side). kToWavOrder[n][v]: where Vorbis channel v of an
// n-channel stream goes.
constexpr int MAX_ORDERED_CHANNELS = 8;
constexpr int kToWavOrder[MAX_ORDERED_CHANNELS + 1][MAX_ORDERED_CHANNELS] = {
    {}, {0}, {0, 1},
    {0, 2, 1},                // L C R
    {0, 1, 2, 3},             // FL FR RL RR
    {0, 2, 1, 3, 4},          // FL C FR RL RR
    {0, 2, 1, 4, 5, 3},       // FL C FR RL RR LFE
    {0, 2, 1, 5, 6, 4, 3},    // FL C FR SL SR RC LFE
    {0, 2, 1, 6, 7, 4, 5, 3}, // FL C FR SL SR RL RR LFE
};
// The same layouts as WAVE_FORMAT_EXTENSIBLE speaker masks.
constexpr unsigned int kChannelMask[MAX_ORDERED_CHANNELS + 1] = {0, 0, 0, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};

// Puts whole 16-bit frames of Vorbis order into WAV order, in place.
void toWavOrder(int16_t *frames, size_t count, int channels)
{
    if (channels < 3 || channels > MAX_ORDERED_CHANNELS) {
        return;
    }
    const int *to = kToWavOrder[channels];
    int16_t vorbis[MAX_ORDERED_CHANNELS];
    for (size_t f = 0; f < count; ++f) {
        int16_t *frame = frames + f * static_cast<size_t>(channels);
        std::copy(frame, frame + channels, vorbis);
        for (int v = 0; v < channels; ++v) {
            frame[to[v]] = vorbis[v];
        }
    }
}
} // namespace

std::atomic<bool> CodecOggVorbis::gInitialized{false};

size_t AURA_OggVorbis_ReadCallback(void *ptr, size_t size, size_t nmemb, void *datasource)
{
    CodecOggVorbis *codec = codecOf(datasource);
    if (!codec || !codec->mFile || !ptr || size == 0 || nmemb == 0) {
        errno = 0;
        return 0;
    }
    // Whole items only, never more than the file layer can count, never past
    // the end of the window.
    uint64_t items = std::min<uint64_t>(nmemb, UINT_MAX / size);
    if (codec->mOggEndKnown) {
        const int64_t at = windowPosition(codec);
        if (at < 0) {
            errno = EIO;
            return 0;
        }
        const uint64_t length = codec->mOggEnd - codec->mOggStart;
        const uint64_t left = static_cast<uint64_t>(at) < length ? length - static_cast<uint64_t>(at) : 0;
        items = std::min<uint64_t>(items, left / size);
    }
    if (items == 0) {
        errno = 0;
        return 0;
    }
    unsigned int got = 0;
    const AURA_RESULT result =
        codec->mFile->read(ptr, static_cast<unsigned int>(size), static_cast<unsigned int>(items), &got);
    if (result == AURA_OK || result == AURA_ERR_FILE_EOF) {
        // vorbisfile takes a short read with errno set for an error.
        errno = 0;
        return std::min<size_t>(got, static_cast<size_t>(items));
    }
    // The callback's type cannot carry -1: nothing read with errno set is
    // vorbisfile's read error. The file's own answer is kept for the codec.
    codec->mReadError = result;
    errno = EIO;
    return 0;
}

int AURA_OggVorbis_SeekCallback(void *datasource, ogg_int64_t offset, int whence)
{
    CodecOggVorbis *codec = codecOf(datasource);
    if (!codec || !codec->mFile || !(codec->mFile->getFlags() & File::FLAG_SEEKABLE)) {
        return -1;
    }
    int64_t base = 0;
    switch (whence) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = windowPosition(codec);
        if (base < 0) {
            return -1;
        }
        break;
    case SEEK_END:
        if (codec->mOggEndKnown) {
            base = static_cast<int64_t>(codec->mOggEnd - codec->mOggStart);
        } else {
            unsigned int size = 0;
            if (codec->mFile->getSize(&size) != AURA_OK || size < codec->mOggStart) {
                return -1;
            }
            base = static_cast<int64_t>(size - codec->mOggStart);
        }
        break;
    default:
        return -1;
    }
    // Both values are within 33 bits here; the sum cannot overflow, and a
    // target outside the 32-bit file positions is refused.
    if (offset < -static_cast<ogg_int64_t>(FILE_POSITION_MAX) ||
        offset > static_cast<ogg_int64_t>(FILE_POSITION_MAX)) {
        return -1;
    }
    const int64_t target = base + offset;
    if (target < 0) {
        return -1;
    }
    const uint64_t absolute = codec->mOggStart + static_cast<uint64_t>(target);
    if (absolute > FILE_POSITION_MAX) {
        return -1;
    }
    return seekAbsolute(codec->mFile, absolute) == AURA_OK ? 0 : -1;
}

long AURA_OggVorbis_TellCallback(void *datasource)
{
    CodecOggVorbis *codec = codecOf(datasource);
    if (!codec || !codec->mFile) {
        return -1;
    }
    return static_cast<long>(windowPosition(codec));
}

constinit AURA_CODEC_DESCRIPTION_EX oggvorbiscodec;

AURA_CODEC_DESCRIPTION_EX *CodecOggVorbis::getDescriptionEx()
{
    return describeOnce(oggvorbiscodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA Ogg Vorbis Codec";
        description.version = 0x10100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM;
        CodecCallbacks<CodecOggVorbis>::describe(description);
        description.getmemoryused = &CodecOggVorbis::getMemoryUsedCallback;
        description.mType = AURA_SOUND_TYPE_OGGVORBIS;
        description.mSize = sizeof(CodecOggVorbis);
        description.mConstruct = &constructCodec<CodecOggVorbis>;
    });
}

AURA_RESULT CodecOggVorbis::openInternal(AURA_MODE /*mode*/, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    // The engine's global object is a single fixed instance: nothing to make
    // current before allocating.
    mType = AURA_SOUND_TYPE_OGGVORBIS;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mVorbisOpen) {
        (void)closeInternal();
    }
    AURA_RESULT result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    const bool seekable = (mFile->getFlags() & File::FLAG_SEEKABLE) != 0;
    mSrcDataOffset = 0;
    mOggStart = 0;
    mOggEnd = 0;
    mOggEndKnown = false;
    mBrokenLink = false;
    uint64_t byteLength = 0;
    bool haveByteLength = false;

    // A file too short for a header is not ours: 25, not end of file.
    uint8_t header[8];
    result = readExact(mFile, header, sizeof(header));
    if (result == AURA_ERR_FILE_EOF) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    if (std::memcmp(header, "RIFF", 4) == 0) {
        uint8_t wave[4];
        result = readExact(mFile, wave, sizeof(wave));
        if (result == AURA_ERR_FILE_EOF) {
            return AURA_ERR_FORMAT;
        }
        if (result != AURA_OK) {
            return result;
        }
        if (std::memcmp(wave, "WAVE", 4) == 0) {
            CodecWav::ChunkFacts facts;
            const AURA_RESULT walked = CodecWav::scanChunks(mFile, readLE32(header + 4), &facts);
            if (walked == AURA_OK && facts.haveFormat && facts.haveData) {
                if (facts.formatTag != WAVE_FORMAT_OGGVORBIS) {
                    return AURA_ERR_FORMAT;
                }
                mSrcDataOffset = facts.dataOffset;
                byteLength = facts.dataSize;
                haveByteLength = true;
                mOggStart = facts.dataOffset;
                mOggEnd = static_cast<uint64_t>(facts.dataOffset) + facts.dataSize;
                mOggEndKnown = true;
                mLoopStart = facts.loopStart;
                mLoopEnd = facts.loopEnd;
            }
        }
    }

    result = seekAbsolute(mFile, mSrcDataOffset);
    if (result != AURA_OK) {
        return result;
    }
    uint8_t magic[4];
    result = readExact(mFile, magic, sizeof(magic));
    if (result == AURA_ERR_FILE_EOF || (result == AURA_OK && std::memcmp(magic, "OggS", 4) != 0)) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }

    gInitialized.store(true, std::memory_order_relaxed);

    bool lengthFromFile = false;
    if (!haveByteLength) {
        unsigned int size = 0;
        result = mFile->getSize(&size);
        if (result != AURA_OK) {
            return result;
        }
        byteLength = size;
        lengthFromFile = true;
    }

    result = openDecoder();
    if (result == AURA_ERR_FORMAT && seekable) {
        result = openBeforeBrokenLink();
        if (result == AURA_OK && lengthFromFile) {
            byteLength = mOggEnd;
        }
    }
    if (result != AURA_OK) {
        return result;
    }

    const vorbis_info *info = ov_info(&mVorbisFile, -1);
    if (!info || info->channels <= 0 || info->rate <= 0 || info->rate > INT_MAX) {
        return AURA_ERR_FORMAT;
    }
    result = readVorbisComments();
    if (result != AURA_OK) {
        return result;
    }

    mWaveFormat = AURA_CODEC_WAVEFORMAT{};
    mWaveFormat.format = AURA_SOUND_FORMAT_PCM16;
    mWaveFormat.channels = info->channels;
    mWaveFormat.frequency = static_cast<int>(info->rate);
    mWaveFormat.blockalign = info->channels * 2;
    if (info->channels <= MAX_ORDERED_CHANNELS) {
        mWaveFormat.channelmask = kChannelMask[info->channels];
    }
    uint64_t lengthBytes = byteLength;
    if (lengthFromFile && byteLength != 0xFFFFFFFFu) {
        lengthBytes = byteLength >= mSrcDataOffset ? byteLength - mSrcDataOffset : 0;
    }
    mWaveFormat.lengthbytes = static_cast<unsigned int>(std::min<uint64_t>(lengthBytes, FILE_POSITION_MAX));
    mWaveFormat.loopstart = mLoopStart;
    mWaveFormat.loopend = mLoopEnd;

    if (!seekable) {
        mWaveFormat.lengthpcm = LENGTH_UNSEEKABLE;
        result = holdFirstFrame();
        if (result != AURA_OK) {
            return result;
        }
    } else {
        // Each link's total fits 64 bits; their sum is kept in 64 bits and
        // cut to the largest known length so that a crafted granule position
        // cannot wrap it to something small.
        // A link of other channels or another rate ends the sound: its
        // frames are not frames of this one.
        long links = ov_streams(&mVorbisFile);
        for (long link = 1; link < links; ++link) {
            const vorbis_info *other = ov_info(&mVorbisFile, static_cast<int>(link));
            if (!other || other->channels != info->channels || other->rate != info->rate) {
                links = link;
            }
        }
        mLinks = links;
        uint64_t total = 0;
        for (long link = 0; link < links; ++link) {
            const ogg_int64_t samples = ov_pcm_total(&mVorbisFile, static_cast<int>(link));
            if (samples < 0) {
                return AURA_ERR_FORMAT;
            }
            total += std::min<uint64_t>(static_cast<uint64_t>(samples), LENGTH_MAX);
            total = std::min<uint64_t>(total, LENGTH_MAX);
        }
        if (total == 0) {
            return AURA_ERR_FORMAT;
        }
        // Where vorbisfile left the file: its next read goes on from there.
        unsigned int resume = 0;
        result = mFile->tell(&resume);
        bool moved = false;
        if (result == AURA_OK) {
            result = measureLength(&total, &moved);
        }
        if (result == AURA_OK && total == 0) {
            result = AURA_ERR_FORMAT;
        }
        if (result == AURA_OK && !moved) {
            result = seekAbsolute(mFile, resume);
        } else if (result == AURA_OK) {
            // Measuring moved the decoder: it starts again from the top.
            // (Most files need no decoding to measure, and keep the open
            // decoder: opening parses the codebooks again.)
            mVorbisFile.datasource = nullptr;
            (void)ov_clear(&mVorbisFile);
            mVorbisOpen = false;
            result = openDecoder();
        }
        if (result == AURA_OK && ov_streams(&mVorbisFile) > 1 && ov_raw_seek(&mVorbisFile, 0) != 0) {
            // (Freshly opened, vorbisfile reads past a first link of a
            // single audio page; placed at the start it does not.)
            result = AURA_ERR_FILE_COULDNOTSEEK;
        }
        if (result != AURA_OK) {
            return result;
        }
        mWaveFormat.lengthpcm = static_cast<unsigned int>(std::min<uint64_t>(total, LENGTH_MAX));
        boundLength(static_cast<uint64_t>(mWaveFormat.lengthpcm) * static_cast<unsigned int>(mWaveFormat.blockalign),
                    COMPRESSED_RATIO_BOUND);
    }

    if (mSrcDataOffset == 0) {
        // A seekable stream knows where its first link's audio starts; the
        // read position may already be a page further.
        const ogg_int64_t at = seekable && mVorbisFile.dataoffsets ? mVorbisFile.dataoffsets[0]
                                                                   : ov_raw_tell(&mVorbisFile);
        mSrcDataOffset = at > 0 ? static_cast<unsigned int>(std::min<uint64_t>(static_cast<uint64_t>(at),
                                                                                FILE_POSITION_MAX))
                                : 0;
    }
    mState.waveformat = &mWaveFormat;
    mState.numsubsounds = 0;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Lengths that agree with the decoder

namespace {
// The facts of one page that the length needs.
struct PageFacts {
    uint64_t offset = 0; // in the window
    uint64_t size = 0;
    int64_t granule = -1;
    uint32_t serial = 0;
    bool begins = false; // the first page of a logical stream
};

// Pages read from the start of a link before giving up on a second
// granule position, and bytes of the file's end searched for its last two.
constexpr int HEAD_PAGES = 64;
constexpr uint64_t TAIL_BYTES = 256 * 1024;

uint64_t readLE64(const uint8_t *p)
{
    return static_cast<uint64_t>(readLE32(p)) | static_cast<uint64_t>(readLE32(p + 4)) << 32;
}

// The page whose header starts at `at` in the codec's window.
AURA_RESULT readPageFacts(CodecOggVorbis *codec, uint64_t at, PageFacts *page)
{
    AURA_RESULT result = seekAbsolute(codec->mFile, codec->mOggStart + at);
    uint8_t head[27 + 255];
    if (result == AURA_OK) {
        result = readExact(codec->mFile, head, 27);
    }
    if (result == AURA_OK && std::memcmp(head, "OggS", 4) != 0) {
        result = AURA_ERR_FORMAT;
    }
    if (result == AURA_OK) {
        result = readExact(codec->mFile, head + 27, head[26]);
    }
    if (result != AURA_OK) {
        return result;
    }
    uint64_t body = 0;
    for (int i = 0; i < head[26]; ++i) {
        body += head[27 + i];
    }
    page->offset = at;
    page->size = 27 + head[26] + body;
    page->granule = static_cast<int64_t>(readLE64(head + 6));
    page->serial = readLE32(head + 14);
    page->begins = (head[5] & 0x02) != 0;
    return AURA_OK;
}

// The last two pages of `serial` that end a packet, among the pages that
// lie whole in [from, to) of the window; `cut` is set when the last page of
// `serial` does not end its stream, or a page is cut short at `to`.
void findLastPages(CodecOggVorbis *codec, uint64_t from, uint64_t to, uint32_t serial, PageFacts *previous,
                   PageFacts *last, bool *cut = nullptr)
{
    if (to <= from || seekAbsolute(codec->mFile, codec->mOggStart + from) != AURA_OK) {
        return;
    }
    const auto bytes = static_cast<long>(to - from);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char *buffer = ogg_sync_buffer(&sync, bytes);
    if (buffer && readExact(codec->mFile, buffer, static_cast<unsigned int>(bytes)) == AURA_OK) {
        ogg_sync_wrote(&sync, bytes);
        uint64_t at = from;
        ogg_page page;
        bool ended = false;
        for (long step = ogg_sync_pageseek(&sync, &page); step != 0; step = ogg_sync_pageseek(&sync, &page)) {
            if (step > 0 && static_cast<uint32_t>(ogg_page_serialno(&page)) == serial) {
                ended = ogg_page_eos(&page) != 0;
                if (ogg_page_granulepos(&page) != -1) {
                    *previous = *last;
                    *last = PageFacts{at, static_cast<uint64_t>(step), ogg_page_granulepos(&page), serial};
                }
            }
            at += static_cast<uint64_t>(step > 0 ? step : -step);
        }
        if (cut) {
            *cut = !ended || at < to;
        }
    }
    ogg_sync_clear(&sync);
}

// The most bytes read for a count of a few pages without decoding, and the
// piece of the file a walk reads at a time.
constexpr uint64_t COUNT_BYTES_MAX = 1024 * 1024;
constexpr uint64_t WALK_READ_BYTES = 64 * 1024;

// Walks the packets of `serial` in the pages that lie whole in [from, to)
// of the codec's window, without decoding: `packet(block)` gets each
// packet's block size in order, `page(page)` each page once its packets are
// out, and either may stop the walk by answering false. A gap before the
// first packet is the packet that began before `from`; any other gap, a
// header or an empty packet stops the walk. False when it was stopped, or
// when the span is longer than `limit`.
template <class OnPacket, class OnPage>
bool walkBlockSizes(CodecOggVorbis *codec, vorbis_info *info, uint32_t serial, uint64_t from, uint64_t to,
                    OnPacket &&packet, OnPage &&page, uint64_t limit = COUNT_BYTES_MAX)
{
    if (!info || to <= from || to - from > limit || seekAbsolute(codec->mFile, codec->mOggStart + from) != AURA_OK) {
        return false;
    }
    ogg_sync_state sync;
    ogg_stream_state stream;
    ogg_sync_init(&sync);
    ogg_stream_init(&stream, static_cast<int>(serial));
    bool going = true;
    bool any = false;
    uint64_t left = to - from;
    while (going) {
        ogg_page current;
        if (ogg_sync_pageout(&sync, &current) != 1) {
            // The pages read so far are out: the next piece of the span.
            const auto bytes = static_cast<long>(std::min(left, WALK_READ_BYTES));
            char *buffer = bytes > 0 ? ogg_sync_buffer(&sync, bytes) : nullptr;
            if (!buffer || readExact(codec->mFile, buffer, static_cast<unsigned int>(bytes)) != AURA_OK) {
                // The end of the span, or a file that ends before it.
                going = bytes == 0;
                break;
            }
            ogg_sync_wrote(&sync, bytes);
            left -= static_cast<uint64_t>(bytes);
            continue;
        }
        if (static_cast<uint32_t>(ogg_page_serialno(&current)) != serial) {
            continue;
        }
        going = ogg_stream_pagein(&stream, &current) == 0;
        ogg_packet op;
        for (int got = going ? ogg_stream_packetout(&stream, &op) : 0; got != 0 && going;
             got = ogg_stream_packetout(&stream, &op)) {
            if (got < 0 && !any) {
                continue;
            }
            const long block = got > 0 && op.bytes > 0 ? vorbis_packet_blocksize(info, &op) : -1;
            going = block > 0 && packet(block);
            any = true;
        }
        going = going && page(current);
    }
    ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    return going;
}

// The audio libvorbis hands out from the link's first audio page at `from`
// up to the end of the page `upto`, counted from the packets' block sizes
// alone: each packet after the first gives a quarter of its own block and a
// quarter of the one before. -1 when the pages do not tell.
int64_t countToPage(CodecOggVorbis *codec, vorbis_info *info, uint64_t from, const PageFacts &upto)
{
    int64_t count = 0;
    long before = 0;
    const bool known = upto.offset >= from &&
                       walkBlockSizes(
                           codec, info, upto.serial, from, upto.offset + upto.size,
                           [&](long block) {
                               count += before > 0 ? before / 4 + block / 4 : 0;
                               before = block;
                               return true;
                           },
                           [](const ogg_page &) { return true; });
    return known ? count : -1;
}

// Whether the decoder ends where the last page's granule position says,
// told from the packets' block sizes counted on from the page before it
// (the last packet that ends on `previous` gives the block the count goes
// on from): either the packets end there, or the stream's last page cuts
// the end inside its last packet, which libvorbis does.
bool endAgrees(CodecOggVorbis *codec, vorbis_info *info, const PageFacts &previous, const PageFacts &last)
{
    if (previous.granule < 0 || last.granule < previous.granule || last.offset < previous.offset) {
        return false;
    }
    int64_t count = previous.granule;
    int64_t lastOutput = 0;
    long before = 0;
    bool first = true;
    bool ends = false;
    const bool known = walkBlockSizes(
        codec, info, last.serial, previous.offset, last.offset + last.size,
        [&](long block) {
            lastOutput = first ? 0 : before / 4 + block / 4;
            count += lastOutput;
            before = block;
            return true;
        },
        [&](const ogg_page &page) {
            ends = ogg_page_eos(&page) != 0;
            // A packet must end on `previous` to give the block to go on
            // from; one that began before it was lost with the gap.
            const bool ok = !first || before > 0;
            first = false;
            return ok;
        });
    const int64_t cut = count - last.granule;
    return known && !first && (cut == 0 || (ends && cut > 0 && cut <= lastOutput));
}
} // namespace

bool CodecOggVorbis::mapShiftSteps(uint64_t countedAt, uint64_t countedEnd, uint64_t uptoEnd, int64_t *endShift)
{
    OggVorbis_File &vf = mVorbisFile;
    // vorbisfile's seek positions are the granule positions less the part
    // of the first page that its packets do not hold.
    const int64_t base = vf.pcmlengths ? vf.pcmlengths[0] : 0;
    auto decoded = static_cast<int64_t>(countedEnd);
    int64_t shift = mPcmShift;
    int64_t before = decoded + shift; // vorbisfile's position at the last page with one
    int64_t beforeEnd = decoded;
    long lastBlock = 0;
    bool first = true;
    bool steppable = true;
    const bool known = walkBlockSizes(
        this, ov_info(&vf, 0), static_cast<uint32_t>(vf.serialnos[0]), countedAt, uptoEnd,
        [&](long block) {
            // The packets that end on the counted page are in its count
            // already: only the last one's block is needed.
            decoded += first ? 0 : lastBlock / 4 + block / 4;
            lastBlock = block;
            return true;
        },
        [&](const ogg_page &page) {
            if (first) {
                first = false;
                return lastBlock > 0;
            }
            const int64_t granule = ogg_page_granulepos(&page);
            if (granule == -1) {
                return true;
            }
            const int64_t at = granule - base;
            if (at - decoded != shift) {
                // A new count from this page on. Seeks trust vorbisfile's
                // search only while its positions keep rising.
                if (mStepCount == MAX_SHIFT_STEPS || at <= before) {
                    steppable = false;
                } else {
                    mSteps[mStepCount++] = ShiftStep{static_cast<uint64_t>(beforeEnd), static_cast<uint64_t>(decoded),
                                                     at - decoded, before};
                }
                shift = at - decoded;
            }
            before = at;
            beforeEnd = decoded;
            return true;
        },
        UINT64_MAX);
    if (!known || first) {
        mStepCount = 0;
        return false;
    }
    if (!steppable) {
        // Every seek decodes from the top.
        mStepCount = 0;
        mShiftFrom = UINT64_MAX;
    }
    *endShift = shift;
    return true;
}

AURA_RESULT CodecOggVorbis::measureLength(uint64_t *total, bool *moved)
{
    *moved = false;
    mStepCount = 0;
    OggVorbis_File &vf = mVorbisFile;
    const long links = ov_streams(&vf);
    if (links <= 0 || !vf.offsets || !vf.dataoffsets || !vf.serialnos) {
        return AURA_OK;
    }
    const auto frameBytes = static_cast<uint64_t>(mWaveFormat.blockalign);
    char scratch[4096];
    const auto decodeBytes = static_cast<int>(sizeof(scratch) - sizeof(scratch) % frameBytes);

    // The start: a first audio page whose granule position is below what
    // it holds (below zero, or trimming its start) makes libvorbis keep
    // audio that vorbisfile does not count, until the second page with a
    // granule position puts its count right. Decoding up to there shows by
    // how much the two differ. vorbisfile has read ahead of the pages it
    // handed out: it must go on from where the file is now.
    unsigned int readPosition = 0;
    AURA_RESULT result = mFile->tell(&readPosition);
    if (result != AURA_OK) {
        return result;
    }
    // The last link that plays, where it ends, its last two pages, and
    // whether the file ends before that link does.
    const long playing = mLinks > 0 ? std::min(mLinks, links) : links;
    const long last = playing - 1;
    const auto end = playing < links ? static_cast<uint64_t>(vf.offsets[playing])
                                     : static_cast<uint64_t>(std::max(vf.end, vf.offsets[links]));
    const auto linkData = static_cast<uint64_t>(vf.dataoffsets[last]);
    PageFacts previous;
    PageFacts lastPage;
    findLastPages(this, std::max(linkData, end > TAIL_BYTES ? end - TAIL_BYTES : 0), end,
                  static_cast<uint32_t>(vf.serialnos[last]), &previous, &lastPage, &mCut);
    PageFacts first;
    PageFacts second;
    int found = 0;
    uint64_t at = static_cast<uint64_t>(vf.dataoffsets[0]);
    for (int i = 0; i < HEAD_PAGES && found < 2 && at < static_cast<uint64_t>(vf.offsets[1]); ++i) {
        PageFacts page;
        if (readPageFacts(this, at, &page) != AURA_OK) {
            break;
        }
        if (page.serial == static_cast<uint32_t>(vf.serialnos[0]) && page.granule != -1) {
            (found == 0 ? first : second) = page;
            ++found;
        }
        at += page.size;
    }
    // A first granule position at or above zero sets vorbisfile's count at
    // the end of its own page, so the two are compared once past it; one
    // below zero only at the second page. The last page may claim anything:
    // the end below deals with it.
    const bool negative = first.granule < 0;
    const PageFacts &counted = negative ? second : first;
    // Most files hold at their first granule position exactly what their
    // packets' block sizes add up to: then the two counts agree, and no
    // decoding is needed to show it.
    const int64_t packetsHold =
        found > 0 && !negative ? countToPage(this, ov_info(&vf, 0), static_cast<uint64_t>(vf.dataoffsets[0]), first)
                               : -1;
    const bool agree = packetsHold == first.granule;
    // A first granule position above what its packets hold starts
    // vorbisfile's count there: its total already leaves that out, and its
    // position runs that far ahead of the frames decoded.
    const int64_t ahead = packetsHold >= 0 && first.granule > packetsHold ? first.granule - packetsHold : 0;
    // vorbisfile's position less the frames decoded, at the end.
    int64_t endShift = 0;
    if (found > 0 && (negative || found == 2) && !agree) {
        *moved = true;
        result = seekAbsolute(mFile, readPosition);
        uint64_t decoded = 0;
        while (result == AURA_OK) {
            if (found == 2 && static_cast<uint64_t>(ov_raw_tell(&vf)) > counted.offset + counted.size) {
                const int64_t shift = ov_pcm_tell(&vf) - static_cast<int64_t>(decoded) - ahead;
                if (shift != 0 || ahead != 0) {
                    // vorbisfile's seeks land off by up to `ahead` frames
                    // until the second page: the frames before its end are
                    // reached by decoding from the top.
                    mPcmShift = shift;
                    mShiftFrom = static_cast<uint64_t>(std::max<int64_t>(second.granule - ahead - mPcmShift + 1, 0));
                    const int64_t length = static_cast<int64_t>(*total) - mPcmShift;
                    *total = length > 0 ? static_cast<uint64_t>(length) : *total;
                    endShift = mPcmShift;
                }
                break;
            }
            int bitstream = 0;
            const long got = ov_read(&vf, scratch, decodeBytes, 0, 2, 1, &bitstream);
            if (got == 0) {
                // The whole stream was that short: its length is known, and
                // every seek of a stream counted apart decodes from the top.
                if (decoded != *total) {
                    *total = decoded;
                    mShiftFrom = UINT64_MAX;
                }
                return AURA_OK;
            }
            if (got < 0 && got != OV_HOLE) {
                return got == OV_OUT_OF_MEMORY ? AURA_ERR_MEMORY : AURA_ERR_FORMAT;
            }
            decoded += got > 0 ? static_cast<uint64_t>(got) / frameBytes : 0;
        }
        if (result != AURA_OK) {
            return result;
        }
        // A muxer that starts below zero may count from zero again later
        // on: the shift at the end is what the length leaves out.
        const int64_t countedEnd = counted.granule - vf.pcmlengths[0] - mPcmShift;
        int64_t shift = 0;
        if (found == 2 && last == 0 && previous.granule >= 0 && previous.offset >= counted.offset && countedEnd >= 0 &&
            mapShiftSteps(counted.offset, static_cast<uint64_t>(countedEnd), previous.offset + previous.size, &shift) &&
            shift != mPcmShift) {
            const int64_t length = static_cast<int64_t>(*total) + mPcmShift - shift;
            *total = length > 0 ? static_cast<uint64_t>(length) : *total;
            endShift = shift;
        }
    }

    // The end: the last page's granule position may claim more than its
    // data holds. Decoding from the page before it shows where the data
    // really ends; a shorter claim cuts the end, as the decoder does.
    if (previous.granule < 0 || previous.size == 0) {
        return AURA_OK;
    }
    // The usual end: the last granule position is where the packets end.
    if (endShift == 0 && endAgrees(this, ov_info(&vf, static_cast<int>(last)), previous, lastPage)) {
        return AURA_OK;
    }
    *moved = true;
    if (ov_raw_seek(&vf, static_cast<ogg_int64_t>(previous.offset)) != 0) {
        return AURA_OK;
    }
    const ogg_int64_t from = ov_pcm_tell(&vf);
    uint64_t decoded = 0;
    for (;;) {
        int bitstream = 0;
        const long got = ov_read(&vf, scratch, decodeBytes, 0, 2, 1, &bitstream);
        if (got == 0 || bitstream > last) {
            break;
        }
        if (got < 0 && got != OV_HOLE) {
            // A damaged end: vorbisfile's count stands.
            return AURA_OK;
        }
        decoded += got > 0 ? static_cast<uint64_t>(got) / frameBytes : 0;
    }
    const int64_t length = from + static_cast<int64_t>(decoded) - endShift;
    if (from >= 0 && length > 0) {
        *total = static_cast<uint64_t>(length);
    }
    return AURA_OK;
}

AURA_RESULT CodecOggVorbis::openDecoder()
{
    const AURA_RESULT result = seekAbsolute(mFile, mOggStart);
    if (result != AURA_OK) {
        return result;
    }
    std::memset(static_cast<void *>(&mVorbisFile), 0, sizeof(mVorbisFile));
    const int opened = ov_open_callbacks(this, &mVorbisFile, nullptr, 0, vorbisCallbacks());
    if (opened < 0) {
        // vorbisfile has already cleared the record.
        std::memset(static_cast<void *>(&mVorbisFile), 0, sizeof(mVorbisFile));
        return resultFromOpen(opened);
    }
    mVorbisOpen = true;
    return AURA_OK;
}

AURA_RESULT CodecOggVorbis::openBeforeBrokenLink()
{
    // Where each link after the first begins: a first page of a stream that
    // follows a page that is not one (the first pages of a link's streams
    // come together). The walk ends at the first page that is not whole.
    constexpr size_t LINKS_TRIED = 4;
    uint64_t starts[LINKS_TRIED] = {};
    size_t found = 0;
    uint64_t at = 0;
    bool previousBegins = true;
    const uint64_t windowEnd = mOggEndKnown ? mOggEnd - mOggStart : FILE_POSITION_MAX;
    PageFacts page;
    while (at < windowEnd && readPageFacts(this, at, &page) == AURA_OK && at + page.size <= windowEnd) {
        if (page.begins && !previousBegins) {
            // Only the last few links are worth trying.
            starts[found % LINKS_TRIED] = at;
            ++found;
        }
        previousBegins = page.begins;
        at += page.size;
    }
    const uint64_t oldEnd = mOggEnd;
    const bool oldEndKnown = mOggEndKnown;
    AURA_RESULT result = AURA_ERR_FORMAT;
    for (size_t tried = 0; tried < std::min(found, LINKS_TRIED) && result == AURA_ERR_FORMAT; ++tried) {
        mOggEnd = mOggStart + starts[(found - 1 - tried) % LINKS_TRIED];
        mOggEndKnown = true;
        result = openDecoder();
    }
    if (result == AURA_OK) {
        mBrokenLink = true;
    } else {
        mOggEnd = oldEnd;
        mOggEndKnown = oldEndKnown;
    }
    return result;
}

AURA_RESULT CodecOggVorbis::holdFirstFrame()
{
    const auto frameBytes = static_cast<unsigned int>(mWaveFormat.blockalign);
    if (frameBytes == 0 || frameBytes > HELD_BYTES_MAX) {
        return AURA_ERR_FORMAT;
    }
    for (;;) {
        int bitstream = 0;
        const long got =
            ov_read(&mVorbisFile, reinterpret_cast<char *>(mHeld), static_cast<int>(frameBytes), 0, 2, 1, &bitstream);
        if (got == OV_HOLE) {
            continue; // (each hole is data passed over: the end comes)
        }
        if (got > 0) {
            mHeldBytes = static_cast<unsigned int>(std::min<long>(got, frameBytes));
            toWavOrder(reinterpret_cast<int16_t *>(mHeld), 1, mWaveFormat.channels);
            return AURA_OK;
        }
        if (got == 0) {
            return AURA_ERR_FORMAT; // headers and no audio
        }
        return got == OV_OUT_OF_MEMORY ? AURA_ERR_MEMORY : hardError(got);
    }
}

AURA_RESULT CodecOggVorbis::hardError(long ov)
{
    if (ov == OV_EREAD && mReadError != AURA_OK && mReadError != AURA_ERR_FILE_EOF) {
        mDecodeError = mReadError;
    } else {
        mDecodeError = ov == OV_EREAD ? AURA_ERR_FILE_BAD : AURA_ERR_FORMAT;
    }
    return mDecodeError;
}

template <class Report>
AURA_RESULT CodecOggVorbis::forEachComment(const vorbis_comment *comments, const char *noname, Report &&report)
{
    if (!comments || comments->comments <= 0 || !comments->user_comments || !comments->comment_lengths) {
        return AURA_OK;
    }
    for (int i = 0; i < comments->comments; ++i) {
        const char *text = comments->user_comments[i];
        const int length = comments->comment_lengths[i];
        if (!text || length < 0 || length >= MemPool::MAX_SIZE) {
            continue;
        }
        const auto *equals = static_cast<const char *>(std::memchr(text, '=', static_cast<size_t>(length)));
        if (!equals && !noname) {
            continue;
        }
        auto *copy = static_cast<char *>(AURA_Memory_Alloc(length + 1));
        if (!copy) {
            return AURA_ERR_MEMORY;
        }
        std::memcpy(copy, text, static_cast<size_t>(length));
        copy[length] = '\0';
        const char *name = noname;
        const char *value = copy;
        if (equals) {
            const auto split = static_cast<size_t>(equals - text);
            copy[split] = '\0';
            name = copy;
            value = copy + split + 1;
        }
        const AURA_RESULT result = report(name, value, i);
        AURA_Memory_Free(copy);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecOggVorbis::readVorbisComments()
{
    const vorbis_comment *comments = ov_comment(&mVorbisFile, -1);
    return forEachComment(comments, nullptr, [this](const char *name, const char *value, int) {
        return metaData(AURA_TAGTYPE_VORBISCOMMENT, name, value, static_cast<unsigned int>(std::strlen(value) + 1),
                        AURA_TAGDATATYPE_STRING, false);
    });
}

AURA_RESULT CodecOggVorbis::reportVorbisComments(const vorbis_comment *comments)
{
    return forEachComment(comments, "NONAME", [&](const char *name, const char *value, int index) {
        // How often this name came earlier in the block.
        int occurrence = 0;
        const size_t length = std::strlen(name);
        for (int i = 0; i < index; ++i) {
            const char *earlier = comments->user_comments[i];
            const int earlierBytes = comments->comment_lengths[i];
            if (!earlier || earlierBytes < 0) {
                continue;
            }
            const auto *equals = static_cast<const char *>(std::memchr(earlier, '=', static_cast<size_t>(earlierBytes)));
            const char *earlierName = equals ? earlier : "NONAME";
            const size_t earlierLength = equals ? static_cast<size_t>(equals - earlier) : std::strlen("NONAME");
            occurrence += earlierLength == length && std::memcmp(earlierName, name, length) == 0 ? 1 : 0;
        }
        Metadata *list = tags();
        return list ? list->setTag(AURA_TAGTYPE_VORBISCOMMENT, name, occurrence, value,
                                   static_cast<unsigned int>(std::strlen(value) + 1), AURA_TAGDATATYPE_STRING)
                    : AURA_ERR_MEMORY;
    });
}

AURA_RESULT CodecOggVorbis::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    if (!mVorbisOpen) {
        return AURA_ERR_FILE_EOF;
    }
    if (mDecodeError != AURA_OK) {
        return mDecodeError;
    }
    if (!buffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mHeldBytes > 0) {
        // The frame decoded at open comes first; the comments are reported
        // with the next decoded piece.
        const unsigned int n = std::min(mHeldBytes, sizebytes);
        std::memcpy(buffer, mHeld, n);
        std::memmove(mHeld, mHeld + n, mHeldBytes - n);
        mHeldBytes -= n;
        if (bytesread) {
            *bytesread = n;
        }
        return AURA_OK;
    }
    const int want = static_cast<int>(std::min<unsigned int>(sizebytes, INT_MAX));
    int bitstream = 0;
    const long got = ov_read(&mVorbisFile, static_cast<char *>(buffer), want, 0, 2, 1, &bitstream);
    if (got > 0 && !sameFormatLink()) {
        // A link of other channels or another rate: the sound ends before it.
        return AURA_ERR_FILE_EOF;
    }
    if (got > 0 || got == OV_HOLE) {
        if (got > 0) {
            const auto delivered = static_cast<unsigned int>(std::min<long>(got, want));
            const int channels = mWaveFormat.channels;
            toWavOrder(static_cast<int16_t *>(buffer), delivered / (2u * static_cast<unsigned int>(channels)),
                       channels);
            if (bytesread) {
                *bytesread = delivered;
            }
        }
        // Report each comment block once: the first read after open, and
        // the first read of every new link.
        vorbis_comment *comments = ov_comment(&mVorbisFile, -1);
        if (comments && comments->comments > 0) {
            (void)reportVorbisComments(comments);
            vorbis_comment_clear(comments);
        }
        return AURA_OK;
    }
    if (got == 0) {
        // A stream that cannot seek learns only here whether its last link
        // came to its end page.
        mCut = mCut || (!mVorbisFile.seekable && mVorbisFile.os.e_o_s == 0);
        return AURA_ERR_FILE_EOF;
    }
    if (got == OV_OUT_OF_MEMORY) {
        return AURA_ERR_MEMORY;
    }
    // A bad link, a broken header or a read error: vorbisfile's state is
    // not to be trusted with another call.
    return hardError(got);
}

bool CodecOggVorbis::sameFormatLink()
{
    const vorbis_info *info = ov_info(&mVorbisFile, -1);
    return info && info->channels == mWaveFormat.channels && info->rate == mWaveFormat.frequency;
}

AURA_RESULT CodecOggVorbis::skipFrames(uint64_t frames, uint64_t *skipped)
{
    *skipped = 0;
    const auto frameBytes = static_cast<uint64_t>(mWaveFormat.channels) * 2;
    char scratch[4096];
    while (*skipped < frames) {
        const auto want = static_cast<int>(std::min<uint64_t>((frames - *skipped) * frameBytes,
                                                              sizeof(scratch) - sizeof(scratch) % frameBytes));
        int bitstream = 0;
        const long got = ov_read(&mVorbisFile, scratch, want, 0, 2, 1, &bitstream);
        if (got == OV_HOLE) {
            continue;
        }
        if (got == 0 || (got > 0 && !sameFormatLink())) {
            return AURA_OK;
        }
        if (got < 0) {
            return got == OV_OUT_OF_MEMORY ? AURA_ERR_MEMORY : hardError(got);
        }
        *skipped += static_cast<uint64_t>(got) / frameBytes;
    }
    return AURA_OK;
}

AURA_RESULT CodecOggVorbis::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int /*postype*/)
{
    if (!mVorbisOpen) {
        return AURA_ERR_FILE_COULDNOTSEEK;
    }
    if (mDecodeError != AURA_OK) {
        return mDecodeError;
    }
    // Where vorbisfile's search can be trusted to land: vorbisfile's
    // position, and the decoded frame that it is. Positions before that are
    // reached by decoding on from there (from the top: position -1).
    int64_t target = static_cast<int64_t>(position) + mPcmShift;
    uint64_t landing = position;
    if (position < mShiftFrom) {
        // Before the granule positions can be trusted.
        target = -1;
        landing = 0;
    }
    for (int i = mStepCount; i-- > 0 && target >= 0;) {
        const ShiftStep &step = mSteps[i];
        if (position < step.from) {
            continue;
        }
        target = static_cast<int64_t>(position) + step.shift;
        if (position <= step.firstEnd) {
            // Up to the end of the page that starts a new count: vorbisfile's
            // search goes on from the page before it, with the old count.
            // The end of that page is found with the old count when the page
            // before that counts the same way.
            const bool trusted =
                step.from >= mShiftFrom && step.before >= 0 && (i == 0 || step.from > mSteps[i - 1].firstEnd);
            target = trusted ? step.before : -1;
            landing = trusted ? step.from : 0;
        }
        break;
    }
    landing = target < 0 ? 0 : landing;
    const int sought = target < 0 ? ov_raw_seek(&mVorbisFile, 0) : ov_pcm_seek(&mVorbisFile, target);
    if (sought == OV_EREAD || sought == OV_EFAULT || sought == OV_EBADLINK) {
        return hardError(sought);
    }
    if (sought != 0) {
        return sought == OV_OUT_OF_MEMORY ? AURA_ERR_MEMORY : AURA_ERR_FILE_COULDNOTSEEK;
    }
    if (landing == position) {
        return AURA_OK;
    }
    uint64_t skipped = 0;
    const AURA_RESULT result = skipFrames(position - landing, &skipped);
    if (result != AURA_OK) {
        return result;
    }
    return skipped == position - landing ? AURA_OK : AURA_ERR_FILE_COULDNOTSEEK;
}

AURA_RESULT CodecOggVorbis::closeInternal()
{
    if (mVorbisOpen) {
        mVorbisFile.datasource = nullptr;
        (void)ov_clear(&mVorbisFile);
        mVorbisOpen = false;
    }
    mState.waveformat = nullptr;
    mDecodeError = AURA_OK;
    mReadError = AURA_OK;
    mPcmShift = 0;
    mShiftFrom = 0;
    mStepCount = 0;
    mHeldBytes = 0;
    mLinks = 0;
    mCut = false;
    mBrokenLink = false;
    return AURA_OK;
}

AURA_RESULT CodecOggVorbis::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMTYPE_CODEC, mMemUsed);
    }
    return AURA_OK;
}

AURA_RESULT CodecOggVorbis::getMemoryUsedCallback(AURA_CODEC_STATE *state, MemoryTracker *tracker)
{
    CodecOggVorbis *codec = fromState<CodecOggVorbis>(state);
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!tracker) {
        codec->mMemoryReported = false;
        return AURA_OK;
    }
    if (codec->mMemoryReported) {
        return AURA_OK;
    }
    codec->mMemoryReported = true;
    return codec->getMemoryUsedImpl(tracker);
}

} // namespace AURA
