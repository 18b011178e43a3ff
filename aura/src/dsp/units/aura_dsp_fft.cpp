#include "dsp/units/aura_dsp_fft.h"

#include "base/aura_globals.h"
#include "base/aura_memory.h"

#include <cmath>
#include <mutex>
#include <new>

namespace AURA {

namespace {
// The shared object was always reported as the globals' allocation.
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_globals";

// Serialises the building and the freeing of the shared FFT object.
std::mutex gSharedObjectsLock;
} // namespace

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

void freeSharedDSPFFT()
{
    std::lock_guard<std::mutex> lock(gSharedObjectsLock);
    if (gDSPFFT) {
        // The FFT holds only plain arrays; its memory is simply returned.
        AURA_Memory_Free(gDSPFFT);
        gDSPFFT = nullptr;
    }
}

DSPFFT::DSPFFT() : mBuffer{}
{
    mCosTab[0] = 1.0f;
    for (int i = 1; i < COSTAB_SIZE; ++i) {
        mCosTab[i] = std::cos(static_cast<float>(i) * 1.5707964f * (1.0f / 8192.0f));
    }
}

float DSPFFT::cosine(float u) const
{
    int k = static_cast<int>(u * 32768.0f);
    if (k < 0) {
        k = -k;
    }
    k &= 0x7fff;
    switch (k >> 13) {
    case 0:
        return mCosTab[k];
    case 1:
        return -mCosTab[0x3fff - k];
    case 2:
        return -mCosTab[k - 0x4000];
    default:
        return mCosTab[0x7fff - k];
    }
}

} // namespace AURA
