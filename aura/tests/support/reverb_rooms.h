// The generic room the reverb tests start from.
#ifndef AURA_TESTS_SUPPORT_REVERB_ROOMS_H
#define AURA_TESTS_SUPPORT_REVERB_ROOMS_H

#include "aura.h"

namespace auratest {

inline AURA_REVERB_PROPERTIES genericRoom(int instance = 0)
{
    AURA_REVERB_PROPERTIES p{};
    p.Instance = instance;
    p.Environment = 0;
    p.Room = -1000;
    p.RoomHF = -100;
    p.DecayTime = 1.49f;
    p.DecayHFRatio = 0.83f;
    p.Reflections = -2602;
    p.ReflectionsDelay = 0.007f;
    p.Reverb = 200;
    p.ReverbDelay = 0.011f;
    p.HFReference = 5000.0f;
    p.Diffusion = 100.0f;
    p.Density = 100.0f;
    return p;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_REVERB_ROOMS_H
