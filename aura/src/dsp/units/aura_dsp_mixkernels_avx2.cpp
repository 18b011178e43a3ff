// The fused voice kernels' vector loops for AVX2 with FMA (this file alone is built with -mavx2 -mfma).
#define AURA_MIX_ENTRY mixRunAVX2
#define AURA_MIX_LANES 8
#include "dsp/units/aura_dsp_mixkernels_impl.h"
