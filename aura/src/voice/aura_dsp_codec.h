// Units that decode compressed samples while they play, and the fixed
// pools they are lent out from. A unit is a resampler whose source is its
// own read callback: it decodes the sample's stored blocks into 16-bit
// frames, following the voice's loop points, loop count and seek requests.
#ifndef AURA_DSP_CODEC_H
#define AURA_DSP_CODEC_H

#include "dsp/units/aura_dsp_resampler.h"
#include "file/aura_file_memory.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace AURA {

class CodecMPEG;
class DSPCodecPool;
class Sample;
class SoundI;
class SystemI;

class DSPCodec : public DSPResampler {
public:
    static constexpr unsigned int NO_SEEK = 0xFFFFFFFFu;
    static constexpr unsigned int NO_BLOCK = 0xFFFFFFFFu;
    static constexpr int NO_LOOPCOUNT_REQUEST = -2;

    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    ~DSPCodec() override;

    using DSPI::read;
    AURA_RESULT read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE speakermode,
                     int speakermodechannels, unsigned int tick) override;
    AURA_RESULT release(bool freethis) override;

    // Points the unit at the stored blocks of a compressed sample and
    // readies it to play from frame 0: 25 for a sound that is not one,
    // 79 for more channels than the unit carries, 44 when the block buffer
    // cannot be had.
    [[nodiscard]] AURA_RESULT updateDSPCodec(SoundI *sound, int index);
    // Requests from the voice's thread, applied by the next read.
    void requestSeek(unsigned int position);
    void requestLoopCount(int loopcount);
    // The frame heard now (a requested seek counts as heard).
    [[nodiscard]] unsigned int playPosition() const;
    // The loops of a new play, before the unit is connected.
    void setStartLoopCount(int loopcount)
    {
        mDecodeLoops = loopcount;
        mLoopCount = loopcount;
    }

    // The description callbacks.
    static AURA_RESULT createCallback(AURA_DSP_STATE *state);
    static AURA_RESULT resetCallback(AURA_DSP_STATE *state);
    static AURA_RESULT setPositionCallback(AURA_DSP_STATE *state, unsigned int position);
    static AURA_RESULT readCallback(AURA_DSP_STATE *state, float *inbuffer, float *outbuffer, unsigned int length,
                                    int inchannels, int outchannels);

    DSPCodecPool *mPool = nullptr;
    int mPoolIndex = -1;
    int mFormatCode = 0; // 10 MPEG, 7 IMA ADPCM, 2 raw PCM

protected:
    // Decodes block `block` of the sound into `out` (samples per block x
    // channels, interleaved).
    [[nodiscard]] virtual AURA_RESULT decodeBlock(unsigned int block, short *out) = 0;
    // Called whenever the unit is pointed at a sample's blocks: the sample
    // played, or the next entry of a sentence.
    [[nodiscard]] virtual AURA_RESULT sourceChanged(const Sample & /*sample*/) { return AURA_OK; }
    // Frames the read callback decodes into `out`; the result says why it stopped.
    [[nodiscard]] AURA_RESULT readInternal(short *out, unsigned int length);
    // Copies up to `frames` frames from `position` (below the sound's end).
    [[nodiscard]] AURA_RESULT copyFrames(short *out, unsigned int position, unsigned int frames, unsigned int *copied);

    // A sentence: the parent whose entries the unit plays in turn (null
    // for a sample played as itself), and the entry being decoded, from
    // its first frame to the frame after it in the whole sentence.
    const SoundI *mSentence = nullptr;
    int mSubSoundListCurrent = 0;
    unsigned int mEntryStart = 0;
    unsigned int mEntryEnd = 0;
    // Points the decoder at the blocks of the entry that holds `position`;
    // false when that entry names no compressed sample.
    [[nodiscard]] bool selectSentenceEntry(unsigned int position);
    // Decodes from these stored blocks.
    void bindBlocks(const Sample &sample);

    const uint8_t *mData = nullptr; // the sample's stored blocks
    unsigned int mDataLength = 0;
    unsigned int mBlockAlign = 0; // bytes of one block of every channel
    unsigned int mSamplesPerBlock = 0;
    bool mUnitInterleave = false; // IMA channels in 2-byte units (banks)
    short *mBlockBuffer = nullptr; // one decoded block
    unsigned int mBlockBufferSamples = 0; // its capacity in samples
    unsigned int mDecodedBlock = NO_BLOCK;
    unsigned int mDecodePosition = 0; // frames, of the stream being decoded
    int mDecodeLoops = 0; // loops left to the decoder (negative: for ever)

    // Requests of the voice: the value is written first, then its counter
    // raised; the read applies the newest value once.
    std::atomic<unsigned int> mSeekPosition{NO_SEEK};
    std::atomic<unsigned int> mSeekCount{0};
    // The seeks the mixer has taken in; the game thread reads it for the
    // position of a seek still to come.
    std::atomic<unsigned int> mSeekCountSeen{0};
    std::atomic<int> mLoopCountRequest{NO_LOOPCOUNT_REQUEST};
    std::atomic<unsigned int> mLoopCountChange{0};
    unsigned int mLoopCountChangeSeen = 0;
};

// IMA ADPCM in blocks of the WAV layout: per channel a 4-byte header (first
// sample, step index), then 4-byte units of codes, channel after channel; or,
// from banks, each channel's block interleaved with the other's in 2-byte units.
class DSPCodecADPCM : public DSPCodec {
protected:
    static constexpr unsigned int MAX_UNIT_BLOCK = 64; // one channel's block of a bank
    AURA_RESULT decodeBlock(unsigned int block, short *out) override;
};

// 8 or 16-bit PCM kept as it is, in blocks of BLOCK_FRAMES frames, the last
// perhaps shorter: the unit copies it out as 16-bit frames.
class DSPCodecRaw : public DSPCodec {
public:
    static constexpr unsigned int BLOCK_FRAMES = 256;

protected:
    AURA_RESULT decodeBlock(unsigned int block, short *out) override;
    AURA_RESULT sourceChanged(const Sample &sample) override;

private:
    unsigned int mSampleBytes = 2; // of one stored sample: 1 or 2
};

// MPEG audio, one frame a block, decoded in order by an MPEG decoder over
// the sample's data. A block out of order (a new play, a loop, a seek) is
// reached by a seek of the decoder, which decodes a few frames before it
// so that its reservoir and overlap are right again.
class DSPCodecMPEG : public DSPCodec {
public:
    // Makes the unit's decoder (once, when its pool is made).
    [[nodiscard]] AURA_RESULT createDecoder(SystemI *system);
    AURA_RESULT release(bool freethis) override;

protected:
    AURA_RESULT decodeBlock(unsigned int block, short *out) override;
    AURA_RESULT sourceChanged(const Sample &sample) override;

private:
    CodecMPEG *mDecoder = nullptr;
    MemoryFile mSource; // over the sample's frames
    unsigned int mNumFrames = 0;
    unsigned int mNextBlock = NO_BLOCK; // the frame the decoder reads next
};

class DSPCodecPool {
public:
    static constexpr int MAX_UNITS = 255;

    ~DSPCodecPool();
    // Makes `count` units of a category (1: MPEG, 2: IMA ADPCM, 5: raw PCM) reading blocks of
    // `blocklength` frames. Asked again: 0 for the same count, 33 for
    // another. 37 for a count outside 0..255, 25 for another category.
    [[nodiscard]] AURA_RESULT init(SystemI *system, AURA_DSP_CATEGORY category, int blocklength, int count);
    // Lends out a unit that is neither lent nor still playing; 10 when
    // there is none (out untouched).
    [[nodiscard]] AURA_RESULT alloc(DSPCodec **codec);
    [[nodiscard]] AURA_RESULT areAnyFree();
    // Takes a unit back.
    void free(DSPCodec *codec);
    AURA_RESULT close();
    [[nodiscard]] int numUnits() const { return mNumDSPCodecs; }
    [[nodiscard]] int numInUse();

private:
    [[nodiscard]] bool isFree(int index);

    SystemI *mSystem = nullptr;
    int mNumDSPCodecs = 0;
    DSPCodec **mPool = nullptr;
    bool mAllocated[MAX_UNITS + 1]{};
    std::mutex mLock; // lending and taking back come from any thread
};

} // namespace AURA

#endif // AURA_DSP_CODEC_H
