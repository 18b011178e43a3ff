#include "sound/aura_stream.h"

#include "codec/aura_codec.h"
#include "file/aura_file.h"
#include "base/aura_memory.h"
#include "base/aura_metadata.h"
#include "sound/aura_sample.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {

// Reads in a row that deliver nothing before the decoder counts as ended.
constexpr int MAX_EMPTY_READS = 64;
} // namespace

AURA_RESULT Stream::seekDecoder(unsigned int position)
{
    AURA_RESULT result = AURA_OK;
    if (mSubSoundListNum > 0) {
        // A sentence: the decoder moves to the entry that holds the frame.
        int entry = 0;
        uint64_t start = 0;
        locateSentenceEntry(position, &entry, &start);
        result = mCodec->setPosition(mSubSoundList[entry].mIndex, static_cast<unsigned int>(position - start),
                                     AURA_TIMEUNIT_PCM);
        mSentenceEntry = entry;
        mSentenceEntryEnd = start + mSubSoundList[entry].mLength;
    } else {
        result = mCodec->setPosition(-1, position, AURA_TIMEUNIT_PCM);
    }
    if (result == AURA_OK && mPCMSetPosCallback) {
        result = mPCMSetPosCallback(reinterpret_cast<AURA_SOUND *>(static_cast<Sound *>(this)), 0, position,
                                    AURA_TIMEUNIT_PCM);
    }
    return result;
}

unsigned int Stream::heldLength() const
{
    const uint64_t end = dataEnd();
    if (mLength == 0xFFFFFFFFu && (flags() & FLAG_ENDOFDATA) && end < 0xFFFFFFFFu) {
        return static_cast<unsigned int>(end);
    }
    return static_cast<unsigned int>(std::min<uint64_t>(mLength, mHeldEnd.load(std::memory_order_acquire)));
}

AURA_RESULT Stream::setPosition(unsigned int position)
{
    if (!mCodec) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT result = seekDecoder(position);
    if (result != AURA_OK) {
        return result;
    }
    mDecodePosition = position;
    mSentenceShortfall = 0;
    mReadFromStart = mReadFromStart && position == 0;
    mDataEnd.store(UINT64_MAX, std::memory_order_release);
    clearFlags(FLAG_ENDOFDATA | FLAG_DECODED);
    return AURA_OK;
}

AURA_RESULT Stream::fill(unsigned int offset, unsigned int length)
{
    if (!mCodec || !mSample || !mSample->getData()) {
        return AURA_ERR_INVALID_PARAM;
    }
    const unsigned int frameBytes = mSample->frameBytes();
    if (frameBytes == 0 || offset > mSample->mLength || length > mSample->mLength - offset) {
        return AURA_ERR_INVALID_PARAM;
    }
    uint8_t *out = mSample->getData() + static_cast<std::size_t>(offset) * frameBytes;
    unsigned int remaining = length;
    int emptyReads = 0;
    AURA_RESULT result = AURA_OK;
    const bool looping = (mMode & AURA_LOOP_NORMAL) != 0 && mLoopLength > 0;
    const uint64_t loopEnd = static_cast<uint64_t>(mLoopStart) + mLoopLength;
    // A codec that knows its length exactly ends the stream there, even when
    // the file holds more (a measured tracker song would otherwise render for
    // ever).
    const bool exact = (mCodec->mFlags & Codec::FLAG_EXACTLENGTH) != 0 && mLength != 0xFFFFFFFFu;

    const bool sentence = mSubSoundListNum > 0;
    // A loop pass that yields no frame would yield none again: the data ends
    // there instead of the fill seeking back for ever.
    bool loopRestarted = false;

    while (remaining > 0) {
        unsigned int want = remaining;
        const bool loopsLeft = looping && mDecodeLoopCount != 0;
        if (loopsLeft && mDecodePosition < loopEnd) {
            want = static_cast<unsigned int>(std::min<uint64_t>(want, loopEnd - mDecodePosition));
        }
        if (sentence && mDecodePosition >= mSentenceEntryEnd && mSentenceEntry + 1 < mSubSoundListNum) {
            // The entry is done: the decoder goes on with the next.
            leaveSentenceEntry();
            result = seekDecoder(static_cast<unsigned int>(mDecodePosition));
            if (result != AURA_OK) {
                break;
            }
            continue;
        }
        if (sentence && mDecodePosition < mSentenceEntryEnd) {
            want = static_cast<unsigned int>(std::min<uint64_t>(want, mSentenceEntryEnd - mDecodePosition));
        }
        bool ended = false;
        if (loopsLeft && mDecodePosition >= loopEnd) {
            ended = true; // at the loop end: back to its start
        } else if ((exact || sentence) && mDecodePosition >= mLength) {
            ended = true;
            if (sentence) {
                endSentence();
            } else if (mReadFromStart && mCodec->dataCut(mSubSoundIndex)) {
                // At its length, which is what the file held of more.
                mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
            }
        } else {
            if (exact) {
                want = static_cast<unsigned int>(std::min<uint64_t>(want, mLength - mDecodePosition));
            }
            unsigned int got = 0;
            result = mCodec->read(out, want * frameBytes, &got);
            const unsigned int frames = std::min(got / frameBytes, want);
            if (mPCMReadCallback && frames > 0 && (result == AURA_OK || result == AURA_ERR_FILE_EOF)) {
                const AURA_RESULT filled = mPCMReadCallback(reinterpret_cast<AURA_SOUND *>(static_cast<Sound *>(this)),
                                                            out, frames * frameBytes);
                result = filled != AURA_OK ? filled : result;
            }
            out += static_cast<std::size_t>(frames) * frameBytes;
            remaining -= frames;
            mDecodePosition += frames;
            if (frames > 0) {
                emptyReads = 0;
            }
            const bool dataEnded =
                result == AURA_ERR_FILE_EOF || (result == AURA_OK && frames == 0 && ++emptyReads >= MAX_EMPTY_READS);
            if (dataEnded && sentence && mSentenceEntry + 1 < mSubSoundListNum) {
                // An entry whose data ends early: the next one follows on
                // (the sentence's positions stay those of the list).
                leaveSentenceEntry();
                result = AURA_OK;
                emptyReads = 0;
                mDecodePosition = std::max(mDecodePosition, mSentenceEntryEnd);
                continue;
            }
            if (dataEnded && sentence) {
                ended = true;
                endSentence();
            } else if (dataEnded) {
                ended = true;
                const bool known = mLength != 0xFFFFFFFFu;
                const bool shorter = known && mDecodePosition < mLength;
                if (mReadFromStart && shorter) {
                    // The data ends before the length: the stream is as
                    // long as what it held, as a sample of it would be.
                    mHeldEnd.store(mDecodePosition, std::memory_order_release);
                }
                if (mReadFromStart &&
                    ((shorter && !(mCodec->mFlags & Codec::FLAG_GUESSEDLENGTH)) || mCodec->dataCut(mSubSoundIndex))) {
                    // The file holds less than it said (a stream of unknown
                    // length knows so only from its codec).
                    mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
                }
            } else if (result != AURA_OK) {
                break;
            }
        }
        if (!ended) {
            continue;
        }
        if (loopsLeft && !(loopRestarted && mDecodePosition == mLoopStart)) {
            loopRestarted = true;
            mReadFromStart = mReadFromStart && mLoopStart == 0;
            mSentenceShortfall = 0;
            result = seekDecoder(mLoopStart);
            if (result != AURA_OK) {
                break;
            }
            mDecodePosition = mLoopStart;
            if (mDecodeLoopCount > 0) {
                --mDecodeLoopCount;
            }
            continue;
        }
        result = AURA_ERR_FILE_EOF;
        mRingDataEnd.store(offset + (length - remaining), std::memory_order_release);
        mDataEnd.store(mDecodePosition, std::memory_order_release);
        setFlags(FLAG_ENDOFDATA);
        break;
    }
    if (remaining > 0) {
        std::memset(out, 0, static_cast<std::size_t>(remaining) * frameBytes);
    }
    setFlags(FLAG_DECODED);
    collectCodecTags();
    return result;
}

void Stream::leaveSentenceEntry()
{
    const uint64_t end = mSentenceEntryEnd;
    const bool shortOfIt = mDecodePosition < end;
    if (shortOfIt) {
        mSentenceShortfall += end - mDecodePosition;
    }
    if (mReadFromStart && (shortOfIt || mCodec->dataCut(mSubSoundList[mSentenceEntry].mIndex))) {
        // The entry, read from its start, held less than its file said.
        mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
    }
}

void Stream::endSentence()
{
    leaveSentenceEntry();
    if (!mReadFromStart) {
        return;
    }
    // Entries of no frames are passed over unread: one that the file cut
    // away is known only to the codec.
    for (int i = 0; i < mSubSoundListNum; ++i) {
        if (mSubSoundList[i].mLength == 0 && mCodec->dataCut(mSubSoundList[i].mIndex)) {
            mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
        }
    }
    if (mSentenceShortfall > 0) {
        // The sentence is as long as what its entries held, as a sample of
        // it is: the frames they lacked were never played.
        mHeldEnd.store(mLength - std::min<uint64_t>(mSentenceShortfall, mLength), std::memory_order_release);
    }
}

bool Stream::mayWaitForFile() const
{
    const File *file = mCodec ? mCodec->mFile : nullptr;
    return file && file->bytesBeforeWait() < file->getFillSize() / 2;
}

void Stream::collectCodecTags()
{
    Metadata *fresh = mCodec ? mCodec->takeMetadata() : nullptr;
    if (!fresh) {
        return;
    }
    std::lock_guard<std::mutex> lock(mTagLock);
    if (!mMetadata) {
        mMetadata = fresh;
        return;
    }
    (void)mMetadata->replaceByOccurrence(fresh);
    (void)fresh->release();
}

void Stream::forgetDataEnd()
{
    mHeldEnd.store(UINT64_MAX, std::memory_order_release);
    mReadFromStart = true;
    int ended = AURA_ERR_FILE_EOF;
    (void)mFailure.compare_exchange_strong(ended, AURA_OK, std::memory_order_acq_rel);
}

AURA_RESULT Stream::flush()
{
    if (!mSample) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT result = fill(0, mSample->mLength);
    return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
}

} // namespace AURA
