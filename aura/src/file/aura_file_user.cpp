#include "file/aura_file_user.h"

#include "base/aura_memorytracker.h"

#include <atomic>

namespace AURA {

AURA_RESULT UserFile::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_FILE, sizeof(*this));
    }
    return File::getMemoryUsedImpl(tracker);
}

AURA_RESULT UserFile::reallyOpen(const char *name, unsigned int *filesize)
{
    mUserHandle = nullptr;
    mUserHandleData = nullptr;
    const AURA_FILE_OPENCALLBACK open = pick(mCallbacks.open, &FileCallbacks::open);
    if (open) {
        const AURA_RESULT result = open(name, hasFlag(FLAG_UNICODE) ? 1 : 0, filesize,
                                        &mUserHandle, &mUserHandleData);
        if (result != AURA_OK) {
            return result;
        }
    }
    const AURA_RESULT result = reallySeek(0);
    if (result == AURA_ERR_FILE_COULDNOTSEEK) {
        removeFlags(FLAG_SEEKABLE);
        return AURA_OK;
    }
    return result;
}

AURA_RESULT UserFile::reallyClose()
{
    const AURA_FILE_CLOSECALLBACK close = pick(mCallbacks.close, &FileCallbacks::close);
    if (close) {
        (void)close(mUserHandle, mUserHandleData);
    }
    return AURA_OK;
}

AURA_RESULT UserFile::reallyRead(void *buffer, unsigned int size, unsigned int *read)
{
    const AURA_FILE_READCALLBACK cb = pick(mCallbacks.read, &FileCallbacks::read);
    if (!cb) {
        if (read) {
            *read = 0;
        }
        return AURA_OK;
    }
    unsigned int got = 0;
    const AURA_RESULT result = cb(mUserHandle, buffer, size, &got, mUserHandleData);
    if (read) {
        *read = got;
    }
    return result;
}

AURA_RESULT UserFile::reallySeek(unsigned int position)
{
    if (pick(mCallbacks.asyncRead, &FileCallbacks::asyncRead)) {
        return AURA_OK; // requests carry their offsets
    }
    const AURA_FILE_SEEKCALLBACK seek = pick(mCallbacks.seek, &FileCallbacks::seek);
    return seek ? seek(mUserHandle, position, mUserHandleData) : AURA_OK;
}

AURA_RESULT UserFile::reallyCancel()
{
    if (mCallbacks.asyncCancel && mCallbacks.asyncRead) {
        return mCallbacks.asyncCancel(mUserHandle, mUserHandleData);
    }
    if (mSettings && mSettings->callbacks.asyncCancel && mSettings->callbacks.asyncRead) {
        return mSettings->callbacks.asyncCancel(mUserHandle, mUserHandleData);
    }
    return AURA_OK;
}

AURA_RESULT UserFile::reallyAsyncRead(AURA_ASYNCREADINFO *info)
{
    info->handle = mUserHandle;
    const AURA_FILE_ASYNCREADCALLBACK async = pick(mCallbacks.asyncRead, &FileCallbacks::asyncRead);
    if (!async) {
        return File::reallyAsyncRead(info);
    }
    std::atomic_ref<AURA_RESULT>(info->result).store(AURA_ERR_NOTREADY, std::memory_order_release);
    const AURA_RESULT result = async(info, mUserHandleData);
    if (result != AURA_OK) {
        // Refused outright: the request is answered with the refusal.
        std::atomic_ref<AURA_RESULT>(info->result).store(result, std::memory_order_release);
    }
    return result;
}

} // namespace AURA
