// The phone's audio-file and offline-render audio-queue services, rebuilt
// over FFmpeg's libraries for the AudioQueue codec. Only what that codec
// uses is here, with the same calls, records, property codes and statuses.
//
// An audio file is opened through the caller's read and get-size
// callbacks; only the demuxers of a fixed list of containers (MP4/M4A/MOV,
// CAF, ADTS, AIFF-C, WAV) and the decoders of a fixed list of codecs ever
// run, and each container only with the codecs it is listed with. At open
// the whole file is walked once. Packets of variable size (AAC, ALAC) go
// into a packet index (file offset, size, decoded frames, frames trimmed at
// either end by edit lists and priming); packets of one size (linear PCM,
// IMA4, mu-law, A-law, GSM 6.10) need only where their data starts and how
// many there are. Either way the packet and frame properties are exact and
// packet reads go straight to the file through the callbacks.
//
// An audio queue decodes the packets enqueued into its input buffer and
// leaves interleaved PCM at the source rate and channel count, 16-bit
// integer or 32-bit float as its offline-render format says. In
// offline-render mode a render calls the output callback on the calling
// thread whenever it needs more input.
#ifndef AURA_AUDIOTOOLBOX_H
#define AURA_AUDIOTOOLBOX_H

#include <cstdint>

namespace AURA {

using OSStatus = int32_t;

// The 32-bit big-endian value of four characters: fourCC("dfmt").
constexpr uint32_t fourCC(const char (&code)[5])
{
    return static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

// Statuses.
inline constexpr OSStatus kAudio_ParamError = -50;
inline constexpr OSStatus kAudio_MemFullError = -108;
inline constexpr OSStatus kAudioFileUnspecifiedError = static_cast<OSStatus>(fourCC("wht?"));
inline constexpr OSStatus kAudioFileUnsupportedFileTypeError = static_cast<OSStatus>(fourCC("typ?"));
inline constexpr OSStatus kAudioFileUnsupportedPropertyError = static_cast<OSStatus>(fourCC("pty?"));
inline constexpr OSStatus kAudioFileBadPropertySizeError = static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus kAudioFileInvalidPacketOffsetError = static_cast<OSStatus>(fourCC("pck?"));
inline constexpr OSStatus kAudioQueueErr_InvalidBuffer = -66687;
inline constexpr OSStatus kAudioQueueErr_InvalidProperty = -66684; // unknown property
inline constexpr OSStatus kAudioQueueErr_InvalidPropertyValue = -66680;
inline constexpr OSStatus kAudioQueueErr_InvalidRunState = -66678;
inline constexpr OSStatus kAudioQueueErr_InvalidCodecAccess = -66672; // codec not usable
inline constexpr OSStatus kAudioQueueErr_DecodeFailed = -66671;

// Audio-file properties.
inline constexpr uint32_t kAudioFilePropertyDataFormat = fourCC("dfmt");
inline constexpr uint32_t kAudioFilePropertyMaximumPacketSize = fourCC("psze");
inline constexpr uint32_t kAudioFilePropertyPacketSizeUpperBound = fourCC("pkub");
inline constexpr uint32_t kAudioFilePropertyEstimatedDuration = fourCC("edur");
inline constexpr uint32_t kAudioFilePropertyAudioDataByteCount = fourCC("bcnt");
inline constexpr uint32_t kAudioFilePropertyFrameToPacket = fourCC("frpk");
inline constexpr uint32_t kAudioFilePropertyMagicCookieData = fourCC("mgic");
inline constexpr uint32_t kAudioFilePropertyChannelLayout = fourCC("cmap");
inline constexpr uint32_t kAudioFilePropertyPacketTableInfo = fourCC("pnfo");
inline constexpr uint32_t kAudioFilePropertyFileFormat = fourCC("ffmt");
// File types ('ffmt').
inline constexpr uint32_t kAudioFileMPEG4Type = fourCC("mp4f");
inline constexpr uint32_t kAudioFileCAFType = fourCC("caff");
inline constexpr uint32_t kAudioFileAAC_ADTSType = fourCC("adts");
inline constexpr uint32_t kAudioFileAIFCType = fourCC("AIFC");
inline constexpr uint32_t kAudioFileWAVEType = fourCC("WAVE");
// Audio-queue properties.
inline constexpr uint32_t kAudioQueueProperty_MagicCookie = fourCC("aqmc");
inline constexpr uint32_t kAudioQueueProperty_ChannelLayout = fourCC("aqcl");
inline constexpr uint32_t kAudioQueueProperty_HardwareCodecPolicy = fourCC("aqcp");
inline constexpr uint32_t kAudioQueueHardwareCodecPolicy_UseSoftwareOnly = 1;
inline constexpr uint32_t kAudioQueueHardwareCodecPolicy_UseHardwareOnly = 2;

inline constexpr uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr uint32_t kAudioFormatMPEG4AAC = fourCC("aac ");
inline constexpr uint32_t kAudioFormatAppleLossless = fourCC("alac");
inline constexpr uint32_t kAudioFormatAppleIMA4 = fourCC("ima4");
inline constexpr uint32_t kAudioFormatULaw = fourCC("ulaw");
inline constexpr uint32_t kAudioFormatALaw = fourCC("alaw");
inline constexpr uint32_t kAudioFormatMicrosoftGSM = 0x6D730031; // 'ms' 0x00 0x31
inline constexpr uint32_t kAudioFormatFlagIsFloat = 0x1;
inline constexpr uint32_t kAudioFormatFlagIsBigEndian = 0x2;
inline constexpr uint32_t kAudioFormatFlagIsSignedInteger = 0x4;
inline constexpr uint32_t kAudioFormatFlagIsPacked = 0x8;
inline constexpr uint32_t kAudioTimeStampSampleTimeValid = 0x1;
inline constexpr uint32_t kAudioChannelLayoutTag_UseChannelBitmap = 0x10000;

struct AudioStreamBasicDescription {
    double mSampleRate;
    uint32_t mFormatID;
    uint32_t mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// One packet of a buffer. The trims say how many of the packet's decoded
// frames are dropped at its start and its end (edit lists, priming, packets
// outside the edit); a reader copies the records as they come.
struct AudioStreamPacketDescription {
    int64_t mStartOffset;
    uint32_t mVariableFramesInPacket;
    uint32_t mDataByteSize;
    uint32_t mTrimStart;
    uint32_t mTrimEnd;
};

struct AudioTimeStamp {
    double mSampleTime;
    uint64_t mHostTime;
    double mRateScalar;
    uint64_t mWordClockTime;
    uint8_t mSMPTETime[24];
    uint32_t mFlags;
    uint32_t mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 64);

#pragma pack(push, 4)
struct AudioFramePacketTranslation {
    int64_t mFrame;
    int64_t mPacket;
    uint32_t mFrameOffsetInPacket;
};
#pragma pack(pop)
static_assert(sizeof(AudioFramePacketTranslation) == 20);

// The frames the packets decode to once the trims are taken off, and the
// trimmed frames at the start and the end.
struct AudioFilePacketTableInfo {
    int64_t mNumberValidFrames;
    int32_t mPrimingFrames;
    int32_t mRemainderFrames;
};

// A channel layout given as a speaker bitmap (WAV speaker bits), without
// channel descriptions.
struct AudioChannelLayout {
    uint32_t mChannelLayoutTag;
    uint32_t mChannelBitmap;
    uint32_t mNumberChannelDescriptions;
};

struct AudioQueueBuffer {
    uint32_t mAudioDataBytesCapacity;
    void *mAudioData;
    uint32_t mAudioDataByteSize;
    void *mUserData;
    uint32_t mPacketDescriptionCapacity;
    AudioStreamPacketDescription *mPacketDescriptions;
    uint32_t mPacketDescriptionCount;
};

struct OpaqueAudioFileID;
struct OpaqueAudioQueue;
using AudioFileID = OpaqueAudioFileID *;
using AudioQueueRef = OpaqueAudioQueue *;
using AudioQueueBufferRef = AudioQueueBuffer *;

using AudioFile_ReadProc = OSStatus (*)(void *inClientData, int64_t inPosition, uint32_t requestCount, void *buffer,
                                        uint32_t *actualCount);
using AudioFile_WriteProc = OSStatus (*)(void *inClientData, int64_t inPosition, uint32_t requestCount,
                                         const void *buffer, uint32_t *actualCount);
using AudioFile_GetSizeProc = int64_t (*)(void *inClientData);
using AudioFile_SetSizeProc = OSStatus (*)(void *inClientData, int64_t inSize);
using AudioQueueOutputCallback = void (*)(void *inUserData, AudioQueueRef inAQ, AudioQueueBufferRef inBuffer);

OSStatus AudioFileOpenWithCallbacks(void *inClientData, AudioFile_ReadProc inReadFunc, AudioFile_WriteProc inWriteFunc,
                                    AudioFile_GetSizeProc inGetSizeFunc, AudioFile_SetSizeProc inSetSizeFunc,
                                    uint32_t inFileTypeHint, AudioFileID *outAudioFile);
OSStatus AudioFileGetPropertyInfo(AudioFileID inAudioFile, uint32_t inPropertyID, uint32_t *outDataSize,
                                  uint32_t *isWritable);
OSStatus AudioFileGetProperty(AudioFileID inAudioFile, uint32_t inPropertyID, uint32_t *ioDataSize,
                              void *outPropertyData);
OSStatus AudioFileReadPacketData(AudioFileID inAudioFile, bool inUseCache, uint32_t *ioNumBytes,
                                 AudioStreamPacketDescription *outPacketDescriptions, int64_t inStartingPacket,
                                 uint32_t *ioNumPackets, void *outBuffer);
OSStatus AudioFileClose(AudioFileID inAudioFile);

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription *inFormat, AudioQueueOutputCallback inCallbackProc,
                             void *inUserData, void *inCallbackRunLoop, void *inCallbackRunLoopMode, uint32_t inFlags,
                             AudioQueueRef *outAQ);
OSStatus AudioQueueSetProperty(AudioQueueRef inAQ, uint32_t inID, const void *inData, uint32_t inDataSize);
OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, uint32_t inBufferByteSize, AudioQueueBufferRef *outBuffer);
OSStatus AudioQueueAllocateBufferWithPacketDescriptions(AudioQueueRef inAQ, uint32_t inBufferByteSize,
                                                        uint32_t inNumberPacketDescriptions,
                                                        AudioQueueBufferRef *outBuffer);
OSStatus AudioQueueSetOfflineRenderFormat(AudioQueueRef inAQ, const AudioStreamBasicDescription *inFormat,
                                          const AudioChannelLayout *inLayout);
OSStatus AudioQueueOfflineRender(AudioQueueRef inAQ, const AudioTimeStamp *inTimestamp, AudioQueueBufferRef ioBuffer,
                                 uint32_t inNumberFrames);
OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer, uint32_t inNumPacketDescs,
                                 const AudioStreamPacketDescription *inPacketDescs);
OSStatus AudioQueueReset(AudioQueueRef inAQ);
OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp *inStartTime);
OSStatus AudioQueueStop(AudioQueueRef inAQ, bool inImmediate);
OSStatus AudioQueueDispose(AudioQueueRef inAQ, bool inImmediate);

} // namespace AURA

#endif // AURA_AUDIOTOOLBOX_H
