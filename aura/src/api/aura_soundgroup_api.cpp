// Sound groups: the handle class, the system's and the sound's members that
// reach them, and the C entry points.
#include "aura.hpp"
#include "channel/aura_soundgroupi.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"

namespace AURA {

AURA_RESULT System::createSoundGroup(const char *name, SoundGroup **soundgroup)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!soundgroup) {
        return AURA_ERR_INVALID_PARAM;
    }
    SoundGroupI *group = nullptr;
    const AURA_RESULT result = system->createSoundGroupInternal(name, &group);
    *soundgroup = group;
    return result;
}

AURA_RESULT Sound::setSoundGroup(SoundGroup *soundgroup)
{
    SoundGroupI *group = nullptr;
    if (soundgroup) {
        const AURA_RESULT check = SoundGroupI::validate(soundgroup, &group);
        if (check != AURA_OK) {
            return check;
        }
    }
    return SoundGroupI::setSoundGroup(static_cast<SoundI *>(this), group);
}

AURA_RESULT SoundGroup::release()
{
    SoundGroupI *group = nullptr;
    const AURA_RESULT check = SoundGroupI::validate(this, &group);
    return check != AURA_OK ? check : group->releaseInternal();
}

AURA_RESULT SoundGroup::setVolume(float volume)
{
    SoundGroupI *group = nullptr;
    const AURA_RESULT check = SoundGroupI::validate(this, &group);
    return check != AURA_OK ? check : group->setVolumeInternal(volume);
}

AURA_RESULT SoundGroup::getVolume(float *volume)
{
    SoundGroupI *group = nullptr;
    const AURA_RESULT check = SoundGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (!volume) {
        return AURA_ERR_INVALID_PARAM;
    }
    *volume = group->mVolume.load(std::memory_order_relaxed);
    return AURA_OK;
}

} // namespace AURA

namespace {

AURA::SoundGroup *asSoundGroup(AURA_SOUNDGROUP *soundgroup)
{
    return reinterpret_cast<AURA::SoundGroup *>(soundgroup);
}

} // namespace

extern "C" {

AURA_RESULT AURA_System_CreateSoundGroup(AURA_SYSTEM *system, const char *name, AURA_SOUNDGROUP **soundgroup)
{
    if (!system || !soundgroup) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::SoundGroup *created = nullptr;
    const AURA_RESULT result = reinterpret_cast<AURA::System *>(system)->createSoundGroup(name, &created);
    *soundgroup = reinterpret_cast<AURA_SOUNDGROUP *>(created);
    return result;
}

AURA_RESULT AURA_Sound_SetSoundGroup(AURA_SOUND *sound, AURA_SOUNDGROUP *soundgroup)
{
    return sound ? reinterpret_cast<AURA::Sound *>(sound)->setSoundGroup(asSoundGroup(soundgroup))
                 : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_SoundGroup_Release(AURA_SOUNDGROUP *soundgroup)
{
    return soundgroup ? asSoundGroup(soundgroup)->release() : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_SoundGroup_SetVolume(AURA_SOUNDGROUP *soundgroup, float volume)
{
    return soundgroup ? asSoundGroup(soundgroup)->setVolume(volume) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_SoundGroup_GetVolume(AURA_SOUNDGROUP *soundgroup, float *volume)
{
    return soundgroup ? asSoundGroup(soundgroup)->getVolume(volume) : AURA_ERR_INVALID_PARAM;
}

} // extern "C"
