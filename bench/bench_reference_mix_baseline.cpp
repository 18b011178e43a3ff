// The voice benchmark's plain fused loop for baseline.
#define REFERENCE_ENTRY referenceMixBaseline
#define REFERENCE_LANES 4
#include "bench_reference_mix_impl.h"
