// A streamed sound: its codec decodes the file a stretch at a time into a
// small looping sample, the ring buffer, which a voice plays while the
// system's stream thread refills the part just played.
#ifndef AURA_STREAM_H
#define AURA_STREAM_H

#include "sound/aura_soundi.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace AURA {

class Codec;
class Sample;
class ChannelStream;

class Stream : public SoundI {
public:
    static constexpr unsigned int FLAG_ENDOFDATA = 0x8;   // the decoder reached the end
    static constexpr unsigned int FLAG_DECODED = 0x10;    // data decoded since the last seek
    static constexpr unsigned int FLAG_IDLE = 0x40;       // no voice plays the stream
    static constexpr unsigned int FLAG_WHOLE = 0x80;      // the whole stream is in the ring
    static constexpr unsigned int FLAG_SEEKING = 0x400;

    // Frames decoded at a time, unless the creation info asks otherwise.
    static constexpr unsigned int DEFAULT_CHUNK_FRAMES = 8192;
    // Ring buffer length in chunks.
    static constexpr unsigned int RING_CHUNKS = 4;

    Stream() = default;
    ~Stream() override;

    [[nodiscard]] bool isStream() const override { return true; }
    // A stream of unknown length (an internet radio, a file that only
    // reads forward) knows it once its decoder has run out of data.
    [[nodiscard]] unsigned int heldLength() const override;
    [[nodiscard]] Codec *liveCodec() const override { return mCodec; }
    // The file's format: a stream has no data of its own to describe.
    [[nodiscard]] AURA_SOUND_FORMAT reportedFormat() const override
    {
        return mStoredFormat != AURA_SOUND_FORMAT_NONE ? mStoredFormat : mFormat;
    }

    // Decodes the next `length` frames into the ring at `offset`, looping
    // back to the loop start while loops remain. 22 once the data ends (the
    // rest is silence).
    AURA_RESULT fill(unsigned int offset, unsigned int length);
    // True when decoding a chunk now may wait for the file thread of the
    // stream's double-buffered file (a slow or stalled server): less than
    // half a fill is left before the half it is still filling.
    [[nodiscard]] bool mayWaitForFile() const;
    // Moves the decoder (PCM samples of the stream).
    AURA_RESULT setPosition(unsigned int position);
    // Fills the whole ring from the decoder's position.
    AURA_RESULT flush();
    // Forgets where the data ended: the decoder starts on other data (a
    // stream moved to another subsound).
    void forgetDataEnd();
    // Loops the decoder runs through before it plays on to the end.
    void setDecodeLoops(int loopcount) { mDecodeLoopCount = loopcount; }
    // Moves the tags the decoder found since the last call (an internet
    // radio's titles) to the sound's list.
    void collectCodecTags();

    [[nodiscard]] unsigned int flags() const { return mStreamFlags.load(std::memory_order_acquire); }
    // The frame of the stream where the decoder ran out of data on its last
    // pass; far past any end until it has.
    [[nodiscard]] uint64_t dataEnd() const { return mDataEnd.load(std::memory_order_acquire); }
    // The ring frame where the fill that found the data end stopped writing
    // data (what follows there is silence).
    [[nodiscard]] unsigned int ringDataEnd() const { return mRingDataEnd.load(std::memory_order_acquire); }
    void setFlags(unsigned int bits) { mStreamFlags.fetch_or(bits, std::memory_order_acq_rel); }
    void clearFlags(unsigned int bits) { mStreamFlags.fetch_and(~bits, std::memory_order_acq_rel); }

    Codec *mCodec = nullptr;              // owns the file
    Sample *mSample = nullptr;            // the ring buffer
    ChannelStream *mChannelStream = nullptr;
    unsigned int mChunkSize = DEFAULT_CHUNK_FRAMES;
    unsigned int mInitialPosition = 0;
    AURA_SOUND_FORMAT mStoredFormat = AURA_SOUND_FORMAT_NONE; // the file's, when decoded to another
    // A user stream's callbacks: each decoded chunk is filled by the first,
    // each seek is reported to the second.
    AURA_SOUND_PCMREADCALLBACK mPCMReadCallback = nullptr;
    AURA_SOUND_PCMSETPOSCALLBACK mPCMSetPosCallback = nullptr;

private:
    // Moves the decoder and tells a user stream's callback.
    AURA_RESULT seekDecoder(unsigned int position);
    // The decoder leaves the sentence entry it reads (done, or its data
    // ended early): what the entry lacked of its length is counted, and an
    // entry read from its start that held less than its file said makes
    // the stream's failure "ended early".
    void leaveSentenceEntry();
    // The decoder reached the end of the sentence's last entry.
    void endSentence();

    std::atomic<unsigned int> mStreamFlags{0};
    std::atomic<uint64_t> mDataEnd{UINT64_MAX};
    std::atomic<unsigned int> mRingDataEnd{0};
    // Where the file's data ended before the length it declared, read on
    // from the start (far past any end until then).
    std::atomic<uint64_t> mHeldEnd{UINT64_MAX};
    bool mReadFromStart = true; // no seek into the stream since it opened
    uint64_t mDecodePosition = 0;         // PCM frame the decoder is at
    int mSentenceEntry = 0;               // the sentence entry the decoder reads
    uint64_t mSentenceEntryEnd = 0;       // and the frame after it
    uint64_t mSentenceShortfall = 0;      // frames the entries passed since the last seek lacked
    int mDecodeLoopCount = -1;
};

} // namespace AURA

#endif // AURA_STREAM_H
