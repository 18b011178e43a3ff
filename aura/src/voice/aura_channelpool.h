// A fixed array of voices, filled once and handed out; it never grows and
// never steals. A bit per voice says which may be free, with a bit per
// word of those above it, so a play among thousands of busy voices finds
// the lowest free one without looking at the others.
#ifndef AURA_CHANNELPOOL_H
#define AURA_CHANNELPOOL_H

#include "aura.h"

#include <cstdint>

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
    // A voice gave itself back (stopped): free searches see it again.
    // Every voice that becomes free comes through here.
    void noteFree(const ChannelReal &voice);
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
    // Voices that may be free, a bit each, and the words of mFreeBits that
    // have a bit set, a bit each. A bit is checked when found: a voice taken
    // by index meanwhile loses its bit then.
    uint64_t *mFreeBits = nullptr;
    uint64_t *mFreeWords = nullptr;
    int mNumFreeWords = 0; // words of mFreeWords

    void markFree(int index);
    void markTaken(int index);
    // The lowest index at or above `from` whose bit is set; -1 for none.
    [[nodiscard]] int nextMarked(int from) const;
    [[nodiscard]] bool isFree(ChannelReal *voice, bool allowreserved) const;
};

} // namespace AURA

#endif // AURA_CHANNELPOOL_H
