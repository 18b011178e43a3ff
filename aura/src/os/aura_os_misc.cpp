// Thread ids, time and the raw C-library allocator of the OS layer.
#include "os/aura_os.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The monotonic clock in units of 1/perSecond s, cut to 32 bits.
unsigned int monotonicTicks(unsigned long long perSecond)
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto total = static_cast<unsigned long long>(ts.tv_sec) * perSecond +
                       static_cast<unsigned long long>(ts.tv_nsec) / (1000000000ULL / perSecond);
    return static_cast<unsigned int>(total);
}

} // namespace

AURA_RESULT AURA_OS_Thread_GetCurrentID(unsigned int *id)
{
    if (!id) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The kernel's thread id: unique among live threads, and the id that
    // /proc/self/task lists. Asked once per thread: allocations read it.
    static thread_local const unsigned int tid = static_cast<unsigned int>(::gettid());
    *id = tid;
    return AURA_OK;
}

AURA_RESULT AURA_OS_Time_GetMs(unsigned int *ms)
{
    if (!ms) {
        return AURA_ERR_INVALID_PARAM;
    }
    *ms = monotonicTicks(1000ULL);
    return AURA_OK;
}

AURA_RESULT AURA_OS_Time_GetNs(unsigned int *us)
{
    if (!us) {
        return AURA_ERR_INVALID_PARAM;
    }
    *us = monotonicTicks(1000000ULL);
    return AURA_OK;
}

AURA_RESULT AURA_OS_Time_Sleep(unsigned int ms)
{
    struct timespec req {};
    req.tv_sec = static_cast<time_t>(ms / 1000);
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // Sleep the whole time even when a signal interrupts.
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
    return AURA_OK;
}

void *AURA_OS_Memory_Alloc(unsigned int size, unsigned int /*type*/)
{
    return std::malloc(size);
}

void *AURA_OS_Memory_Calloc(unsigned int size, unsigned int /*type*/)
{
    return std::calloc(1, size);
}

void *AURA_OS_Memory_Realloc(void *ptr, unsigned int size, unsigned int /*type*/)
{
    return std::realloc(ptr, size);
}

void AURA_OS_Memory_PrepareWrite(void *ptr, size_t bytes)
{
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23; // Linux 5.14 on; older kernels refuse it (EINVAL)
#endif
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (!ptr || pageSize <= 0) {
        return;
    }
    const auto page = static_cast<uintptr_t>(pageSize);
    const auto start = reinterpret_cast<uintptr_t>(ptr);
    const uintptr_t begin = (start + page - 1) & ~(page - 1);
    const uintptr_t end = (start + bytes) & ~(page - 1);
    if (end > begin) {
        (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
    }
}

namespace {
// The large pages of transparent huge page support over 4 KiB pages.
constexpr size_t LARGE_PAGE = size_t{2} << 20;
// What the C library keeps before a block it maps by itself, and what it
// adds to a request before rounding the mapping to whole pages.
constexpr size_t MALLOC_OVERHEAD = 32;

bool hasLargePages()
{
    static const bool has = sysconf(_SC_PAGESIZE) == 4096;
    return has;
}
} // namespace

size_t AURA_OS_Memory_LargeBlockSize(size_t bytes)
{
    if (!hasLargePages() || bytes < LARGE_PAGE || bytes > SIZE_MAX / 2) {
        return bytes;
    }
    // A mapping of whole large pages is placed on a large page by the
    // kernel; the C library maps its request plus its overhead.
    return ((bytes + MALLOC_OVERHEAD + LARGE_PAGE - 1) & ~(LARGE_PAGE - 1)) - MALLOC_OVERHEAD;
}

void AURA_OS_Memory_PreferLargePages(void *ptr, size_t bytes)
{
    if (!ptr || !hasLargePages()) {
        return;
    }
    const auto start = reinterpret_cast<uintptr_t>(ptr);
    // A block that starts or ends a few bytes from a large page's edge
    // (the allocator's header and trailer, on the same small page, so in
    // the same mapping) takes that page too; otherwise only the large pages
    // inside it.
    constexpr uintptr_t small = 4096;
    uintptr_t begin = start & ~(LARGE_PAGE - 1);
    if (start - begin >= small) {
        begin += LARGE_PAGE;
    }
    uintptr_t end = (start + bytes + small - 1) & ~(small - 1);
    end &= ~(LARGE_PAGE - 1);
    if (end > begin) {
        (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
}

void AURA_OS_Memory_Free(void *ptr, unsigned int /*type*/)
{
    std::free(ptr);
}
