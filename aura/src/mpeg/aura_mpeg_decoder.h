// MPEG-1, MPEG-2 and MPEG-2.5 audio frames of layers II and III decoded to
// 16-bit interleaved PCM. This is the frame-level part of the MPEG codec:
// it knows nothing of files; the codec finds frames, hands each one over
// whole (header and body) and keeps one decoder state per stream.
#ifndef AURA_MPEG_DECODER_H
#define AURA_MPEG_DECODER_H

#include <aura.h>

#include <cstddef>
#include <cstdint>

namespace AURA {

// The most body bytes (after the 4-byte header) a frame may carry. Larger
// frames exist only in MPEG-2.5 layer II at high rates; they are refused.
inline constexpr unsigned int MPEG_MAX_FRAME_BODY = 1792;
// Samples per channel of the longest frame.
inline constexpr unsigned int MPEG_MAX_FRAME_SAMPLES = 1152;

// What the frame header says, as parsed by decodeHeader.
struct MpegHeader {
    uint32_t raw = 0;
    int lsf = 0; // 1 for MPEG-2 and MPEG-2.5
    int isMpeg25 = 0;
    int layer = 0; // 2 or 3
    int hasCrc = 0;
    int bitrateIndex = 0;
    int samplingFrequency = 0; // 0-8: MPEG-1 0-2, MPEG-2 3-5, MPEG-2.5 6-8
    int frequency = 0; // Hz
    int padding = 0;
    int mode = 0; // 3: single channel
    int modeExtension = 0;
    int channels = 0; // 1 or 2
    int bodySize = 0; // bytes after the header
    int allocTable = 0; // layer II allocation table 0-4
    int sblimit = 0;
    int bound = 0;

    // Samples per channel one frame yields.
    [[nodiscard]] int samplesPerFrame() const { return layer == 3 && lsf ? 576 : 1152; }
};

// Header options.
inline constexpr unsigned int MPEG_HEADER_CONTAINER = 0x1; // inside an outer container: rate test skipped

// Parses 4 header bytes (big-endian in `raw`). 25 for anything but a
// layer II or III frame of a defined bit rate and frequency, a layer II
// rate and mode that MPEG-1 forbids, or a body outside 16..MPEG_MAX_FRAME_BODY.
[[nodiscard]] AURA_RESULT decodeHeader(uint32_t raw, unsigned int options, MpegHeader *header);

// Looks for a Xing header in a whole first frame (header and body). AURA_OK
// with the frame count (0 when absent) and the table of contents (filled,
// `hastoc` set, when present); 25 when the frame carries none.
[[nodiscard]] AURA_RESULT decodeXingHeader(const uint8_t *frame, unsigned int size, const MpegHeader &header,
                                           uint8_t toc[100], bool *hastoc, uint32_t *frames);

// Builds the decoding tables once per process; safe from any thread.
void initAll();

// One stream's decoder state: the synthesis rings, the layer III overlap
// and the bit reservoir. Plain data: zeroing it and calling reset() gives a
// fresh decoder.
struct MpegDecoderState {
    // Synthesis: per channel 16 slots of 64 values, newest at mRingPosition.
    alignas(16) float mRing[2][16][64];
    // Layer III overlap-add halves per channel, time slot and sub-band.
    alignas(16) float mOverlap[2][18][32];
    // Layer III main data: the kept reservoir followed by the frame's own,
    // with zero slack so bit reads past the end yield zeros.
    uint8_t mMainData[512 + MPEG_MAX_FRAME_BODY + 16];
    int mReservoirBytes; // bytes of earlier frames at the start of mMainData
    int mRingPosition;
};

// The decoder state's size; containers that hold decoders in their own
// memory reserve this much per stream.
inline constexpr size_t MPEG_DECODER_STATE_SIZE = sizeof(MpegDecoderState);

// Clears the state: no reservoir, silent synthesis history.
void resetDecoder(MpegDecoderState *state);

// Decodes one frame (its 4-byte header followed by `size` - 4 body bytes)
// that decodeHeader accepted as `header`. Writes samplesPerFrame() samples
// per frame channel to `out`, channel c of slot t at out[t * stride + c].
// AURA_OK, or 19 for a layer III frame whose side information is invalid
// (the output is then silence of the frame's length). `produced` receives
// the bytes written (samples × channels × 2).
[[nodiscard]] AURA_RESULT decodeFrame(MpegDecoderState *state, const MpegHeader &header, const uint8_t *frame,
                                      unsigned int size, int16_t *out, int stride, unsigned int *produced);

namespace mpeg_detail {
// For tests: decodes one Huffman code word of table `table` (0-31 big
// values, 32-33 the count1 tables) from `bits` (first bit highest, up to
// 32 bits); returns the leaf value and sets `length` to the bits consumed.
int decodeCodeWord(int table, uint32_t bits, int *length);
} // namespace mpeg_detail

} // namespace AURA

#endif // AURA_MPEG_DECODER_H
