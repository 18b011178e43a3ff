// The registry of the unit handles the public interface gave out.
#ifndef AURA_DSP_API_H
#define AURA_DSP_API_H

namespace AURA {

class SystemI;

// Releases every unit a system that is going away still has out.
void releaseSystemDSPs(const SystemI *system);

} // namespace AURA

#endif // AURA_DSP_API_H
