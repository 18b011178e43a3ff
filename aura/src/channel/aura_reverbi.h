// A reverb: four instances, each with an optional reverb unit and, for every
// logical channel of the system, that channel's send properties, its send
// connection into the unit and its presence gain. Without a unit an instance
// only stores what the channels set. The system has three kinds: the global
// reverb (all four instances), the 3D reverb and the user reverbs (instance
// 0 only; a user reverb is also the object behind an AURA::Reverb handle).
#ifndef AURA_REVERBI_H
#define AURA_REVERBI_H

#include "aura.h"
#include "aura.hpp"
#include "base/aura_globals.h"

namespace AURA {

class SystemI;
class DSPI;
class DSPConnectionI;

// One channel's send into one instance.
struct ReverbChannelData {
    AURA_REVERB_CHANNELPROPERTIES mProps;
    DSPConnectionI *mDSPConnection; // the send into the instance's unit; null while not connected
    float mPresenceGain;            // 1.0 unless a 3D reverb placed the channel
};

struct ReverbInstance {
    DSPI *mDSP = nullptr;                      // null: the instance only stores
    ReverbChannelData *mChannelData = nullptr; // one record per logical channel
};

class ReverbI : public Reverb {
public:
    static constexpr int MAX_INSTANCES = 4;

    ReverbI();
    ~ReverbI();
    ReverbI(const ReverbI &) = delete;
    ReverbI &operator=(const ReverbI &) = delete;

    // Sizes every instance for numchannels channels, each record at its
    // defaults. A reverb that was set up before is released first.
    // instances: 4 for the global reverb, 1 for the 3D and user reverbs,
    // whose other instances then do not exist.
    AURA_RESULT init(SystemI *system, int numchannels, int instances = MAX_INSTANCES);
    // Frees the channel records; every channel index is invalid afterwards.
    AURA_RESULT release();

    // Reads a channel's properties and its send connection; either receiver
    // may be null.
    AURA_RESULT getChanProperties(int instance, int channel, AURA_REVERB_CHANNELPROPERTIES *props,
                                  DSPConnectionI **connection) const;
    // Stores the properties when given and the connection when given; a null
    // connection leaves the stored one (resetConnectionPointer forgets it).
    AURA_RESULT setChanProperties(int instance, int channel, const AURA_REVERB_CHANNELPROPERTIES *props,
                                  DSPConnectionI *connection);
    // Back to the defaults, naming this instance in the flags; the
    // connection and the presence gain stay.
    AURA_RESULT resetChanProperties(int instance, int channel);
    AURA_RESULT resetConnectionPointer(int instance, int channel);
    AURA_RESULT setPresenceGain(int instance, int channel, float gain);
    AURA_RESULT getPresenceGain(int instance, int channel, float *gain) const;

    // The properties of a fresh channel in an instance.
    static AURA_REVERB_CHANNELPROPERTIES defaultProperties(int instance);

    // Where a placed reverb is heard: fully within mindistance of position,
    // fading linearly to nothing at maxdistance. 37 for a null or
    // non-finite position, a mindistance not above 0 or not below a finite
    // maxdistance.
    AURA_RESULT set3DAttributesInternal(const AURA_VECTOR *position, float mindistance, float maxdistance);
    // Presence at a point: 1 within the minimum distance, 0 from the
    // maximum on, (max - d) / (max - min) between; 0 for a point that is
    // not a finite number.
    [[nodiscard]] float getPresence(const AURA_VECTOR &position) const;
    // A channel's 3D gain into this reverb (instance 0's presence gain).
    AURA_RESULT set3DGain(int channel, float gain) { return setPresenceGain(0, channel, gain); }

    LinkedListNode mNode;                       // the system's list of user reverbs
    ReverbInstance mInstance[MAX_INSTANCES];
    SystemI *mSystem = nullptr;
    int mNumChannels = 0;
    int mNumInstances = 0;
    float mGainFloor = 0.0f;                    // lower bound of a user reverb's send gain
    bool mActive = true;                        // takes channel sends
    int mMode = 0;                              // 1: channels' sends are set (an active user reverb)
    AURA_VECTOR mPosition{0.0f, 0.0f, 0.0f};
    float mMinDistance = 1.0f;
    float mMaxDistance = 10000.0f;
    AURA_REVERB_PROPERTIES mProperties{};       // the room; Environment -1: no unit

private:
    // The record of a channel in an instance; null for a bad index.
    [[nodiscard]] ReverbChannelData *data(int instance, int channel) const;
};

} // namespace AURA

#endif // AURA_REVERBI_H
