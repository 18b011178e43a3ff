#include "system/aura_async.h"

#include "voice/aura_channelstream.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "sound/aura_stream.h"
#include "system/aura_systemi.h"
#include "os/aura_os.h"

#include <vector>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_async";

// Guards the list of loader threads.
std::mutex gAsyncListLock;
LinkedListNode gAsyncThreads{&gAsyncThreads, &gAsyncThreads, nullptr};

constexpr unsigned int POLL_MS = 10;
} // namespace

AsyncThread::AsyncThread()
{
    mNode.initNode();
    mNode.mData = this;
    mHead.initNode();
    mCallbackHead.initNode();
}

AURA_RESULT AsyncThread::getAsyncThread(SoundI *sound, AsyncThread **thread)
{
    if (!thread) {
        return AURA_ERR_INVALID_PARAM;
    }
    *thread = nullptr;
    std::lock_guard<std::mutex> lock(gAsyncListLock);
    AsyncThread *found = nullptr;
    // The shared thread; owned ones serve only their owners.
    for (LinkedListNode *node = gAsyncThreads.mNext; node != &gAsyncThreads && !found; node = node->mNext) {
        auto *candidate = static_cast<AsyncThread *>(node->mData);
        found = candidate->mOwned ? nullptr : candidate;
    }
    if (!found) {
        found = AURA_New(AsyncThread);
        if (!found) {
            return AURA_ERR_MEMORY;
        }
        const AURA_RESULT result = found->init(false, sound ? sound->mSystem : nullptr);
        if (result != AURA_OK) {
            AURA_Delete(found);
            return result;
        }
        found->mNode.addBefore(gAsyncThreads);
    }
    if (sound && sound->mAsyncData) {
        sound->mAsyncData->mThread = found;
    }
    *thread = found;
    return AURA_OK;
}

AURA_RESULT AsyncThread::init(bool owned, SystemI *system)
{
    mOwned = owned;
    const AURA_RESULT result = mThread.initThread("AURA thread for AURA_NONBLOCKING", &AsyncThread::threadFunc, this,
                                                  Thread::PRIORITY_NORMAL, nullptr, 0xC000, true, 0, system);
    if (result != AURA_OK) {
        return result;
    }
    mRunning = true;
    return AURA_OK;
}

AURA_RESULT AsyncThread::startOwned(SystemI *system, AsyncThread **thread)
{
    if (!thread) {
        return AURA_ERR_INVALID_PARAM;
    }
    *thread = nullptr;
    auto *made = AURA_New(AsyncThread);
    if (!made) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result = made->init(true, system);
    if (result != AURA_OK) {
        AURA_Delete(made);
        return result;
    }
    std::lock_guard<std::mutex> lock(gAsyncListLock);
    made->mNode.addBefore(gAsyncThreads);
    *thread = made;
    return AURA_OK;
}

AURA_RESULT AsyncThread::release()
{
    if (mOwned) {
        mReleaseRequested = true;
    }
    return AURA_OK;
}

AURA_RESULT AsyncThread::update()
{
    for (;;) {
        AsyncThread *done = nullptr;
        {
            std::lock_guard<std::mutex> lock(gAsyncListLock);
            for (LinkedListNode *node = gAsyncThreads.mNext; node != &gAsyncThreads && !done; node = node->mNext) {
                auto *candidate = static_cast<AsyncThread *>(node->mData);
                done = candidate->mReleaseRequested ? candidate : nullptr;
            }
            if (!done) {
                return AURA_OK;
            }
            done->mNode.removeNode();
        }
        // Joined outside the list's lock: its last run may still look for
        // the shared thread.
        done->reallyRelease();
        AURA_Delete(done);
    }
}

AURA_RESULT AsyncThread::addCallback(Callback callback, void *userdata)
{
    if (!callback) {
        return AURA_ERR_INVALID_PARAM;
    }
    auto *entry = AURA_New(CallbackEntry);
    if (!entry) {
        return AURA_ERR_MEMORY;
    }
    entry->mNode.initNode();
    entry->mNode.mData = entry;
    entry->mUserData = userdata;
    entry->mCallback = callback;
    std::lock_guard<std::mutex> lock(mLock);
    entry->mNode.addBefore(mCallbackHead);
    return AURA_OK;
}

AURA_RESULT AsyncThread::queue(SoundI *sound)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        sound->mAsyncNode.removeNode();
        sound->mAsyncNode.addBefore(mHead);
    }
    return mThread.wakeupThread();
}

void AsyncThread::cancel(SoundI *sound)
{
    // The game's callback, on this thread, may release the sound it was
    // told about: nothing to wait for then.
    unsigned int self = 0;
    (void)AURA_OS_Thread_GetCurrentID(&self);
    const bool onLoader = self != 0 && self == mThread.getThreadID();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mLock);
            sound->mAsyncNode.removeNode();
            if (mBusy != sound || onLoader) {
                return;
            }
        }
        (void)AURA_OS_Time_Sleep(1);
    }
}

void AsyncThread::threadFunc(void *param)
{
    static_cast<AsyncThread *>(param)->run();
}

void AsyncThread::run()
{
    if (!mRunning) {
        return;
    }
    SoundI *sound = nullptr;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mHead.isEmpty()) {
            return;
        }
        LinkedListNode *node = mHead.mNext;
        node->removeNode();
        sound = static_cast<SoundI *>(node->mData);
        mBusy = sound;
    }
    SoundI::AsyncRecord *record = sound->mAsyncData;
    AURA_RESULT result = AURA_OK;
    int state = SoundI::OPENSTATE_READY;
    switch (sound->mOpenState.load(std::memory_order_acquire)) {
    case SoundI::OPENSTATE_LOADING: {
        const bool memory = (sound->mMode & (AURA_OPENMEMORY | AURA_OPENMEMORY_POINT)) != 0;
        SoundI *target = sound;
        result = sound->mSystem->createSoundInternal(memory ? record->mMemory : record->mName, sound->mMode,
                                                     record->mBufferSize, record->mBufferSizeType,
                                                     record->mHasExinfo ? &record->mExinfo : nullptr, true, &target);
        state = result == AURA_OK ? SoundI::OPENSTATE_READY : SoundI::OPENSTATE_ERROR;
        break;
    }
    case SoundI::OPENSTATE_SETPOSITION: {
        // The stream thread steps aside first (or the stream stops).
        auto *stream = static_cast<Stream *>(sound);
        while (mRunning && !(stream->flags() & (Stream::FLAG_IDLE | Stream::FLAG_SEEKING))) {
            (void)AURA_OS_Time_Sleep(POLL_MS);
        }
        ChannelStream *voice = stream->mChannelStream;
        if (!(stream->flags() & Stream::FLAG_IDLE) && voice) {
            result = voice->setPositionEx(record->mSeekPosition, record->mSeekPosType, true);
            if (result == AURA_ERR_INVALID_HANDLE) {
                result = AURA_OK; // stopped meanwhile
            }
            if (result == AURA_OK) {
                voice->finishSeek();
            }
        }
        state = result == AURA_OK ? SoundI::OPENSTATE_READY : SoundI::OPENSTATE_ERROR;
        break;
    }
    case SoundI::OPENSTATE_SUBSOUND: {
        auto *stream = static_cast<Stream *>(sound);
        result = sound->mSystem->switchSubSound(stream, record->mSubSound);
        state = result == AURA_OK ? SoundI::OPENSTATE_READY : SoundI::OPENSTATE_ERROR;
        break;
    }
    default:
        break;
    }
    record->mResult.store(result, std::memory_order_release);
    sound->mOpenState.store(state, std::memory_order_release);
    // Still busy with the sound while the game hears of it: a release on
    // another thread waits for the callback to return.
    if (record->mHasExinfo && record->mExinfo.nonblockcallback) {
        sound->mUserData = record->mExinfo.userdata;
        (void)record->mExinfo.nonblockcallback(reinterpret_cast<AURA_SOUND *>(static_cast<Sound *>(sound)), result);
    }
    std::vector<CallbackEntry> callbacks;
    {
        std::lock_guard<std::mutex> lock(mLock);
        mBusy = nullptr;
        for (LinkedListNode *node = mCallbackHead.mNext; node != &mCallbackHead; node = node->mNext) {
            callbacks.push_back(*static_cast<CallbackEntry *>(node->mData));
        }
    }
    (void)release();
    // Called outside the lock, so that they may queue more work.
    for (const CallbackEntry &entry : callbacks) {
        if (entry.mCallback(entry.mUserData) != AURA_OK) {
            break;
        }
    }
}

void AsyncThread::reallyRelease()
{
    mRunning = false;
    (void)mThread.closeThread();
    // What is still queued fails rather than waits for a thread that is gone.
    std::lock_guard<std::mutex> lock(mLock);
    while (!mCallbackHead.isEmpty()) {
        auto *entry = static_cast<CallbackEntry *>(mCallbackHead.mNext->mData);
        entry->mNode.removeNode();
        AURA_Delete(entry);
    }
    while (!mHead.isEmpty()) {
        LinkedListNode *node = mHead.mNext;
        node->removeNode();
        auto *sound = static_cast<SoundI *>(node->mData);
        if (sound->mAsyncData) {
            sound->mAsyncData->mResult.store(AURA_ERR_INVALID_PARAM, std::memory_order_release);
            sound->mAsyncData->mThread = nullptr;
        }
        sound->mOpenState.store(SoundI::OPENSTATE_ERROR, std::memory_order_release);
    }
}

AURA_RESULT AsyncThread::shutDown()
{
    std::lock_guard<std::mutex> lock(gAsyncListLock);
    while (!gAsyncThreads.isEmpty()) {
        auto *thread = static_cast<AsyncThread *>(gAsyncThreads.mNext->mData);
        thread->mNode.removeNode();
        thread->reallyRelease();
        AURA_Delete(thread);
    }
    return AURA_OK;
}

} // namespace AURA
