// The fused voice kernels' vector loops for the baseline instruction set (SSE2 on x86-64; elsewhere the scalar loop does all).
#define AURA_MIX_ENTRY mixRunBaseline
#define AURA_MIX_LANES 4
#include "dsp/units/aura_dsp_mixkernels_impl.h"
