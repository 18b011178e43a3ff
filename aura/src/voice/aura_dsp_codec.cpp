#include "voice/aura_dsp_codec.h"

#include "base/aura_memory.h"
#include "base/aura_string.h"
#include "codec/wav/aura_codec_wav.h"
#include "mpeg/aura_codec_mpeg.h"
#include "sound/aura_sample.h"
#include "system/aura_systemi.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_codec";
// Wraps to the loop start that produce no frame in a row before the read
// gives up: a loop that can yield nothing must not hold the mixer.
constexpr int MAX_EMPTY_PASSES = 2;

DSPCodec *unitOf(AURA_DSP_STATE *state)
{
    return state ? static_cast<DSPCodec *>(static_cast<DSPI *>(state->instance)) : nullptr;
}
} // namespace

AURA_DSP_DESCRIPTION_EX *DSPCodec::getDescriptionEx()
{
    static AURA_DSP_DESCRIPTION_EX description = [] {
        AURA_DSP_DESCRIPTION_EX d{};
        AURA_strncpy(d.name, "AURA DSP Codec", sizeof(d.name) - 1);
        d.version = 0x00010100;
        d.create = &DSPCodec::createCallback;
        d.reset = &DSPCodec::resetCallback;
        d.read = &DSPCodec::readCallback;
        d.setposition = &DSPCodec::setPositionCallback;
        d.mType = static_cast<AURA_DSP_TYPE>(1000);
        d.mSize = sizeof(DSPCodec);
        return d;
    }();
    return &description;
}

DSPCodec::~DSPCodec()
{
    AURA_Memory_Free(mBlockBuffer);
}

AURA_RESULT DSPCodec::release(bool freethis)
{
    AURA_Memory_Free(mBlockBuffer);
    mBlockBuffer = nullptr;
    mBlockBufferSamples = 0;
    return DSPResampler::release(freethis);
}

AURA_RESULT DSPCodec::createCallback(AURA_DSP_STATE *state)
{
    DSPCodec *unit = unitOf(state);
    if (!unit) {
        return AURA_ERR_INVALID_PARAM;
    }
    unit->mSeekPosition.store(NO_SEEK, std::memory_order_relaxed);
    unit->mSeekCount.store(0, std::memory_order_relaxed);
    unit->mSeekCountSeen.store(0, std::memory_order_release);
    unit->mLoopCountRequest.store(NO_LOOPCOUNT_REQUEST, std::memory_order_relaxed);
    unit->mLoopCountChange.store(0, std::memory_order_relaxed);
    unit->mLoopCountChangeSeen = 0;
    return AURA_OK;
}

AURA_RESULT DSPCodec::resetCallback(AURA_DSP_STATE * /*state*/)
{
    return AURA_OK;
}

AURA_RESULT DSPCodec::setPositionCallback(AURA_DSP_STATE *state, unsigned int position)
{
    DSPCodec *unit = unitOf(state);
    if (!unit) {
        return AURA_ERR_INVALID_PARAM;
    }
    unit->requestSeek(position);
    return AURA_OK;
}

void DSPCodec::requestSeek(unsigned int position)
{
    mSeekPosition.store(position, std::memory_order_relaxed);
    mSeekCount.fetch_add(1, std::memory_order_release);
}

void DSPCodec::requestLoopCount(int loopcount)
{
    mLoopCountRequest.store(loopcount, std::memory_order_relaxed);
    mLoopCountChange.fetch_add(1, std::memory_order_release);
}

unsigned int DSPCodec::playPosition() const
{
    if (mSeekCount.load(std::memory_order_acquire) != mSeekCountSeen.load(std::memory_order_acquire)) {
        const unsigned int pending = mSeekPosition.load(std::memory_order_relaxed);
        if (pending != NO_SEEK) {
            return pending;
        }
    }
    return static_cast<unsigned int>(std::max<int64_t>(fixedWhole(mPosition.load(std::memory_order_acquire)), 0));
}

namespace {
// The stored blocks of a compressed sample, or null for a sound that has none.
const Sample *compressedSample(const SampleSource *source)
{
    const auto *sound = static_cast<const SoundI *>(source);
    if (!sound || !(sound->mMode & AURA_CREATECOMPRESSEDSAMPLE) || sound->isStream()) {
        return nullptr;
    }
    const auto *sample = static_cast<const Sample *>(sound);
    if (sample->mCompressedBlockAlign == 0 || sample->mCompressedSamplesPerBlock == 0 || !sample->getData()) {
        return nullptr;
    }
    return sample;
}
} // namespace

bool DSPCodec::selectSentenceEntry(unsigned int position)
{
    int entry = mSubSoundListCurrent;
    uint64_t start = mEntryStart;
    mSentence->locateSentenceEntry(position, &entry, &start);
    unsigned int length = 0;
    const Sample *sample = compressedSample(mSentence->sentenceEntry(entry, &length));
    if (!sample || static_cast<uint64_t>(sample->mCompressedSamplesPerBlock) * mChannels > mBlockBufferSamples) {
        return false;
    }
    mSubSoundListCurrent = entry;
    mEntryStart = static_cast<unsigned int>(start);
    mEntryEnd = mEntryStart + length;
    bindBlocks(*sample);
    return sourceChanged(*sample) == AURA_OK;
}

void DSPCodec::bindBlocks(const Sample &sample)
{
    mData = sample.getData();
    mDataLength = sample.mLengthBytes;
    mBlockAlign = sample.mCompressedBlockAlign;
    mSamplesPerBlock = sample.mCompressedSamplesPerBlock;
    mUnitInterleave = sample.mCompressedUnitInterleave;
    mDecodedBlock = NO_BLOCK;
}

AURA_RESULT DSPCodec::updateDSPCodec(SoundI *sound, int /*index*/)
{
    if (!sound || !(sound->mMode & AURA_CREATECOMPRESSEDSAMPLE) || sound->isStream()) {
        return AURA_ERR_FORMAT;
    }
    // A sentence plays the blocks of its entries: the first is where the
    // unit starts, and the block buffer fits the largest block of any.
    const int entries = sound->sentenceEntries();
    const Sample *sample = entries > 0 ? nullptr : compressedSample(sound);
    unsigned int samplesPerBlock = sample ? sample->mCompressedSamplesPerBlock : 0;
    for (int i = 0; i < entries; ++i) {
        unsigned int length = 0;
        const Sample *entry = compressedSample(sound->sentenceEntry(i, &length));
        if (!entry) {
            return AURA_ERR_FORMAT;
        }
        sample = sample ? sample : entry;
        samplesPerBlock = std::max(samplesPerBlock, entry->mCompressedSamplesPerBlock);
    }
    if (!sample) {
        return AURA_ERR_FORMAT;
    }
    if (sound->mChannels <= 0 || sound->mChannels > 2) {
        return AURA_ERR_TOOMANYCHANNELS;
    }
    // The block buffer fits the blocks of the sound the unit now plays.
    const uint64_t samples = static_cast<uint64_t>(samplesPerBlock) * sound->mChannels;
    if (samples > mBlockBufferSamples) {
        if (samples * sizeof(short) > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
            return AURA_ERR_MEMORY;
        }
        auto *buffer = static_cast<short *>(AURA_Memory_Alloc(static_cast<int>(samples * sizeof(short))));
        if (!buffer) {
            return AURA_ERR_MEMORY;
        }
        AURA_Memory_Free(mBlockBuffer);
        mBlockBuffer = buffer;
        mBlockBufferSamples = static_cast<unsigned int>(samples);
    }
    mChannels = sound->mChannels;
    mFrameBytes = resamplerFrameBytes(AURA_SOUND_FORMAT_PCM16, mChannels);
    mLength = sound->mLength;
    mDecodePosition = 0;
    mSentence = entries > 0 ? sound : nullptr;
    mSubSoundListCurrent = 0;
    mEntryStart = 0;
    mEntryEnd = sound->mLength;
    if (mSentence) {
        if (!selectSentenceEntry(0)) {
            return AURA_ERR_FORMAT;
        }
    } else {
        bindBlocks(*sample);
        const AURA_RESULT result = sourceChanged(*sample);
        if (result != AURA_OK) {
            return result;
        }
    }
    mSeekCountSeen.store(mSeekCount.load(std::memory_order_acquire), std::memory_order_release);
    mLoopCountChangeSeen = mLoopCountChange.load(std::memory_order_acquire);
    mPosition.store(0, std::memory_order_release);
    resetRing();
    setDSPTick(0);
    return AURA_OK;
}

AURA_RESULT DSPCodec::read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE speakermode,
                           int speakermodechannels, unsigned int tick)
{
    if (getDSPTick() != tick) {
        // A seek drops what the ring holds: it is heard from this block on.
        const unsigned int seeks = mSeekCount.load(std::memory_order_acquire);
        if (seeks != mSeekCountSeen.load(std::memory_order_relaxed)) {
            const unsigned int position = mSeekPosition.load(std::memory_order_relaxed);
            if (position != NO_SEEK) {
                mDecodePosition = std::min(position, mLength);
                mPosition.store(fixedFromWhole(mDecodePosition), std::memory_order_release);
                resetRing();
            }
            // Taken in once the position stands: a reader that sees it
            // finds the new position.
            mSeekCountSeen.store(seeks, std::memory_order_release);
        }
        const unsigned int changes = mLoopCountChange.load(std::memory_order_acquire);
        if (changes != mLoopCountChangeSeen) {
            mLoopCountChangeSeen = changes;
            const int loops = mLoopCountRequest.load(std::memory_order_relaxed);
            if (loops >= -1) {
                mDecodeLoops = loops;
                mLoopCount = loops;
            }
        }
    }
    const int64_t before = mPosition.load(std::memory_order_relaxed);
    const AURA_RESULT result =
        DSPResampler::read(outbuffer, outchannels, length, speakermode, speakermodechannels, tick);
    // The loop count heard follows the position: one loop less at each wrap.
    if (mLoopCount > 0 && mPosition.load(std::memory_order_relaxed) < before) {
        --mLoopCount;
    }
    return result;
}

AURA_RESULT DSPCodec::readCallback(AURA_DSP_STATE *state, float * /*inbuffer*/, float *outbuffer, unsigned int length,
                                   int /*inchannels*/, int /*outchannels*/)
{
    DSPCodec *unit = unitOf(state);
    if (!unit || !outbuffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The ring holds 16-bit frames.
    return unit->readInternal(reinterpret_cast<short *>(outbuffer), length);
}

AURA_RESULT DSPCodec::copyFrames(short *out, unsigned int position, unsigned int frames, unsigned int *copied)
{
    *copied = 0;
    const auto channels = static_cast<unsigned int>(mChannels);
    while (frames > 0) {
        const unsigned int block = position / mSamplesPerBlock;
        if (block != mDecodedBlock) {
            // (The decoder tells where the data ends.)
            mDecodedBlock = NO_BLOCK;
            const AURA_RESULT result = decodeBlock(block, mBlockBuffer);
            if (result != AURA_OK) {
                return result;
            }
            mDecodedBlock = block;
        }
        const unsigned int offset = position % mSamplesPerBlock;
        const unsigned int n = std::min(frames, mSamplesPerBlock - offset);
        std::memcpy(out, mBlockBuffer + static_cast<std::size_t>(offset) * channels,
                    static_cast<std::size_t>(n) * channels * sizeof(short));
        out += static_cast<std::size_t>(n) * channels;
        position += n;
        frames -= n;
        *copied += n;
    }
    return AURA_OK;
}

AURA_RESULT DSPCodec::readInternal(short *out, unsigned int length)
{
    if (hasFlags(0x100)) {
        std::memset(out, 0, static_cast<std::size_t>(length) * mFrameBytes);
        return AURA_OK;
    }
    if (!mData || !mBlockBuffer || mSamplesPerBlock == 0) {
        std::memset(out, 0, static_cast<std::size_t>(length) * mFrameBytes);
        mEndedFrames = 0;
        return AURA_ERR_FILE_EOF;
    }
    const ResamplerPlayState &play = *mPlayState;
    const auto channels = static_cast<std::size_t>(mChannels);
    unsigned int remaining = length;
    int emptyPasses = 0;
    for (;;) {
        // The loop is re-read on every pass: the voice may move it.
        const unsigned int loopStart = play.mLoopStart;
        unsigned int loopLength = play.mLoopLength;
        if (loopStart >= mLength) {
            loopLength = 0;
        } else {
            loopLength = std::min(loopLength, mLength - loopStart);
        }
        const bool looping = (play.mMode & AURA_LOOP_NORMAL) && mDecodeLoops != 0 && loopLength > 0;
        const unsigned int end = looping ? loopStart + loopLength : mLength;
        if (mDecodePosition >= end) {
            if (!looping || emptyPasses >= MAX_EMPTY_PASSES) {
                std::memset(out, 0, remaining * channels * sizeof(short));
                mEndedFrames = length - remaining;
                return AURA_ERR_FILE_EOF;
            }
            mDecodePosition = loopStart;
            if (mDecodeLoops > 0) {
                --mDecodeLoops;
            }
            ++emptyPasses;
            continue;
        }
        if (remaining == 0) {
            return AURA_OK;
        }
        // A sentence decodes from the entry that holds the position (after
        // a seek or a loop, any entry; else the next one in turn).
        if (mSentence && (mDecodePosition < mEntryStart || mDecodePosition >= mEntryEnd) &&
            !selectSentenceEntry(mDecodePosition)) {
            std::memset(out, 0, remaining * channels * sizeof(short));
            return AURA_ERR_FILE_EOF;
        }
        unsigned int copied = 0;
        const unsigned int span = std::min(end, mEntryEnd) - mDecodePosition;
        const AURA_RESULT result = copyFrames(out, mDecodePosition - mEntryStart, std::min(remaining, span), &copied);
        out += copied * channels;
        remaining -= copied;
        mDecodePosition += copied;
        if (copied > 0) {
            emptyPasses = 0;
        }
        if (result == AURA_ERR_FILE_EOF && mSentence && mEntryEnd < mLength) {
            // An entry's blocks end before its length says: the next entry
            // follows on.
            mDecodePosition = mEntryEnd;
            continue;
        }
        if (result != AURA_OK) {
            // The stored data ends before the sound's length says.
            std::memset(out, 0, remaining * channels * sizeof(short));
            mEndedFrames = length - remaining;
            return result;
        }
    }
}

AURA_RESULT DSPCodecADPCM::decodeBlock(unsigned int block, short *out)
{
    const uint64_t start = static_cast<uint64_t>(block) * mBlockAlign;
    if (mBlockAlign == 0 || start >= mDataLength) {
        return AURA_ERR_FILE_EOF;
    }
    unsigned char *in = const_cast<unsigned char *>(mData) + start;
    const auto held = static_cast<unsigned int>(std::min<uint64_t>(mBlockAlign, mDataLength - start));
    if (held < mBlockAlign) {
        // A short last block (of a WAV file: banks hold whole ones) decodes
        // as far as its codes go; the sound's length ends there.
        const auto channels = static_cast<unsigned int>(mChannels);
        const unsigned int samples =
            mUnitInterleave ? 0 : IMAAdpcm_SamplesInShortBlock(held, channels, mSamplesPerBlock);
        if (samples == 0) {
            return AURA_ERR_FILE_EOF;
        }
        std::memset(out, 0, static_cast<std::size_t>(mSamplesPerBlock) * channels * sizeof(short));
        return channels == 1 ? IMAAdpcm_DecodeM16(in, out, 1, held, samples, 1)
                             : IMAAdpcm_DecodeS16(in, out, 1, held, samples);
    }
    if (mChannels == 1) {
        return IMAAdpcm_DecodeM16(in, out, 1, mBlockAlign, mSamplesPerBlock, 1);
    }
    if (!mUnitInterleave) {
        return IMAAdpcm_DecodeS16(in, out, 1, mBlockAlign, mSamplesPerBlock);
    }
    // Two channels in 2-byte units: each channel's half gathered, then decoded.
    const unsigned int half = mBlockAlign / 2;
    uint8_t scratch[MAX_UNIT_BLOCK];
    if (half > sizeof(scratch)) {
        return AURA_ERR_FORMAT;
    }
    for (unsigned int c = 0; c < 2; ++c) {
        for (unsigned int u = 0; u < half / 2; ++u) {
            std::memcpy(scratch + 2 * u, in + 2 * (2 * u + c), 2);
        }
        const AURA_RESULT result = IMAAdpcm_DecodeM16(scratch, out + c, 1, half, mSamplesPerBlock, 2);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPCodecRaw::sourceChanged(const Sample &sample)
{
    if (sample.mFormat != AURA_SOUND_FORMAT_PCM8 && sample.mFormat != AURA_SOUND_FORMAT_PCM16) {
        return AURA_ERR_FORMAT;
    }
    mSampleBytes = sample.mFormat == AURA_SOUND_FORMAT_PCM8 ? 1 : 2;
    // The last block may be short: the data's end is found here, not by
    // whole blocks.
    mBlockAlign = 0;
    return AURA_OK;
}

AURA_RESULT DSPCodecRaw::decodeBlock(unsigned int block, short *out)
{
    const auto channels = static_cast<unsigned int>(mChannels);
    const uint64_t frameBytes = static_cast<uint64_t>(mSampleBytes) * channels;
    const uint64_t offset = static_cast<uint64_t>(block) * mSamplesPerBlock * frameBytes;
    if (frameBytes == 0 || offset >= mDataLength) {
        return AURA_ERR_FILE_EOF;
    }
    const auto frames = static_cast<unsigned int>(std::min<uint64_t>(mSamplesPerBlock, (mDataLength - offset) / frameBytes));
    if (frames == 0) {
        return AURA_ERR_FILE_EOF;
    }
    const std::size_t samples = static_cast<std::size_t>(frames) * channels;
    const uint8_t *in = mData + offset;
    if (mSampleBytes == 2) {
        std::memcpy(out, in, samples * sizeof(short));
    } else {
        for (std::size_t i = 0; i < samples; ++i) {
            out[i] = static_cast<short>(static_cast<int8_t>(in[i]) * 256);
        }
    }
    std::memset(out + samples, 0, (static_cast<std::size_t>(mSamplesPerBlock) * channels - samples) * sizeof(short));
    return AURA_OK;
}

AURA_RESULT DSPCodecMPEG::createDecoder(SystemI *system)
{
    if (mDecoder) {
        return AURA_OK;
    }
    AURA_RESULT result = mSource.init(system, 0, 0);
    if (result != AURA_OK) {
        return result;
    }
    return CodecMPEG::createDecoder(system, 1, &mDecoder);
}

AURA_RESULT DSPCodecMPEG::release(bool freethis)
{
    if (mDecoder) {
        mDecoder->releaseDecoder();
        mDecoder = nullptr;
    }
    (void)mSource.close();
    return DSPCodec::release(freethis);
}

AURA_RESULT DSPCodecMPEG::sourceChanged(const Sample &sample)
{
    mNextBlock = NO_BLOCK;
    mNumFrames = 0;
    if (!mDecoder || !sample.mCompressedFrameOffsets || sample.mCompressedNumFrames == 0) {
        return AURA_ERR_FORMAT;
    }
    (void)mSource.close();
    AURA_RESULT result =
        mSource.open(reinterpret_cast<const char *>(sample.getData()), sample.mLengthBytes, false, nullptr);
    if (result != AURA_OK) {
        return result;
    }
    mDecoder->mFlags = sample.mCompressedFrameFlags;
    mDecoder->setSource(&mSource, 0, sample.mLengthBytes, mChannels,
                        sample.mDefaultFrequency > 0.0f ? static_cast<int>(sample.mDefaultFrequency) : 44100);
    mDecoder->borrowFrameOffsets(sample.mCompressedFrameOffsets, sample.mCompressedNumFrames);
    mNumFrames = sample.mCompressedNumFrames;
    // Frames differ in size: the decoder finds where they end.
    mBlockAlign = 0;
    return AURA_OK;
}

AURA_RESULT DSPCodecMPEG::decodeBlock(unsigned int block, short *out)
{
    if (!mDecoder || block >= mNumFrames) {
        return AURA_ERR_FILE_EOF;
    }
    if (block != mNextBlock) {
        mNextBlock = NO_BLOCK;
        const AURA_RESULT result = mDecoder->setPosition(0, block * mSamplesPerBlock, AURA_TIMEUNIT_PCM);
        if (result != AURA_OK) {
            return result;
        }
    }
    const unsigned int bytes = mSamplesPerBlock * static_cast<unsigned int>(mChannels) * 2;
    unsigned int got = 0;
    const AURA_RESULT result = mDecoder->read(out, bytes, &got);
    if ((result != AURA_OK && result != AURA_ERR_FILE_EOF) || got == 0) {
        mNextBlock = NO_BLOCK;
        return result == AURA_OK ? AURA_ERR_FILE_EOF : result;
    }
    got = std::min(got, bytes);
    std::memset(reinterpret_cast<uint8_t *>(out) + got, 0, bytes - got);
    mNextBlock = block + 1;
    return AURA_OK;
}

// ---------------------------------------------------------------------------

DSPCodecPool::~DSPCodecPool()
{
    (void)close();
}

AURA_RESULT DSPCodecPool::init(SystemI *system, AURA_DSP_CATEGORY category, int blocklength, int count)
{
    if (!system || !system->mDSPSoundCard) {
        return AURA_ERR_NEEDSSOFTWARE;
    }
    if (count < 0 || count > MAX_UNITS || blocklength <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const bool mpeg = category == AURA_DSP_CATEGORY_DSPCODECMPEG;
    const bool raw = category == AURA_DSP_CATEGORY_DSPCODECRAW;
    if (category != AURA_DSP_CATEGORY_DSPCODECADPCM && !mpeg && !raw) {
        return AURA_ERR_FORMAT;
    }
    std::lock_guard<std::mutex> lock(mLock);
    if (mPool) {
        return count == mNumDSPCodecs ? AURA_OK : AURA_ERR_INTERNAL;
    }
    auto **units = static_cast<DSPCodec **>(AURA_Memory_Calloc(static_cast<int>(sizeof(DSPCodec *) * (count + 1))));
    if (!units) {
        return AURA_ERR_MEMORY;
    }
    AURA_DSP_DESCRIPTION_EX description = *DSPCodec::getDescriptionEx();
    description.channels = 2;
    description.mFormat = AURA_SOUND_FORMAT_PCM16;
    description.mCategory = category;
    description.mBlockLength = raw ? static_cast<int>(DSPCodecRaw::BLOCK_FRAMES) : blocklength;
    description.mSize = mpeg ? sizeof(DSPCodecMPEG) : raw ? sizeof(DSPCodecRaw) : sizeof(DSPCodecADPCM);
    AURA_RESULT result = AURA_OK;
    int made = 0;
    for (; made < count; ++made) {
        DSPCodec *unit = nullptr;
        if (mpeg) {
            unit = AURA_New(DSPCodecMPEG);
        } else if (raw) {
            unit = AURA_New(DSPCodecRaw);
        } else {
            unit = AURA_New(DSPCodecADPCM);
        }
        if (!unit) {
            result = AURA_ERR_MEMORY;
            break;
        }
        DSPI *dsp = unit;
        result = system->createDSPInternal(&description, &dsp, false);
        if (result != AURA_OK) {
            AURA_Delete(unit);
            break;
        }
        if (mpeg) {
            result = static_cast<DSPCodecMPEG *>(unit)->createDecoder(system);
            if (result != AURA_OK) {
                (void)unit->release(true);
                break;
            }
        }
        unit->mFormatCode = mpeg ? 10 : raw ? 2 : 7;
        unit->mPool = this;
        unit->mPoolIndex = made;
        // Finished before the mixer ever ticked: free to lend at once.
        (void)unit->setFinished(true, true);
        unit->setFlags(DSPI_FLAG_FINISHED);
        units[made] = unit;
        mAllocated[made] = false;
    }
    if (result != AURA_OK) {
        for (int i = 0; i < made; ++i) {
            (void)units[i]->release(true);
        }
        AURA_Memory_Free(units);
        return result;
    }
    mSystem = system;
    mPool = units;
    mNumDSPCodecs = count;
    return AURA_OK;
}

bool DSPCodecPool::isFree(int index)
{
    if (mAllocated[index]) {
        return false;
    }
    bool finished = false;
    (void)mPool[index]->getFinished(&finished);
    return finished;
}

AURA_RESULT DSPCodecPool::alloc(DSPCodec **codec)
{
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(mLock);
    for (int i = 0; i < mNumDSPCodecs; ++i) {
        if (isFree(i)) {
            mAllocated[i] = true;
            *codec = mPool[i];
            return AURA_OK;
        }
    }
    return AURA_ERR_CHANNEL_ALLOC;
}

AURA_RESULT DSPCodecPool::areAnyFree()
{
    std::lock_guard<std::mutex> lock(mLock);
    for (int i = 0; i < mNumDSPCodecs; ++i) {
        if (isFree(i)) {
            return AURA_OK;
        }
    }
    return AURA_ERR_CHANNEL_ALLOC;
}

void DSPCodecPool::free(DSPCodec *codec)
{
    if (!codec || codec->mPool != this) {
        return;
    }
    std::lock_guard<std::mutex> lock(mLock);
    if (codec->mPoolIndex >= 0 && codec->mPoolIndex < mNumDSPCodecs && mPool[codec->mPoolIndex] == codec) {
        mAllocated[codec->mPoolIndex] = false;
    }
}

int DSPCodecPool::numInUse()
{
    std::lock_guard<std::mutex> lock(mLock);
    return static_cast<int>(std::count(mAllocated, mAllocated + mNumDSPCodecs, true));
}

AURA_RESULT DSPCodecPool::close()
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mPool) {
        for (int i = 0; i < mNumDSPCodecs; ++i) {
            if (mPool[i]) {
                (void)mPool[i]->release(true);
            }
            mAllocated[i] = false;
        }
        AURA_Memory_Free(mPool);
    }
    mPool = nullptr;
    mNumDSPCodecs = 0;
    mSystem = nullptr;
    return AURA_OK;
}

} // namespace AURA
