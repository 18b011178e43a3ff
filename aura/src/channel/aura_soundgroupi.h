// Sound groups: sounds the game scales together. Every channel that plays a
// sound of a group is kept in the group's list, ordered by its audibility
// before fades (its second sort key), and the group's volume is mixed into
// those channels' voices.
#ifndef AURA_SOUNDGROUPI_H
#define AURA_SOUNDGROUPI_H

#include "aura.h"
#include "aura.hpp"
#include "base/aura_globals.h"

#include <atomic>

namespace AURA {

class SystemI;
class SoundI;
class ChannelI;

class SoundGroupI : public SoundGroup {
public:
    SoundGroupI();
    ~SoundGroupI();
    SoundGroupI(const SoundGroupI &) = delete;
    SoundGroupI &operator=(const SoundGroupI &) = delete;

    // 37 unless the handle is a group of a live system.
    static AURA_RESULT validate(const void *handle, SoundGroupI **group);

    // Clamped to 0..1; the group's playing channels are mixed again.
    AURA_RESULT setVolumeInternal(float volume);
    // The sounds of the group belong to no group from here on, and their
    // channels are mixed without its volume; then the group is freed.
    AURA_RESULT releaseInternal();
    // Moves a sound into this group (null: out of every group) and brings
    // the channels that play it along.
    static AURA_RESULT setSoundGroup(SoundI *sound, SoundGroupI *group);
    // To the front of the system's list: the most recently played first.
    void markPlayed();

    LinkedListNode mNode; // the system's list of sound groups
    LinkedListNode mSoundHead; // its sounds (their mSoundGroupNode)
    LinkedListNode mChannelListHead; // channels of its sounds, by second sort key
    SystemI *mSystem = nullptr;
    char *mName = nullptr;
    // Read by voices as they mix on whatever thread drives them.
    std::atomic<float> mVolume{1.0f};
};

} // namespace AURA

#endif // AURA_SOUNDGROUPI_H
