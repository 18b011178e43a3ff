#include "file/aura_file.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_file";

// Guards the global list of file threads and the lazy creation of the
// disk-busy section.
std::mutex gFileGlobalsLock;

// The request's result and byte count may be written by the application's
// answering thread while the engine polls them.
AURA_RESULT loadResult(AURA_ASYNCREADINFO &info)
{
    return std::atomic_ref<AURA_RESULT>(info.result).load(std::memory_order_acquire);
}
void storeResult(AURA_ASYNCREADINFO &info, AURA_RESULT result)
{
    std::atomic_ref<AURA_RESULT>(info.result).store(result, std::memory_order_release);
}
unsigned int loadBytes(AURA_ASYNCREADINFO &info)
{
    return std::atomic_ref<unsigned int>(info.bytesread).load(std::memory_order_acquire);
}
void clearRequest(AURA_ASYNCREADINFO &info)
{
    std::atomic_ref<unsigned int>(info.bytesread).store(0, std::memory_order_relaxed);
    storeResult(info, AURA_OK);
}

uint8_t reverseBits(uint8_t b)
{
    b = static_cast<uint8_t>(((b & 0xF0u) >> 4) | ((b & 0x0Fu) << 4));
    b = static_cast<uint8_t>(((b & 0xCCu) >> 2) | ((b & 0x33u) << 2));
    b = static_cast<uint8_t>(((b & 0xAAu) >> 1) | ((b & 0x55u) << 1));
    return b;
}

void fileThreadFunc(void *param)
{
    static_cast<AURA::FileThread *>(param)->threadFunc();
}

} // namespace

AURA_RESULT AURA_File_SetDiskBusy(int busy)
{
    AURA_OS_CRITICALSECTION *crit = nullptr;
    {
        std::lock_guard<std::mutex> lock(gFileGlobalsLock);
        if (!AURA::gGlobal->mDiskBusyCrit) {
            if (AURA_OS_CriticalSection_Create(&AURA::gGlobal->mDiskBusyCrit) != AURA_OK) {
                AURA::gGlobal->mDiskBusyCrit = nullptr;
            }
        }
        crit = AURA::gGlobal->mDiskBusyCrit;
    }
    if (busy) {
        (void)AURA_OS_CriticalSection_Enter(crit);
        AURA::gGlobal->mDiskBusy.store(1);
    } else {
        AURA::gGlobal->mDiskBusy.store(0);
        (void)AURA_OS_CriticalSection_Leave(crit);
    }
    return AURA_OK;
}

namespace AURA {

File::File()
{
    mNode.initNode();
    mNode.mData = this;
    mFlags.store(FLAG_SEEKABLE | FLAG_RECORDNAME);
}

File::~File() = default;

AURA_RESULT File::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_FILE, mBufferMemorySize);
    }
    return AURA_OK;
}

AURA_RESULT File::getMemoryUsed(MemoryTracker *tracker)
{
    if (tracker) {
        if (mMemoryCounted) {
            return AURA_OK;
        }
        const AURA_RESULT result = getMemoryUsedImpl(tracker);
        if (result == AURA_OK) {
            mMemoryCounted = true;
        }
        return result;
    }
    mMemoryCounted = false;
    return AURA_OK;
}

AURA_RESULT File::getMetadata(Metadata ** /*metadata*/)
{
    return AURA_ERR_TAGNOTFOUND;
}

AURA_RESULT File::getSize(unsigned int *size)
{
    if (!size) {
        return AURA_ERR_INVALID_PARAM;
    }
    *size = lengthNow();
    return AURA_OK;
}

AURA_RESULT File::reallyCancel()
{
    return AURA_OK;
}

AURA_RESULT File::reallyAsyncRead(AURA_ASYNCREADINFO *info)
{
    unsigned int bytes = 0;
    const AURA_RESULT result = reallyRead(info->buffer, info->sizebytes, &bytes);
    std::atomic_ref<unsigned int>(info->bytesread).store(std::min(bytes, info->sizebytes),
                                                         std::memory_order_relaxed);
    storeResult(*info, result);
    return result;
}

AURA_RESULT File::reallyReadAt(unsigned int /*position*/, void * /*buffer*/, unsigned int /*size*/,
                               unsigned int * /*read*/)
{
    return AURA_ERR_UNSUPPORTED;
}

AURA_RESULT File::peek(unsigned int position, void *buffer, unsigned int size, unsigned int *read)
{
    if (read) {
        *read = 0;
    }
    if (!buffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    const bool hooked = mSettings && (mSettings->attached.read || mSettings->attached.seek);
    if (mKeyLength || hooked || isDoubleBuffered() || !hasFlag(FLAG_SEEKABLE)) {
        return AURA_ERR_UNSUPPORTED;
    }
    if (position > mLength) {
        return AURA_ERR_FILE_EOF;
    }
    const unsigned int wanted = std::min(size, mLength - position);
    const uint64_t at = static_cast<uint64_t>(mStartOffset) + position;
    if (at + wanted > 0xFFFFFFFFull) {
        return AURA_ERR_UNSUPPORTED;
    }
    unsigned int got = 0;
    const AURA_RESULT result = reallyReadAt(static_cast<unsigned int>(at), buffer, wanted, &got);
    if (read) {
        *read = std::min(got, wanted);
    }
    if (result != AURA_OK) {
        return result;
    }
    return wanted < size ? AURA_ERR_FILE_EOF : AURA_OK;
}

AURA_RESULT File::init(SystemI *system, unsigned int size, int fillsize)
{
    mSystem = system;
    mLength = size;
    mDeclaredLength = size;
    mFileSize = size;
    mFillSize = fillsize > 0 ? static_cast<unsigned int>(fillsize) : 0;
    mUserData = nullptr;
    mHandle = nullptr;
    mDeviceType = 0;
    std::memset(mName, 0, sizeof(mName));
    std::memset(mKey, 0, sizeof(mKey));
    mKeyLength = 0;
    mKeyPosition = 0;
    mBufferPosition = 0;
    mBufferMemorySize = 0;
    mKeptBytes = 0;
    mFillOffset = 0;
    mCurrentPosition = 0;
    mNextFillPosition = 0;
    mFilledToPosition = 0;
    mStartOffset = 0;
    mBufferedPercent = 0;
    mLastFillResult = AURA_OK;
    mThread = nullptr;
    mPendingFills = 0;
    mRequest = AURA_ASYNCREADINFO{};
    mPartialBytes = 0;
    return AURA_OK;
}

AURA_RESULT File::open(const char *name, unsigned int length, bool unicode, const char *key)
{
    removeFlags(FLAG_BIGENDIAN | FLAG_CANCEL | FLAG_WAITING | FLAG_UNICODE);
    if (unicode) {
        addFlags(FLAG_UNICODE);
    }
    mStartOffset = 0;
    mCurrentPosition = 0;
    mNextFillPosition = 0;
    mFilledToPosition = 0;
    mFillOffset = 0;
    mBufferPosition = 0;
    mKeptBytes = 0;
    mPartialBytes = 0;
    mLastFillResult = AURA_OK;
    mKeyLength = 0;
    mKeyPosition = 0;
    mLength = length;
    mFileSize = length;
    clearRequest(mRequest);

    if (key) {
        mKeyLength = static_cast<int>(strnlen(key, KEY_LENGTH));
        std::memset(mKey, 0, sizeof(mKey));
        std::memcpy(mKey, key, static_cast<size_t>(mKeyLength));
    }

    mBufferMemorySize = mFillSize;
    bool allocated = false;
    if (mBufferMemorySize && !mBufferMemory) {
        if (mBufferMemorySize > static_cast<unsigned int>(MemPool::MAX_SIZE)) {
            return AURA_ERR_MEMORY;
        }
        mBufferMemory = AURA_Memory_Calloc(static_cast<int>(mBufferMemorySize));
        if (!mBufferMemory) {
            return AURA_ERR_MEMORY;
        }
        mBuffer = static_cast<uint8_t *>(mBufferMemory);
        allocated = true;
    }

    const AURA_RESULT result = reallyOpen(name, &mFileSize);
    if (result != AURA_OK) {
        if (allocated) {
            AURA_Memory_Free(mBufferMemory);
            mBufferMemory = nullptr;
            mBuffer = nullptr;
        }
        return result;
    }

    if (name && hasFlag(FLAG_RECORDNAME)) {
        if (unicode) {
            // Narrowed a unit at a time; characters beyond ASCII become '?'.
            const auto *wide = reinterpret_cast<const char16_t *>(name);
            int i = 0;
            for (; i < NAME_LENGTH / 2 && wide[i]; ++i) {
                mName[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
            }
            mName[i] = '\0';
        } else {
            std::strncpy(mName, name, NAME_LENGTH);
        }
        mName[NAME_LENGTH - 1] = '\0';
    }

    if (mSettings && mSettings->attached.open) {
        (void)mSettings->attached.open(name, unicode ? 1 : 0, &mFileSize, &mHandle, &mUserData);
    }

    if (mLength == 0) {
        mLength = mFileSize;
    }
    mDeclaredLength = mLength;
    return AURA_OK;
}

AURA_RESULT File::close()
{
    (void)cancel();
    if (mThread) {
        // The thread is not filling this file once it is out of the list.
        FileThread *thread = mThread;
        thread->removeFile(this);
        if (thread->mOwned) {
            (void)thread->release();
        }
        mThread = nullptr;
        mPendingFills = 0;
        removeFlags(FLAG_FILLING | FLAG_FILLREQUESTED);
    }
    const AURA_RESULT result = reallyClose();
    if (mSettings && mSettings->attached.close) {
        (void)mSettings->attached.close(mHandle, mUserData);
    }
    if (mBufferMemory) {
        AURA_Memory_Free(mBufferMemory);
        mBufferMemory = nullptr;
        mBuffer = nullptr;
    }
    mBufferMemorySize = 0;
    return result;
}

AURA_RESULT File::cancel()
{
    addFlags(FLAG_CANCEL);
    return reallyCancel();
}

AURA_RESULT File::tell(unsigned int *position)
{
    removeFlags(FLAG_CANCEL);
    if (!position) {
        return AURA_ERR_INVALID_PARAM;
    }
    *position = mCurrentPosition - mStartOffset;
    return AURA_OK;
}

AURA_RESULT File::setStartOffset(unsigned int offset)
{
    mStartOffset = offset;
    mLength = mDeclaredLength;
    if (mFileSize == LENGTH_UNKNOWN) {
        // A medium of unknown length stays so until it ends.
        return AURA_OK;
    }
    if (static_cast<uint64_t>(offset) + mDeclaredLength > mFileSize) {
        mLength = offset < mFileSize ? mFileSize - offset : 0;
    }
    return AURA_OK;
}

AURA_RESULT File::getStartOffset(unsigned int *offset)
{
    if (!offset) {
        return AURA_ERR_INVALID_PARAM;
    }
    *offset = mStartOffset;
    return AURA_OK;
}

AURA_RESULT File::getName(char **name)
{
    if (!name) {
        return AURA_ERR_INVALID_PARAM;
    }
    *name = mName;
    return AURA_OK;
}

AURA_RESULT File::setName(const char *name)
{
    if (!name) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::strncpy(mName, name, NAME_LENGTH);
    mName[NAME_LENGTH - 1] = '\0';
    return AURA_OK;
}

void File::callReadHook(void *buffer, unsigned int bytes)
{
    if (mSettings && mSettings->attached.read) {
        (void)mSettings->attached.read(mHandle, buffer, bytes, nullptr, mUserData);
    }
}

void File::callSeekHook(unsigned int position)
{
    if (mSettings && mSettings->attached.seek) {
        (void)mSettings->attached.seek(mHandle, position, mUserData);
    }
}

AURA_RESULT File::seek(int offset, int whence)
{
    removeFlags(FLAG_CANCEL);
    const int64_t start = mStartOffset;
    const int64_t end = std::min<int64_t>(start + mLength, 0xFFFFFFFFll);
    int64_t target = 0;
    switch (whence) {
    case 0: target = start + offset; break;
    case 1: target = static_cast<int64_t>(mCurrentPosition.load()) + offset; break;
    case 2: target = end + offset; break;
    default: return AURA_ERR_INVALID_PARAM;
    }
    // Before the start lands at the start, past the end at the end.
    target = std::clamp<int64_t>(target, std::min(start, end), end);
    const auto pos = static_cast<unsigned int>(target);

    if (!hasFlag(FLAG_SEEKABLE)) {
        if (isDoubleBuffered()) {
            // The halves are refilled forward only: the reader stays put.
            if (pos != mCurrentPosition) {
                return AURA_ERR_FILE_COULDNOTSEEK;
            }
        } else {
            if (mNextFillPosition == 0 && (pos >= mFillSize || mFillSize == 0)) {
                return AURA_ERR_FILE_COULDNOTSEEK;
            }
            if (mNextFillPosition != 0 && mBufferMemorySize <= mNextFillPosition) {
                const int64_t lo = static_cast<int64_t>(mNextFillPosition) - mBufferMemorySize;
                const int64_t hi = static_cast<int64_t>(mNextFillPosition) + mBufferMemorySize;
                if (target < lo || target >= hi) {
                    return AURA_ERR_FILE_COULDNOTSEEK;
                }
            }
        }
    }

    mCurrentPosition = pos;
    if (mKeyLength) {
        mKeyPosition = static_cast<int>(pos % static_cast<unsigned int>(mKeyLength));
    }
    if (mBufferMemorySize == 0) {
        const AURA_RESULT result = reallySeek(pos);
        callSeekHook(pos);
        // Requests carry offsets: the next one starts here.
        mNextFillPosition = pos;
        mFilledToPosition = pos;
        return result;
    }
    mBufferPosition = pos % mBufferMemorySize;
    return AURA_OK;
}

AURA_RESULT File::waitForPendingFills()
{
    while (mPendingFills.load(std::memory_order_acquire) > 0) {
        if (hasFlag(FLAG_CANCEL)) {
            return AURA_ERR_NOTREADY;
        }
        (void)AURA_OS_Time_Sleep(POLL_MS);
    }
    return AURA_OK;
}

AURA_RESULT File::waitForRequest()
{
    while (loadResult(mRequest) == AURA_ERR_NOTREADY) {
        if (hasFlag(FLAG_CANCEL)) {
            return AURA_ERR_NOTREADY;
        }
        (void)AURA_OS_Time_Sleep(POLL_MS);
    }
    return AURA_OK;
}

AURA_RESULT File::seekAndReset()
{
    if (hasFlag(FLAG_FILLING)) {
        const AURA_RESULT result = waitForPendingFills();
        if (result != AURA_OK) {
            return result;
        }
    }
    const unsigned int cur = mCurrentPosition;
    const unsigned int aligned = mBufferMemorySize ? cur - cur % mBufferMemorySize : cur;
    mFillOffset = 0;
    mKeptBytes = 0;
    mPartialBytes = 0;
    removeFlags(FLAG_FIRSTHALF | FLAG_SECONDHALF);
    mBufferPosition = cur - aligned;
    mNextFillPosition = aligned;
    mFilledToPosition = aligned;
    const AURA_RESULT result = reallySeek(aligned);
    callSeekHook(aligned);
    return result;
}

void File::updateBufferedPercent()
{
    if (!mBufferMemorySize) {
        mBufferedPercent = 0;
        return;
    }
    const double ahead = static_cast<double>(mFilledToPosition.load()) -
                         static_cast<double>(mCurrentPosition.load());
    const int percent = static_cast<int>(ahead / mBufferMemorySize * 100.0);
    mBufferedPercent = std::max(percent, 0);
}

AURA_RESULT File::flip(bool synchronous)
{
    if (loadResult(mRequest) == AURA_ERR_NOTREADY) {
        return AURA_ERR_NOTREADY;
    }
    if (!synchronous && mPendingFills.load(std::memory_order_acquire) == 0) {
        return AURA_ERR_NOTREADY;
    }
    const uint64_t already = static_cast<uint64_t>(mKeptBytes.load()) + mPartialBytes;
    unsigned int toRead = already < mFillSize ? mFillSize - static_cast<unsigned int>(already) : 0;
    addFlags(FLAG_FILLING);
    uint8_t *dest = mBuffer + mFillOffset + already;
    const uint64_t end = static_cast<uint64_t>(mStartOffset) + mLength;
    AURA_RESULT result = AURA_OK;

    while (toRead > 0) {
        unsigned int bytes = 0;
        const unsigned int lateBytes = loadBytes(mRequest);
        if (lateBytes != 0) {
            // An earlier request was answered late; its bytes are already here.
            bytes = lateBytes;
            result = loadResult(mRequest);
            clearRequest(mRequest);
        } else if (mLength != LENGTH_UNKNOWN && mNextFillPosition >= end &&
                   mFilledToPosition >= end) {
            result = AURA_ERR_FILE_EOF;
        } else {
            mRequest.handle = this;
            mRequest.sizebytes = toRead;
            mRequest.buffer = dest;
            mRequest.offset = synchronous
                                  ? static_cast<unsigned int>(mNextFillPosition + mKeptBytes.load() +
                                                              mPartialBytes)
                                  : mFilledToPosition.load();
            clearRequest(mRequest);
            (void)reallyAsyncRead(&mRequest);
            if (loadResult(mRequest) == AURA_ERR_NOTREADY) {
                if (!synchronous || waitForRequest() != AURA_OK) {
                    // Left out: a later fill takes the answer.
                    return AURA_ERR_NOTREADY;
                }
            }
            bytes = loadBytes(mRequest);
            result = loadResult(mRequest);
            clearRequest(mRequest);
        }

        // The end of a medium of unknown length sets the length, counting the
        // bytes that came with the end.
        if (result == AURA_ERR_FILE_EOF && mLength == LENGTH_UNKNOWN) {
            // Where these bytes went in the medium: a synchronous fill counts
            // from the next fill position, a background one from filled-to.
            const uint64_t at = synchronous
                                    ? static_cast<uint64_t>(mNextFillPosition) + mKeptBytes.load() + mPartialBytes
                                    : mFilledToPosition.load();
            // The medium's size counts from its first byte; the length
            // from the start offset (past a tag in front).
            const uint64_t total = at + (bytes <= toRead ? bytes : 0);
            if (total != 0 && total < LENGTH_UNKNOWN) {
                mFileSize = static_cast<unsigned int>(total);
                const unsigned int visible = mFileSize > mStartOffset ? mFileSize - mStartOffset : 0;
                std::atomic_ref<unsigned int>(mLength).store(visible, std::memory_order_release);
                mDeclaredLength = visible;
            }
        } else if (result == AURA_ERR_FILE_EOF && mLength != LENGTH_UNKNOWN) {
            // A medium that ends before the size it gave (cut while open, a
            // callback's size that promised more): what the buffer holds past
            // the end is not data, so the length ends there.
            const uint64_t at = synchronous
                                    ? static_cast<uint64_t>(mNextFillPosition) + mKeptBytes.load() + mPartialBytes
                                    : mFilledToPosition.load();
            const uint64_t total = at + (bytes <= toRead ? bytes : 0);
            if (total < end) {
                const unsigned int visible = total > mStartOffset ? static_cast<unsigned int>(total - mStartOffset) : 0;
                std::atomic_ref<unsigned int>(mLength).store(visible, std::memory_order_release);
            }
        }
        callReadHook(dest, bytes);

        if (bytes == 0 || bytes > toRead) {
            // Nothing came, or more than fits: nothing is counted.
            break;
        }
        mFilledToPosition += bytes;
        mPartialBytes += bytes;
        updateBufferedPercent();
        toRead -= bytes;
        dest += bytes;
        if (hasFlag(FLAG_CANCEL)) {
            removeFlags(FLAG_CANCEL);
            break;
        }
        if (result != AURA_OK) {
            break;
        }
    }

    addFlags(mFillOffset == 0 ? FLAG_FIRSTHALF : FLAG_SECONDHALF);
    mFillOffset += mFillSize;
    if (mFillOffset >= mBufferMemorySize) {
        mFillOffset = 0;
    }
    mKeptBytes = 0;
    mPartialBytes = 0;
    mLastFillResult = result;
    removeFlags(FLAG_FILLREQUESTED | FLAG_FILLING);
    if (!synchronous) {
        mPendingFills.fetch_sub(1, std::memory_order_acq_rel);
    }
    return result;
}

AURA_RESULT File::checkBufferedStatus()
{
    const AURA_RESULT last = mLastFillResult;
    if (last != AURA_OK && last != AURA_ERR_FILE_EOF && last != AURA_ERR_FILE_DISKEJECTED) {
        return last;
    }
    const bool doubled = isDoubleBuffered();
    const uint64_t cur = mCurrentPosition;
    const unsigned int flags = getFlags();
    int64_t ahead = 0;
    if (cur > mNextFillPosition ||
        (doubled && !(flags & (FLAG_SECONDHALF | FLAG_FILLREQUESTED)) &&
         cur + mFillSize < mNextFillPosition)) {
        ahead = -1;
    } else {
        if (mKeptBytes) {
            mBufferedPercent = 0;
        } else {
            updateBufferedPercent();
        }
        ahead = static_cast<int64_t>((mNextFillPosition - cur + mFillSize - 1) / mFillSize);
    }

    if (mKeptBytes) {
        if (ahead < 3) {
            mFilledToPosition = mKeptBytes.load();
            mNextFillPosition = static_cast<unsigned int>(cur - mBufferPosition);
            ahead = -1;
        } else {
            mKeptBytes = 0;
        }
    }

    // The thread fills the other half while the reader takes the rest of
    // its own: only a reader that needs the half being filled, or a fill of
    // its own, waits for it.
    if (hasFlag(FLAG_FILLING) && !(doubled && ahead == 2)) {
        addFlags(FLAG_WAITING);
        const AURA_RESULT waited = waitForPendingFills();
        removeFlags(FLAG_WAITING);
        if (waited != AURA_OK) {
            return waited;
        }
        // A finished background fill may have failed.
        const AURA_RESULT filled = mLastFillResult;
        if (filled != AURA_OK && filled != AURA_ERR_FILE_EOF && filled != AURA_ERR_FILE_DISKEJECTED) {
            return filled;
        }
    }

    if (doubled && ahead == 1) {
        mFilledToPosition = mNextFillPosition;
        mNextFillPosition += mFillSize;
        mPendingFills.store(1, std::memory_order_release);
        addFlags(FLAG_FILLING | FLAG_FILLREQUESTED);
        return AURA_OK;
    }
    if ((doubled && ahead == 2) || (!doubled && ahead == 1)) {
        return AURA_OK;
    }

    if (ahead != 0 && hasFlag(FLAG_SEEKABLE)) {
        const AURA_RESULT result = seekAndReset();
        if (result != AURA_OK) {
            return result;
        }
    }
    for (int fill = 0; fill < 2; ++fill) {
        const AURA_RESULT result = flip(true);
        if (result == AURA_ERR_FILE_DISKEJECTED) {
            addFlags(FLAG_WAITING);
            return result;
        }
        if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
            return result;
        }
        removeFlags(FLAG_WAITING);
        if (!doubled && result == AURA_ERR_FILE_EOF && lengthNow() == LENGTH_UNKNOWN) {
            return result;
        }
        mFilledToPosition = mNextFillPosition;
        mNextFillPosition += mFillSize;
        if (mBufferPosition < mFillSize || !doubled) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT File::read(void *buffer, unsigned int size, unsigned int count, unsigned int *read)
{
    if (read) {
        *read = 0;
    }
    const uint64_t wanted = static_cast<uint64_t>(size) * count;
    if (!buffer || wanted > 0x7FFFFFFFu) {
        return AURA_ERR_INVALID_PARAM;
    }
    removeFlags(FLAG_CANCEL);

    auto total = static_cast<unsigned int>(wanted);
    const uint64_t end = static_cast<uint64_t>(lengthNow()) + mStartOffset;
    bool cut = false;
    if (mCurrentPosition + static_cast<uint64_t>(total) > end) {
        if (mCurrentPosition > end) {
            return AURA_ERR_FILE_BAD;
        }
        total = static_cast<unsigned int>(end - mCurrentPosition);
        cut = true;
    }

    auto *out = static_cast<uint8_t *>(buffer);
    unsigned int done = 0;
    AURA_RESULT result = AURA_OK;
    while (done < total) {
        const unsigned int remaining = total - done;
        unsigned int moved = 0;
        const bool direct = mBufferMemorySize == 0 ||
                            (!isDoubleBuffered() && remaining > mFillSize && mBufferPosition == 0 &&
                             hasFlag(FLAG_SEEKABLE));
        if (direct) {
            unsigned int request = remaining;
            if (mFillSize) {
                if (mCurrentPosition != mNextFillPosition) {
                    const AURA_RESULT seeked = seekAndReset();
                    if (seeked != AURA_OK) {
                        result = seeked;
                        break;
                    }
                }
                request = remaining - remaining % mFillSize;
            }
            mRequest.handle = this;
            mRequest.offset = mNextFillPosition;
            mRequest.sizebytes = request;
            mRequest.buffer = out;
            clearRequest(mRequest);
            (void)reallyAsyncRead(&mRequest);
            if (waitForRequest() != AURA_OK) {
                result = AURA_ERR_NOTREADY;
                break;
            }
            const AURA_RESULT got = loadResult(mRequest);
            moved = std::min(loadBytes(mRequest), request);
            clearRequest(mRequest);
            removeFlags(FLAG_FILLING);
            callReadHook(out, moved);
            if (got != AURA_OK && got != AURA_ERR_FILE_EOF) {
                result = got;
                break;
            }
            if (mFillSize && moved) {
                // The buffer stands for the block before the next fill
                // position: give it that block's bytes, so a seek back into
                // it reads them and not what an earlier fill left there.
                const unsigned int tail = moved % mFillSize ? moved % mFillSize : mFillSize;
                std::memcpy(mBuffer, out + moved - tail, tail);
            }
            mFilledToPosition = mNextFillPosition;
            mNextFillPosition += moved;
            mCurrentPosition += moved;
            done += moved;
            out += moved;
            if (moved == 0 || got == AURA_ERR_FILE_EOF) {
                result = AURA_ERR_FILE_EOF;
                break;
            }
            continue;
        }

        AURA_RESULT status = checkBufferedStatus();
        if (status == AURA_ERR_FILE_EOF) {
            if (!isDoubleBuffered() && lengthNow() == LENGTH_UNKNOWN) {
                result = status;
                break;
            }
            status = AURA_OK;
        }
        if (status != AURA_OK) {
            result = status;
            break;
        }
        const unsigned int inHalf = mFillSize - mBufferPosition % mFillSize;
        moved = std::min(remaining, inHalf);
        // A medium of unknown length that ended in this read has set its
        // length: what the buffer holds past it is not data.
        bool ended = false;
        if (const unsigned int length = lengthNow(); length != LENGTH_UNKNOWN) {
            const uint64_t known = static_cast<uint64_t>(length) + mStartOffset;
            const uint64_t left = mCurrentPosition < known ? known - mCurrentPosition : 0;
            if (left < moved) {
                moved = static_cast<unsigned int>(left);
                ended = true;
            }
        }
        std::memcpy(out, mBuffer + mBufferPosition, moved);
        mBufferPosition += moved;
        if (mBufferPosition >= mBufferMemorySize) {
            mBufferPosition = 0;
        }
        mCurrentPosition += moved;
        done += moved;
        out += moved;
        if (ended) {
            result = AURA_ERR_FILE_EOF;
            break;
        }
    }

    auto *bytes = static_cast<uint8_t *>(buffer);
    if (hasFlag(FLAG_BIGENDIAN)) {
        if (size == 2) {
            for (unsigned int i = 0; i + 1 < done; i += 2) {
                std::swap(bytes[i], bytes[i + 1]);
            }
        } else if (size == 4) {
            for (unsigned int i = 0; i + 3 < done; i += 4) {
                std::swap(bytes[i], bytes[i + 3]);
                std::swap(bytes[i + 1], bytes[i + 2]);
            }
        }
    }
    const unsigned int elements = size ? done / size : 0;
    if (mKeyLength) {
        if (size == 1) {
            const bool xorFirst = hasFlag(FLAG_KEYORDER);
            for (unsigned int i = 0; i < done; ++i) {
                const uint8_t k = mKey[mKeyPosition];
                bytes[i] = xorFirst ? reverseBits(static_cast<uint8_t>(bytes[i] ^ k))
                                    : static_cast<uint8_t>(reverseBits(bytes[i]) ^ k);
                mKeyPosition = (mKeyPosition + 1) % mKeyLength;
            }
        } else {
            // Wider elements are not descrambled; the key still moves one
            // step per element.
            mKeyPosition = static_cast<int>((mKeyPosition + static_cast<uint64_t>(elements)) %
                                            static_cast<unsigned int>(mKeyLength));
        }
    }
    if (read) {
        *read = elements;
    }
    if (result == AURA_OK && cut) {
        result = AURA_ERR_FILE_EOF;
    }
    return result;
}

AURA_RESULT File::enableDoubleBuffer(unsigned int size, void *oldbuffer)
{
    if (mFillSize == 0) {
        return AURA_OK;
    }
    const unsigned int oldFill = mFillSize;
    const uint64_t wanted = std::max<uint64_t>({size, MIN_DOUBLE_BUFFER, oldFill});
    const uint64_t newFill = static_cast<uint64_t>(oldFill) * (wanted / oldFill);
    if (newFill * 2 > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    const auto memSize = static_cast<unsigned int>(newFill * 2);

    void *memory = nullptr;
    if (!oldbuffer) {
        memory = AURA_Memory_ReAlloc(mBufferMemory, static_cast<int>(memSize));
        if (!memory) {
            return AURA_ERR_MEMORY;
        }
    } else {
        memory = AURA_Memory_Calloc(static_cast<int>(memSize));
        if (!memory) {
            return AURA_ERR_MEMORY;
        }
        std::memcpy(memory, oldbuffer, std::min(oldFill, memSize));
        if (mBufferMemory && mBufferMemory != oldbuffer) {
            AURA_Memory_Free(mBufferMemory);
        }
    }
    mBufferMemory = memory;
    mBuffer = static_cast<uint8_t *>(memory);
    const unsigned int oldNext = mNextFillPosition;
    const unsigned int cur = mCurrentPosition;
    mFillSize = static_cast<unsigned int>(newFill);
    mFillOffset = 0;
    mBufferMemorySize = memSize;
    mPartialBytes = 0;
    removeFlags(FLAG_FIRSTHALF | FLAG_SECONDHALF);
    if (hasFlag(FLAG_SEEKABLE)) {
        // The medium is repositioned at the first read.
        mKeptBytes = 0;
        mNextFillPosition = 0;
        mFilledToPosition = 0;
        mBufferPosition = cur % memSize;
    } else if (oldNext > 0 && cur <= oldNext && cur >= oldNext - oldFill) {
        // The old buffer's bytes stay at the front; the medium continues
        // behind them.
        mKeptBytes = oldFill;
        mBufferPosition = cur - (oldNext - oldFill);
        mNextFillPosition = mFillSize;
        mFilledToPosition = mFillSize;
    } else {
        // Nothing buffered is needed: the next fill starts where the medium is.
        mKeptBytes = 0;
        mNextFillPosition = oldNext;
        mFilledToPosition = oldNext;
        mBufferPosition = cur - oldNext;
    }

    AURA_RESULT result = getFileThread();
    if (result != AURA_OK) {
        return result;
    }
    mThread->addFile(this);
    result = checkBufferedStatus();
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    return AURA_OK;
}

unsigned int File::bytesBeforeWait() const
{
    if (!isDoubleBuffered() || mPendingFills.load(std::memory_order_acquire) == 0) {
        return LENGTH_UNKNOWN;
    }
    // The half being filled starts one fill before the next fill position;
    // a reader that reaches it waits for the whole half.
    const int64_t ready = static_cast<int64_t>(mNextFillPosition) - mFillSize - mCurrentPosition.load();
    return ready > 0 ? static_cast<unsigned int>(ready) : 0;
}

AURA_RESULT File::getFileThread()
{
    if (mThread) {
        return AURA_OK;
    }
    // A net file waits on its server, so it never shares a thread.
    const bool net = mDeviceType == FileThread::DEVICE_NET;
    std::lock_guard<std::mutex> lock(gFileGlobalsLock);
    if (!net) {
        LinkedListNode *head = &gGlobal->mFileThreadHead;
        for (LinkedListNode *node = head->mNext; node != head; node = node->mNext) {
            auto *thread = static_cast<FileThread *>(node->mData);
            if (thread->mDevice == FileThread::DEVICE_SHARED) {
                mThread = thread;
                return AURA_OK;
            }
        }
    }
    auto *thread = AURA_New(FileThread);
    if (!thread) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result =
        thread->init(net ? FileThread::DEVICE_NET : FileThread::DEVICE_SHARED, net, mSystem);
    if (result != AURA_OK) {
        AURA_Delete(thread);
        return result;
    }
    thread->mNode.addBefore(gGlobal->mFileThreadHead);
    mThread = thread;
    return AURA_OK;
}

AURA_RESULT File::shutDown()
{
    for (;;) {
        FileThread *thread = nullptr;
        {
            std::lock_guard<std::mutex> lock(gFileGlobalsLock);
            LinkedListNode *head = &gGlobal->mFileThreadHead;
            if (head->isEmpty()) {
                break;
            }
            thread = static_cast<FileThread *>(head->mNext->mData);
        }
        (void)thread->release();
    }
    std::lock_guard<std::mutex> lock(gFileGlobalsLock);
    if (gGlobal->mDiskBusyCrit) {
        (void)AURA_OS_CriticalSection_Free(gGlobal->mDiskBusyCrit);
        gGlobal->mDiskBusyCrit = nullptr;
    }
    return AURA_OK;
}

FileThread::FileThread()
{
    mNode.initNode();
    mNode.mData = this;
    mFileHead.initNode();
}

FileThread::~FileThread() = default;

AURA_RESULT FileThread::init(int device, bool owned, SystemI *system)
{
    mDevice = device;
    mOwned = owned;
    AURA_RESULT result = AURA_OS_CriticalSection_Create(&mCrit);
    if (result != AURA_OK) {
        return result;
    }
    mActive = true;
    result = mThread.initThread("AURA file thread", fileThreadFunc, this, Thread::PRIORITY_NORMAL,
                                nullptr, 8192, false, static_cast<int>(File::POLL_MS), system);
    if (result != AURA_OK) {
        mActive = false;
        (void)AURA_OS_CriticalSection_Free(mCrit);
        mCrit = nullptr;
    }
    return result;
}

void FileThread::threadFunc()
{
    if (!mActive.load()) {
        return;
    }
    CriticalSectionGuard guard(mCrit);
    LinkedListNode *node = mFileHead.mNext;
    while (node != &mFileHead) {
        auto *file = static_cast<File *>(node->mData);
        mNextCursor = node->mNext;
        if (file->getFlags() & File::FLAG_FILLREQUESTED) {
            mCursor = file;
            (void)AURA_OS_CriticalSection_Leave(mCrit);
            (void)file->flip(false);
            (void)AURA_OS_CriticalSection_Enter(mCrit);
            mCursor = nullptr;
        }
        node = mNextCursor;
    }
    mNextCursor = nullptr;
}

void FileThread::addFile(File *file)
{
    CriticalSectionGuard guard(mCrit);
    file->mNode.addBefore(mFileHead);
}

void FileThread::removeFile(File *file)
{
    for (;;) {
        {
            CriticalSectionGuard guard(mCrit);
            if (mCursor != file) {
                if (mNextCursor == &file->mNode) {
                    mNextCursor = file->mNode.mNext;
                }
                file->mNode.removeNode();
                return;
            }
        }
        // A fill of this file is running on the thread: let it finish.
        (void)AURA_OS_Time_Sleep(File::POLL_MS);
    }
}

AURA_RESULT FileThread::release()
{
    {
        std::lock_guard<std::mutex> lock(gFileGlobalsLock);
        mNode.removeNode();
    }
    mActive = false;
    (void)mThread.closeThread();
    (void)AURA_OS_CriticalSection_Free(mCrit);
    mCrit = nullptr;
    FileThread *self = this;
    AURA_Delete(self);
    return AURA_OK;
}

} // namespace AURA
