// RIFF/WAVE files: integer PCM of 8 to 32 bits, 32-bit float, the
// extensible layout carrying either, and IMA ADPCM (decoded block by block
// to 16-bit PCM, or kept compressed). Cue points with their labels become
// the sound's sync points; the first sampler loop becomes its loop.
#ifndef AURA_CODEC_WAV_H
#define AURA_CODEC_WAV_H

#include "codec/aura_codec.h"
#include "sound/aura_soundi.h"

#include <cstdint>

namespace AURA {

#pragma pack(push, 1)
// The "fmt " body in its largest (extensible) layout.
struct WAVE_FORMATEXTENSIBLE {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
    uint16_t wValidBitsPerSample; // for IMA ADPCM: samples per block
    uint32_t dwChannelMask;
    uint8_t SubFormat[16];
};
#pragma pack(pop)
static_assert(sizeof(WAVE_FORMATEXTENSIBLE) == 40, "the extensible format record is 40 bytes");

inline constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM_ALT = 0x0069;
inline constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The IMA ADPCM step table (89 entries) and index adjustment per code.
extern const int IMAAdpcm_StepTab[89];
extern const int IMAAdpcm_IndexTab[16];

// Decodes `numblocks` mono blocks of `blockalign` bytes, each giving
// `samplesperblock` samples, writing every `step`-th output sample. 19 for a
// step index above 88; 37 when the samples cannot fit in the block.
[[nodiscard]] AURA_RESULT IMAAdpcm_DecodeM16(unsigned char *in, short *out, unsigned int numblocks,
                                             unsigned int blockalign, unsigned int samplesperblock, int step);
// The same for stereo blocks (4-byte groups of left, then right codes),
// output interleaved.
[[nodiscard]] AURA_RESULT IMAAdpcm_DecodeS16(unsigned char *in, short *out, unsigned int numblocks,
                                             unsigned int blockalign, unsigned int samplesperblock);

// The largest samples-per-block value a block of `blockalign` bytes in
// `channels` channels can hold, with codes interleaved in 4-byte units per
// channel; 0 when the block cannot even hold the channel headers.
[[nodiscard]] unsigned int IMAAdpcm_MaxSamplesPerBlock(unsigned int blockalign, unsigned int channels);

// Samples per channel that a short last block of `bytes` bytes decodes to:
// its header sample, then eight per 4-byte unit of every channel, at most
// `samplesperblock`; 0 when it cannot hold the channel headers.
[[nodiscard]] unsigned int IMAAdpcm_SamplesInShortBlock(uint64_t bytes, unsigned int channels,
                                                        unsigned int samplesperblock);

// 19 when a block header in `bytes` bytes of blocks (`blockalign` bytes,
// the last perhaps short) holds a step index the decoders refuse; with
// `unitinterleave`, channels interleaved in 2-byte units (banks) rather
// than the WAV layout of 4-byte headers channel after channel.
[[nodiscard]] AURA_RESULT IMAAdpcm_CheckBlockHeaders(const uint8_t *data, uint64_t bytes, unsigned int blockalign,
                                                     unsigned int channels, bool unitinterleave);

// The registry record of CodecWav: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX wavcodec;

class CodecWav : public Codec {
public:
    // Deepest nesting of "LIST" chunks that is walked into.
    static constexpr int MAX_LIST_DEPTH = 8;
    // The most of a "fmt " chunk that is kept.
    static constexpr unsigned int MAX_FORMAT_CHUNK = 64 * 1024;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    // The data chunk declares more than the file holds.
    [[nodiscard]] bool dataCut(int /*subsound*/) const override { return mDataCut; }
    AURA_RESULT soundCreateInternal(int subsound, AURA_SOUND *sound);
    AURA_RESULT canPointInternal();

    // Walks the chunks from the file position over `chunksize` bytes (which
    // count the 4-byte form or list type before them); recursive for "LIST".
    AURA_RESULT parseChunk(unsigned int chunksize);

    // What a RIFF/WAVE wrapper says of the data it holds (another codec's
    // stream inside a WAV file).
    struct ChunkFacts {
        bool haveFormat = false;
        uint16_t formatTag = 0;
        bool haveData = false;
        unsigned int dataOffset = 0;
        unsigned int dataSize = 0;     // what the file holds of it
        unsigned int loopStart = 0;    // first sampler loop, 0 and 0 when none
        unsigned int loopEnd = 0;
    };
    // Runs the chunk walk on a scratch codec over a file standing just after
    // "WAVE"; riffsize is the RIFF header's size. With `syncpoints` the cue
    // points found are handed over (pool memory, the caller's to free).
    static AURA_RESULT scanChunks(File *file, unsigned int riffsize, ChunkFacts *facts,
                                  AURA_SYNCPOINT **syncpoints = nullptr, int *numsyncpoints = nullptr);
    // Adds cue points to a new sound as its sync points.
    static AURA_RESULT addSyncPoints(AURA_SOUND *sound, const AURA_SYNCPOINT *points, int count);

    WAVE_FORMATEXTENSIBLE mSrcFormatRecord{};      // as the data is delivered
    WAVE_FORMATEXTENSIBLE *mSrcFormat = nullptr;   // the chunk as read, >= 40 bytes
    int mNumSyncPoints = 0;
    AURA_SYNCPOINT *mSyncPoint = nullptr;
    WAVE_FORMATEXTENSIBLE mBuiltInFormat{};        // used by pooled ADPCM decoders
    unsigned int mSamplesPerADPCMBlock = 0;

private:
    [[nodiscard]] AURA_RESULT seekTo(uint64_t position);
    [[nodiscard]] AURA_RESULT readBytes(void *buffer, unsigned int bytes, unsigned int *got);
    [[nodiscard]] uint64_t fileEnd() const;
    [[nodiscard]] AURA_RESULT setupFormat(unsigned int mode);
    // Decodes `perBlock` frames of the `blockalign` bytes in the read buffer.
    [[nodiscard]] AURA_RESULT decodeBlock(short *out, unsigned int blockalign, unsigned int perBlock);
    void freeSyncPoints();

    unsigned int mDataLength = 0; // bytes of audio data, whole frames or blocks
    int mListDepth = 0;
    bool mFileSeekable = true;
    bool mKeptCompressed = false;
    bool mDataCut = false; // see dataCut
    unsigned char *mChannelScratch = nullptr; // one channel's block, for > 2 channels
};

} // namespace AURA

#endif // AURA_CODEC_WAV_H
