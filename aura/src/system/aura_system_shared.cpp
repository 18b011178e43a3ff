// The reference count of live systems: the last release frees what the
// systems share (the loader and file threads, the FFT object).
#include "base/aura_globals.h"
#include "dsp/units/aura_dsp_fft.h"
#include "file/aura_file.h"
#include "os/aura_os.h"
#include "system/aura_async.h"

namespace AURA {

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
    freeSharedDSPFFT();
    if (gGlobal->mAsyncCrit) {
        (void)AURA_OS_CriticalSection_Free(gGlobal->mAsyncCrit, false);
        gGlobal->mAsyncCrit = nullptr;
    }
    return AURA_OK;
}

} // namespace AURA
