#include "core/aura_globals.h"

#include "core/aura_async.h"
#include "core/aura_memory.h"
#include "dsp/aura_dsp_fft.h"
#include "file/aura_file.h"
#include "os/aura_os.h"

#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_globals";

// Serialises the building and the freeing of the shared FFT object.
std::mutex gSharedObjectsLock;
} // namespace

// Built at compile time, so every static initialiser of the program (in any
// order) already finds the pool and the record in place.
constinit MemPool gSystemPoolMem;
constinit Global gGlobalMem(&gSystemPoolMem);
constinit Global *const gGlobal = &gGlobalMem;
constinit std::atomic<int> gSystemInitCount{0};
constinit DSPFFT *gDSPFFT = nullptr;

AURA_RESULT Global::incRef()
{
    gSystemInitCount.fetch_add(1, std::memory_order_acq_rel);
    return AURA_OK;
}

AURA_RESULT Global::decRef()
{
    const int count = gSystemInitCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count < 0) {
        return AURA_ERR_INTERNAL;
    }
    if (count > 0) {
        return AURA_OK;
    }

    // The last system is gone: free what the systems shared.
    (void)AsyncThread::shutDown();
    (void)File::shutDown();
    {
        std::lock_guard<std::mutex> lock(gSharedObjectsLock);
        if (gDSPFFT) {
            // The FFT holds only plain arrays; its memory is simply returned.
            AURA_Memory_Free(gDSPFFT);
            gDSPFFT = nullptr;
        }
    }
    if (gGlobal->mAsyncCrit) {
        (void)AURA_OS_CriticalSection_Free(gGlobal->mAsyncCrit, false);
        gGlobal->mAsyncCrit = nullptr;
    }
    return AURA_OK;
}

AURA_RESULT Global::getDSPFFT(DSPFFT **fft)
{
    if (!fft) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(gSharedObjectsLock);
    if (!gDSPFFT) {
        static_assert(sizeof(DSPFFT) == 163840, "the shared FFT object is 163,840 bytes");
        void *mem = AURA_Memory_AllocType(static_cast<int>(sizeof(DSPFFT)), MEMORY_TYPE_DSPBUFFER);
        if (!mem) {
            return AURA_ERR_MEMORY;
        }
        gDSPFFT = ::new (mem) DSPFFT();
    }
    *fft = gDSPFFT;
    return AURA_OK;
}

} // namespace AURA
