// The engine's byte source: a buffered file over a concrete medium (disk,
// memory, nothing, application callbacks), with seek and tell relative to a
// start offset, element reads with optional byte swapping and descrambling,
// and optional double buffering refilled by a shared background thread.
#ifndef AURA_FILE_H
#define AURA_FILE_H

#include "aura.h"
#include "base/aura_globals.h"
#include "os/aura_thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

struct AURA_OS_CRITICALSECTION;

namespace AURA {

class SystemI;
class MemoryTracker;
class Metadata;
class FileThread;

// Hooks that observe every open, close, read and seek of a system's files.
struct FileAttachHooks {
    AURA_FILE_OPENCALLBACK open = nullptr;
    AURA_FILE_CLOSECALLBACK close = nullptr;
    AURA_FILE_READCALLBACK read = nullptr;
    AURA_FILE_SEEKCALLBACK seek = nullptr;
};

// The application's file system: user files use these when they have no
// callback of their own of a kind.
struct FileCallbacks {
    AURA_FILE_OPENCALLBACK open = nullptr;
    AURA_FILE_CLOSECALLBACK close = nullptr;
    AURA_FILE_READCALLBACK read = nullptr;
    AURA_FILE_SEEKCALLBACK seek = nullptr;
    AURA_FILE_ASYNCREADCALLBACK asyncRead = nullptr;
    AURA_FILE_ASYNCCANCELCALLBACK asyncCancel = nullptr;
};

// What a file takes from its owning system: the attached hooks, the
// system-wide callbacks and the id of the thread that owns the system (disk
// reads off that thread are serialised through the disk-busy section).
struct FileSystemSettings {
    FileAttachHooks attached;
    FileCallbacks callbacks;
    unsigned int mainThreadId = 0;
};

class File {
public:
    static constexpr unsigned int FLAG_SEEKABLE = 0x1;
    static constexpr unsigned int FLAG_RECORDNAME = 0x2;
    static constexpr unsigned int FLAG_UNICODE = 0x4;
    static constexpr unsigned int FLAG_BIGENDIAN = 0x8;
    static constexpr unsigned int FLAG_FILLING = 0x10;
    static constexpr unsigned int FLAG_WAITING = 0x20;
    static constexpr unsigned int FLAG_CANCEL = 0x40;
    static constexpr unsigned int FLAG_FILLREQUESTED = 0x80;
    static constexpr unsigned int FLAG_FIRSTHALF = 0x100;
    static constexpr unsigned int FLAG_SECONDHALF = 0x200;
    static constexpr unsigned int FLAG_KEYORDER = 0x400;

    static constexpr unsigned int LENGTH_UNKNOWN = 0xFFFFFFFFu;
    static constexpr int NAME_LENGTH = 256;
    static constexpr int KEY_LENGTH = 32;
    static constexpr unsigned int MIN_DOUBLE_BUFFER = 2048;
    static constexpr unsigned int POLL_MS = 10;

    File();
    virtual ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    virtual AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);
    virtual AURA_RESULT getMemoryUsed(MemoryTracker *tracker);
    virtual AURA_RESULT getMetadata(Metadata **metadata);
    virtual AURA_RESULT getSize(unsigned int *size);
    virtual AURA_RESULT reallyOpen(const char *name, unsigned int *filesize) = 0;
    virtual AURA_RESULT reallyClose() = 0;
    virtual AURA_RESULT reallyRead(void *buffer, unsigned int size, unsigned int *read) = 0;
    virtual AURA_RESULT reallySeek(unsigned int position) = 0;
    virtual AURA_RESULT reallyCancel();
    virtual AURA_RESULT reallyAsyncRead(AURA_ASYNCREADINFO *info);
    // Reads at an absolute medium position without moving the medium's
    // position; 82 for media that cannot.
    virtual AURA_RESULT reallyReadAt(unsigned int position, void *buffer, unsigned int size, unsigned int *read);

    // Binds the file to a system; size is the length in bytes, fillsize the
    // buffer (0: unbuffered). Every position, the name and the key are reset.
    AURA_RESULT init(SystemI *system, unsigned int size, int fillsize);
    // The hooks and callbacks of the owning system (null: none).
    void setSettings(const FileSystemSettings *settings) { mSettings = settings; }

    AURA_RESULT open(const char *name, unsigned int length, bool unicode, const char *key);
    AURA_RESULT close();
    AURA_RESULT read(void *buffer, unsigned int size, unsigned int count, unsigned int *read);
    AURA_RESULT seek(int offset, int whence);
    AURA_RESULT tell(unsigned int *position);
    AURA_RESULT setStartOffset(unsigned int offset);
    AURA_RESULT getStartOffset(unsigned int *offset);
    AURA_RESULT getName(char **name);
    AURA_RESULT setName(const char *name);
    AURA_RESULT cancel();
    // Reads size bytes at position (from the start offset) where the medium
    // can do so aside: the read position, the buffer and the hooks' view of
    // the file stay as they are. 82 when it cannot (a scrambled, hooked,
    // unseekable or double-buffered file, or one whose medium has no
    // positioned read): the caller seeks and reads instead.
    AURA_RESULT peek(unsigned int position, void *buffer, unsigned int size, unsigned int *read);

    // One byte, a 16-bit or a 32-bit value in the machine's order, stored
    // zero-extended into an unsigned type and sign-extended into a signed
    // one; value may be null to skip it.
    template <class T> AURA_RESULT getByte(T *value) { return getValue<1>(value); }
    template <class T> AURA_RESULT getWord(T *value) { return getValue<2>(value); }
    template <class T> AURA_RESULT getDword(T *value) { return getValue<4>(value); }

    // Splits the buffer into two halves of at least size bytes together
    // that the shared file thread refills. oldbuffer, when given, is copied
    // into a new allocation instead of resizing the current one.
    AURA_RESULT enableDoubleBuffer(unsigned int size, void *oldbuffer);
    AURA_RESULT getFileThread();
    // Releases the shared file threads and the disk-busy section.
    static AURA_RESULT shutDown();

    [[nodiscard]] unsigned int getFlags() const { return mFlags.load(std::memory_order_acquire); }
    void addFlags(unsigned int bits) { mFlags.fetch_or(bits, std::memory_order_acq_rel); }
    void removeFlags(unsigned int bits) { mFlags.fetch_and(~bits, std::memory_order_acq_rel); }
    [[nodiscard]] int getBufferedPercent() const { return mBufferedPercent.load(); }
    [[nodiscard]] unsigned int getBufferMemorySize() const { return mBufferMemorySize; }
    [[nodiscard]] unsigned int getFillSize() const { return mFillSize; }
    [[nodiscard]] FileThread *getThread() const { return mThread; }
    [[nodiscard]] int getDeviceType() const { return mDeviceType; }
    // For the reader: the bytes it can take before it would wait for the
    // file thread, which is filling the other half of the double buffer;
    // LENGTH_UNKNOWN when no fill is running.
    [[nodiscard]] unsigned int bytesBeforeWait() const;
    [[nodiscard]] AURA_ASYNCREADINFO *getAsyncReadInfo() { return &mRequest; }

    // Run by the file thread on a file whose fill it was asked for.
    AURA_RESULT flip(bool synchronous);

    LinkedListNode mNode;

protected:
    AURA_RESULT seekAndReset();
    AURA_RESULT checkBufferedStatus();
    AURA_RESULT waitForPendingFills();
    AURA_RESULT waitForRequest();
    void updateBufferedPercent();
    void callReadHook(void *buffer, unsigned int bytes);
    void callSeekHook(unsigned int position);
    [[nodiscard]] bool isDoubleBuffered() const { return mFillSize != mBufferMemorySize; }
    [[nodiscard]] bool hasFlag(unsigned int bits) const { return (getFlags() & bits) != 0; }
    // The length as the reader sees it: a background fill sets it when a
    // medium of unknown length ends.
    [[nodiscard]] unsigned int lengthNow() const
    {
        return std::atomic_ref<unsigned int>(const_cast<unsigned int &>(mLength)).load(std::memory_order_acquire);
    }

    unsigned int mLength = 0;
    unsigned int mDeclaredLength = 0;
    unsigned int mFileSize = 0;
    void *mUserData = nullptr;
    void *mHandle = nullptr;
    int mDeviceType = 0;
    char mName[NAME_LENGTH] = {};
    uint8_t mKey[KEY_LENGTH] = {};
    int mKeyLength = 0;
    int mKeyPosition = 0;
    unsigned int mBufferPosition = 0;
    unsigned int mBufferMemorySize = 0;
    std::atomic<unsigned int> mKeptBytes{0};
    unsigned int mFillSize = 0;
    unsigned int mFillOffset = 0;
    std::atomic<unsigned int> mCurrentPosition{0};
    unsigned int mNextFillPosition = 0;
    std::atomic<unsigned int> mFilledToPosition{0};
    unsigned int mStartOffset = 0;
    std::atomic<int> mBufferedPercent{0};
    std::atomic<AURA_RESULT> mLastFillResult{AURA_OK};
    FileThread *mThread = nullptr;
    std::atomic<int> mPendingFills{0};
    std::atomic<unsigned int> mFlags{0};
    SystemI *mSystem = nullptr;
    const FileSystemSettings *mSettings = nullptr;
    AURA_ASYNCREADINFO mRequest{};
    unsigned int mPartialBytes = 0;
    uint8_t *mBuffer = nullptr;
    void *mBufferMemory = nullptr;
    bool mMemoryCounted = false;

private:
    template <std::size_t Bytes, class T>
    AURA_RESULT getValue(T *value)
    {
        static_assert(std::is_integral_v<T> && sizeof(T) >= Bytes);
        using Raw = std::conditional_t<Bytes == 1, uint8_t, std::conditional_t<Bytes == 2, uint16_t, uint32_t>>;
        Raw raw = 0;
        const AURA_RESULT result = read(&raw, Bytes, 1, nullptr);
        if (value) {
            if constexpr (std::is_signed_v<T>) {
                *value = static_cast<std::make_signed_t<Raw>>(raw);
            } else {
                *value = raw;
            }
        }
        return result;
    }
};

class FileThread {
public:
    static constexpr int DEVICE_NET = 3;
    static constexpr int DEVICE_SHARED = 5;

    FileThread();
    ~FileThread();
    FileThread(const FileThread &) = delete;
    FileThread &operator=(const FileThread &) = delete;

    AURA_RESULT init(int device, bool owned, SystemI *system);
    // Unlinks, stops and frees the thread (the object itself is freed too).
    AURA_RESULT release();
    void threadFunc();

    // Takes a file out of the list once the thread is not filling it.
    void removeFile(File *file);
    void addFile(File *file);

    LinkedListNode mNode;
    Thread mThread;
    std::atomic<bool> mActive{false};
    LinkedListNode mFileHead;
    File *mCursor = nullptr;
    LinkedListNode *mNextCursor = nullptr;
    AURA_OS_CRITICALSECTION *mCrit = nullptr;
    int mDevice = 0;
    bool mOwned = false;
};

} // namespace AURA

// Marks disk activity off the main thread: busy non-zero enters the global
// disk section and sets the flag; zero clears the flag and leaves it.
AURA_RESULT AURA_File_SetDiskBusy(int busy);

#endif // AURA_FILE_H
