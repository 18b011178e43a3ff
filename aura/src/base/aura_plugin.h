// The base of every object the plug-in registry hands out: codecs, DSP
// units and outputs.
#ifndef AURA_PLUGIN_H
#define AURA_PLUGIN_H

#include "aura.h"

#include <mutex>

namespace AURA {

// A description record that `fill` makes the first time it is asked for,
// once for every thread: systems made on several threads look codecs, units
// and outputs up at the same time, and none sees a record being rewritten.
// (Each caller's lambda is a type of its own, with a flag of its own.)
template <class Record, class Fill>
Record *describeOnce(Record &record, Fill fill)
{
    static std::once_flag once;
    std::call_once(once, [&record, &fill] { fill(record); });
    return &record;
}

class Plugin {
public:
    virtual ~Plugin() = default;
    virtual AURA_RESULT release() = 0;
};

} // namespace AURA

#endif // AURA_PLUGIN_H
