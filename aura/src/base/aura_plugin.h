// The base of every object the plug-in registry hands out: codecs, DSP
// units and outputs.
#ifndef AURA_PLUGIN_H
#define AURA_PLUGIN_H

#include "aura.h"

namespace AURA {

class Plugin {
public:
    virtual ~Plugin() = default;
    virtual AURA_RESULT release() = 0;
};

} // namespace AURA

#endif // AURA_PLUGIN_H
