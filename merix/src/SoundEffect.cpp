#include "merix/SoundEffect.h"

namespace merix {

SoundEffect::SoundEffect(const std::string &path)
    : mSoundID(platform::createSystemSound(path))
{
}

SoundEffect::~SoundEffect()
{
    if (mSoundID != 0)
        platform::disposeSystemSound(mSoundID);
}

void SoundEffect::play() const
{
    if (mSoundID != 0)
        platform::playSystemSound(mSoundID);
}

} // namespace merix
