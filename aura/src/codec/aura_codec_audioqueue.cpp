#include "codec/aura_codec_audioqueue.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "file/aura_file.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_audioqueue";

// The open mode's accurate-time bit: the exact largest packet instead of
// an upper bound (the packet index makes both exact here).
constexpr AURA_MODE MODE_ACCURATETIME = 0x4000;

constexpr long long FILE_POSITION_MAX = 0xFFFFFFFFll;

CodecAudioQueue *codecOf(void *client)
{
    return static_cast<CodecAudioQueue *>(client);
}

OSStatus readProc(void *client, int64_t position, uint32_t count, void *buffer, uint32_t *actual)
{
    unsigned long got = 0;
    const AURA_RESULT result = codecOf(client)->fileRead(position, count, buffer, actual ? &got : nullptr);
    if (actual) {
        *actual = static_cast<uint32_t>(got);
    }
    return static_cast<OSStatus>(result);
}

int64_t sizeProc(void *client)
{
    long long size = 0;
    return codecOf(client)->fileGetSize(&size) == AURA_OK ? size : 0;
}

void outputCallback(void *user, AudioQueueRef queue, AudioQueueBufferRef buffer)
{
    CodecAudioQueue *codec = codecOf(user);
    const AURA_RESULT result = codec->processAudioQueue(queue, buffer);
    if (result != AURA_OK) {
        // Stop the render: the read that runs it reports the failure.
        codec->mEndOfFile = true;
        codec->mInputError = result;
    }
}

// Copies a property of the file whose size the platform reports first;
// null with size 0 when the file has none. The caller frees the copy.
AURA_RESULT copyProperty(AudioFileID file, uint32_t property, void **data, uint32_t *size)
{
    *data = nullptr;
    *size = 0;
    uint32_t bytes = 0;
    if (AudioFileGetPropertyInfo(file, property, &bytes, nullptr) != 0 || bytes == 0) {
        return AURA_OK;
    }
    void *copy = AURA_Memory_Alloc(static_cast<int>(bytes));
    if (!copy) {
        return AURA_ERR_MEMORY;
    }
    if (AudioFileGetProperty(file, property, &bytes, copy) != 0) {
        AURA_Memory_Free(copy);
        return AURA_ERR_INTERNAL;
    }
    *data = copy;
    *size = bytes;
    return AURA_OK;
}

template <class T>
bool getFixedProperty(AudioFileID file, uint32_t property, T *value)
{
    uint32_t size = sizeof(T);
    return AudioFileGetProperty(file, property, &size, value) == 0 && size == sizeof(T);
}

const char *containerName(uint32_t fileType)
{
    switch (fileType) {
    case kAudioFileMPEG4Type: return "MPEG-4";
    case kAudioFileCAFType: return "CAF";
    case kAudioFileAAC_ADTSType: return "ADTS";
    case kAudioFileAIFCType: return "AIFF-C";
    case kAudioFileWAVEType: return "WAV";
    default: return "unknown container";
    }
}

// "CAF, IMA4": what the file is, for the sound's name.
void describeSource(uint32_t fileType, const AudioStreamBasicDescription &format, char *name, size_t size)
{
    const char *codec = "unknown codec";
    switch (format.mFormatID) {
    case kAudioFormatMPEG4AAC: codec = "AAC"; break;
    case kAudioFormatAppleLossless: codec = "ALAC"; break;
    case kAudioFormatAppleIMA4: codec = "IMA4"; break;
    case kAudioFormatULaw: codec = "mu-law"; break;
    case kAudioFormatALaw: codec = "A-law"; break;
    case kAudioFormatMicrosoftGSM: codec = "GSM 6.10"; break;
    case kAudioFormatLinearPCM:
        std::snprintf(name, size, "%s, LPCM %u-bit %s%s", containerName(fileType), format.mBitsPerChannel,
                      format.mFormatFlags & kAudioFormatFlagIsFloat ? "float" : "integer",
                      format.mBitsPerChannel <= 8                             ? ""
                      : format.mFormatFlags & kAudioFormatFlagIsBigEndian ? " big-endian"
                                                                              : " little-endian");
        return;
    default: break;
    }
    std::snprintf(name, size, "%s, %s", containerName(fileType), codec);
}
} // namespace

LinkedListNode CodecAudioQueue::gCodecHead = [] {
    LinkedListNode head;
    head.initNode();
    return head;
}();
std::mutex CodecAudioQueue::gCodecListLock;

constinit AURA_CODEC_DESCRIPTION_EX audioqueuecodec;

AURA_CODEC_DESCRIPTION_EX *CodecAudioQueue::getDescriptionEx()
{
    return describeOnce(audioqueuecodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA Audio Queue Codec";
        description.version = 0x00010100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM;
        CodecCallbacks<CodecAudioQueue>::describe(description);
        description.getmemoryused = &CodecAudioQueue::getMemoryUsedCallback;
        description.mType = AURA_SOUND_TYPE_AUDIOQUEUE;
        description.mSize = sizeof(CodecAudioQueue);
        description.mConstruct = &constructCodec<CodecAudioQueue>;
    });
}

// ---------------------------------------------------------------------------
// The file as the platform sees it

AURA_RESULT CodecAudioQueue::fileRead(long long position, unsigned long requestcount, void *buffer,
                                      unsigned long *actualcount)
{
    if (position < 0 || position > FILE_POSITION_MAX || !buffer || !actualcount || !mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    *actualcount = 0;
    AURA_RESULT result = AURA_OK;
    if (position <= INT_MAX) {
        result = mFile->seek(static_cast<int>(position), 0);
    } else {
        result = mFile->seek(INT_MAX, 0);
        if (result == AURA_OK) {
            result = mFile->seek(static_cast<int>(position - INT_MAX), 1);
        }
    }
    if (result != AURA_OK) {
        return result;
    }
    const auto wanted = static_cast<unsigned int>(std::min<unsigned long>(requestcount, UINT_MAX));
    unsigned int got = 0;
    result = mFile->read(buffer, 1, wanted, &got);
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    *actualcount = got;
    return AURA_OK;
}

AURA_RESULT CodecAudioQueue::fileGetSize(long long *size)
{
    if (!size) {
        return AURA_ERR_INVALID_PARAM;
    }
    *size = 0;
    unsigned int length = 0;
    if (!mFile || mFile->getSize(&length) != AURA_OK) {
        return AURA_OK;
    }
    *size = length;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Open and close

AURA_RESULT CodecAudioQueue::setupAudioFile(bool accurate)
{
    const OSStatus opened = AudioFileOpenWithCallbacks(this, &readProc, nullptr, &sizeProc, nullptr, 0, &mAudioFile);
    if (opened != 0) {
        mAudioFile = nullptr;
        return opened == kAudio_MemFullError ? AURA_ERR_MEMORY : AURA_ERR_FORMAT;
    }
    uint32_t largest = 0;
    double duration = 0;
    uint64_t byteCount = 0;
    AudioFilePacketTableInfo packets{};
    if (!getFixedProperty(mAudioFile, kAudioFilePropertyDataFormat, &mSourceFormat) ||
        !getFixedProperty(mAudioFile,
                          accurate ? kAudioFilePropertyMaximumPacketSize : kAudioFilePropertyPacketSizeUpperBound,
                          &largest) ||
        !getFixedProperty(mAudioFile, kAudioFilePropertyEstimatedDuration, &duration) ||
        !getFixedProperty(mAudioFile, kAudioFilePropertyAudioDataByteCount, &byteCount) ||
        !getFixedProperty(mAudioFile, kAudioFilePropertyPacketTableInfo, &packets)) {
        return AURA_ERR_INTERNAL;
    }
    if (largest == 0 || mSourceFormat.mChannelsPerFrame == 0 || !(mSourceFormat.mSampleRate >= 1.0) ||
        packets.mNumberValidFrames <= 0) {
        return AURA_ERR_INTERNAL;
    }
    mMaxPacketSize = largest;
    // Float samples are handed out as 32-bit float, everything else as
    // 16-bit PCM.
    mRendersFloat =
        mSourceFormat.mFormatID == kAudioFormatLinearPCM && (mSourceFormat.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    mBytesPerFrame = mSourceFormat.mChannelsPerFrame * (mRendersFloat ? 4 : 2);
    mPacketsPerBuffer = std::max<uint32_t>(INPUT_BUFFER_BYTES / largest, 2);
    mInputBufferSize = largest * mPacketsPerBuffer;
    mOutputBufferSize = mBytesPerFrame * (OUTPUT_BUFFER_BYTES / mBytesPerFrame);
    mDataByteCount = static_cast<uint32_t>(byteCount);
    // The frame count of the packet index: the duration in seconds, times
    // the rate, can land a frame short.
    mPCMLength = static_cast<uint32_t>(std::min<int64_t>(packets.mNumberValidFrames, 0xFFFFFFFEll));
    return AURA_OK;
}

AURA_RESULT CodecAudioQueue::setupAudioQueue()
{
    if (AudioQueueNewOutput(&mSourceFormat, &outputCallback, this, nullptr, nullptr, 0, &mQueue) != 0) {
        mQueue = nullptr;
        return AURA_ERR_INTERNAL;
    }
    void *cookie = nullptr;
    uint32_t cookieSize = 0;
    void *layout = nullptr;
    uint32_t layoutSize = 0;
    AURA_RESULT result = copyProperty(mAudioFile, kAudioFilePropertyMagicCookieData, &cookie, &cookieSize);
    if (result == AURA_OK && cookie &&
        AudioQueueSetProperty(mQueue, kAudioQueueProperty_MagicCookie, cookie, cookieSize) != 0) {
        result = AURA_ERR_INTERNAL;
    }
    if (result == AURA_OK) {
        result = copyProperty(mAudioFile, kAudioFilePropertyChannelLayout, &layout, &layoutSize);
    }
    if (result == AURA_OK && layout &&
        AudioQueueSetProperty(mQueue, kAudioQueueProperty_ChannelLayout, layout, layoutSize) != 0) {
        result = AURA_ERR_INTERNAL;
    }
    if (result == AURA_OK) {
        const bool described = mSourceFormat.mBytesPerPacket == 0 || mSourceFormat.mFramesPerPacket == 0;
        if (AudioQueueAllocateBufferWithPacketDescriptions(mQueue, mInputBufferSize, described ? mPacketsPerBuffer : 0,
                                                           &mInputBuffer) != 0 ||
            AudioQueueAllocateBuffer(mQueue, mOutputBufferSize, &mOutputBuffer) != 0) {
            result = AURA_ERR_INTERNAL;
        }
    }
    if (result == AURA_OK) {
        AudioStreamBasicDescription pcm{};
        pcm.mSampleRate = mSourceFormat.mSampleRate;
        pcm.mFormatID = kAudioFormatLinearPCM;
        pcm.mFormatFlags =
            (mRendersFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
        pcm.mBytesPerPacket = mBytesPerFrame;
        pcm.mBytesPerFrame = mBytesPerFrame;
        pcm.mFramesPerPacket = 1;
        pcm.mChannelsPerFrame = mSourceFormat.mChannelsPerFrame;
        pcm.mBitsPerChannel = mRendersFloat ? 32 : 16;
        if (AudioQueueSetOfflineRenderFormat(mQueue, &pcm, static_cast<const AudioChannelLayout *>(layout)) != 0) {
            result = AURA_ERR_INTERNAL;
        }
    }
    if (cookie) {
        AURA_Memory_Free(cookie);
    }
    if (layout) {
        AURA_Memory_Free(layout);
    }
    return result;
}

AURA_RESULT CodecAudioQueue::openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_AUDIOQUEUE;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    mCodecPolicy = POLICY_DEFAULT;
    if (exinfo && exinfo->platformoptions) {
        std::memcpy(&mCodecPolicy, exinfo->platformoptions, sizeof(mCodecPolicy));
    }
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The container reader probes and indexes the file with positioned
    // reads all over it; a medium that only goes forward (a net file)
    // cannot serve them, and a probe that read on would leave the codecs
    // after this one nothing to rewind to.
    if (!(mFile->getFlags() & File::FLAG_SEEKABLE)) {
        return AURA_ERR_FORMAT;
    }
    // (Every read of the platform layer says where it reads: no seek here.)
    AURA_RESULT result = setupAudioFile((mode & MODE_ACCURATETIME) != 0);
    if (result == AURA_OK) {
        result = setupAudioQueue();
    }
    if (result == AURA_OK) {
        mWaveFormat =
            static_cast<AURA_CODEC_WAVEFORMAT *>(AURA_Memory_AllocType(sizeof(AURA_CODEC_WAVEFORMAT), MEMTYPE_CODEC));
        if (!mWaveFormat) {
            result = AURA_ERR_MEMORY;
        }
    }
    if (result != AURA_OK) {
        // The engine closes a codec whose open failed; nothing is left
        // linked either way.
        return result;
    }
    *mWaveFormat = AURA_CODEC_WAVEFORMAT{};
    mWaveFormat->format = mRendersFloat ? AURA_SOUND_FORMAT_PCMFLOAT : AURA_SOUND_FORMAT_PCM16;
    mWaveFormat->channels = static_cast<int>(mSourceFormat.mChannelsPerFrame);
    mWaveFormat->frequency = static_cast<int>(mSourceFormat.mSampleRate);
    mWaveFormat->lengthbytes = mDataByteCount;
    mWaveFormat->lengthpcm = mPCMLength;
    mWaveFormat->blockalign = static_cast<int>(mOutputBufferSize);
    uint32_t fileType = 0;
    if (getFixedProperty(mAudioFile, kAudioFilePropertyFileFormat, &fileType)) {
        describeSource(fileType, mSourceFormat, mWaveFormat->name, sizeof(mWaveFormat->name));
    }
    mState.waveformat = mWaveFormat;
    mState.numsubsounds = 0;
    mFlags |= FLAG_EXACTLENGTH;

    std::lock_guard<std::mutex> lock(gCodecListLock);
    mCodecNode.mData = this;
    mCodecNode.addBefore(gCodecHead);
    mLinked = true;
    return AURA_OK;
}

AURA_RESULT CodecAudioQueue::closeInternal()
{
    {
        std::lock_guard<std::mutex> lock(gCodecListLock);
        if (mLinked) {
            mCodecNode.removeNode();
            mLinked = false;
        }
    }
    AURA_RESULT result = AURA_OK;
    if (mQueue) {
        if (AudioQueueDispose(mQueue, true) != 0) {
            result = AURA_ERR_MEMORY;
        }
        mQueue = nullptr;
        mInputBuffer = nullptr;
        mOutputBuffer = nullptr;
    }
    if (mAudioFile) {
        if (AudioFileClose(mAudioFile) != 0) {
            result = AURA_ERR_MEMORY;
        }
        mAudioFile = nullptr;
    }
    if (mWaveFormat) {
        AURA_Memory_Free(mWaveFormat);
        mWaveFormat = nullptr;
    }
    mState.waveformat = nullptr;
    mPositioned = false;
    return result;
}

// ---------------------------------------------------------------------------
// Positions and reads

AURA_RESULT CodecAudioQueue::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int /*postype*/)
{
    if (!mQueue || !mAudioFile) {
        return AURA_ERR_INTERNAL;
    }
    if (AudioQueueReset(mQueue) != 0) {
        return AURA_ERR_INTERNAL;
    }
    if (mCodecPolicy != POLICY_DEFAULT) {
        const uint32_t policy = mCodecPolicy == POLICY_HARDWARE ? kAudioQueueHardwareCodecPolicy_UseHardwareOnly
                                                                : kAudioQueueHardwareCodecPolicy_UseSoftwareOnly;
        const OSStatus status =
            AudioQueueSetProperty(mQueue, kAudioQueueProperty_HardwareCodecPolicy, &policy, sizeof(policy));
        if (status == kAudioQueueErr_InvalidProperty) {
            if (mCodecPolicy == POLICY_SOFTWARE) {
                return AURA_ERR_UNSUPPORTED;
            }
        } else if (status == kAudioQueueErr_InvalidCodecAccess) {
            return mCodecPolicy == POLICY_HARDWARE ? AURA_ERR_NEEDSHARDWARE : AURA_ERR_INTERNAL;
        } else if (status != 0) {
            return AURA_ERR_INTERNAL;
        }
    }
    if (AudioQueueStart(mQueue, nullptr) != 0) {
        return AURA_ERR_FORMAT;
    }
    AudioFramePacketTranslation translation{};
    translation.mFrame = position;
    uint32_t size = sizeof(translation);
    if (AudioFileGetProperty(mAudioFile, kAudioFilePropertyFrameToPacket, &size, &translation) != 0 ||
        translation.mPacket < 0 || translation.mPacket > UINT32_MAX) {
        return AURA_ERR_INTERNAL;
    }
    mEndOfFile = false;
    mInputError = AURA_OK;
    mNextPacket = static_cast<uint32_t>(translation.mPacket);
    mRenderTime = AudioTimeStamp{};
    mRenderTime.mSampleTime = static_cast<double>(position) - translation.mFrameOffsetInPacket;
    mRenderTime.mFlags = kAudioTimeStampSampleTimeValid;
    mBytesToDrop = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(translation.mFrameOffsetInPacket) * mBytesPerFrame, UINT32_MAX));
    if (AudioQueueOfflineRender(mQueue, &mRenderTime, mOutputBuffer, 0) != 0) {
        return AURA_ERR_INTERNAL;
    }
    const AURA_RESULT result = processAudioQueue(mQueue, mInputBuffer);
    mPositioned = result == AURA_OK;
    return result;
}

AURA_RESULT CodecAudioQueue::processAudioQueue(OpaqueAudioQueue *queue, AudioQueueBuffer *buffer)
{
    if (mEndOfFile) {
        return AURA_OK;
    }
    uint32_t bytes = mInputBufferSize;
    uint32_t packets = mPacketsPerBuffer;
    if (AudioFileReadPacketData(mAudioFile, false, &bytes, buffer->mPacketDescriptions, mNextPacket, &packets,
                                buffer->mAudioData) != 0) {
        return AURA_ERR_INTERNAL;
    }
    if (packets == 0) {
        mEndOfFile = true;
        return AURA_OK;
    }
    buffer->mPacketDescriptionCount = packets;
    buffer->mAudioDataByteSize = bytes;
    if (AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr) != 0) {
        return AURA_ERR_INTERNAL;
    }
    mNextPacket += packets;
    return AURA_OK;
}

AURA_RESULT CodecAudioQueue::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (!buffer || !bytesread) {
        return AURA_ERR_INVALID_PARAM;
    }
    *bytesread = 0;
    if (!mQueue) {
        return AURA_ERR_INTERNAL; // disposed by an interruption and not rebuilt
    }
    if (!mPositioned) {
        // A read with no set position before it starts at the top.
        const AURA_RESULT result = setPositionInternal(0, 0, AURA_TIMEUNIT_PCM);
        if (result != AURA_OK) {
            return result;
        }
    }
    const uint32_t frames = std::min(sizebytes, mOutputBufferSize) / mBytesPerFrame;
    if (frames == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    // After a seek more bytes may have to go than one render gives: render
    // on until some are left over or the input is really exhausted.
    uint32_t delivered = 0;
    for (;;) {
        if (AudioQueueOfflineRender(mQueue, &mRenderTime, mOutputBuffer, frames) != 0) {
            return AURA_ERR_INTERNAL;
        }
        if (mInputError != AURA_OK) {
            return mInputError;
        }
        const uint32_t got = mOutputBuffer->mAudioDataByteSize;
        mRenderTime.mSampleTime += got / mBytesPerFrame;
        if (got == 0) {
            break;
        }
        if (got <= mBytesToDrop) {
            mBytesToDrop -= got;
            continue;
        }
        delivered = got - mBytesToDrop;
        std::memcpy(buffer, static_cast<const uint8_t *>(mOutputBuffer->mAudioData) + mBytesToDrop, delivered);
        mBytesToDrop = 0;
        break;
    }
    if (delivered == 0 || mRenderTime.mSampleTime >= mPCMLength) {
        if (AudioQueueStop(mQueue, true) != 0) {
            return AURA_ERR_INTERNAL;
        }
    }
    *bytesread = delivered;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Interruptions

AURA_RESULT CodecAudioQueue::resetAll(bool dispose, bool rebuild)
{
    std::lock_guard<std::mutex> lock(gCodecListLock);
    for (LinkedListNode *node = gCodecHead.mNext; node != &gCodecHead; node = node->mNext) {
        auto *codec = static_cast<CodecAudioQueue *>(node->mData);
        if (dispose && codec->mQueue) {
            (void)AudioQueueDispose(codec->mQueue, true);
            codec->mQueue = nullptr;
            codec->mInputBuffer = nullptr;
            codec->mOutputBuffer = nullptr;
        }
        if (rebuild) {
            const double sampleTime = codec->mRenderTime.mSampleTime;
            const uint32_t drop = codec->mBytesToDrop;
            const uint32_t frameBytes = codec->mBytesPerFrame;
            const bool positioned = codec->mPositioned;
            if (codec->mQueue) {
                (void)AudioQueueDispose(codec->mQueue, true);
                codec->mQueue = nullptr;
            }
            AURA_RESULT result = codec->setupAudioQueue();
            if (result == AURA_OK && positioned) {
                const double position = sampleTime + static_cast<double>(drop / frameBytes);
                result = codec->setPositionInternal(
                    0, static_cast<unsigned int>(std::clamp(position, 0.0, 4294967295.0)), AURA_TIMEUNIT_PCM);
            }
            if (result != AURA_OK) {
                return result;
            }
        }
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Memory and callbacks

AURA_RESULT CodecAudioQueue::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (mWaveFormat) {
        tracker->add(false, MEMTYPE_CODEC, sizeof(AURA_CODEC_WAVEFORMAT));
    }
    return AURA_OK;
}

AURA_RESULT CodecAudioQueue::getMemoryUsedCallback(AURA_CODEC_STATE *state, MemoryTracker *tracker)
{
    CodecAudioQueue *codec = fromState<CodecAudioQueue>(state);
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
