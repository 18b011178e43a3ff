// The voice benchmark's plain fused loop for avx512.
#define REFERENCE_ENTRY referenceMixAVX512
#define REFERENCE_LANES 16
#include "bench_reference_mix_impl.h"
