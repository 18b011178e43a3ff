#include "base/aura_globals.h"

#include "base/aura_memory.h"

namespace AURA {

// Built at compile time, so every static initialiser of the program (in any
// order) already finds the pool and the record in place.
constinit MemPool gSystemPoolMem;
constinit Global gGlobalMem(&gSystemPoolMem);
constinit Global *const gGlobal = &gGlobalMem;
constinit std::atomic<int> gSystemInitCount{0};
constinit DSPFFT *gDSPFFT = nullptr;

} // namespace AURA
