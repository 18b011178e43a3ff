// A short interface sound (the online screens' swipe, select and message
// sounds), played through the system-sound service.
#ifndef MERIX_SOUNDEFFECT_H
#define MERIX_SOUNDEFFECT_H

#include "platform/media.h"

#include <string>

namespace merix {

class SoundEffect {
public:
    // A file that is missing or not a WAV leaves soundID() at 0: play()
    // then does nothing, and nothing is reported.
    explicit SoundEffect(const std::string &path);
    ~SoundEffect();
    SoundEffect(const SoundEffect &) = delete;
    SoundEffect &operator=(const SoundEffect &) = delete;

    void play() const;
    [[nodiscard]] platform::SystemSoundID soundID() const { return mSoundID; }

private:
    platform::SystemSoundID mSoundID = 0;
};

} // namespace merix

#endif // MERIX_SOUNDEFFECT_H
