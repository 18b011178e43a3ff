#include "voice/aura_channelstream.h"
#include "voice/aura_channelpool.h"

#include "base/aura_memory.h"
#include "codec/aura_codec.h"
#include "system/aura_async.h"
#include "channel/aura_channeli.h"
#include "sound/aura_sample.h"
#include "sound/aura_stream.h"
#include "system/aura_systemi.h"
#include "os/aura_os.h"

#include <algorithm>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_stream";

// The voice of a channel (flag 0x100 of the pool, and the start marks).
void markStopped(ChannelReal &voice)
{
    voice.mFlags.clear(VoiceFlag::InUse);
    voice.mFlags.clear(VoiceFlag::Taken);
    voice.mFlags.clear(VoiceFlag::Playing);
    voice.mFlags.clear(VoiceFlag::Paused);
    voice.mFlags.set(VoiceFlag::Stopped);
    if (voice.mPool) {
        voice.mPool->noteFree(voice);
    }
}
} // namespace

ChannelStream::ChannelStream()
{
    mStreamNode.initNode();
    mStreamNode.mData = this;
}

Stream *ChannelStream::stream() const
{
    return mSound && mSound->isStream() ? static_cast<Stream *>(mSound) : nullptr;
}

unsigned int ChannelStream::ringLength() const
{
    Stream *s = stream();
    return s && s->mSample ? s->mSample->mLength : 0;
}

template <class F>
AURA_RESULT ChannelStream::forEachVoice(F &&f)
{
    AURA_RESULT result = AURA_OK;
    for (int i = 0; i < mNumRealChannels; ++i) {
        if (mRealChannel[i]) {
            result = f(mRealChannel[i]);
        }
    }
    return result;
}

void ChannelStream::pauseVoices(bool paused)
{
    (void)forEachVoice([paused](ChannelReal *voice) { return voice->setPaused(paused); });
}

void ChannelStream::endVoiceAt(uint32_t frame)
{
    ChannelReal *voice = mRealChannel[0];
    const unsigned int ring = ringLength();
    if (!voice || ring == 0 || !mSystem) {
        return;
    }
    // The mixer counts the wraps between its blocks: the cursor read here is
    // the one the wraps count from.
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    unsigned int cursor = 0;
    if (voice->getPosition(&cursor, AURA_TIMEUNIT_PCM) != AURA_OK) {
        return;
    }
    cursor = std::min(cursor, ring);
    int64_t delta = static_cast<int64_t>(cursor) - static_cast<int64_t>(mLastPlayCursor);
    if (delta < 0) {
        delta += ring;
    }
    // Totals wrap at 2^32 frames: their difference counts.
    const uint32_t played = mPlayedTotal + static_cast<uint32_t>(delta);
    const auto ahead = static_cast<int32_t>(frame - played);
    const uint64_t target = static_cast<uint64_t>(cursor) + static_cast<uint64_t>(std::max<int32_t>(ahead, 0));
    uint64_t wraps = target / ring;
    auto at = static_cast<unsigned int>(target % ring);
    if (at == 0 && wraps > 0) {
        // At the ring's end rather than after a wrap to its start.
        at = ring;
        --wraps;
    }
    voice->mEndFrame = at;
    voice->mEndWraps = static_cast<unsigned int>(std::min<uint64_t>(wraps, 0xFFFFFFFEu));
}

void ChannelStream::clearVoiceEnd()
{
    CriticalSectionGuard guard(mSystem ? mSystem->mDSPCrit : nullptr);
    (void)forEachVoice([](ChannelReal *voice) {
        voice->mEndFrame = WaveTableLoop::NO_END;
        voice->mEndWraps = 0;
        return AURA_OK;
    });
}

void ChannelStream::finishPlay(const Stream &s)
{
    mFinished = true;
    const uint64_t end = s.dataEnd();
    if ((s.flags() & Stream::FLAG_ENDOFDATA) && end != UINT64_MAX) {
        mPosition = static_cast<unsigned int>(std::min<uint64_t>(end, 0xFFFFFFFFu));
        mStreamPosition.store(mPosition, std::memory_order_release);
    }
}

AURA_RESULT ChannelStream::alloc()
{
    Stream *s = stream();
    if (!s || !s->mSample || !mRealChannel[0]) {
        return AURA_ERR_INVALID_PARAM;
    }
    mFlags.clear(VoiceFlag::Stopped);
    mFlags.set(VoiceFlag::Allocated);
    mSystem = s->mSystem;
    mFinished = false;
    mLastPlayCursor = 0;
    mFillCursor = 0;
    s->clearFlags(Stream::FLAG_IDLE);
    mPosition = s->mInitialPosition;
    mStreamPosition.store(mPosition, std::memory_order_release);
    mPlayedTotal = 0;
    mDecodedTotal = 0;
    mMaxFrequency = mRealChannel[0]->mMaxFrequency;
    // A stream only moves forward; any rate up to that is its own.
    mMinFrequency = 0.0f;
    s->setDecodeLoops(mLoopCount);

    Sample *ring = s->mSample;
    const bool whole = (s->flags() & Stream::FLAG_WHOLE) != 0;
    if (whole) {
        // The whole stream is in the ring: it plays the stream's own way.
        if (!(mMode & (AURA_LOOP_NORMAL | AURA_LOOP_BIDI)) || mLoopLength == 0) {
            ring->mMode = (ring->mMode & ~(AURA_LOOP_NORMAL | AURA_LOOP_BIDI)) | AURA_LOOP_OFF;
            ring->mLoopStart = 0;
            ring->mLoopLength = ring->mLength;
        } else {
            ring->mMode = (ring->mMode & ~(AURA_LOOP_OFF | AURA_LOOP_BIDI)) | AURA_LOOP_NORMAL;
            ring->mLoopStart = std::min(mLoopStart, ring->mLength);
            ring->mLoopLength = std::min(mLoopLength, ring->mLength - ring->mLoopStart);
        }
    } else {
        ring->mMode = (ring->mMode & ~(AURA_LOOP_OFF | AURA_LOOP_BIDI)) | AURA_LOOP_NORMAL;
        ring->mLoopStart = 0;
        ring->mLoopLength = ring->mLength;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        ChannelReal *voice = mRealChannel[i];
        if (!voice) {
            continue;
        }
        {
            // The mixer may still read these for the voice's last play.
            CriticalSectionGuard guard(mSystem ? mSystem->mDSPCrit : nullptr);
            voice->mSound = ring;
            voice->mDSP = nullptr;
            voice->mMode =
                ring->mMode | (mMode & (AURA_2D | AURA_3D | AURA_3D_HEADRELATIVE | AURA_3D_WORLDRELATIVE));
            voice->mLoopStart = ring->mLoopStart;
            voice->mLoopLength = ring->mLoopLength;
            voice->mLength = ring->mLength;
            voice->mSubChannelIndex = i;
            voice->mLoopCount = whole ? mLoopCount : -1;
            voice->mParent = mParent;
        }
        const AURA_RESULT result = voice->alloc();
        if (result != AURA_OK) {
            return result;
        }
    }
    if (!whole && !loopsOn() && (s->flags() & Stream::FLAG_ENDOFDATA) && !(s->flags() & Stream::FLAG_DECODED)) {
        // The ring holds the first fill still, and the data ends in it.
        endVoiceAt(s->ringDataEnd());
    }
    if (mSystem) {
        CriticalSectionGuard guard(mSystem->mStreamListCrit);
        if (mStreamNode.isEmpty()) {
            mStreamNode.addBefore(mSystem->mStreamVoiceHead);
        }
    }
    return AURA_OK;
}

AURA_RESULT ChannelStream::start()
{
    if (!mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    for (int i = 0; i < mNumRealChannels; ++i) {
        ChannelReal *voice = mRealChannel[i];
        if (!voice) {
            continue;
        }
        const AURA_RESULT result = voice->start();
        if (result != AURA_OK) {
            return result;
        }
        voice->mFlags.set(VoiceFlag::Playing);
        voice->mFlags.clear(VoiceFlag::Stopped);
        voice->mFlags.clear(VoiceFlag::Taken);
    }
    return AURA_OK;
}

AURA_RESULT ChannelStream::stop()
{
    mFinished = true;
    if (mSystem) {
        // The stream thread finishes its pass over this voice first.
        CriticalSectionGuard update(mSystem->mStreamUpdateCrit);
        {
            CriticalSectionGuard voices(mSystem->mStreamVoiceCrit);
            for (int i = 0; i < mNumRealChannels; ++i) {
                ChannelReal *voice = mRealChannel[i];
                if (!voice) {
                    continue;
                }
                markStopped(*voice);
                (void)voice->stop();
                voice->mSound = nullptr;
                voice->mDSP = nullptr;
                voice->mParent = nullptr;
                mRealChannel[i] = nullptr;
            }
        }
        if (Stream *s = stream()) {
            s->setFlags(Stream::FLAG_IDLE);
        }
        CriticalSectionGuard list(mSystem->mStreamListCrit);
        if (mSystem->mStreamListCursor == &mStreamNode) {
            mSystem->mStreamListCursor = mStreamNode.mNext;
        }
        mStreamNode.removeNode();
    }
    return ChannelReal::stop();
}

AURA_RESULT ChannelStream::updateStream()
{
    if (!mSystem) {
        return AURA_OK;
    }
    Stream *s = nullptr;
    unsigned int playCursor = 0;
    {
        CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
        s = stream();
        if (!s) {
            return AURA_OK;
        }
        if (s->mOpenState.load(std::memory_order_acquire) != SoundI::OPENSTATE_READY) {
            if (s->mOpenState.load() == SoundI::OPENSTATE_SETPOSITION) {
                s->setFlags(Stream::FLAG_SEEKING);
            }
            return AURA_ERR_NOTREADY;
        }
        s->clearFlags(Stream::FLAG_SEEKING);
        if (mFlags.has(VoiceFlag::Stopped) || !mRealChannel[0]) {
            return AURA_OK;
        }
        bool playing = false;
        (void)mRealChannel[0]->isPlaying(&playing);
        if (!playing && !mFinished) {
            finishPlay(*s);
        }
        if (mFinished) {
            s->setFlags(Stream::FLAG_ENDOFDATA);
            return AURA_OK;
        }
        (void)mRealChannel[0]->updateStream();
        const AURA_RESULT result = mRealChannel[0]->getPosition(&playCursor, AURA_TIMEUNIT_PCM);
        if (result != AURA_OK) {
            return result;
        }
    }

    const unsigned int ring = ringLength();
    const auto chunk = static_cast<int32_t>(s->mChunkSize);
    // Totals wrap at 2^32 frames (27 hours at 44.1 kHz): compare their
    // difference, not the totals.
    while (ring > 0 && static_cast<int32_t>(mPlayedTotal - mDecodedTotal) >= chunk) {
        unsigned int size = 0;
        {
            CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
            if (mFlags.has(VoiceFlag::Stopped) || (s->flags() & Stream::FLAG_WHOLE)) {
                break;
            }
            size = std::min(s->mChunkSize, mFillCursor < ring ? ring - mFillCursor : 0);
        }
        // The stream thread serves every stream: one whose server is slow
        // waits on its own file thread, and gets its turn on a later pass.
        // Refills in the update (outputs that mix per update) wait.
        if (mSystem->mStreamThread.isRunning() && s->mayWaitForFile()) {
            break;
        }
        const bool endKnown = (s->flags() & Stream::FLAG_ENDOFDATA) != 0;
        const AURA_RESULT result = s->fill(mFillCursor, size);
        {
            // What was written is seen by the mixer from its next block on.
            CriticalSectionGuard publish(mSystem->mDSPCrit);
        }
        CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
        if (result != AURA_OK && result != AURA_ERR_FILE_EOF && result != AURA_ERR_FILE_DISKEJECTED) {
            pauseVoices(true);
            if (s->mAsyncData) {
                s->mAsyncData->mResult.store(result, std::memory_order_release);
            } else {
                s->mFailure.store(result, std::memory_order_release);
            }
            s->mOpenState.store(SoundI::OPENSTATE_ERROR, std::memory_order_release);
            mFinished = true;
            return result;
        }
        if (!endKnown && (s->flags() & Stream::FLAG_ENDOFDATA) && !mFlags.has(VoiceFlag::Stopped)) {
            // The fill wrote behind the voice: it reaches the data end after
            // the first pass over the ring and what was filled before.
            endVoiceAt(ring + mDecodedTotal + (s->ringDataEnd() - mFillCursor));
        }
        mFillCursor = (mFillCursor + size) % ring;
        mDecodedTotal += size;
    }

    CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
    if (mFlags.has(VoiceFlag::Stopped)) {
        return AURA_OK;
    }
    int64_t delta = static_cast<int64_t>(playCursor) - static_cast<int64_t>(mLastPlayCursor);
    if (delta < 0) {
        delta += ring;
        if (delta < 0) {
            delta = 0;
        }
    }
    const unsigned int length = s->mLength;
    if (length != 0xFFFFFFFFu && static_cast<uint64_t>(mLoopStart) + mLoopLength > length) {
        mLoopLength = length > mLoopStart ? length - mLoopStart : 0;
    }
    const bool looping = (mMode & AURA_LOOP_NORMAL) && mLoopCount != 0 && mLoopLength > 0;
    const uint64_t end = looping ? static_cast<uint64_t>(mLoopStart) + mLoopLength : length;
    uint64_t position = static_cast<uint64_t>(mPosition) + static_cast<uint64_t>(delta);
    const bool whole = (s->flags() & Stream::FLAG_WHOLE) != 0;
    // The stream ends where its data ends, whatever its length claimed.
    const uint64_t dataEnd = s->dataEnd();
    if (!looping && !whole && (s->flags() & Stream::FLAG_ENDOFDATA) && position >= dataEnd) {
        position = dataEnd;
        pauseVoices(true);
        mFinished = true;
    } else if (looping && !whole && end > 0 && position > end - 1) {
        position -= mLoopLength;
        if (mLoopCount > 0) {
            --mLoopCount;
        }
    }
    if (whole && position > length) {
        position = length;
    }
    mPosition = static_cast<unsigned int>(std::min<uint64_t>(position, 0xFFFFFFFFu));
    mStreamPosition.store(mPosition, std::memory_order_release);
    mLastPlayCursor = playCursor;
    mPlayedTotal += static_cast<uint32_t>(delta);
    return AURA_OK;
}

AURA_RESULT ChannelStream::setPosition(unsigned int position, unsigned int postype)
{
    return setPositionEx(position, postype, false);
}

AURA_RESULT ChannelStream::setPositionEx(unsigned int position, unsigned int postype, bool fromstream)
{
    if (mFlags.has(VoiceFlag::Stopped)) {
        return AURA_ERR_INVALID_HANDLE;
    }
    Stream *s = stream();
    if (!s || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (s->mOpenState.load() == SoundI::OPENSTATE_SETPOSITION && !fromstream) {
        return AURA_ERR_NOTREADY;
    }
    uint64_t pcm = position;
    if (postype == AURA_TIMEUNIT_MS) {
        pcm = static_cast<uint64_t>(static_cast<double>(position) / 1000.0 * s->mDefaultFrequency);
    } else if (postype == AURA_TIMEUNIT_PCMBYTES) {
        unsigned int samples = 0;
        if (getSamplesFromBytes(position, &samples, s->mChannels, s->mFormat) == AURA_OK) {
            pcm = samples;
        }
    } else if (postype == AURA_TIMEUNIT_MODORDER && s->mCodec) {
        // The song finds where the order begins; the stream follows it there.
        AURA_OS_CriticalSection_Enter(mSystem->mStreamUpdateCrit);
        AURA_RESULT result = s->mCodec->setPosition(0, position, AURA_TIMEUNIT_MODORDER);
        unsigned int at = 0;
        if (result == AURA_OK) {
            result = s->mCodec->getPosition(&at, AURA_TIMEUNIT_PCM);
        }
        AURA_OS_CriticalSection_Leave(mSystem->mStreamUpdateCrit);
        if (result != AURA_OK) {
            return result;
        }
        pcm = at;
    } else if (postype == AURA_TIMEUNIT_SENTENCE || postype == AURA_TIMEUNIT_SENTENCE_SUBSOUND) {
        // The start of a sentence entry.
        if (s->mSubSoundListNum <= 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        if (position >= static_cast<unsigned int>(s->mSubSoundListNum)) {
            return AURA_ERR_INVALID_POSITION;
        }
        pcm = s->sentenceEntryStart(static_cast<int>(position));
    } else if (postype == AURA_TIMEUNIT_BUFFERED) {
        // A place in the ring: only the voices move.
        CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
        return mRealChannel[0] ? mRealChannel[0]->setPosition(position, postype) : AURA_OK;
    } else if (postype != AURA_TIMEUNIT_PCM) {
        return AURA_ERR_FORMAT;
    }
    if (s->mLength != 0xFFFFFFFFu && pcm > s->mLength) {
        pcm = s->mLength;
    }
    const auto target = static_cast<unsigned int>(pcm);

    if (s->flags() & Stream::FLAG_WHOLE) {
        const AURA_RESULT result = forEachVoice(
            [target](ChannelReal *voice) { return voice->setPosition(target, AURA_TIMEUNIT_PCM); });
        CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
        mLastPlayCursor = target;
        mPosition = target;
        mStreamPosition.store(target, std::memory_order_release);
        mFillCursor = 0;
        mPlayedTotal = 0;
        mDecodedTotal = 0;
        return result;
    }
    // Nothing decoded since the last seek, and already there: the ring holds
    // what the target needs.
    // (An order seek has moved the song already: the ring is decoded again.)
    // (A ring that ends the data where the voice loops is decoded again:
    // the decoder wraps now, as a short sentence's does.)
    const bool loops = (mMode & AURA_LOOP_NORMAL) && mLoopCount != 0;
    const bool inPlace = postype != AURA_TIMEUNIT_MODORDER && !(s->flags() & Stream::FLAG_DECODED) &&
                         target == mStreamPosition.load(std::memory_order_acquire);
    const bool rewindOnly = inPlace && loops && (s->flags() & Stream::FLAG_ENDOFDATA);
    if (inPlace && !rewindOnly) {
        return AURA_OK;
    }

    if (!fromstream && (s->mMode & AURA_NONBLOCKING)) {
        // The loader makes the seek: the call returns at once, the voices
        // stay silent until the ring is refilled from the target.
        AsyncThread *loader = nullptr;
        AURA_RESULT result = s->mAsyncData ? AsyncThread::getAsyncThread(s, &loader) : AURA_ERR_INTERNAL;
        if (result != AURA_OK) {
            return result;
        }
        if (!mSeekPending.load()) {
            bool paused = false;
            if (mRealChannel[0]) {
                (void)mRealChannel[0]->getPaused(&paused);
            }
            mPausePending = paused;
        }
        mSeekPending = true;
        pauseVoices(true);
        s->mAsyncData->mSeekPosition = target;
        s->mAsyncData->mSeekPosType = AURA_TIMEUNIT_PCM;
        mStreamPosition.store(target, std::memory_order_release);
        s->mOpenState.store(SoundI::OPENSTATE_SETPOSITION, std::memory_order_release);
        return loader->queue(s);
    }

    bool wasPaused = false;
    if (!fromstream) {
        AURA_OS_CriticalSection_Enter(mSystem->mStreamUpdateCrit);
        if (mRealChannel[0]) {
            (void)mRealChannel[0]->getPaused(&wasPaused);
        }
        pauseVoices(true);
    }
    {
        // A block the mixer began before the pause ends before the ring is
        // written over.
        CriticalSectionGuard barrier(mSystem->mDSPCrit);
    }
    AURA_RESULT result = s->setPosition(target);
    if (result != AURA_OK && rewindOnly) {
        // A decoder that cannot go back (a damaged or unseekable file) keeps
        // the ring it has: the data then plays once.
        result = AURA_OK;
    } else if (result == AURA_OK) {
        {
            CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
            clearVoiceEnd();
            (void)forEachVoice([](ChannelReal *voice) { return voice->setPosition(0, AURA_TIMEUNIT_PCM); });
            mPosition = target;
            mStreamPosition.store(target, std::memory_order_release);
            mLastPlayCursor = 0;
            mFillCursor = 0;
            mPlayedTotal = 0;
            mDecodedTotal = 0;
            s->setDecodeLoops(mLoopCount);
        }
        result = s->flush();
        if (result == AURA_OK && (s->flags() & Stream::FLAG_ENDOFDATA)) {
            CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
            endVoiceAt(s->ringDataEnd());
        }
        {
            CriticalSectionGuard publish(mSystem->mDSPCrit);
        }
    }
    if (!fromstream) {
        pauseVoices(wasPaused);
        AURA_OS_CriticalSection_Leave(mSystem->mStreamUpdateCrit);
    }
    return result;
}

AURA_RESULT ChannelStream::getPosition(unsigned int *position, unsigned int postype)
{
    Stream *s = stream();
    if (!position || !s) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (postype == AURA_TIMEUNIT_BUFFERED) {
        // Where the voice is in the ring.
        *position = 0;
        if (!mSystem) {
            return AURA_OK;
        }
        CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
        return mRealChannel[0] ? mRealChannel[0]->getPosition(position, postype) : AURA_OK;
    }
    // The stream's own position, walked through its sentence for the
    // sentence units.
    return positionInUnit(*s, mStreamPosition.load(std::memory_order_acquire), postype, position);
}

void ChannelStream::finishSeek()
{
    if (!mSystem) {
        return;
    }
    CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
    mSeekPending = false;
    // A pause asked for while the seek was under way takes effect now.
    pauseVoices(mPausePending.load());
    ChannelReal::setPaused(mPausePending.load());
}

AURA_RESULT ChannelStream::setPaused(bool paused)
{
    if (mSeekPending.load()) {
        mPausePending = paused;
        return AURA_OK;
    }
    if (!mSystem) {
        return ChannelReal::setPaused(paused);
    }
    CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
    pauseVoices(paused);
    return ChannelReal::setPaused(paused);
}

AURA_RESULT ChannelStream::getPaused(bool *paused)
{
    if (!paused) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mRealChannel[0]) {
        return mRealChannel[0]->getPaused(paused);
    }
    return ChannelReal::getPaused(paused);
}

AURA_RESULT ChannelStream::setVolume(float volume)
{
    if (mNumRealChannels <= 1) {
        return mRealChannel[0] ? mRealChannel[0]->setVolume(volume) : AURA_OK;
    }
    return forward(&ChannelReal::setVolume, volume);
}

AURA_RESULT ChannelStream::setPan(float pan, float fbpan)
{
    return forward(&ChannelReal::setPan, pan, fbpan);
}

AURA_RESULT ChannelStream::setMode(unsigned int mode)
{
    AURA_RESULT result = AURA_OK;
    {
        // The stream thread reads the loop settings under this section.
        CriticalSectionGuard guard(mSystem ? mSystem->mStreamVoiceCrit : nullptr);
        result = ChannelReal::setMode(mode);
        if (result == AURA_OK && loopsOn()) {
            clearVoiceEnd();
        }
    }
    if (result != AURA_OK) {
        return result;
    }
    if (Stream *s = stream()) {
        s->mMode = (s->mMode & ~(AURA_LOOP_OFF | AURA_LOOP_NORMAL | AURA_LOOP_BIDI)) |
                   (mMode & (AURA_LOOP_OFF | AURA_LOOP_NORMAL | AURA_LOOP_BIDI));
    }
    // The ring always loops.
    const unsigned int rest = mode & ~(AURA_LOOP_OFF | AURA_LOOP_NORMAL | AURA_LOOP_BIDI);
    return rest ? forEachVoice([rest](ChannelReal *voice) { return voice->setMode(rest); }) : AURA_OK;
}

AURA_RESULT ChannelStream::setLoopCount(int loopcount)
{
    AURA_RESULT result = AURA_OK;
    {
        CriticalSectionGuard guard(mSystem ? mSystem->mStreamVoiceCrit : nullptr);
        result = ChannelReal::setLoopCount(loopcount);
        if (result == AURA_OK && loopsOn()) {
            clearVoiceEnd();
        }
    }
    if (Stream *s = stream()) {
        if (s->flags() & Stream::FLAG_WHOLE) {
            // The ring is the whole stream: its voices count the loops.
            (void)forEachVoice([loopcount](ChannelReal *voice) { return voice->setLoopCount(loopcount); });
        }
        s->mLoopCount = loopcount;
        if (mSystem) {
            CriticalSectionGuard guard(mSystem->mStreamUpdateCrit);
            s->setDecodeLoops(loopcount);
        }
    }
    return result;
}

AURA_RESULT ChannelStream::setLoopPoints(unsigned int loopstart, unsigned int looplength)
{
    AURA_RESULT result = AURA_OK;
    {
        CriticalSectionGuard guard(mSystem ? mSystem->mStreamVoiceCrit : nullptr);
        result = ChannelReal::setLoopPoints(loopstart, looplength);
    }
    if (result == AURA_OK) {
        if (Stream *s = stream()) {
            s->mLoopStart = mLoopStart;
            s->mLoopLength = mLoopLength;
            if (s->flags() & Stream::FLAG_WHOLE) {
                (void)forEachVoice([&](ChannelReal *voice) { return voice->setLoopPoints(loopstart, looplength); });
            }
        }
    }
    return result;
}

AURA_RESULT ChannelStream::isPlaying(bool *isplaying, bool /*includethreadlatency*/)
{
    if (!isplaying) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mFinished.load(std::memory_order_acquire) && mSystem) {
        // The mixer stops the ring's voice where the data ends: the end is
        // known from then on, not only from the stream thread's next pass.
        CriticalSectionGuard guard(mSystem->mStreamVoiceCrit);
        Stream *s = stream();
        if (s && !mFinished && mRealChannel[0] && !mFlags.has(VoiceFlag::Stopped) && !mSeekPending.load() &&
            s->mOpenState.load(std::memory_order_acquire) == SoundI::OPENSTATE_READY) {
            bool playing = true;
            (void)mRealChannel[0]->isPlaying(&playing);
            if (!playing) {
                finishPlay(*s);
            }
        }
    }
    *isplaying = !mFinished.load(std::memory_order_acquire);
    return AURA_OK;
}

AURA_RESULT ChannelStream::set2DFreqVolumePanFor3D()
{
    return forward(&ChannelReal::set2DFreqVolumePanFor3D);
}

AURA_RESULT ChannelStream::moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup, bool forcedspmove)
{
    return forward(&ChannelReal::moveChannelGroup, oldgroup, newgroup, forcedspmove);
}

AURA_RESULT ChannelStream::update(ElapsedTime elapsed)
{
    // An emulated voice moves its cursor here, which the stream thread reads.
    CriticalSectionGuard guard(mSystem ? mSystem->mStreamVoiceCrit : nullptr);
    return forward(&ChannelReal::update, elapsed);
}

AURA_RESULT ChannelStream::setFrequency(float frequency)
{
    return forward(&ChannelReal::setFrequency, frequency);
}

AURA_RESULT ChannelStream::setDSPClockDelay()
{
    return forward(&ChannelReal::setDSPClockDelay);
}

AURA_RESULT ChannelStream::setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br, float sl,
                                         float sr)
{
    return forward(&ChannelReal::setSpeakerMix, fl, fr, c, lfe, bl, br, sl, sr);
}

AURA_RESULT ChannelStream::setSpeakerLevels(int speaker, const float *levels, int numlevels)
{
    return forward(&ChannelReal::setSpeakerLevels, speaker, levels, numlevels);
}

AURA_RESULT ChannelStream::setLowPassGain(float gain)
{
    return forward(&ChannelReal::setLowPassGain, gain);
}

AURA_RESULT ChannelStream::set3DAttributes()
{
    return forward(&ChannelReal::set3DAttributes);
}

AURA_RESULT ChannelStream::set3DOcclusion(float directocclusion, float reverbocclusion)
{
    return forward(&ChannelReal::set3DOcclusion, directocclusion, reverbocclusion);
}

AURA_RESULT ChannelStream::setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props)
{
    return forward(&ChannelReal::setReverbProperties, props);
}

AURA_RESULT ChannelStream::getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *props)
{
    return mRealChannel[0] ? mRealChannel[0]->getReverbProperties(props) : AURA_OK;
}

AURA_RESULT ChannelStream::getDSPHead(DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mRealChannel[0]) {
        *dsp = nullptr;
        return AURA_ERR_INVALID_HANDLE;
    }
    return mRealChannel[0]->getDSPHead(dsp);
}

// The stream owns the voice that plays its ring, so its destructor lives
// with the voice class.
// A released stream's channel stops first (the sound's release), taking its
// voice out of the stream thread's list; then nothing reads the ring.
Stream::~Stream()
{
    if (mChannelStream) {
        ChannelStream *voice = mChannelStream;
        mChannelStream = nullptr;
        AURA_Delete(voice);
    }
    if (mSample) {
        Sample *ring = mSample;
        mSample = nullptr;
        AURA_Delete(ring);
    }
    if (mCodec) {
        (void)mCodec->release();
        mCodec = nullptr;
    }
}

} // namespace AURA
