// The fused voice kernels' vector loops for AVX-512F (this file alone is built with -mavx512f).
#define AURA_MIX_ENTRY mixRunAVX512
#define AURA_MIX_LANES 16
#include "dsp/units/aura_dsp_mixkernels_impl.h"
