// The base of every object the plug-in registry hands out: codecs, DSP
// units and outputs.
#ifndef AURA_PLUGIN_H
#define AURA_PLUGIN_H

#include "aura.h"

namespace AURA {

// A description record that `fill` makes the first time it is asked for,
// once for every thread: systems made on several threads look codecs, units
// and outputs up at the same time, and none sees a record being rewritten.
// (Each caller's lambda is a type of its own, with a guard of its own.) A
// function-local static rather than std::call_once: glibc's pthread_once,
// under call_once, wakes waiters with a system call even when there are
// none, some forty of them at a process's first system.
template <class Record, class Fill>
Record *describeOnce(Record &record, Fill fill)
{
    [[maybe_unused]] static const bool filled = (fill(record), true);
    return &record;
}

class Plugin {
public:
    virtual ~Plugin() = default;
    virtual AURA_RESULT release() = 0;
};

} // namespace AURA

#endif // AURA_PLUGIN_H
