#include "dsp/aura_dsp_fft.h"

#include <cmath>

namespace AURA {

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
