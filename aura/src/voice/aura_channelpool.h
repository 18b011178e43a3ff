// A fixed array of voices, filled once and handed out; it never grows and
// never steals.
#ifndef AURA_CHANNELPOOL_H
#define AURA_CHANNELPOOL_H

#include "aura.h"

namespace AURA {

class SystemI;
class Output;
class DSPI;
class ChannelReal;

class ChannelPool {
public:
    ChannelPool() = default;
    ~ChannelPool();
    ChannelPool(const ChannelPool &) = delete;
    ChannelPool &operator=(const ChannelPool &) = delete;

    AURA_RESULT init(SystemI *system, Output *output, int count);
    // Puts a voice into a slot (the pool owns it from then on) and inits it.
    AURA_RESULT setChannel(int index, ChannelReal *voice, DSPI *dsp);
    // count voices: any free ones (index -1) or the one of that index.
    AURA_RESULT allocateChannel(ChannelReal **voices, int index, int count, int *found,
                                bool allowreserved = false);
    AURA_RESULT getNumChannels(int *numchannels);
    AURA_RESULT getChannelsUsed(int *channelsused);
    [[nodiscard]] ChannelReal *getChannel(int index) const;
    // Closes and frees every voice and the array.
    AURA_RESULT release();

    int mChannelsUsed = 0; // kept by the voices: +1 at alloc, -1 at stop

private:
    int mNumChannels = 0;
    SystemI *mSystem = nullptr;
    Output *mOutput = nullptr;
    ChannelReal **mChannel = nullptr;
};

} // namespace AURA

#endif // AURA_CHANNELPOOL_H
