// The registry of the unit handles the public interface gave out.
#ifndef AURA_DSP_API_H
#define AURA_DSP_API_H

namespace AURA {

class SystemI;

// Forgets every unit handle of a system that is going away.
void forgetSystemDSPs(const SystemI *system);

} // namespace AURA

#endif // AURA_DSP_API_H
