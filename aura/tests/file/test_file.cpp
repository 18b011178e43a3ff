#include "file/aura_file.h"
#include "file/aura_file_disk.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_null.h"
#include "file/aura_file_user.h"
#include "os/aura_os.h"
#include "engine.h"
#include "files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using auratest::ForwardSource;
using auratest::TempDir;

std::vector<uint8_t> makeData(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    std::mt19937 rng(seed);
    for (auto &b : data) {
        b = static_cast<uint8_t>(rng());
    }
    return data;
}

// A user file whose asynchronous reads are answered from another thread,
// some of them at once inside the callback.
class AsyncSource {
public:
    explicit AsyncSource(const std::vector<uint8_t> &data) : mData(data)
    {
        mWorker = std::thread([this] { run(); });
    }
    ~AsyncSource()
    {
        {
            std::lock_guard<std::mutex> lock(mLock);
            mStop = true;
        }
        mWake.notify_all();
        mWorker.join();
    }
    AsyncSource(const AsyncSource &) = delete;
    AsyncSource &operator=(const AsyncSource &) = delete;

    void answer(AURA_ASYNCREADINFO *info)
    {
        const size_t size = mData.size();
        const size_t off = std::min<size_t>(info->offset, size);
        const size_t n = std::min<size_t>(info->sizebytes, size - off);
        std::memcpy(info->buffer, mData.data() + off, n);
        std::atomic_ref<unsigned int>(info->bytesread).store(static_cast<unsigned int>(n),
                                                             std::memory_order_relaxed);
        std::atomic_ref<AURA_RESULT>(info->result)
            .store(n < info->sizebytes ? AURA_ERR_FILE_EOF : AURA_OK, std::memory_order_release);
    }

    void submit(AURA_ASYNCREADINFO *info)
    {
        if (mCount++ % 3 == 0) {
            answer(info);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mLock);
            mQueue.push_back(info);
        }
        mWake.notify_all();
    }

    // After this, no queued request is answered.
    void cancel()
    {
        std::lock_guard<std::mutex> lock(mLock);
        mQueue.clear();
    }

    std::atomic<int> mSeeks{0};

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mLock);
        for (;;) {
            mWake.wait(lock, [this] { return mStop || !mQueue.empty(); });
            if (mStop) {
                return;
            }
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            lock.lock();
            if (!mQueue.empty()) {
                // Answered under the lock so that cancel waits for it.
                answer(mQueue.front());
                mQueue.pop_front();
            }
        }
    }

    const std::vector<uint8_t> &mData;
    std::thread mWorker;
    std::mutex mLock;
    std::condition_variable mWake;
    std::deque<AURA_ASYNCREADINFO *> mQueue;
    bool mStop = false;
    unsigned int mCount = 0;
};

AURA_RESULT asyncOpen(const char *name, int, unsigned int *filesize, void **handle, void **userdata)
{
    auto *src = reinterpret_cast<AsyncSource *>(const_cast<char *>(name));
    *filesize = 0; // the length given to open stands
    *handle = src;
    *userdata = src;
    return AURA_OK;
}
AURA_RESULT asyncRead(AURA_ASYNCREADINFO *info, void *userdata)
{
    static_cast<AsyncSource *>(userdata)->submit(info);
    return AURA_OK;
}
AURA_RESULT asyncCancel(void *, void *userdata)
{
    static_cast<AsyncSource *>(userdata)->cancel();
    return AURA_OK;
}
AURA_RESULT asyncSeek(void *handle, unsigned int, void *)
{
    static_cast<AsyncSource *>(handle)->mSeeks++;
    return AURA_OK;
}

enum class Kind { Memory, Forward, Async };

struct Config {
    Kind kind;
    int fill;
    bool doubled;
};

// Drives random reads, seeks and tells on a file and on a plain vector with
// a position, and compares them.
void runModel(const Config &cfg, uint32_t seed, int ops)
{
    SCOPED_TRACE("kind " + std::to_string(static_cast<int>(cfg.kind)) + " fill " +
                 std::to_string(cfg.fill) + (cfg.doubled ? " double" : " single") + " seed " +
                 std::to_string(seed));
    const auto data = makeData(9000 + seed % 300, seed);
    const auto len = static_cast<int64_t>(data.size());
    std::mt19937 rng(seed);

    ForwardSource forward{&data};
    std::unique_ptr<AsyncSource> async;
    std::unique_ptr<AURA::File> file;
    AURA_RESULT opened = AURA_OK;
    if (cfg.kind == Kind::Memory) {
        file = std::make_unique<AURA::MemoryFile>();
        ASSERT_EQ(file->init(nullptr, 0, cfg.fill), AURA_OK);
        opened = file->open(reinterpret_cast<const char *>(data.data()),
                            static_cast<unsigned int>(len), false, nullptr);
    } else if (cfg.kind == Kind::Forward) {
        auto user = std::make_unique<AURA::UserFile>();
        opened = auratest::openForwardFile(*user, forward, cfg.fill);
        file = std::move(user);
    } else {
        async = std::make_unique<AsyncSource>(data);
        auto user = std::make_unique<AURA::UserFile>();
        AURA::FileCallbacks cb;
        cb.open = asyncOpen;
        cb.asyncRead = asyncRead;
        cb.asyncCancel = asyncCancel;
        cb.seek = asyncSeek;
        user->setCallbacks(cb);
        ASSERT_EQ(user->init(nullptr, 0, cfg.fill), AURA_OK);
        opened = user->open(reinterpret_cast<const char *>(async.get()),
                            static_cast<unsigned int>(len), false, nullptr);
        file = std::move(user);
    }
    ASSERT_EQ(opened, AURA_OK);
    // Closed on every way out, so that a failing case frees its buffer.
    std::unique_ptr<AURA::File, void (*)(AURA::File *)> closer(file.get(),
                                                              [](AURA::File *f) { (void)f->close(); });
    const bool forwardOnly = cfg.kind == Kind::Forward;
    EXPECT_EQ((file->getFlags() & AURA::File::FLAG_SEEKABLE) != 0, !forwardOnly);
    if (cfg.doubled) {
        ASSERT_EQ(file->enableDoubleBuffer(4096, nullptr), AURA_OK);
    }
    const bool doubled = file->getFillSize() != file->getBufferMemorySize();
    const int64_t bufmem = file->getBufferMemorySize();

    int64_t pos = 0;
    bool readSinceSeek = false;
    bool anyRead = false;
    std::vector<uint8_t> out;
    for (int op = 0; op < ops; ++op) {
        const int choice = static_cast<int>(rng() % 10);
        if (choice < 6) {
            static constexpr unsigned int sizes[] = {1, 2, 4};
            const unsigned int size = sizes[rng() % 3];
            const unsigned int count = rng() % 8 == 0 ? rng() % 3000 : rng() % 300;
            out.assign(static_cast<size_t>(size) * count + 1, 0xEE);
            unsigned int got = 12345;
            const AURA_RESULT r = file->read(out.data(), size, count, &got);
            const int64_t want = static_cast<int64_t>(size) * count;
            const int64_t bytes = std::min(want, len - pos);
            ASSERT_EQ(r, want > len - pos ? AURA_ERR_FILE_EOF : AURA_OK) << "op " << op;
            ASSERT_EQ(got, static_cast<unsigned int>(bytes / size)) << "op " << op;
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + bytes, data.begin() + pos))
                << "op " << op << " pos " << pos << " bytes " << bytes;
            ASSERT_EQ(out[static_cast<size_t>(want)], 0xEE) << "wrote past the request";
            pos += bytes;
            readSinceSeek = bytes > 0;
            anyRead = anyRead || bytes > 0;
        } else if (choice < 9) {
            const int whence = static_cast<int>(rng() % 3);
            const auto offset = static_cast<int>(static_cast<int64_t>(rng() % (2 * len + 200)) - len - 100);
            const int64_t base = whence == 0 ? 0 : whence == 1 ? pos : len;
            const int64_t target = std::clamp<int64_t>(base + offset, 0, len);
            const AURA_RESULT r = file->seek(offset, whence);
            if (!forwardOnly) {
                ASSERT_EQ(r, AURA_OK);
                pos = target;
            } else {
                bool mustFail = false;
                bool mustPass = false;
                if (doubled || bufmem == 0) {
                    mustFail = target != pos || bufmem == 0;
                    mustPass = !mustFail;
                } else {
                    mustFail = target < pos - bufmem || target >= pos + 2 * bufmem ||
                               (!anyRead && target >= cfg.fill);
                    mustPass = (readSinceSeek && target >= pos && target < pos + bufmem) ||
                               (!anyRead && target < cfg.fill);
                }
                if (mustFail) {
                    ASSERT_EQ(r, AURA_ERR_FILE_COULDNOTSEEK) << "op " << op << " target " << target;
                } else if (mustPass) {
                    ASSERT_EQ(r, AURA_OK) << "op " << op << " target " << target;
                } else {
                    ASSERT_TRUE(r == AURA_OK || r == AURA_ERR_FILE_COULDNOTSEEK);
                }
                if (r == AURA_OK) {
                    pos = target;
                    readSinceSeek = false;
                }
            }
        } else {
            unsigned int told = 0;
            ASSERT_EQ(file->tell(&told), AURA_OK);
            ASSERT_EQ(told, static_cast<unsigned int>(pos)) << "op " << op;
        }
    }
    if (forwardOnly) {
        EXPECT_EQ(forward.seeks, 1); // only the probe at open
    }
    EXPECT_EQ(closer.release()->close(), AURA_OK);
    if (async) {
        EXPECT_EQ(async->mSeeks.load(), 0);
    }
}

class FileModel : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(AURA::File::shutDown(), AURA_OK); }
};

TEST_F(FileModel, MemoryAndForwardOnlyFilesMatchTheReference)
{
    uint32_t seed = 1;
    for (Kind kind : {Kind::Memory, Kind::Forward}) {
        for (int fill : {0, 1, 7, 2048, 5000}) {
            for (bool doubled : {false, true}) {
                runModel({kind, fill, doubled}, seed++, 400);
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

class FileModelThreads : public FileModel {};

TEST_F(FileModelThreads, LateAsynchronousAnswersMatchTheReference)
{
    uint32_t seed = 100;
    for (int fill : {0, 1, 7, 2048, 5000}) {
        for (bool doubled : {false, true}) {
            runModel({Kind::Async, fill, doubled}, seed++, 120);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(FileDisk, OpensReadsAndReportsTheEnd)
{
    const auto data = makeData(5000, 7);
    TempDir dir;
    const std::string path = dir.file("data.bin");
    ASSERT_TRUE(dir.ok() && auratest::writeAll(path, data));
    for (int fill : {0, 2048}) {
        AURA::DiskFile file;
        ASSERT_EQ(file.init(nullptr, 0, fill), AURA_OK);
        ASSERT_EQ(file.open(path.c_str(), 0, false, nullptr), AURA_OK);
        unsigned int size = 0;
        ASSERT_EQ(file.getSize(&size), AURA_OK);
        EXPECT_EQ(size, 5000u);
        char *name = nullptr;
        ASSERT_EQ(file.getName(&name), AURA_OK);
        EXPECT_EQ(std::string(name), path);

        std::vector<uint8_t> out(100);
        ASSERT_EQ(file.seek(4950, 0), AURA_OK);
        unsigned int got = 0;
        EXPECT_EQ(file.read(out.data(), 1, 100, &got), AURA_ERR_FILE_EOF);
        EXPECT_EQ(got, 50u);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 50, data.begin() + 4950));
        EXPECT_EQ(file.read(out.data(), 1, 1, &got), AURA_ERR_FILE_EOF);
        EXPECT_EQ(got, 0u);

        ASSERT_EQ(file.seek(-10, 0), AURA_OK);
        unsigned int pos = 99;
        ASSERT_EQ(file.tell(&pos), AURA_OK);
        EXPECT_EQ(pos, 0u);
        ASSERT_EQ(file.seek(100, 2), AURA_OK);
        ASSERT_EQ(file.tell(&pos), AURA_OK);
        EXPECT_EQ(pos, 5000u);
        EXPECT_EQ(file.seek(0, 3), AURA_ERR_INVALID_PARAM);

        // A start offset shifts positions and trims the length.
        ASSERT_EQ(file.setStartOffset(1000), AURA_OK);
        ASSERT_EQ(file.getSize(&size), AURA_OK);
        EXPECT_EQ(size, 4000u);
        ASSERT_EQ(file.seek(16, 0), AURA_OK);
        unsigned int dword = 0;
        ASSERT_EQ(file.getDword(&dword), AURA_OK);
        uint32_t expect = 0;
        std::memcpy(&expect, data.data() + 1016, 4);
        EXPECT_EQ(dword, expect);
        ASSERT_EQ(file.tell(&pos), AURA_OK);
        EXPECT_EQ(pos, 20u);

        // A read aside takes the bytes at a position and leaves the read
        // position and the buffer as they were.
        std::vector<uint8_t> aside(20);
        EXPECT_EQ(file.peek(3990, aside.data(), 20, &got), AURA_ERR_FILE_EOF);
        EXPECT_EQ(got, 10u);
        EXPECT_TRUE(std::equal(aside.begin(), aside.begin() + 10, data.begin() + 4990));
        EXPECT_EQ(file.peek(4001, aside.data(), 1, &got), AURA_ERR_FILE_EOF);
        ASSERT_EQ(file.getDword(&dword), AURA_OK);
        std::memcpy(&expect, data.data() + 1020, 4);
        EXPECT_EQ(dword, expect);
        EXPECT_EQ(file.close(), AURA_OK);

        // Scrambled bytes are only read through the descrambling path.
        ASSERT_EQ(file.open(path.c_str(), 0, false, "key"), AURA_OK);
        EXPECT_EQ(file.peek(0, aside.data(), 4, &got), AURA_ERR_UNSUPPORTED);
        EXPECT_EQ(file.close(), AURA_OK);
    }
}

TEST(FileDisk, MissingAndEmptyNamesAreNotFound)
{
    AURA::DiskFile file;
    ASSERT_EQ(file.init(nullptr, 0, 2048), AURA_OK);
    EXPECT_EQ(file.open("/nonexistent/aura/no_such_file.ogg", 0, false, nullptr),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(file.open("", 0, false, nullptr), AURA_ERR_FILE_NOTFOUND);
    const char16_t empty[1] = {0};
    EXPECT_EQ(file.open(reinterpret_cast<const char *>(empty), 0, true, nullptr),
              AURA_ERR_FILE_NOTFOUND);
}

TEST(FileElements, BigEndianSwapsAndSignExtends)
{
    const std::vector<uint8_t> data = {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFE, 0x80};
    for (int fill : {0, 4}) {
        AURA::MemoryFile file;
        ASSERT_EQ(file.init(nullptr, 0, fill), AURA_OK);
        ASSERT_EQ(file.open(reinterpret_cast<const char *>(data.data()),
                            static_cast<unsigned int>(data.size()), false, nullptr),
                  AURA_OK);
        file.addFlags(AURA::File::FLAG_BIGENDIAN);
        unsigned short word = 0;
        ASSERT_EQ(file.getWord(&word), AURA_OK);
        EXPECT_EQ(word, 0x1234);
        unsigned int dword = 0;
        ASSERT_EQ(file.getDword(&dword), AURA_OK);
        EXPECT_EQ(dword, 0x12345678u);
        int sbyte = 0;
        ASSERT_EQ(file.getByte(&sbyte), AURA_OK);
        EXPECT_EQ(sbyte, -1);
        unsigned int ubyte = 0;
        ASSERT_EQ(file.getByte(&ubyte), AURA_OK);
        EXPECT_EQ(ubyte, 0xFFu);
        int sword = 0;
        ASSERT_EQ(file.getWord(&sword), AURA_OK);
        EXPECT_EQ(sword, static_cast<int16_t>(0xFE80));
        // At the end: nothing is stored and the end is reported.
        word = 77;
        EXPECT_EQ(file.getWord(&word), AURA_ERR_FILE_EOF);
        EXPECT_EQ(word, 0);
        EXPECT_EQ(file.getByte(static_cast<unsigned char *>(nullptr)), AURA_ERR_FILE_EOF);
        EXPECT_EQ(file.close(), AURA_OK);
    }
}

TEST(FileElements, HostileSizesAreRefused)
{
    const auto data = makeData(64, 3);
    AURA::MemoryFile file;
    ASSERT_EQ(file.init(nullptr, 0, 16), AURA_OK);
    ASSERT_EQ(file.open(reinterpret_cast<const char *>(data.data()), 64, false, nullptr), AURA_OK);
    uint8_t out[8] = {};
    unsigned int got = 5;
    EXPECT_EQ(file.read(out, 0x10000, 0x10000, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(file.read(out, 4, 0x80000000u, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(file.read(nullptr, 1, 1, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(file.tell(nullptr), AURA_ERR_INVALID_PARAM);
    // Seeks far beyond either end stay inside the file.
    ASSERT_EQ(file.seek(0x7FFFFFFF, 1), AURA_OK);
    unsigned int pos = 0;
    ASSERT_EQ(file.tell(&pos), AURA_OK);
    EXPECT_EQ(pos, 64u);
    ASSERT_EQ(file.seek(-0x7FFFFFFF - 1, 2), AURA_OK);
    ASSERT_EQ(file.tell(&pos), AURA_OK);
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(file.close(), AURA_OK);
}

TEST(FileNull, CountsWithoutWriting)
{
    AURA::NullFile file;
    ASSERT_EQ(file.init(nullptr, 0, 0), AURA_OK);
    ASSERT_EQ(file.open(nullptr, 100, false, nullptr), AURA_OK);
    std::vector<uint8_t> out(64, 0xAA);
    unsigned int got = 0;
    EXPECT_EQ(file.reallyRead(out.data(), 64, &got), AURA_OK);
    EXPECT_EQ(got, 64u);
    EXPECT_EQ(file.reallyRead(out.data(), 64, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(got, 36u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xAA; }));
    EXPECT_EQ(file.close(), AURA_OK);
}

TEST(FileDoubleBuffer, HalvesAreWholeMultiplesOfTheOldFill)
{
    const auto data = makeData(20000, 9);
    const struct {
        int fill;
        unsigned int size;
        unsigned int half;
    } cases[] = {{1000, 100, 2000}, {3000, 7000, 6000}, {5000, 2048, 5000}, {7, 2048, 2044}};
    for (const auto &c : cases) {
        AURA::MemoryFile file;
        ASSERT_EQ(file.init(nullptr, 0, c.fill), AURA_OK);
        ASSERT_EQ(file.open(reinterpret_cast<const char *>(data.data()), 20000, false, nullptr),
                  AURA_OK);
        ASSERT_EQ(file.enableDoubleBuffer(c.size, nullptr), AURA_OK);
        EXPECT_EQ(file.getFillSize(), c.half);
        EXPECT_EQ(file.getBufferMemorySize(), 2 * c.half);
        EXPECT_NE(file.getThread(), nullptr);
        EXPECT_EQ(file.close(), AURA_OK);
    }
    EXPECT_EQ(AURA::File::shutDown(), AURA_OK);
}

// The read callback of a file whose background fill is held up.
struct SlowSource {
    const std::vector<uint8_t> *data = nullptr;
    size_t pos = 0;
    std::thread::id reader;
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
};

AURA_RESULT slowOpen(const char *name, int, unsigned int *filesize, void **handle, void **)
{
    auto *src = reinterpret_cast<SlowSource *>(const_cast<char *>(name));
    *filesize = static_cast<unsigned int>(src->data->size());
    *handle = src;
    return AURA_OK;
}

AURA_RESULT slowRead(void *handle, void *buffer, unsigned int size, unsigned int *read, void *)
{
    auto *src = static_cast<SlowSource *>(handle);
    if (std::this_thread::get_id() != src->reader) {
        src->inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    const size_t n = std::min<size_t>(size, src->data->size() - src->pos);
    std::memcpy(buffer, src->data->data() + src->pos, n);
    src->pos += n;
    *read = static_cast<unsigned int>(n);
    if (std::this_thread::get_id() != src->reader) {
        src->done = true;
    }
    return AURA_OK;
}

AURA_RESULT slowSeek(void *handle, unsigned int pos, void *)
{
    static_cast<SlowSource *>(handle)->pos = pos;
    return AURA_OK;
}

TEST(FileCloseThreads, CloseWaitsForARunningFill)
{
    const auto data = makeData(50000, 11);
    SlowSource src;
    src.data = &data;
    src.reader = std::this_thread::get_id();
    AURA::UserFile file;
    AURA::FileCallbacks cb;
    cb.open = slowOpen;
    cb.read = slowRead;
    cb.seek = slowSeek;
    file.setCallbacks(cb);
    ASSERT_EQ(file.init(nullptr, 0, 2048), AURA_OK);
    ASSERT_EQ(file.open(reinterpret_cast<const char *>(&src), 0, false, nullptr), AURA_OK);
    ASSERT_EQ(file.enableDoubleBuffer(2048, nullptr), AURA_OK);
    // Reading into the first half asks the thread for the other one.
    std::vector<uint8_t> out(3000);
    unsigned int got = 0;
    ASSERT_EQ(file.read(out.data(), 1, 3000, &got), AURA_OK);
    ASSERT_EQ(got, 3000u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
    for (int i = 0; i < 200 && !src.inside; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(src.inside.load());
    EXPECT_EQ(file.close(), AURA_OK);
    EXPECT_TRUE(src.done.load());
    EXPECT_EQ(AURA::File::shutDown(), AURA_OK);
}

TEST(FileDiskThreads, OffMainThreadReadsMarkTheDiskBusy)
{
    const auto data = makeData(3000, 5);
    TempDir dir;
    const std::string path = dir.file("data.bin");
    ASSERT_TRUE(dir.ok() && auratest::writeAll(path, data));
    AURA::FileSystemSettings settings;
    ASSERT_EQ(AURA_OS_Thread_GetCurrentID(&settings.mainThreadId), AURA_OK);
    // Any non-null system marks the file as owned; only its presence is read.
    auto *system = reinterpret_cast<AURA::SystemI *>(&settings);
    AURA::DiskFile file;
    ASSERT_EQ(file.init(system, 0, 0), AURA_OK);
    file.setSettings(&settings);
    ASSERT_EQ(file.open(path.c_str(), 0, false, nullptr), AURA_OK);
    // Held by this thread, the disk section keeps the other thread's read waiting.
    ASSERT_EQ(AURA_File_SetDiskBusy(1), AURA_OK);
    std::atomic<bool> finished{false};
    std::vector<uint8_t> out(3000);
    std::thread reader([&] {
        unsigned int got = 0;
        EXPECT_EQ(file.read(out.data(), 1, 3000, &got), AURA_OK);
        EXPECT_EQ(got, 3000u);
        finished = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(finished.load());
    ASSERT_EQ(AURA_File_SetDiskBusy(0), AURA_OK);
    reader.join();
    EXPECT_TRUE(finished.load());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
    // On the main thread the read does not wait for the section.
    ASSERT_EQ(file.seek(0, 0), AURA_OK);
    unsigned int got = 0;
    EXPECT_EQ(file.read(out.data(), 1, 10, &got), AURA_OK);
    EXPECT_EQ(file.close(), AURA_OK);
    EXPECT_EQ(AURA::File::shutDown(), AURA_OK);
}

} // namespace

namespace {

// A read larger than the buffer bypasses it; the block it ends in must
// still be what a seek back into that block reads.
TEST(FileBuffer, ASeekBackAfterAReadPastTheBufferReadsTheFile)
{
    const auto data = makeData(5290, 7);
    for (int fill : {1, 7, 2048}) {
        for (unsigned int first : {5290u, 4096u, 1000u}) {
            SCOPED_TRACE("fill " + std::to_string(fill) + " first " + std::to_string(first));
            AURA::MemoryFile file;
            ASSERT_EQ(file.init(nullptr, 0, fill), AURA_OK);
            ASSERT_EQ(file.open(reinterpret_cast<const char *>(data.data()), static_cast<unsigned int>(data.size()),
                                false, nullptr),
                      AURA_OK);
            // Leave something else in the buffer first.
            uint8_t byte = 0;
            ASSERT_EQ(file.read(&byte, 1, 1, nullptr), AURA_OK);
            ASSERT_EQ(file.seek(0, 0), AURA_OK);
            std::vector<uint8_t> out(first);
            unsigned int got = 0;
            const AURA_RESULT r = file.read(out.data(), 1, first, &got);
            ASSERT_TRUE(r == AURA_OK || r == AURA_ERR_FILE_EOF);
            ASSERT_EQ(got, first);
            for (int back : {1, 3}) {
                ASSERT_EQ(file.seek(-back, 1), AURA_OK);
                std::vector<uint8_t> again(static_cast<size_t>(back));
                ASSERT_EQ(file.read(again.data(), 1, static_cast<unsigned int>(back), &got), AURA_OK);
                EXPECT_TRUE(std::equal(again.begin(), again.end(), data.begin() + first - back)) << back;
            }
            EXPECT_EQ(file.close(), AURA_OK);
        }
    }
}

} // namespace
