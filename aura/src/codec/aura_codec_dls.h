// Downloadable Sounds collections (RIFF "DLS "): every wave of the pool is a
// subsound that reads like a PCM sample, and the instruments (regions, wave
// links, articulation) stay in memory in the records below, which the MIDI
// player reads after open.
#ifndef AURA_CODEC_DLS_H
#define AURA_CODEC_DLS_H

#include "codec/aura_codec.h"

#include <cstdint>

namespace AURA {

#pragma pack(push, 1)
// One articulation connection, as stored.
struct DLS_CONNECTIONBLOCK {
    uint16_t usSource;
    uint16_t usControl;
    uint16_t usDestination;
    uint16_t usTransform;
    int32_t lScale;
};

// The "wsmp" block with its first loop, as stored.
struct CodecDLSWaveSample {
    uint32_t cbSize;
    uint16_t usUnityNote;
    int16_t sFineTune;
    int32_t lAttenuation;
    uint32_t fulOptions;
    uint32_t cSampleLoops;
    uint32_t cbLoopSize;
    uint32_t ulLoopType;
    uint32_t ulLoopStart;
    uint32_t ulLoopLength;
};
#pragma pack(pop)
static_assert(sizeof(DLS_CONNECTIONBLOCK) == 12, "a connection block is 12 bytes");
static_assert(sizeof(CodecDLSWaveSample) == 36, "a wave-sample block with one loop is 36 bytes");

struct CodecDLSRegion {
    uint16_t usKeyLow;
    uint16_t usKeyHigh;
    uint16_t usVelocityLow;
    uint16_t usVelocityHigh;
    uint16_t fusOptions;
    uint16_t usKeyGroup;
    CodecDLSWaveSample mWaveSample;
    // The wave link; the wave index is kept as read (it may name no wave).
    uint16_t mLinkOptions;
    uint16_t mPhaseGroup;
    uint32_t mChannel;
    uint32_t mWaveIndex;
    int mNumConnectionBlocks;
    DLS_CONNECTIONBLOCK *mConnectionBlock;
    // The region has a "wsmp" of its own; otherwise its wave's applies.
    bool mHasWaveSample;
};

struct CodecDLSInstrument {
    char mName[256];
    uint32_t mNumRegions;
    uint32_t mBank;
    uint32_t mProgram;
    CodecDLSRegion *mRegion;
    int mNumConnectionBlocks;
    DLS_CONNECTIONBLOCK *mConnectionBlock; // instrument-level articulation
};

struct CodecDLSWave {
    char mName[256];
    uint32_t mDataOffset; // file offset of the sample data
    CodecDLSWaveSample mWaveSample;
    bool mHasData; // a "data" chunk was found
    bool mCut; // the file holds less of it than the chunk declares
};

// The registry record of CodecDLS: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX dlscodec;

class CodecDLS : public Codec {
public:
    // Deepest nesting of lists that is walked into.
    static constexpr int MAX_LIST_DEPTH = 8;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    // A wave whose data the file cut short, or a wave without data.
    [[nodiscard]] bool dataCut(int subsound) const override;

    // Walks the chunks of a list of type `type`, `size` bytes from the
    // file's position (the size counts the 4-byte type read before);
    // `whole`: the file holds every byte the list declares.
    AURA_RESULT parseChunk(const char *type, unsigned int size, bool whole);

    int mNumInstruments = 0;
    int mInstrumentIndex = 0;
    CodecDLSInstrument *mInstrument = nullptr;
    int mNumWaves = 0;
    int mWaveIndex = 0;
    CodecDLSWave *mWave = nullptr;
    int mCurrentSubsound = 0;
    int mRegionIndex = 0;

private:
    [[nodiscard]] CodecDLSInstrument *currentInstrument();
    [[nodiscard]] CodecDLSRegion *currentRegion();
    [[nodiscard]] CodecDLSWave *currentWave();
    [[nodiscard]] AURA_RESULT readArticulation(uint64_t body, unsigned int held);
    // Where the chunks that fill a list's last bytes up to `end` begin, at
    // or after `from` (a wave's INFO list behind its data); `end` when no
    // run of chunks ends there.
    [[nodiscard]] uint64_t trailingChunks(uint64_t from, uint64_t end);

    uint64_t mFileEnd = 0;
    int mListDepth = 0;
    int mInInstrument = 0; // depth of "ins " lists around the walk
    int mInRegion = 0;
    int mInWave = 0;
};

} // namespace AURA

#endif // AURA_CODEC_DLS_H
