// The base of every file-format codec. A format is a table of callbacks (its
// AURA_CODEC_DESCRIPTION_EX); the sound layer only calls the operations of
// this class, which add what every format shares: a PCM staging buffer for
// codecs that decode in fixed blocks, conversion between time units,
// raw-byte positions relative to the audio data, and a tag list.
#ifndef AURA_CODEC_FRAMEWORK_H
#define AURA_CODEC_FRAMEWORK_H

#include <aura.h>
#include <aura_codec.h>
#include "codec/aura_codec_description.h"
#include "base/aura_plugin.h"
#include "base/aura_sampleformat.h"

#include <cstdint>

namespace AURA {

class Codec;
class File;
class Metadata;
class MemoryTracker;
class SystemI;
struct Global;

// Memory-report category of codec objects and their buffers.
inline constexpr int MEMTYPE_CODEC = 0x80;

// The state every callback receives, with the way back to its codec.
struct CodecState : AURA_CODEC_STATE {
    Codec *mCodec = nullptr;
};


class Codec : public Plugin {
public:
    // mFlags: the stream ends at the codec's computed length.
    static constexpr unsigned int FLAG_EXACTLENGTH = 0x1;
    // mFlags: the length is a guess from the size of the data (nothing in
    // the file declares it), so data that ends before it is no fault.
    static constexpr unsigned int FLAG_GUESSEDLENGTH = 0x100;
    // mFlags: the length is bounded by the file: counted over the data it
    // holds (every frame of it found), or declared and no more than the
    // file's size can decode to. A sample's room for it can be reserved at
    // once; a false length then costs no more than a few times the file.
    static constexpr unsigned int FLAG_LENGTHBOUNDED = 0x200;
    // Decoded bytes per byte of file that a declared length of a compressed
    // format may claim and still be trusted (beyond any real encoder's
    // ratio on music; silence can go further and is then not trusted).
    static constexpr unsigned int COMPRESSED_RATIO_BOUND = 64;

    Codec();
    ~Codec() override;
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;

    // Makes a codec object of a description in pool memory: the concrete
    // class when the description says how, else a plain Codec of at least
    // mSize bytes. The description is copied in and the state's file and
    // tag callbacks are installed; the file is the caller's to set.
    [[nodiscard]] static AURA_RESULT create(const AURA_CODEC_DESCRIPTION_EX &description, SystemI *system,
                                            Codec **codec);

    // Closes the format, the file and the tag list, then frees the object.
    AURA_RESULT release() override;

    [[nodiscard]] AURA_RESULT read(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    [[nodiscard]] AURA_RESULT setPosition(int subsound, unsigned int position, unsigned int postype);
    [[nodiscard]] AURA_RESULT getLength(unsigned int *length, unsigned int lengthtype);
    [[nodiscard]] AURA_RESULT getPosition(unsigned int *position, unsigned int postype);
    [[nodiscard]] AURA_RESULT metaData(AURA_TAGTYPE type, const char *name, const void *data,
                                       unsigned int datalen, AURA_TAGDATATYPE datatype, bool unique);
    // The codec's tag list, made on first use; null when out of memory.
    [[nodiscard]] Metadata *tags();
    // Moves the tags the file collected (stream titles) into the codec's list.
    [[nodiscard]] AURA_RESULT getMetadataFromFile();
    [[nodiscard]] AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);
    // The open callback of the description, with the codec's state.
    [[nodiscard]] AURA_RESULT open(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    // The wave format of a subsound through the description.
    [[nodiscard]] AURA_RESULT getWaveFormat(int subsound, AURA_CODEC_WAVEFORMAT *waveformat);
    // Whether the file holds less of a subsound's data than it declares
    // even where the length the codec gives is what it holds (a bank's
    // sample cut short, a frame the file ends inside): known from the open
    // on for some formats, once the data has run out for others.
    [[nodiscard]] virtual bool dataCut(int /*subsound*/) const { return false; }
    // Sets FLAG_LENGTHBOUNDED when `decodedBytes` are no more than `ratio`
    // times the file's size; a file of unknown size bounds nothing.
    void boundLength(uint64_t decodedBytes, unsigned int ratio);

    // Defaults for the entries a codec leaves empty.
    static AURA_RESULT defaultGetWaveFormat(AURA_CODEC_STATE *state, int index, AURA_CODEC_WAVEFORMAT *waveformat);
    static AURA_RESULT defaultFileRead(void *handle, void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    static AURA_RESULT defaultFileSeek(void *handle, unsigned int position);
    static AURA_RESULT defaultMetaData(AURA_CODEC_STATE *state, AURA_TAGTYPE type, char *name, void *data,
                                      unsigned int datalen, AURA_TAGDATATYPE datatype, int unique);

    // The codec of a state; null stays null.
    template <class T = Codec>
    [[nodiscard]] static T *fromState(AURA_CODEC_STATE *state)
    {
        return state ? static_cast<T *>(static_cast<CodecState *>(state)->mCodec) : nullptr;
    }
    [[nodiscard]] AURA_CODEC_STATE *state() { return &mState; }

    // Makes the PCM staging buffer of `bytes` (samples per channel in
    // `samples`); the framework then reads through it. 44 when out of memory.
    [[nodiscard]] AURA_RESULT allocPCMBuffer(unsigned int bytes, unsigned int samples);
    void freePCMBuffer();
    // Drops what is staged (a seek invalidates it).
    void resetPCMBuffer()
    {
        mPCMBufferOffsetBytes = 0;
        mPCMBufferFilledBytes = 0;
        mFrameCarryOffset = 0;
        mFrameCarryFilled = 0;
    }
    // Hands the tag list over to the caller, who then owns it.
    [[nodiscard]] Metadata *takeMetadata();

    SystemI *mSystem = nullptr;
    Global *mGlobal = nullptr;
    CodecState mState;
    AURA_CODEC_WAVEFORMAT *mWaveFormatMemory = nullptr;
    int mType = 0;
    // The file's own format when reads deliver another (IMA ADPCM decoded
    // to 16-bit PCM); none when they are the same.
    AURA_SOUND_FORMAT mStoredFormat = AURA_SOUND_FORMAT_NONE;
    AURA_CODEC_DESCRIPTION_EX mDescription;
    unsigned int mSrcDataOffset = 0;     // file offset of the first audio byte
    unsigned int mLoopStart = 0;         // PCM samples
    unsigned int mLoopEnd = 0;
    int mSubSoundIndex = 0;
    unsigned int mFlags = 0;
    uint8_t *mReadBuffer = nullptr;
    unsigned int mReadBufferLength = 0;
    uint8_t *mPCMBuffer = nullptr;
    void *mPCMBufferMemory = nullptr;
    unsigned int mPCMBufferLength = 0;       // samples
    unsigned int mPCMBufferLengthBytes = 0;
    unsigned int mPCMBufferOffsetBytes = 0;  // next byte to hand out
    unsigned int mPCMBufferFilledBytes = 0;
    // The codec's read decodes into whatever buffer it is given, of at
    // least mPCMBufferLengthBytes: a read that wants that much or more gets
    // its blocks decoded in place, without the copy out of mPCMBuffer.
    bool mPCMBufferDirect = false;
    Metadata *mMetadata = nullptr;
    File *mFile = nullptr;
    bool mMemoryTracked = false;

private:
    // Codecs without a staging buffer are asked for whole frames only, so
    // that byte-order and sign conversions stay aligned; the rest of a frame
    // a read splits waits here for the next read.
    static constexpr unsigned int FRAME_CARRY_BYTES = 256;
    [[nodiscard]] unsigned int directFrameBytes();
    [[nodiscard]] AURA_RESULT readWholeFrames(uint8_t *out, unsigned int sizebytes, unsigned int frame,
                                              unsigned int *bytesread);
    uint8_t mFrameCarry[FRAME_CARRY_BYTES] = {};
    unsigned int mFrameCarryOffset = 0;
    unsigned int mFrameCarryFilled = 0;
};

// The callbacks every codec's description carries, for codec class C: each
// turns the state into the codec and calls its matching ...Internal member
// (37 for a state that holds no codec).
template <class C> struct CodecCallbacks {
    static AURA_RESULT open(AURA_CODEC_STATE *state, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
    {
        C *codec = Codec::fromState<C>(state);
        return codec ? codec->openInternal(mode, exinfo) : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT close(AURA_CODEC_STATE *state)
    {
        C *codec = Codec::fromState<C>(state);
        return codec ? codec->closeInternal() : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT read(AURA_CODEC_STATE *state, void *buffer, unsigned int sizebytes, unsigned int *bytesread)
    {
        C *codec = Codec::fromState<C>(state);
        return codec ? codec->readInternal(buffer, sizebytes, bytesread) : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT setPosition(AURA_CODEC_STATE *state, int subsound, unsigned int position, AURA_TIMEUNIT postype)
    {
        C *codec = Codec::fromState<C>(state);
        return codec ? codec->setPositionInternal(subsound, position, postype) : AURA_ERR_INVALID_PARAM;
    }
    static void describe(AURA_CODEC_DESCRIPTION_EX &description)
    {
        description.open = &open;
        description.close = &close;
        description.read = &read;
        description.setposition = &setPosition;
    }
};

// The constructor hook of a concrete codec class.
template <class T>
Codec *constructCodec(void *memory)
{
    return ::new (memory) T();
}

} // namespace AURA

#endif // AURA_CODEC_FRAMEWORK_H
