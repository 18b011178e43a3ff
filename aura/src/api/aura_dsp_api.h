// The registry of the unit handles the public interface gave out.
#ifndef AURA_DSP_API_H
#define AURA_DSP_API_H

#include "aura.h"

namespace AURA {

class SystemI;

// 0 for null or a live unit handle of the system (a channel's reverb
// connection point), else 37.
AURA_RESULT checkConnectionPoint(const SystemI *system, const void *handle);

// Releases every unit a system that is going away still has out.
void releaseSystemDSPs(const SystemI *system);

} // namespace AURA

#endif // AURA_DSP_API_H
