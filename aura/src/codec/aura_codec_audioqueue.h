// What the platform's audio-file and offline-render audio-queue services
// decode (AAC, ALAC, and CAF, AIFF-C and WAV files of codecs the engine's
// own codecs do not read), through those services: the engine's file is
// handed to the audio-file parser through read and size callbacks, and a
// queue in offline-render mode turns the packets into 16-bit PCM (32-bit
// float PCM for linear PCM stored as float). The codec
// itself is the plumbing between the two pull models, sample-accurate
// seeking, and rebuilding the queues after an audio interruption.
#ifndef AURA_CODEC_AUDIOQUEUE_H
#define AURA_CODEC_AUDIOQUEUE_H

#include "codec/aura_codec.h"
#include "toolbox/aura_audiotoolbox.h"

#include <cstdint>
#include <mutex>

namespace AURA {

class MemoryTracker;

// The registry record of CodecAudioQueue: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX audioqueuecodec;

class CodecAudioQueue : public Codec {
public:
    // mCodecPolicy values (the word the creation info's platform options
    // point to).
    static constexpr uint32_t POLICY_DEFAULT = 0;
    static constexpr uint32_t POLICY_SOFTWARE = 1;
    static constexpr uint32_t POLICY_HARDWARE = 2;
    // Decoded PCM handed out per render.
    static constexpr uint32_t OUTPUT_BUFFER_BYTES = 16384;
    // Bytes of packets read per input buffer, before the two-packet minimum.
    static constexpr uint32_t INPUT_BUFFER_BYTES = 16384;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    [[nodiscard]] AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    [[nodiscard]] AURA_RESULT closeInternal();
    [[nodiscard]] AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    [[nodiscard]] AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    [[nodiscard]] AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);

    [[nodiscard]] AURA_RESULT setupAudioFile(bool accurate);
    [[nodiscard]] AURA_RESULT setupAudioQueue();
    [[nodiscard]] AURA_RESULT processAudioQueue(OpaqueAudioQueue *queue, AudioQueueBuffer *buffer);
    [[nodiscard]] AURA_RESULT fileRead(long long position, unsigned long requestcount, void *buffer,
                                       unsigned long *actualcount);
    [[nodiscard]] AURA_RESULT fileGetSize(long long *size);

    // An interruption: `dispose` drops every open codec's queue, `rebuild`
    // makes it again and seeks back to where its reads had reached. Walks
    // the open codecs front to back and stops at the first error.
    [[nodiscard]] static AURA_RESULT resetAll(bool dispose, bool rebuild);

    static AURA_RESULT getMemoryUsedCallback(AURA_CODEC_STATE *state, MemoryTracker *tracker);

    // The open codecs, oldest first. Opens run on the loader thread while
    // other threads close and interruptions walk the list: all under the lock.
    static LinkedListNode gCodecHead;
    static std::mutex gCodecListLock;

    uint32_t mCodecPolicy = POLICY_DEFAULT;
    LinkedListNode mCodecNode;
    bool mLinked = false;
    AudioFileID mAudioFile = nullptr;
    AudioStreamBasicDescription mSourceFormat{};
    uint32_t mPCMLength = 0; // frames
    uint32_t mDataByteCount = 0;
    uint32_t mInputBufferSize = 0;
    uint32_t mOutputBufferSize = 0;
    uint32_t mBytesPerFrame = 0; // of the PCM handed out
    bool mRendersFloat = false; // 32-bit float out, not 16-bit
    uint32_t mPacketsPerBuffer = 0;
    uint32_t mMaxPacketSize = 0;
    AudioQueueRef mQueue = nullptr;
    AudioQueueBufferRef mInputBuffer = nullptr;
    AudioQueueBufferRef mOutputBuffer = nullptr;
    bool mEndOfFile = false;
    uint32_t mNextPacket = 0;
    AudioTimeStamp mRenderTime{};
    uint32_t mBytesToDrop = 0;
    // A failure of the input callback, kept for the read that rendered.
    AURA_RESULT mInputError = AURA_OK;
    // No set position yet: the first read starts at frame 0.
    bool mPositioned = false;
    bool mMemoryReported = false;
    AURA_CODEC_WAVEFORMAT *mWaveFormat = nullptr;
};

} // namespace AURA

#endif // AURA_CODEC_AUDIOQUEUE_H
