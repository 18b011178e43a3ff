// The voice benchmark's plain fused loop for avx2.
#define REFERENCE_ENTRY referenceMixAVX2
#define REFERENCE_LANES 8
#include "bench_reference_mix_impl.h"
