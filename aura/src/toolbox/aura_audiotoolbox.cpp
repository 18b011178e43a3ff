#include "toolbox/aura_audiotoolbox.h"

#include "base/aura_globals.h"
#include "base/aura_memory.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libavutil/version.h>
#include <libavutil/macros.h>

#include <dlfcn.h>
}

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_audiotoolbox";

// The compression types of AIFF-C files handed to FFmpeg, in both the cases
// writers use: IMA4, the G.711 laws, and 32 and 64-bit float.
constexpr uint32_t kAIFCCompressions[] = {fourCC("ima4"), fourCC("ulaw"), fourCC("ULAW"),
                                          fourCC("alaw"), fourCC("ALAW"), fourCC("fl32"),
                                          fourCC("FL32"), fourCC("fl64"), fourCC("FL64")};

// The containers FFmpeg may parse: the demuxer (by the whole name FFmpeg
// gives it) and the file type it reports. A container is listed here by
// itself so that a later look at a file's first bytes can pick its entry.
struct ContainerKind {
    const char *demuxer;
    uint32_t fileType;
};
constexpr ContainerKind kContainers[] = {
    {"mov,mp4,m4a,3gp,3g2,mj2", kAudioFileMPEG4Type},
    {"caf", kAudioFileCAFType},
    {"aac", kAudioFileAAC_ADTSType},
    {"aiff", kAudioFileAIFCType},
    {"wav", kAudioFileWAVEType},
};
constexpr uint32_t containerBit(uint32_t fileType)
{
    for (size_t i = 0; i < std::size(kContainers); ++i) {
        if (kContainers[i].fileType == fileType) {
            return 1u << i;
        }
    }
    return 0;
}
constexpr uint32_t kInMPEG4 = containerBit(kAudioFileMPEG4Type);
constexpr uint32_t kInCAF = containerBit(kAudioFileCAFType);
constexpr uint32_t kInADTS = containerBit(kAudioFileAAC_ADTSType);
constexpr uint32_t kInAIFF = containerBit(kAudioFileAIFCType);
constexpr uint32_t kInWAV = containerBit(kAudioFileWAVEType);

// The codecs FFmpeg may decode, each with the containers it is taken from
// (WAV PCM and AIFF integer PCM belong to the engine's own codecs, MPEG
// audio in WAV to the MPEG codec), and the stream description the file
// reports. Codecs with packets of one size give their bytes and frames per
// packet. A decoder whose state runs on from packet to packet without
// settling (GSM's filters; FFmpeg's IMA4, which keeps a channel's predictor
// from the packet before when the packet's header is close to it) decodes
// from the first packet on a seek, so that the seek lands on the continuous
// decode.
enum class Preroll : uint8_t { None, OnePacket, FromStart };
struct CodecKind {
    AVCodecID id;
    const char *decoder;
    uint32_t containers;
    uint32_t formatID;
    uint32_t flags;
    uint32_t bits; // per channel, of linear PCM and the G.711 laws
    uint32_t bytesPerChannel; // bytes per packet and channel (0: variable, or per packet below)
    uint32_t bytesPerPacket; // of one packet whatever the channels (GSM)
    uint32_t framesPerPacket; // 0: variable
    Preroll preroll;
};
constexpr uint32_t kIntPCM = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
constexpr uint32_t kFloatPCM = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
constexpr uint32_t kBig = kAudioFormatFlagIsBigEndian;
constexpr CodecKind kCodecs[] = {
    {AV_CODEC_ID_AAC, "aac", kInMPEG4 | kInCAF | kInADTS, kAudioFormatMPEG4AAC, 0, 0, 0, 0, 0, Preroll::OnePacket},
    {AV_CODEC_ID_ALAC, "alac", kInMPEG4 | kInCAF, kAudioFormatAppleLossless, 0, 0, 0, 0, 0, Preroll::None},
    {AV_CODEC_ID_PCM_S8, "pcm_s8", kInCAF, kAudioFormatLinearPCM, kIntPCM, 8, 1, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_S16LE, "pcm_s16le", kInCAF, kAudioFormatLinearPCM, kIntPCM, 16, 2, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_S16BE, "pcm_s16be", kInCAF, kAudioFormatLinearPCM, kIntPCM | kBig, 16, 2, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_S24LE, "pcm_s24le", kInCAF, kAudioFormatLinearPCM, kIntPCM, 24, 3, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_S24BE, "pcm_s24be", kInCAF, kAudioFormatLinearPCM, kIntPCM | kBig, 24, 3, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_S32LE, "pcm_s32le", kInCAF, kAudioFormatLinearPCM, kIntPCM, 32, 4, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_S32BE, "pcm_s32be", kInCAF, kAudioFormatLinearPCM, kIntPCM | kBig, 32, 4, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_F32LE, "pcm_f32le", kInCAF, kAudioFormatLinearPCM, kFloatPCM, 32, 4, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_F32BE, "pcm_f32be", kInCAF | kInAIFF, kAudioFormatLinearPCM, kFloatPCM | kBig, 32, 4, 0, 1,
     Preroll::None},
    {AV_CODEC_ID_PCM_F64LE, "pcm_f64le", kInCAF, kAudioFormatLinearPCM, kFloatPCM, 64, 8, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_F64BE, "pcm_f64be", kInCAF | kInAIFF, kAudioFormatLinearPCM, kFloatPCM | kBig, 64, 8, 0, 1,
     Preroll::None},
    {AV_CODEC_ID_ADPCM_IMA_QT, "adpcm_ima_qt", kInCAF | kInAIFF, kAudioFormatAppleIMA4, 0, 0, 34, 0, 64,
     Preroll::FromStart},
    {AV_CODEC_ID_PCM_MULAW, "pcm_mulaw", kInCAF | kInAIFF | kInWAV, kAudioFormatULaw, 0, 8, 1, 0, 1, Preroll::None},
    {AV_CODEC_ID_PCM_ALAW, "pcm_alaw", kInCAF | kInAIFF | kInWAV, kAudioFormatALaw, 0, 8, 1, 0, 1, Preroll::None},
    {AV_CODEC_ID_GSM_MS, "gsm_ms", kInWAV, kAudioFormatMicrosoftGSM, 0, 0, 0, 65, 320, Preroll::FromStart},
};

const ContainerKind *containerOf(const char *demuxer)
{
    for (const ContainerKind &kind : kContainers) {
        if (std::strcmp(kind.demuxer, demuxer) == 0) {
            return &kind;
        }
    }
    return nullptr;
}

const CodecKind *codecOf(AVCodecID id)
{
    for (const CodecKind &kind : kCodecs) {
        if (kind.id == id) {
            return &kind;
        }
    }
    return nullptr;
}

// The codec a stream description names; the byte order of 8-bit PCM does
// not matter.
const CodecKind *codecOf(const AudioStreamBasicDescription &format)
{
    for (const CodecKind &kind : kCodecs) {
        if (kind.formatID != format.mFormatID) {
            continue;
        }
        if (kind.formatID != kAudioFormatLinearPCM) {
            return &kind;
        }
        const uint32_t mask = kAudioFormatFlagIsFloat | (format.mBitsPerChannel > 8 ? kBig : 0);
        if (kind.bits == format.mBitsPerChannel && (kind.flags & mask) == (format.mFormatFlags & mask) &&
            (kind.flags & kAudioFormatFlagIsFloat || format.mFormatFlags & kAudioFormatFlagIsSignedInteger)) {
            return &kind;
        }
    }
    return nullptr;
}

// Bytes of one packet of the codec with `channels` channels; 0 for packets
// of variable size.
uint32_t packetBytes(const CodecKind &kind, uint32_t channels)
{
    return kind.bytesPerPacket ? kind.bytesPerPacket : kind.bytesPerChannel * channels;
}

// The lists FFmpeg is handed before it opens anything: every demuxer name
// and every decoder name of the tables above.
const char *formatWhitelist()
{
    static const std::string list = [] {
        std::string names;
        for (const ContainerKind &kind : kContainers) {
            names += names.empty() ? "" : ",";
            names += kind.demuxer;
        }
        return names;
    }();
    return list.c_str();
}

const char *codecWhitelist()
{
    static const std::string list = [] {
        std::string names;
        for (const CodecKind &kind : kCodecs) {
            names += names.empty() ? "" : ",";
            names += kind.decoder;
        }
        return names;
    }();
    return list.c_str();
}

constexpr int kIOBufferSize = 32768;
constexpr uint32_t kMaxChannels = 32;
constexpr int kMaxSampleRate = 768000;
// Decoded frames one packet may hold; more is a damaged file.
constexpr uint32_t kMaxPacketFrames = 1u << 16;
// Packets larger than this are a damaged file, not audio.
constexpr uint32_t kMaxPacketBytes = 1u << 24;

// FFmpeg's libraries are loaded when a file or queue first needs them, not
// with the engine: they pull in well over a hundred libraries, whose loading
// every process that links the engine would pay at start.
#define AURA_FFMPEG_FUNCTIONS(X) \
    X(avutil, av_channel_layout_copy) \
    X(avutil, av_channel_layout_default) \
    X(avutil, av_channel_layout_uninit) \
    X(avutil, av_frame_alloc) \
    X(avutil, av_frame_free) \
    X(avutil, av_frame_unref) \
    X(avutil, av_free) \
    X(avutil, av_freep) \
    X(avutil, av_log_set_level) \
    X(avutil, av_malloc) \
    X(avutil, av_mallocz) \
    X(avutil, av_strdup) \
    X(avformat, av_find_best_stream) \
    X(avformat, av_read_frame) \
    X(avformat, avformat_alloc_context) \
    X(avformat, avformat_close_input) \
    X(avformat, avformat_find_stream_info) \
    X(avformat, avformat_free_context) \
    X(avformat, avformat_index_get_entries_count) \
    X(avformat, avformat_index_get_entry) \
    X(avformat, avformat_open_input) \
    X(avformat, avio_alloc_context) \
    X(avformat, avio_context_free) \
    X(avcodec, av_new_packet) \
    X(avcodec, av_packet_alloc) \
    X(avcodec, av_packet_free) \
    X(avcodec, av_packet_get_side_data) \
    X(avcodec, av_packet_unref) \
    X(avcodec, avcodec_alloc_context3) \
    X(avcodec, avcodec_find_decoder_by_name) \
    X(avcodec, avcodec_free_context) \
    X(avcodec, avcodec_open2) \
    X(avcodec, avcodec_receive_frame) \
    X(avcodec, avcodec_send_packet) \
    X(swresample, swr_alloc_set_opts2) \
    X(swresample, swr_convert) \
    X(swresample, swr_free) \
    X(swresample, swr_init)

struct FFmpegLibrary {
#define AURA_FFMPEG_POINTER(lib, name) decltype(&::name) name = nullptr;
    AURA_FFMPEG_FUNCTIONS(AURA_FFMPEG_POINTER)
#undef AURA_FFMPEG_POINTER
};

// Set once by loadFFmpeg and never changed: every object that reaches the
// functions below was made after a successful load.
const FFmpegLibrary *gFFmpeg = nullptr;

// Loads the libraries of the major versions the engine was built against
// (the calls' layouts are theirs) and quiets their messages: the engine
// reports through result codes, and FFmpeg's notes about damaged input
// would go to standard error. False when they cannot be loaded.
bool loadFFmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static FFmpegLibrary library;
        void *avutil = dlopen("libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        void *avformat = dlopen("libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        void *avcodec = dlopen("libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        void *swresample =
            dlopen("libswresample.so." AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        if (!avutil || !avformat || !avcodec || !swresample) {
            return; // (what did load stays loaded: a later try would fail alike)
        }
        bool complete = true;
#define AURA_FFMPEG_SYMBOL(lib, name)                                                                                  \
    library.name = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name));                                             \
    complete = complete && library.name;
        AURA_FFMPEG_FUNCTIONS(AURA_FFMPEG_SYMBOL)
#undef AURA_FFMPEG_SYMBOL
        if (complete) {
            library.av_log_set_level(AV_LOG_QUIET);
            gFFmpeg = &library;
        }
    });
    return gFFmpeg != nullptr;
}

struct PacketEntry {
    int64_t pos;
    uint64_t outStart; // first output frame (after trims) of this packet
    uint32_t size;
    uint32_t frames; // decoded frames
    uint32_t trimStart;
    uint32_t trimEnd;
};

uint32_t outFrames(const PacketEntry &entry)
{
    return entry.frames - entry.trimStart - entry.trimEnd;
}

template <class T>
void freeBlock(T *&pointer)
{
    if (pointer) {
        AURA_Memory_Free(pointer);
        pointer = nullptr;
    }
}

// An ALAC packet names its frame count when it differs from the stream's:
// element (3 bits), instance (4), unused (12), has-size (1), unused (2),
// verbatim (1), then the 32-bit count when has-size is set.
uint32_t alacPacketFrames(const uint8_t *data, int size, uint32_t standard)
{
    if (size < 7) {
        return standard;
    }
    uint64_t bits = 0; // the first 56 bits; stream bit n is bit 55 - n
    for (int i = 0; i < 7; ++i) {
        bits = bits << 8 | data[i];
    }
    if (!(bits >> (55 - 19) & 1)) {
        return standard;
    }
    return static_cast<uint32_t>(bits >> 1 & 0xFFFFFFFFu);
}
} // namespace

struct OpaqueAudioFileID {
    void *client = nullptr;
    AudioFile_ReadProc read = nullptr;
    AudioFile_GetSizeProc getSize = nullptr;
    int64_t ioPosition = 0;
    int64_t fileSize = 0;

    AudioStreamBasicDescription format{};
    uint8_t *cookie = nullptr;
    uint32_t cookieSize = 0;
    AudioChannelLayout layout{};
    bool hasLayout = false;
    uint32_t fileType = 0;
    // What a seek decodes before its target: for AAC the packet before, for
    // GSM everything from the start.
    Preroll preroll = Preroll::None;
    // Packets of one size (mBytesPerPacket of the format), from here on.
    bool constant = false;
    int64_t dataStart = 0;

    PacketEntry *packets = nullptr;
    uint32_t packetCount = 0;
    uint32_t packetCapacity = 0;
    uint32_t maxPacketSize = 0;
    uint64_t dataBytes = 0;
    uint64_t totalFrames = 0;
};

namespace {
int ioRead(void *opaque, uint8_t *buffer, int size)
{
    auto *file = static_cast<OpaqueAudioFileID *>(opaque);
    if (size <= 0) {
        return 0;
    }
    uint32_t got = 0;
    if (file->read(file->client, file->ioPosition, static_cast<uint32_t>(size), buffer, &got) != 0) {
        return AVERROR(EIO);
    }
    got = std::min(got, static_cast<uint32_t>(size));
    if (got == 0) {
        return AVERROR_EOF;
    }
    file->ioPosition += got;
    return static_cast<int>(got);
}

int64_t ioSeek(void *opaque, int64_t offset, int whence)
{
    auto *file = static_cast<OpaqueAudioFileID *>(opaque);
    int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return file->fileSize;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = file->ioPosition + offset; break;
    case SEEK_END: target = file->fileSize + offset; break;
    default: return AVERROR(EINVAL);
    }
    if (target < 0 || target > 0xFFFFFFFFll) {
        return AVERROR(EINVAL);
    }
    file->ioPosition = target;
    return target;
}

OSStatus addPacket(OpaqueAudioFileID *file, const PacketEntry &entry)
{
    if (file->packetCount == file->packetCapacity) {
        if (file->packetCapacity >= (1u << 24)) {
            return kAudio_MemFullError;
        }
        const uint32_t capacity = std::max<uint32_t>(256, file->packetCapacity * 2);
        void *grown = AURA_Memory_ReAlloc(file->packets, static_cast<int>(capacity * sizeof(PacketEntry)));
        if (!grown) {
            return kAudio_MemFullError;
        }
        file->packets = static_cast<PacketEntry *>(grown);
        file->packetCapacity = capacity;
    }
    file->packets[file->packetCount++] = entry;
    return 0;
}

// What the index keeps of one packet before its trims are worked out.
struct PacketFacts {
    int64_t pos = 0;
    uint32_t size = 0;
    uint32_t frames = 0;
    bool discard = false; // outside the edit: decoded, never heard
    bool hasSkip = false; // the packet sets the skip count
    uint32_t skip = 0;
    uint32_t padding = 0;
};

// Adds a packet with the trims FFmpeg's decoders apply: a skip count that
// runs on over packets, padding dropped from a packet's end, and packets
// outside the edit. False when the packet lies outside the file (the index
// ends there).
bool indexPacket(OpaqueAudioFileID *file, const PacketFacts &facts, uint64_t *skip, OSStatus *status)
{
    if (facts.pos < 0 || facts.size == 0 || facts.size > kMaxPacketBytes ||
        facts.pos + static_cast<int64_t>(facts.size) > file->fileSize) {
        return false;
    }
    if (facts.frames == 0 || facts.frames > kMaxPacketFrames) {
        *status = kAudioFileUnsupportedFileTypeError;
        return false;
    }
    PacketEntry entry{};
    entry.pos = facts.pos;
    entry.size = facts.size;
    entry.frames = facts.frames;
    if (facts.hasSkip) {
        *skip = facts.skip;
    }
    entry.trimStart = static_cast<uint32_t>(std::min<uint64_t>(*skip, entry.frames));
    *skip -= entry.trimStart;
    if (facts.padding > 0 && facts.padding <= entry.frames - entry.trimStart) {
        entry.trimEnd = facts.padding;
    }
    if (facts.discard) {
        entry.trimStart = entry.frames;
        entry.trimEnd = 0;
    }
    entry.outStart = file->totalFrames;
    *status = addPacket(file, entry);
    file->totalFrames += outFrames(entry);
    file->dataBytes += entry.size;
    file->maxPacketSize = std::max(file->maxPacketSize, entry.size);
    return *status == 0;
}

uint32_t readLE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Packets read one by one before an MP4 AAC index is taken from the
// demuxer's sample table: they carry the skip count of the edit list.
constexpr uint32_t kHeadPackets = 4;

// The rest of an MP4 AAC index from the demuxer's sample table, which
// knows every packet's place, size and edit without reading its data.
// False (nothing added) when the table does not agree with the packets
// read so far.
bool indexFromTable(OpaqueAudioFileID *file, AVStream *stream, uint32_t standardFrames, uint64_t *skip,
                    OSStatus *status)
{
    const int count = gFFmpeg->avformat_index_get_entries_count(stream);
    if (count < static_cast<int>(file->packetCount)) {
        return false;
    }
    for (uint32_t i = 0; i < file->packetCount; ++i) {
        const AVIndexEntry *entry = gFFmpeg->avformat_index_get_entry(stream, static_cast<int>(i));
        const PacketEntry &read = file->packets[i];
        const bool discard = read.trimStart == read.frames && read.frames > 0 && read.trimEnd == 0;
        if (!entry || entry->pos != read.pos || static_cast<uint32_t>(entry->size) != read.size ||
            ((entry->flags & AVINDEX_DISCARD_FRAME) != 0 && !discard)) {
            return false;
        }
    }
    for (int i = static_cast<int>(file->packetCount); i < count; ++i) {
        const AVIndexEntry *entry = gFFmpeg->avformat_index_get_entry(stream, i);
        PacketFacts facts;
        facts.pos = entry->pos;
        facts.size = static_cast<uint32_t>(std::max(entry->size, 0));
        facts.frames = standardFrames;
        facts.discard = (entry->flags & AVINDEX_DISCARD_FRAME) != 0;
        if (!indexPacket(file, facts, skip, status)) {
            break;
        }
    }
    return true;
}

// Walks the demuxer over the whole file into the packet index (for AAC in
// MP4 only the first packets, then the sample table).
OSStatus buildIndex(OpaqueAudioFileID *file, AVFormatContext *format, int stream, uint32_t standardFrames)
{
    AVPacket *packet = gFFmpeg->av_packet_alloc();
    if (!packet) {
        return kAudio_MemFullError;
    }
    AVStream *st = format->streams[stream];
    const bool alac = st->codecpar->codec_id == AV_CODEC_ID_ALAC;
    const bool table = !alac && std::strncmp(format->iformat->name, "mov", 3) == 0;
    uint64_t skip = 0;
    OSStatus status = 0;
    for (bool more = true; more && status == 0;) {
        if (gFFmpeg->av_read_frame(format, packet) < 0) {
            break; // the end, or a damaged tail: what was read before stays
        }
        if (packet->stream_index == stream && packet->size > 0) {
            PacketFacts facts;
            facts.pos = packet->pos;
            facts.size = static_cast<uint32_t>(packet->size);
            facts.frames = alac ? alacPacketFrames(packet->data, packet->size, standardFrames) : standardFrames;
            facts.discard = (packet->flags & AV_PKT_FLAG_DISCARD) != 0;
            size_t sideSize = 0;
            const uint8_t *side = gFFmpeg->av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
            if (side && sideSize >= 10) {
                facts.hasSkip = true;
                facts.skip = readLE32(side);
                facts.padding = readLE32(side + 4);
            }
            more = indexPacket(file, facts, &skip, &status);
            if (more && table && file->packetCount == kHeadPackets && !facts.hasSkip &&
                indexFromTable(file, st, standardFrames, &skip, &status)) {
                more = false;
            }
        }
        gFFmpeg->av_packet_unref(packet);
    }
    gFFmpeg->av_packet_free(&packet);
    if (status == 0 && (file->packetCount == 0 || file->totalFrames == 0)) {
        status = kAudioFileUnsupportedFileTypeError;
    }
    return status;
}

// Packets of one size: the demuxer's reads of the stream, which follow one
// another from where the data starts, give where the data starts and how
// many whole packets it holds. A read that does not follow on ends the
// data, as a damaged tail does.
OSStatus buildConstantIndex(OpaqueAudioFileID *file, AVFormatContext *format, int stream)
{
    AVPacket *packet = gFFmpeg->av_packet_alloc();
    if (!packet) {
        return kAudio_MemFullError;
    }
    uint64_t bytes = 0;
    for (bool more = true; more && gFFmpeg->av_read_frame(format, packet) >= 0;) {
        if (packet->stream_index == stream && packet->size > 0) {
            if (bytes == 0 && packet->pos >= 0) {
                file->dataStart = packet->pos;
            }
            more = packet->pos >= 0 && packet->pos <= file->fileSize &&
                   packet->pos == file->dataStart + static_cast<int64_t>(bytes);
            if (more) {
                bytes = std::min<uint64_t>(bytes + static_cast<uint64_t>(packet->size),
                                           static_cast<uint64_t>(file->fileSize - file->dataStart));
            }
        }
        gFFmpeg->av_packet_unref(packet);
    }
    gFFmpeg->av_packet_free(&packet);
    const uint64_t packets = bytes / file->format.mBytesPerPacket;
    file->packetCount = static_cast<uint32_t>(std::min<uint64_t>(packets, UINT32_MAX));
    file->dataBytes = static_cast<uint64_t>(file->packetCount) * file->format.mBytesPerPacket;
    file->totalFrames = static_cast<uint64_t>(file->packetCount) * file->format.mFramesPerPacket;
    file->maxPacketSize = file->format.mBytesPerPacket;
    return file->packetCount == 0 ? kAudioFileUnsupportedFileTypeError : 0;
}

// Opens FFmpeg on the file, takes its one audio stream's facts and builds
// the index; FFmpeg is closed again before returning.
OSStatus parseFile(OpaqueAudioFileID *file)
{
    if (!loadFFmpeg()) {
        return kAudioFileUnsupportedFileTypeError;
    }
    auto *ioBuffer = static_cast<uint8_t *>(gFFmpeg->av_malloc(kIOBufferSize));
    if (!ioBuffer) {
        return kAudio_MemFullError;
    }
    AVIOContext *io = gFFmpeg->avio_alloc_context(ioBuffer, kIOBufferSize, 0, file, &ioRead, nullptr, &ioSeek);
    if (!io) {
        gFFmpeg->av_free(ioBuffer);
        return kAudio_MemFullError;
    }
    AVFormatContext *format = gFFmpeg->avformat_alloc_context();
    OSStatus status = format ? 0 : kAudio_MemFullError;
    if (format) {
        format->pb = io;
        format->format_whitelist = gFFmpeg->av_strdup(formatWhitelist());
        format->codec_whitelist = gFFmpeg->av_strdup(codecWhitelist());
        format->protocol_whitelist = gFFmpeg->av_strdup("none");
        if (!format->format_whitelist || !format->codec_whitelist || !format->protocol_whitelist) {
            gFFmpeg->avformat_free_context(format);
            format = nullptr;
            status = kAudio_MemFullError;
        } else if (gFFmpeg->avformat_open_input(&format, nullptr, nullptr, nullptr) < 0) {
            // A failing open has freed the context.
            format = nullptr;
            status = kAudioFileUnsupportedFileTypeError;
        }
    }
    int stream = -1;
    if (status == 0) {
        stream = gFFmpeg->av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        // A stream whose rate and channels are not known yet (ADTS) is not
        // "best": then the first audio stream.
        for (unsigned int i = 0; stream < 0 && i < format->nb_streams; ++i) {
            if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                stream = static_cast<int>(i);
            }
        }
        if (stream < 0) {
            status = kAudioFileUnsupportedFileTypeError;
        }
    }
    AVCodecParameters *par = status == 0 ? format->streams[stream]->codecpar : nullptr;
    // Only the pairs of container and codec that the tables list.
    const ContainerKind *container = status == 0 ? containerOf(format->iformat->name) : nullptr;
    const CodecKind *kind = status == 0 ? codecOf(par->codec_id) : nullptr;
    if (status == 0 && (!container || !kind || !(kind->containers & containerBit(container->fileType)))) {
        status = kAudioFileUnsupportedFileTypeError;
    }
    if (status == 0) {
        for (unsigned int i = 0; i < format->nb_streams; ++i) {
            format->streams[i]->discard = static_cast<int>(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        }
        // ADTS names its rate and channels in the packets only.
        if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) {
            if (gFFmpeg->avformat_find_stream_info(format, nullptr) < 0) {
                status = kAudioFileUnsupportedFileTypeError;
            }
            par = format->streams[stream]->codecpar;
        }
    }
    if (status == 0 && (par->sample_rate <= 0 || par->sample_rate > kMaxSampleRate || par->ch_layout.nb_channels <= 0 ||
                        static_cast<uint32_t>(par->ch_layout.nb_channels) > kMaxChannels)) {
        status = kAudioFileUnsupportedFileTypeError;
    }
    const uint32_t channels = status == 0 ? static_cast<uint32_t>(par->ch_layout.nb_channels) : 0;
    if (status == 0) {
        file->fileType = container->fileType;
        file->preroll = kind->preroll;
        file->format.mSampleRate = par->sample_rate;
        file->format.mFormatID = kind->formatID;
        file->format.mFormatFlags = kind->flags;
        file->format.mChannelsPerFrame = channels;
        file->format.mBitsPerChannel = kind->bits;
        if (par->ch_layout.nb_channels > 2 && par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
            // FFmpeg's low channel bits are the WAV speaker bits.
            file->layout.mChannelLayoutTag = kAudioChannelLayoutTag_UseChannelBitmap;
            file->layout.mChannelBitmap = static_cast<uint32_t>(par->ch_layout.u.mask & 0x3FFFFu);
            file->hasLayout = true;
        }
    }
    if (status == 0 && kind->framesPerPacket != 0) {
        // Packets of one size: the file's own block size must be the
        // codec's (a G.711 or PCM frame, 34 bytes of IMA4 per channel, 65
        // bytes of GSM, which is mono).
        const uint32_t bytes = packetBytes(*kind, channels);
        const bool mono = kind->bytesPerPacket == 0 || channels == 1;
        if (!mono || (par->block_align != 0 && static_cast<uint32_t>(par->block_align) != bytes)) {
            status = kAudioFileUnsupportedFileTypeError;
        } else {
            file->constant = true;
            file->format.mBytesPerPacket = bytes;
            file->format.mFramesPerPacket = kind->framesPerPacket;
            file->format.mBytesPerFrame = kind->framesPerPacket == 1 ? bytes : 0;
            status = buildConstantIndex(file, format, stream);
        }
    } else if (status == 0) {
        const bool alac = par->codec_id == AV_CODEC_ID_ALAC;
        uint32_t standard = par->frame_size > 0 ? static_cast<uint32_t>(par->frame_size) : 0;
        if (alac && par->extradata_size >= 12 + 4) {
            // The ALAC configuration (after its atom header) starts with the
            // frames per packet.
            const uint8_t *config = par->extradata + (par->extradata_size >= 36 ? 12 : 0);
            standard = static_cast<uint32_t>(config[0]) << 24 | static_cast<uint32_t>(config[1]) << 16 |
                       static_cast<uint32_t>(config[2]) << 8 | config[3];
        }
        if (standard == 0) {
            standard = alac ? 4096 : 1024;
        }
        if (standard > kMaxPacketFrames) {
            status = kAudioFileUnsupportedFileTypeError;
        }
        file->format.mFramesPerPacket = standard;
        if (status == 0 && par->extradata_size > 0) {
            file->cookie = static_cast<uint8_t *>(AURA_Memory_Alloc(par->extradata_size));
            if (!file->cookie) {
                status = kAudio_MemFullError;
            } else {
                std::memcpy(file->cookie, par->extradata, static_cast<size_t>(par->extradata_size));
                file->cookieSize = static_cast<uint32_t>(par->extradata_size);
            }
        }
        if (status == 0) {
            status = buildIndex(file, format, stream, standard);
        }
    }
    if (format) {
        gFFmpeg->avformat_close_input(&format);
    }
    gFFmpeg->av_freep(&io->buffer);
    gFFmpeg->avio_context_free(&io);
    return status;
}

void freeFile(OpaqueAudioFileID *file)
{
    freeBlock(file->packets);
    freeBlock(file->cookie);
    AURA_Delete(file);
}

// Reads `bytes` bytes of the file at `position`; all of them or an error.
OSStatus readRun(const OpaqueAudioFileID &file, int64_t position, uint32_t bytes, uint8_t *out)
{
    if (bytes == 0) {
        return 0;
    }
    uint32_t got = 0;
    const OSStatus status = file.read(file.client, position, bytes, out, &got);
    if (status != 0) {
        return status;
    }
    return got == bytes ? 0 : kAudioFileInvalidPacketOffsetError;
}

// The packet from which decoding must start for `frame` to come out, and
// the output frames before it from there.
void frameToPacket(const OpaqueAudioFileID *file, AudioFramePacketTranslation *translation)
{
    const auto frame = static_cast<uint64_t>(std::max<int64_t>(translation->mFrame, 0));
    if (frame >= file->totalFrames) {
        translation->mPacket = file->packetCount;
        translation->mFrameOffsetInPacket =
            static_cast<uint32_t>(std::min<uint64_t>(frame - file->totalFrames, UINT32_MAX));
        return;
    }
    if (file->constant) {
        const uint64_t frames = file->format.mFramesPerPacket;
        uint64_t packet = frame / frames;
        if (file->preroll == Preroll::FromStart) {
            packet = 0;
        } else if (file->preroll == Preroll::OnePacket && packet > 0) {
            --packet;
        }
        translation->mPacket = static_cast<int64_t>(packet);
        translation->mFrameOffsetInPacket = static_cast<uint32_t>(frame - packet * frames);
        return;
    }
    // The first packet whose output reaches past the frame.
    const PacketEntry *begin = file->packets;
    const PacketEntry *end = file->packets + file->packetCount;
    const PacketEntry *at = std::upper_bound(begin, end, frame, [](uint64_t value, const PacketEntry &entry) {
        return value < entry.outStart + outFrames(entry);
    });
    auto index = static_cast<uint32_t>(at - begin);
    if (file->preroll == Preroll::OnePacket && index > 0) {
        --index;
    }
    translation->mPacket = index;
    translation->mFrameOffsetInPacket = static_cast<uint32_t>(frame - file->packets[index].outStart);
}
} // namespace

namespace {
// Whether the file is one FFmpeg is asked about at all, told from its first
// bytes: a container of the list whose codec (where the first bytes or the
// format chunk name it) is one of the list's for that container. Anything
// else (MPEG audio, PCM WAV and AIFF, MP3 in WAV, Ogg, FLAC, modules, MIDI)
// is refused before the libraries are loaded, for the price of the read.
constexpr uint32_t kHeadBytes = 512;
// Chunks a WAV or AIFF-C walk passes over before its format chunk.
constexpr int kMaxHeadChunks = 64;

uint32_t readBE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

struct FileHead {
    void *client;
    AudioFile_ReadProc read;
    int64_t fileSize;
    uint8_t bytes[kHeadBytes];
    uint32_t size;

    // `count` bytes at `position`, from the head when it holds them.
    bool at(int64_t position, uint32_t count, uint8_t *out) const
    {
        if (position >= 0 && position + count <= size) {
            std::memcpy(out, bytes + position, count);
            return true;
        }
        if (position < 0 || position + count > fileSize) {
            return false;
        }
        uint32_t got = 0;
        return read(client, position, count, out, &got) == 0 && got == count;
    }
};

// The body of the first chunk named `id` in a RIFF (little-endian sizes) or
// IFF (big-endian) form whose chunks start at `position`: its first `count`
// bytes and its size. Sizes are padded to even lengths in both.
bool findChunk(const FileHead &head, int64_t position, uint32_t id, bool bigEndian, uint8_t *out, uint32_t count,
               uint32_t *size)
{
    for (int i = 0; i < kMaxHeadChunks; ++i) {
        uint8_t header[8];
        if (!head.at(position, 8, header)) {
            return false;
        }
        *size = bigEndian ? readBE32(header + 4) : readLE32(header + 4);
        if (readBE32(header) == id) {
            return *size >= count && head.at(position + 8, count, out);
        }
        position += 8 + static_cast<int64_t>(*size) + (*size & 1);
    }
    return false;
}

bool platformFormat(const FileHead &head)
{
    if (head.size < 12) {
        return false;
    }
    const uint8_t *b = head.bytes;
    const uint32_t first = readBE32(b);
    const uint32_t second = readBE32(b + 4);
    const uint32_t third = readBE32(b + 8);
    // MP4, M4A, 3GP: "ftyp" first; QuickTime movies may start with another atom.
    for (const uint32_t atom : {fourCC("ftyp"), fourCC("moov"), fourCC("mdat"), fourCC("wide"), fourCC("free"),
                                fourCC("skip")}) {
        if (second == atom) {
            return true;
        }
    }
    // ADTS: the sync word with layer 0 (MPEG audio has layers 1 to 3).
    if (b[0] == 0xFF && (b[1] & 0xF6) == 0xF0) {
        return true;
    }
    // CAF: "caff", then the "desc" chunk, whose format ID is at byte 28.
    if (first == fourCC("caff")) {
        if (head.size < 32 || readBE32(b + 8) != fourCC("desc")) {
            return false;
        }
        const uint32_t format = readBE32(b + 28);
        return std::any_of(std::begin(kCodecs), std::end(kCodecs), [&](const CodecKind &kind) {
            return kind.formatID == format && (kind.containers & kInCAF);
        });
    }
    // AIFF-C whose COMM chunk names a compression of the list (AIFF and
    // AIFF-C integer PCM are the engine's).
    if (first == fourCC("FORM") && third == fourCC("AIFC")) {
        uint8_t comm[22];
        uint32_t size = 0;
        if (!findChunk(head, 12, fourCC("COMM"), true, comm, sizeof(comm), &size)) {
            return false;
        }
        const uint32_t compression = readBE32(comm + 18);
        return std::find(std::begin(kAIFCCompressions), std::end(kAIFCCompressions), compression) !=
               std::end(kAIFCCompressions);
    }
    // WAV whose format tag (or, extensible, the subformat's) is mu-law,
    // A-law or GSM 6.10.
    if ((first == fourCC("RIFF") || first == fourCC("RF64") || first == fourCC("BW64")) && third == fourCC("WAVE")) {
        uint8_t fmt[26];
        uint32_t size = 0;
        if (!findChunk(head, 12, fourCC("fmt "), false, fmt, 2, &size)) {
            return false;
        }
        uint32_t tag = static_cast<uint32_t>(fmt[0]) | static_cast<uint32_t>(fmt[1]) << 8;
        if (tag == 0xFFFE) {
            if (size < sizeof(fmt) || !findChunk(head, 12, fourCC("fmt "), false, fmt, sizeof(fmt), &size)) {
                return false;
            }
            tag = static_cast<uint32_t>(fmt[24]) | static_cast<uint32_t>(fmt[25]) << 8;
        }
        return tag == 0x0006 || tag == 0x0007 || tag == 0x0031;
    }
    return false;
}
} // namespace

OSStatus AudioFileOpenWithCallbacks(void *inClientData, AudioFile_ReadProc inReadFunc,
                                    AudioFile_WriteProc /*inWriteFunc*/, AudioFile_GetSizeProc inGetSizeFunc,
                                    AudioFile_SetSizeProc /*inSetSizeFunc*/, uint32_t /*inFileTypeHint*/,
                                    AudioFileID *outAudioFile)
{
    if (!inReadFunc || !inGetSizeFunc || !outAudioFile) {
        return kAudio_ParamError;
    }
    *outAudioFile = nullptr;
    FileHead head{inClientData, inReadFunc, std::max<int64_t>(inGetSizeFunc(inClientData), 0), {}, 0};
    if (inReadFunc(inClientData, 0, kHeadBytes, head.bytes, &head.size) != 0) {
        return kAudioFileUnsupportedFileTypeError;
    }
    head.size = std::min(head.size, kHeadBytes);
    if (!platformFormat(head)) {
        return kAudioFileUnsupportedFileTypeError;
    }
    auto *file = AURA_New(OpaqueAudioFileID);
    if (!file) {
        return kAudio_MemFullError;
    }
    file->client = inClientData;
    file->read = inReadFunc;
    file->getSize = inGetSizeFunc;
    file->fileSize = std::min<int64_t>(head.fileSize, 0xFFFFFFFFll);
    const OSStatus status = parseFile(file);
    if (status != 0) {
        freeFile(file);
        return status;
    }
    *outAudioFile = file;
    return 0;
}

OSStatus AudioFileGetPropertyInfo(AudioFileID inAudioFile, uint32_t inPropertyID, uint32_t *outDataSize,
                                  uint32_t *isWritable)
{
    if (!inAudioFile) {
        return kAudio_ParamError;
    }
    uint32_t size = 0;
    switch (inPropertyID) {
    case kAudioFilePropertyDataFormat: size = sizeof(AudioStreamBasicDescription); break;
    case kAudioFilePropertyMaximumPacketSize:
    case kAudioFilePropertyPacketSizeUpperBound: size = 4; break;
    case kAudioFilePropertyEstimatedDuration:
    case kAudioFilePropertyAudioDataByteCount: size = 8; break;
    case kAudioFilePropertyFileFormat: size = 4; break;
    case kAudioFilePropertyFrameToPacket: size = sizeof(AudioFramePacketTranslation); break;
    case kAudioFilePropertyPacketTableInfo: size = sizeof(AudioFilePacketTableInfo); break;
    case kAudioFilePropertyMagicCookieData:
        if (!inAudioFile->cookie) {
            return kAudioFileUnsupportedPropertyError;
        }
        size = inAudioFile->cookieSize;
        break;
    case kAudioFilePropertyChannelLayout:
        if (!inAudioFile->hasLayout) {
            return kAudioFileUnsupportedPropertyError;
        }
        size = sizeof(AudioChannelLayout);
        break;
    default: return kAudioFileUnsupportedPropertyError;
    }
    if (outDataSize) {
        *outDataSize = size;
    }
    if (isWritable) {
        *isWritable = inPropertyID == kAudioFilePropertyFrameToPacket ? 1 : 0;
    }
    return 0;
}

OSStatus AudioFileGetProperty(AudioFileID inAudioFile, uint32_t inPropertyID, uint32_t *ioDataSize,
                              void *outPropertyData)
{
    if (!inAudioFile || !ioDataSize || !outPropertyData) {
        return kAudio_ParamError;
    }
    uint32_t size = 0;
    OSStatus status = AudioFileGetPropertyInfo(inAudioFile, inPropertyID, &size, nullptr);
    if (status != 0) {
        return status;
    }
    const bool variable = inPropertyID == kAudioFilePropertyMagicCookieData;
    if (variable ? *ioDataSize < size : *ioDataSize != size) {
        return kAudioFileBadPropertySizeError;
    }
    const OpaqueAudioFileID &file = *inAudioFile;
    switch (inPropertyID) {
    case kAudioFilePropertyDataFormat: std::memcpy(outPropertyData, &file.format, size); break;
    case kAudioFilePropertyMaximumPacketSize:
    case kAudioFilePropertyPacketSizeUpperBound: std::memcpy(outPropertyData, &file.maxPacketSize, size); break;
    case kAudioFilePropertyEstimatedDuration: {
        const double seconds = static_cast<double>(file.totalFrames) / file.format.mSampleRate;
        std::memcpy(outPropertyData, &seconds, size);
        break;
    }
    case kAudioFilePropertyAudioDataByteCount: std::memcpy(outPropertyData, &file.dataBytes, size); break;
    case kAudioFilePropertyFileFormat: std::memcpy(outPropertyData, &file.fileType, size); break;
    case kAudioFilePropertyFrameToPacket:
        frameToPacket(&file, static_cast<AudioFramePacketTranslation *>(outPropertyData));
        break;
    case kAudioFilePropertyPacketTableInfo: {
        AudioFilePacketTableInfo info{};
        info.mNumberValidFrames = static_cast<int64_t>(file.totalFrames);
        if (file.packetCount > 0 && !file.constant) {
            const PacketEntry &first = file.packets[0];
            const PacketEntry &last = file.packets[file.packetCount - 1];
            info.mPrimingFrames = static_cast<int32_t>(first.trimStart);
            info.mRemainderFrames = static_cast<int32_t>(last.trimEnd);
        }
        std::memcpy(outPropertyData, &info, size);
        break;
    }
    case kAudioFilePropertyMagicCookieData: std::memcpy(outPropertyData, file.cookie, size); break;
    case kAudioFilePropertyChannelLayout: std::memcpy(outPropertyData, &file.layout, size); break;
    default: status = kAudioFileUnsupportedPropertyError; break;
    }
    *ioDataSize = size;
    return status;
}

OSStatus AudioFileReadPacketData(AudioFileID inAudioFile, bool /*inUseCache*/, uint32_t *ioNumBytes,
                                 AudioStreamPacketDescription *outPacketDescriptions, int64_t inStartingPacket,
                                 uint32_t *ioNumPackets, void *outBuffer)
{
    // Packets of one size need no descriptions; the others do.
    if (!inAudioFile || !ioNumBytes || !ioNumPackets || !outBuffer ||
        (!outPacketDescriptions && !inAudioFile->constant) || inStartingPacket < 0) {
        return kAudio_ParamError;
    }
    OpaqueAudioFileID &file = *inAudioFile;
    const uint32_t room = *ioNumBytes;
    const uint32_t wanted = *ioNumPackets;
    *ioNumBytes = 0;
    *ioNumPackets = 0;
    auto *bytes = static_cast<uint8_t *>(outBuffer);
    if (file.constant) {
        const uint32_t size = file.format.mBytesPerPacket;
        const uint64_t left = static_cast<uint64_t>(inStartingPacket) < file.packetCount
                                  ? file.packetCount - static_cast<uint64_t>(inStartingPacket)
                                  : 0;
        const auto count = static_cast<uint32_t>(std::min<uint64_t>({wanted, room / size, left}));
        if (count == 0 && left > 0 && wanted > 0) {
            return kAudioFileBadPropertySizeError;
        }
        const OSStatus status =
            readRun(file, file.dataStart + inStartingPacket * static_cast<int64_t>(size), count * size, bytes);
        if (status != 0) {
            return status;
        }
        for (uint32_t i = 0; outPacketDescriptions && i < count; ++i) {
            outPacketDescriptions[i] =
                AudioStreamPacketDescription{static_cast<int64_t>(i) * size, file.format.mFramesPerPacket, size, 0, 0};
        }
        *ioNumBytes = count * size;
        *ioNumPackets = count;
        return 0;
    }
    uint32_t used = 0;
    uint32_t count = 0;
    // Packets that lie one after the other in the file are read in one go.
    int64_t runStart = 0;
    uint32_t runBytes = 0;
    uint32_t runAt = 0;
    for (auto packet = static_cast<uint64_t>(inStartingPacket); packet < file.packetCount && count < wanted; ++packet) {
        const PacketEntry &entry = file.packets[packet];
        if (entry.size > room - used) {
            if (count == 0) {
                return kAudioFileBadPropertySizeError;
            }
            break;
        }
        if (runBytes == 0 || entry.pos != runStart + runBytes) {
            const OSStatus status = readRun(file, runStart, runBytes, bytes + runAt);
            if (status != 0) {
                return status;
            }
            runStart = entry.pos;
            runBytes = 0;
            runAt = used;
        }
        runBytes += entry.size;
        outPacketDescriptions[count] =
            AudioStreamPacketDescription{used, entry.frames, entry.size, entry.trimStart, entry.trimEnd};
        used += entry.size;
        ++count;
    }
    const OSStatus status = readRun(file, runStart, runBytes, bytes + runAt);
    if (status != 0) {
        return status;
    }
    *ioNumBytes = used;
    *ioNumPackets = count;
    return 0;
}

OSStatus AudioFileClose(AudioFileID inAudioFile)
{
    if (!inAudioFile) {
        return kAudio_ParamError;
    }
    freeFile(inAudioFile);
    return 0;
}

// ---------------------------------------------------------------------------
// The offline-render queue

namespace {
constexpr uint32_t kMaxQueueBuffers = 16;
// Decoded frames held back between renders; a packet never gives more.
constexpr uint32_t kMaxPendingFrames = 1u << 20;
} // namespace

struct OpaqueAudioQueue {
    AudioStreamBasicDescription source{};
    AudioQueueOutputCallback callback = nullptr;
    void *user = nullptr;
    uint32_t channels = 0;
    const CodecKind *kind = nullptr;
    // Packets of one size: buffers come without descriptions, and every
    // packet left in a buffer is decoded in one go.
    bool constant = false;

    uint8_t *cookie = nullptr;
    uint32_t cookieSize = 0;
    bool haveLayout = false;
    bool renderFormatSet = false;
    bool running = false;
    // The offline-render format: 16-bit integer or 32-bit float samples.
    AVSampleFormat renderFormat = AV_SAMPLE_FMT_S16;
    uint32_t frameBytes = 0;

    AVCodecContext *decoder = nullptr;
    SwrContext *resampler = nullptr;
    int resamplerFormat = -1;
    AVPacket *packet = nullptr;
    AVFrame *frame = nullptr;

    AudioQueueBuffer *buffers[kMaxQueueBuffers] = {};
    uint32_t bufferCount = 0;
    // Enqueued buffers in order; the first is the one being decoded.
    AudioQueueBuffer *enqueued[kMaxQueueBuffers] = {};
    uint32_t enqueuedCount = 0;
    uint32_t nextPacket = 0; // in the first enqueued buffer

    // Decoded frames of the render format waiting for a render.
    uint8_t *pending = nullptr;
    uint32_t pendingCapacity = 0; // frames
    uint32_t pendingCount = 0;
};

namespace {
void closeDecoder(OpaqueAudioQueue *queue)
{
    gFFmpeg->avcodec_free_context(&queue->decoder);
    gFFmpeg->swr_free(&queue->resampler);
    queue->resamplerFormat = -1;
    gFFmpeg->av_packet_free(&queue->packet);
    gFFmpeg->av_frame_free(&queue->frame);
}

OSStatus openDecoder(OpaqueAudioQueue *queue)
{
    const AVCodec *codec = gFFmpeg->avcodec_find_decoder_by_name(queue->kind->decoder);
    if (!codec) {
        return kAudioQueueErr_InvalidCodecAccess;
    }
    queue->decoder = gFFmpeg->avcodec_alloc_context3(codec);
    queue->packet = gFFmpeg->av_packet_alloc();
    queue->frame = gFFmpeg->av_frame_alloc();
    if (!queue->decoder || !queue->packet || !queue->frame) {
        closeDecoder(queue);
        return kAudio_MemFullError;
    }
    AVCodecContext *ctx = queue->decoder;
    ctx->sample_rate = static_cast<int>(queue->source.mSampleRate);
    gFFmpeg->av_channel_layout_default(&ctx->ch_layout, static_cast<int>(queue->channels));
    if (queue->constant) {
        ctx->block_align = static_cast<int>(queue->source.mBytesPerPacket);
        ctx->bits_per_coded_sample = static_cast<int>(queue->source.mBitsPerChannel);
    }
    // The trims come with the packets; the decoder keeps every frame.
    ctx->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
    ctx->codec_whitelist = gFFmpeg->av_strdup(queue->kind->decoder);
    if (queue->cookieSize > 0) {
        ctx->extradata = static_cast<uint8_t *>(gFFmpeg->av_mallocz(queue->cookieSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!ctx->extradata) {
            closeDecoder(queue);
            return kAudio_MemFullError;
        }
        std::memcpy(ctx->extradata, queue->cookie, queue->cookieSize);
        ctx->extradata_size = static_cast<int>(queue->cookieSize);
    }
    if (!ctx->codec_whitelist || gFFmpeg->avcodec_open2(ctx, codec, nullptr) < 0) {
        closeDecoder(queue);
        return kAudioQueueErr_InvalidCodecAccess;
    }
    return 0;
}

OSStatus reservePending(OpaqueAudioQueue *queue, uint64_t frames)
{
    if (frames <= queue->pendingCapacity) {
        return 0;
    }
    if (frames > kMaxPendingFrames) {
        return kAudioQueueErr_DecodeFailed;
    }
    const auto capacity = static_cast<uint32_t>(std::max<uint64_t>(frames, queue->pendingCapacity * 2ull));
    void *grown = AURA_Memory_ReAlloc(queue->pending, static_cast<int>(capacity * queue->frameBytes));
    if (!grown) {
        return kAudio_MemFullError;
    }
    queue->pending = static_cast<uint8_t *>(grown);
    queue->pendingCapacity = capacity;
    return 0;
}

// Converts one decoded frame to the interleaved render format behind what
// waits.
OSStatus appendFrame(OpaqueAudioQueue *queue, const AVFrame *frame)
{
    if (frame->ch_layout.nb_channels != static_cast<int>(queue->channels) || frame->nb_samples <= 0) {
        return kAudioQueueErr_DecodeFailed;
    }
    if (!queue->resampler || queue->resamplerFormat != frame->format) {
        gFFmpeg->swr_free(&queue->resampler);
        AVChannelLayout layout{};
        if (gFFmpeg->av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
            return kAudio_MemFullError;
        }
        const int made =
            gFFmpeg->swr_alloc_set_opts2(&queue->resampler, &layout, queue->renderFormat, frame->sample_rate, &layout,
                                         static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
        gFFmpeg->av_channel_layout_uninit(&layout);
        if (made < 0 || gFFmpeg->swr_init(queue->resampler) < 0) {
            gFFmpeg->swr_free(&queue->resampler);
            return kAudioQueueErr_DecodeFailed;
        }
        queue->resamplerFormat = frame->format;
    }
    const OSStatus status = reservePending(queue, static_cast<uint64_t>(queue->pendingCount) + frame->nb_samples);
    if (status != 0) {
        return status;
    }
    uint8_t *out = queue->pending + static_cast<size_t>(queue->pendingCount) * queue->frameBytes;
    const int converted = gFFmpeg->swr_convert(queue->resampler, &out, frame->nb_samples,
                                      const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
    if (converted < 0) {
        return kAudioQueueErr_DecodeFailed;
    }
    queue->pendingCount += static_cast<uint32_t>(converted);
    return 0;
}

// The packets a buffer holds.
uint32_t packetsIn(const OpaqueAudioQueue *queue, const AudioQueueBuffer *buffer)
{
    return queue->constant ? buffer->mAudioDataByteSize / queue->source.mBytesPerPacket
                           : buffer->mPacketDescriptionCount;
}

// The next packet of the first enqueued buffer; with packets of one size,
// all that are left of it, as one.
AudioStreamPacketDescription takePacket(OpaqueAudioQueue *queue)
{
    const AudioQueueBuffer *buffer = queue->enqueued[0];
    if (!queue->constant) {
        return buffer->mPacketDescriptions[queue->nextPacket++];
    }
    const uint32_t size = queue->source.mBytesPerPacket;
    const uint32_t count = packetsIn(queue, buffer) - queue->nextPacket;
    const AudioStreamPacketDescription run{static_cast<int64_t>(queue->nextPacket) * size,
                                           count * queue->source.mFramesPerPacket, count * size, 0, 0};
    queue->nextPacket += count;
    return run;
}

// Decodes the next packet of the first enqueued buffer and applies its trims.
OSStatus decodePacket(OpaqueAudioQueue *queue)
{
    AudioQueueBuffer *buffer = queue->enqueued[0];
    const AudioStreamPacketDescription description = takePacket(queue);
    if (description.mStartOffset < 0 ||
        static_cast<uint64_t>(description.mStartOffset) + description.mDataByteSize > buffer->mAudioDataByteSize) {
        return kAudioQueueErr_InvalidBuffer;
    }
    AVPacket *packet = queue->packet;
    gFFmpeg->av_packet_unref(packet);
    if (gFFmpeg->av_new_packet(packet, static_cast<int>(description.mDataByteSize)) < 0) {
        return kAudio_MemFullError;
    }
    std::memcpy(packet->data, static_cast<const uint8_t *>(buffer->mAudioData) + description.mStartOffset,
                description.mDataByteSize);
    const uint32_t first = queue->pendingCount;
    int sent = gFFmpeg->avcodec_send_packet(queue->decoder, packet);
    gFFmpeg->av_packet_unref(packet);
    // A packet the decoder refuses gives no frames; the packets after it
    // still play, as FFmpeg's own tools go on past damaged packets.
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
        sent = 0;
    }
    for (;;) {
        const int got = gFFmpeg->avcodec_receive_frame(queue->decoder, queue->frame);
        if (got < 0) {
            break;
        }
        const OSStatus status = appendFrame(queue, queue->frame);
        gFFmpeg->av_frame_unref(queue->frame);
        if (status != 0) {
            return status;
        }
    }
    const uint32_t decoded = queue->pendingCount - first;
    if (decoded == 0) {
        return 0; // (a refused packet: perhaps nothing pending at all)
    }
    const uint32_t trimEnd = std::min(description.mTrimEnd, decoded);
    const uint32_t trimStart = std::min(description.mTrimStart, decoded - trimEnd);
    const uint32_t kept = decoded - trimStart - trimEnd;
    if (kept > 0 && trimStart > 0) {
        // Only when frames were decoded: the pending buffer exists then.
        const size_t frameBytes = queue->frameBytes;
        uint8_t *start = queue->pending + first * frameBytes;
        std::memmove(start, start + trimStart * frameBytes, kept * frameBytes);
    }
    queue->pendingCount = first + kept;
    return 0;
}

bool ownsBuffer(const OpaqueAudioQueue *queue, const AudioQueueBuffer *buffer)
{
    return std::find(queue->buffers, queue->buffers + queue->bufferCount, buffer) !=
           queue->buffers + queue->bufferCount;
}

void dropEnqueued(OpaqueAudioQueue *queue)
{
    queue->enqueuedCount = 0;
    queue->nextPacket = 0;
}
} // namespace

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription *inFormat, AudioQueueOutputCallback inCallbackProc,
                             void *inUserData, void * /*inCallbackRunLoop*/, void * /*inCallbackRunLoopMode*/,
                             uint32_t inFlags, AudioQueueRef *outAQ)
{
    if (!inFormat || !inCallbackProc || !outAQ || inFlags != 0) {
        return kAudio_ParamError;
    }
    *outAQ = nullptr;
    const CodecKind *kind = codecOf(*inFormat);
    if (!kind || inFormat->mChannelsPerFrame == 0 || inFormat->mChannelsPerFrame > kMaxChannels ||
        !(inFormat->mSampleRate > 0 && inFormat->mSampleRate <= kMaxSampleRate)) {
        return kAudioQueueErr_InvalidCodecAccess;
    }
    // Packets of one size must be the codec's own.
    const bool constant = kind->framesPerPacket != 0;
    if (constant && (inFormat->mBytesPerPacket != packetBytes(*kind, inFormat->mChannelsPerFrame) ||
                     inFormat->mFramesPerPacket != kind->framesPerPacket)) {
        return kAudioQueueErr_InvalidCodecAccess;
    }
    if (!loadFFmpeg()) {
        return kAudioQueueErr_InvalidCodecAccess;
    }
    auto *queue = AURA_New(OpaqueAudioQueue);
    if (!queue) {
        return kAudio_MemFullError;
    }
    queue->source = *inFormat;
    queue->callback = inCallbackProc;
    queue->user = inUserData;
    queue->channels = inFormat->mChannelsPerFrame;
    queue->kind = kind;
    queue->constant = constant;
    *outAQ = queue;
    return 0;
}

OSStatus AudioQueueSetProperty(AudioQueueRef inAQ, uint32_t inID, const void *inData, uint32_t inDataSize)
{
    if (!inAQ || !inData) {
        return kAudio_ParamError;
    }
    switch (inID) {
    case kAudioQueueProperty_MagicCookie: {
        if (inDataSize == 0 || inDataSize > (1u << 20)) {
            return kAudioQueueErr_InvalidPropertyValue;
        }
        auto *copy = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(inDataSize)));
        if (!copy) {
            return kAudio_MemFullError;
        }
        std::memcpy(copy, inData, inDataSize);
        freeBlock(inAQ->cookie);
        inAQ->cookie = copy;
        inAQ->cookieSize = inDataSize;
        // The decoder takes the new setup when it is next opened.
        closeDecoder(inAQ);
        return 0;
    }
    case kAudioQueueProperty_ChannelLayout: {
        AudioChannelLayout layout{};
        if (inDataSize < sizeof(layout)) {
            return kAudioQueueErr_InvalidPropertyValue;
        }
        std::memcpy(&layout, inData, sizeof(layout));
        if (layout.mChannelLayoutTag == kAudioChannelLayoutTag_UseChannelBitmap &&
            static_cast<uint32_t>(__builtin_popcount(layout.mChannelBitmap)) != inAQ->channels) {
            return kAudioQueueErr_InvalidPropertyValue;
        }
        inAQ->haveLayout = true;
        return 0;
    }
    case kAudioQueueProperty_HardwareCodecPolicy: {
        uint32_t policy = 0;
        if (inDataSize != sizeof(policy)) {
            return kAudioQueueErr_InvalidPropertyValue;
        }
        std::memcpy(&policy, inData, sizeof(policy));
        if (policy > kAudioQueueHardwareCodecPolicy_UseHardwareOnly + 2) {
            return kAudioQueueErr_InvalidPropertyValue;
        }
        // Only software decoders exist here.
        return policy == kAudioQueueHardwareCodecPolicy_UseHardwareOnly ? kAudioQueueErr_InvalidCodecAccess : 0;
    }
    default: return kAudioQueueErr_InvalidProperty;
    }
}

namespace {
OSStatus allocateBuffer(AudioQueueRef queue, uint32_t bytes, uint32_t descriptions, AudioQueueBufferRef *out)
{
    if (!queue || !out || bytes == 0 || bytes > (1u << 26) || descriptions > (1u << 16)) {
        return kAudio_ParamError;
    }
    *out = nullptr;
    if (queue->bufferCount == kMaxQueueBuffers) {
        return kAudio_MemFullError;
    }
    // One block: the record, the packet descriptions, the data.
    const size_t head = sizeof(AudioQueueBuffer) + descriptions * sizeof(AudioStreamPacketDescription);
    auto *memory = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(head + bytes)));
    if (!memory) {
        return kAudio_MemFullError;
    }
    auto *buffer = reinterpret_cast<AudioQueueBuffer *>(memory);
    buffer->mAudioDataBytesCapacity = bytes;
    buffer->mAudioData = memory + head;
    buffer->mPacketDescriptionCapacity = descriptions;
    buffer->mPacketDescriptions =
        descriptions ? reinterpret_cast<AudioStreamPacketDescription *>(memory + sizeof(AudioQueueBuffer)) : nullptr;
    queue->buffers[queue->bufferCount++] = buffer;
    *out = buffer;
    return 0;
}
} // namespace

OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, uint32_t inBufferByteSize, AudioQueueBufferRef *outBuffer)
{
    return allocateBuffer(inAQ, inBufferByteSize, 0, outBuffer);
}

OSStatus AudioQueueAllocateBufferWithPacketDescriptions(AudioQueueRef inAQ, uint32_t inBufferByteSize,
                                                        uint32_t inNumberPacketDescriptions,
                                                        AudioQueueBufferRef *outBuffer)
{
    return allocateBuffer(inAQ, inBufferByteSize, inNumberPacketDescriptions, outBuffer);
}

OSStatus AudioQueueSetOfflineRenderFormat(AudioQueueRef inAQ, const AudioStreamBasicDescription *inFormat,
                                          const AudioChannelLayout * /*inLayout*/)
{
    if (!inAQ || !inFormat) {
        return kAudio_ParamError;
    }
    // Native-endian 16-bit integer or 32-bit float samples.
    const bool integer = inFormat->mFormatFlags == (kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked) &&
                         inFormat->mBitsPerChannel == 16;
    const bool floating = inFormat->mFormatFlags == (kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked) &&
                          inFormat->mBitsPerChannel == 32;
    const uint32_t frameBytes = inAQ->channels * inFormat->mBitsPerChannel / 8;
    if (inFormat->mFormatID != kAudioFormatLinearPCM || !(integer || floating) ||
        inFormat->mChannelsPerFrame != inAQ->channels || inFormat->mBytesPerFrame != frameBytes ||
        inFormat->mBytesPerPacket != frameBytes || inFormat->mFramesPerPacket != 1 ||
        inFormat->mSampleRate != inAQ->source.mSampleRate) {
        return kAudioQueueErr_InvalidPropertyValue;
    }
    const AVSampleFormat format = floating ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16;
    if (format != inAQ->renderFormat || frameBytes != inAQ->frameBytes) {
        // What waits, its block and the converter were made for another
        // format.
        gFFmpeg->swr_free(&inAQ->resampler);
        inAQ->resamplerFormat = -1;
        freeBlock(inAQ->pending);
        inAQ->pending = nullptr;
        inAQ->pendingCapacity = 0;
        inAQ->pendingCount = 0;
    }
    inAQ->renderFormat = format;
    inAQ->frameBytes = frameBytes;
    inAQ->renderFormatSet = true;
    return 0;
}

OSStatus AudioQueueOfflineRender(AudioQueueRef inAQ, const AudioTimeStamp *inTimestamp, AudioQueueBufferRef ioBuffer,
                                 uint32_t inNumberFrames)
{
    if (!inAQ || !inTimestamp || !ioBuffer || !ownsBuffer(inAQ, ioBuffer)) {
        return kAudio_ParamError;
    }
    if (!inAQ->renderFormatSet) {
        return kAudioQueueErr_InvalidRunState;
    }
    const uint32_t frameBytes = inAQ->frameBytes;
    const uint32_t frames = std::min(inNumberFrames, ioBuffer->mAudioDataBytesCapacity / frameBytes);
    ioBuffer->mAudioDataByteSize = 0;
    if (!inAQ->running || frames == 0) {
        return 0;
    }
    if (!inAQ->decoder) {
        const OSStatus status = openDecoder(inAQ);
        if (status != 0) {
            return status;
        }
    }
    while (inAQ->pendingCount < frames) {
        if (inAQ->enqueuedCount == 0) {
            break; // the input is exhausted
        }
        AudioQueueBuffer *buffer = inAQ->enqueued[0];
        if (inAQ->nextPacket < packetsIn(inAQ, buffer)) {
            const OSStatus status = decodePacket(inAQ);
            if (status != 0) {
                return status;
            }
            continue;
        }
        // The buffer is used up: it goes back to its owner, who may fill
        // and enqueue it again.
        std::copy(inAQ->enqueued + 1, inAQ->enqueued + inAQ->enqueuedCount, inAQ->enqueued);
        --inAQ->enqueuedCount;
        inAQ->nextPacket = 0;
        inAQ->callback(inAQ->user, inAQ, buffer);
        if (!inAQ->running) {
            break;
        }
    }
    const uint32_t out = std::min(frames, inAQ->pendingCount);
    if (out > 0) { // (nothing decoded yet: no pending block at all)
        const size_t bytes = static_cast<size_t>(out) * frameBytes;
        std::memcpy(ioBuffer->mAudioData, inAQ->pending, bytes);
        std::memmove(inAQ->pending, inAQ->pending + bytes,
                     (inAQ->pendingCount - out) * static_cast<size_t>(frameBytes));
        inAQ->pendingCount -= out;
    }
    ioBuffer->mAudioDataByteSize = out * frameBytes;
    return 0;
}

OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer, uint32_t inNumPacketDescs,
                                 const AudioStreamPacketDescription * /*inPacketDescs*/)
{
    if (!inAQ || !inBuffer || !ownsBuffer(inAQ, inBuffer) || inNumPacketDescs != 0) {
        return kAudio_ParamError;
    }
    if (std::find(inAQ->enqueued, inAQ->enqueued + inAQ->enqueuedCount, inBuffer) !=
            inAQ->enqueued + inAQ->enqueuedCount ||
        (!inAQ->constant && inBuffer->mPacketDescriptionCount > inBuffer->mPacketDescriptionCapacity) ||
        inBuffer->mAudioDataByteSize > inBuffer->mAudioDataBytesCapacity || packetsIn(inAQ, inBuffer) == 0) {
        return kAudioQueueErr_InvalidBuffer;
    }
    inAQ->enqueued[inAQ->enqueuedCount++] = inBuffer;
    return 0;
}

OSStatus AudioQueueReset(AudioQueueRef inAQ)
{
    if (!inAQ) {
        return kAudio_ParamError;
    }
    dropEnqueued(inAQ);
    inAQ->pendingCount = 0;
    // A flushed AAC decoder does not decode the stream's first packet as a
    // new one does: the next start opens a fresh one.
    closeDecoder(inAQ);
    return 0;
}

OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp * /*inStartTime*/)
{
    if (!inAQ) {
        return kAudio_ParamError;
    }
    if (!inAQ->decoder) {
        const OSStatus status = openDecoder(inAQ);
        if (status != 0) {
            return status;
        }
    }
    inAQ->running = true;
    return 0;
}

OSStatus AudioQueueStop(AudioQueueRef inAQ, bool /*inImmediate*/)
{
    if (!inAQ) {
        return kAudio_ParamError;
    }
    inAQ->running = false;
    dropEnqueued(inAQ);
    inAQ->pendingCount = 0;
    return 0;
}

OSStatus AudioQueueDispose(AudioQueueRef inAQ, bool /*inImmediate*/)
{
    if (!inAQ) {
        return kAudio_ParamError;
    }
    closeDecoder(inAQ);
    for (uint32_t i = 0; i < inAQ->bufferCount; ++i) {
        freeBlock(inAQ->buffers[i]);
    }
    freeBlock(inAQ->cookie);
    freeBlock(inAQ->pending);
    AURA_Delete(inAQ);
    return 0;
}

} // namespace AURA
