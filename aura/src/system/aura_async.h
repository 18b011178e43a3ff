// The non-blocking loader: a worker thread that opens sounds created with
// AURA_NONBLOCKING and makes the seeks of non-blocking streams, so that the
// caller's thread never waits for the disk or a decoder.
#ifndef AURA_ASYNC_H
#define AURA_ASYNC_H

#include "aura.h"
#include "base/aura_globals.h"
#include "os/aura_thread.h"

#include <atomic>
#include <mutex>

namespace AURA {

class SoundI;
class SystemI;

class AsyncThread {
public:
    AsyncThread();
    ~AsyncThread() = default;
    AsyncThread(const AsyncThread &) = delete;
    AsyncThread &operator=(const AsyncThread &) = delete;

    // The shared loader thread, made on first use; stored in the sound's
    // record when one is given. 44 when it cannot be made.
    static AURA_RESULT getAsyncThread(SoundI *sound, AsyncThread **thread);
    // Joins the loader thread; work still queued fails (state 2, 37)
    // instead of waiting for ever. Nothing to do when none was made.
    static AURA_RESULT shutDown();
    // A loader thread of the caller's own (owned): listed, never handed to
    // other sounds, and released by the next update once it asks to be.
    static AURA_RESULT startOwned(SystemI *system, AsyncThread **thread);
    // Releases every owned thread that asked for it (the system's update).
    static AURA_RESULT update();

    AURA_RESULT init(bool owned, SystemI *system);
    // An owned thread asks to be released by the next update; a shared one
    // stays.
    AURA_RESULT release();
    // Called, in the order added, after each piece of work; the first
    // result other than 0 ends that run.
    using Callback = AURA_RESULT (*)(void *userdata);
    AURA_RESULT addCallback(Callback callback, void *userdata);
    // Queues a sound whose open state says what to do, and wakes the thread.
    AURA_RESULT queue(SoundI *sound);
    // Takes a sound out of the queue, or waits until the thread is done
    // with it when it is being worked on.
    void cancel(SoundI *sound);

    static void threadFunc(void *param);

    LinkedListNode mNode;          // in the global list of loader threads
    Thread mThread;
    std::atomic<bool> mRunning{false};
    LinkedListNode mHead;          // queued sounds
    std::mutex mLock;              // the queue and the sound being worked on
    bool mOwned = false;
    SoundI *mBusy = nullptr;       // taken from the queue, not finished
    std::atomic<bool> mReleaseRequested{false};
    LinkedListNode mCallbackHead;  // CallbackEntry records, under mLock

    struct CallbackEntry {
        LinkedListNode mNode;
        void *mUserData = nullptr;
        Callback mCallback = nullptr;
    };

private:
    void run();
    void reallyRelease();
};

} // namespace AURA

#endif // AURA_ASYNC_H
