// MPEG-1, MPEG-2 and MPEG-2.5 audio of layers II and III: plain streams
// (junk, ID3v1 blocks and tag remains between frames passed over) and
// RIFF/WAVE files with format tag 0x55 or 0x50. Decodes frame by frame to
// 16-bit PCM; lengths come from a Xing header, an estimate from the frame
// size, or (AURA_ACCURATETIME) a scan that also records every frame's
// offset for exact seeks.
#ifndef AURA_CODEC_MPEG_H
#define AURA_CODEC_MPEG_H

#include "codec/aura_codec.h"
#include "mpeg/aura_mpeg_decoder.h"

#include <cstdint>

namespace AURA {

struct AURA_SYNCPOINT;

// The registry record of CodecMPEG: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX mpegcodec;

class CodecMPEG : public Codec {
public:
    // mFlags beyond the base's exact-length bit.
    static constexpr unsigned int FLAG_CONTAINER = 0x2; // set by an outer container codec
    static constexpr unsigned int FLAG_VERIFYNEXT = 0x4; // a seek is being completed
    static constexpr unsigned int FLAG_PAD2 = 0x8; // container: layer III frames padded to 2 bytes
    static constexpr unsigned int FLAG_PAD4 = 0x80; // container: ... to 4 bytes
    static constexpr uint16_t WAVE_FORMAT_MPEG = 0x0050;
    static constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
    // Bytes the sync search looks through without AURA_MPEGSEARCH.
    static constexpr unsigned int SEARCH_LIMIT = 4096;
    // The largest length in samples; 0xFFFFFFFF means unknown.
    static constexpr unsigned int LENGTH_MAX = 0xFFFFFFFEu;
    // Interleaved stereo streams of a container's sound of up to 16 channels.
    static constexpr int MAX_STREAMS = 8;
    static constexpr unsigned int DECODER_STATE_SIZE = static_cast<unsigned int>(MPEG_DECODER_STATE_SIZE);

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();
    // Fills a descriptor record: the registry's, or the own copy of a
    // decoder that another codec or a decoding unit holds.
    static void describe(AURA_CODEC_DESCRIPTION_EX &description);

    // A decoder of MPEG frames that lie inside something else (a bank's
    // subsounds, a compressed sample's data): made without the registry,
    // with decoder state for `streams` interleaved streams and a PCM buffer
    // of one frame of 2 x `streams` channels. It reads a file its holder
    // owns; give it back with releaseDecoder. 44 when out of memory.
    [[nodiscard]] static AURA_RESULT createDecoder(SystemI *system, int streams, CodecMPEG **decoder);
    // Points a decoder at `length` bytes of frames from `offset` in `file`
    // (reads stop there), of `channels` (above 2: stereo streams whose
    // frames alternate) at `frequency`, decoding from a fresh state. The
    // samples a frame yields come from the first frame's header.
    void setSource(File *file, unsigned int offset, unsigned int length, int channels, int frequency);
    // Uses a frame-offset table that someone else owns for exact seeks.
    void borrowFrameOffsets(const uint32_t *offsets, unsigned int count);
    // Drops the holder's file and table, then frees the decoder.
    void releaseDecoder();

    [[nodiscard]] AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    [[nodiscard]] AURA_RESULT closeInternal();
    [[nodiscard]] AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    [[nodiscard]] AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    [[nodiscard]] AURA_RESULT soundCreateInternal(int subsound, AURA_SOUND *sound);
    // The file ended inside a frame that follows the one before, or holds
    // fewer frames than its Xing header counts.
    [[nodiscard]] bool dataCut(int /*subsound*/) const override { return mCut; }
    // Clears every stream's decoder (keeps the seek table and the Xing table).
    void resetFrame();
    // Builds the decoding tables once per process (containers call it too).
    static void initAll() { AURA::initAll(); }
    // Scans the whole stream from the file position: frame offsets and the
    // length in PCM bytes.
    [[nodiscard]] AURA_RESULT getPCMLength(unsigned int *pcmbytes);

    static AURA_RESULT soundCreateCallback(AURA_CODEC_STATE *state, int subsound, AURA_SOUND *sound);
    static AURA_RESULT resetCallback(AURA_CODEC_STATE *state);

    AURA_CODEC_WAVEFORMAT mWaveFormat{};
    MpegDecoderState *mFrame = nullptr; // numstreams states, 16-byte aligned
    void *mMemoryBlock = nullptr;
    int mNumStreams = 0; // 0 means one
    unsigned int mPCMFrameBytes = 0; // PCM bytes one frame yields
    unsigned int mLengthBytes = 0; // of the MPEG data
    int mLockedLayer = 0;
    // Accurate-time seek table: offsets of the frames relative to the data.
    uint32_t *mFrameOffsets = nullptr;
    unsigned int mNumFrameOffsets = 0;
    bool mOwnsFrameOffsets = true;
    // With a source set by a holder: the file offset where its frames end
    // (0: the file's end).
    unsigned int mDataEnd = 0;
    int mStreamCapacity = 1; // decoder states made by createDecoder
    uint8_t mXingToc[100] = {};
    unsigned int mXingFrameLength = 0; // bytes of the Xing frame before the data; the table counts them
    bool mHasXingFrames = false;
    bool mHasXingToc = false;
    bool mSeekable = true;
    bool mCut = false; // see dataCut
    unsigned int mPrevBodySize = 0; // of the last frame read; containers of more than 2 channels pad to it
    // Cue points of a RIFF wrapper, given to the sound when it is made.
    AURA_SYNCPOINT *mSyncPoints = nullptr;
    int mNumSyncPoints = 0;

private:
    [[nodiscard]] AURA_RESULT readExact(void *buffer, unsigned int size);
    [[nodiscard]] AURA_RESULT seekTo(unsigned int position);
    [[nodiscard]] AURA_RESULT seekBy(int offset);
    [[nodiscard]] AURA_RESULT parseHeader(const uint8_t bytes[4], bool checkChannels, MpegHeader *header);
    // The bytes from the end of a frame's header to the next frame: its
    // body, and inside a container the padding its frames are stored with.
    [[nodiscard]] unsigned int frameSpan(const MpegHeader &header, int channels) const;
    // Reads and decodes the next frame of one stream into `out`.
    [[nodiscard]] AURA_RESULT readFrame(MpegDecoderState *state, int16_t *out, int stride, unsigned int *produced,
                                        int *frameChannels);
    void freeMemory();
    void dropFrameOffsets();
    void freeSyncPoints();
};

} // namespace AURA

#endif // AURA_CODEC_MPEG_H
