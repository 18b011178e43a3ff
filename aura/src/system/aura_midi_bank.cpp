// The DLS banks of MIDI sounds: one sound per bank name and system, shared
// by every MIDI sound that names it and released with the last of them. A
// bank opens with none of its waves; each wave is loaded the first time a
// song can reach it. MIDI sounds open on callers' threads and on the
// non-blocking loader at once, so the cache and the loads share one lock.
#include "music/aura_codec_midi.h"

#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"

#include <cstring>
#include <mutex>

namespace AURA {

struct MIDIBank {
    LinkedListNode mNode;
    char mName[257] = {};
    SystemI *mSystem = nullptr;
    SoundI *mSound = nullptr;
    int mCount = 0;
};

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_midi_bank";

std::mutex gDLSCacheLock;
LinkedListNode &cacheHead()
{
    struct Head {
        LinkedListNode node;
        Head() { node.initNode(); }
    };
    static Head head;
    return head.node;
}
} // namespace

AURA_RESULT openMIDIBank(Codec *codec, const char *name, MIDIBank **bank, CodecDLS **dls, int *numwaves)
{
    if (!codec || !codec->mSystem || !name || !bank || !dls || !numwaves) {
        return AURA_ERR_INVALID_PARAM;
    }
    *bank = nullptr;
    std::lock_guard<std::mutex> lock(gDLSCacheLock);
    LinkedListNode &head = cacheHead();
    MIDIBank *entry = nullptr;
    for (LinkedListNode *n = head.mNext; n != &head; n = n->mNext) {
        auto *candidate = static_cast<MIDIBank *>(n->mData);
        if (candidate->mSystem == codec->mSystem && std::strncmp(candidate->mName, name, 256) == 0) {
            entry = candidate;
            break;
        }
    }
    if (!entry) {
        int none = -1;
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.inclusionlist = &none;
        exinfo.inclusionlistnum = 1;
        SoundI *sound = nullptr;
        AURA_RESULT result = codec->mSystem->createSoundInternal(name, AURA_2D, 0, 0, &exinfo, false, &sound);
        if (result != AURA_OK) {
            return result;
        }
        {
            // The cache owns the bank: the system's release of its sounds
            // must not free it under the songs that play it.
            std::lock_guard<std::mutex> soundLock(codec->mSystem->mSoundListLock);
            sound->mSoundNode.removeNode();
        }
        // Only a DLS collection is a bank.
        if (sound->mType != AURA_SOUND_TYPE_DLS || !sound->mSubSoundCodec) {
            (void)sound->releaseInternal(true);
            return AURA_ERR_FORMAT;
        }
        entry = AURA_New(MIDIBank);
        if (!entry) {
            (void)sound->releaseInternal(true);
            return AURA_ERR_MEMORY;
        }
        std::strncpy(entry->mName, name, 256);
        entry->mSystem = codec->mSystem;
        entry->mSound = sound;
        entry->mNode.initNode();
        entry->mNode.mData = entry;
        entry->mNode.addBefore(head);
    }
    ++entry->mCount;
    *bank = entry;
    *dls = static_cast<CodecDLS *>(entry->mSound->mSubSoundCodec);
    *numwaves = entry->mSound->mNumSubSounds;
    return AURA_OK;
}

AURA_RESULT getMIDIBankWave(MIDIBank *bank, int index, bool load, void **sound, float *frequency)
{
    if (!bank || !sound || !frequency) {
        return AURA_ERR_INVALID_PARAM;
    }
    *sound = nullptr;
    std::lock_guard<std::mutex> lock(gDLSCacheLock);
    if (load) {
        const AURA_RESULT result = bank->mSound->loadSubSound(index, AURA_2D | AURA_SOFTWARE);
        if (result != AURA_OK) {
            return result;
        }
    }
    SoundI *wave = nullptr;
    const AURA_RESULT result = bank->mSound->getSubSound(index, &wave);
    if (result != AURA_OK) {
        return result;
    }
    if (!wave) {
        return AURA_ERR_NOTREADY;
    }
    *sound = wave;
    *frequency = wave->mDefaultFrequency;
    return AURA_OK;
}

void releaseMIDIBank(MIDIBank *bank)
{
    if (!bank) {
        return;
    }
    std::lock_guard<std::mutex> lock(gDLSCacheLock);
    if (--bank->mCount > 0) {
        return;
    }
    bank->mNode.removeNode();
    (void)bank->mSound->releaseInternal(true);
    AURA_Delete(bank);
}

int countMIDIBanks()
{
    std::lock_guard<std::mutex> lock(gDLSCacheLock);
    int count = 0;
    LinkedListNode &head = cacheHead();
    for (LinkedListNode *n = head.mNext; n != &head; n = n->mNext) {
        ++count;
    }
    return count;
}

} // namespace AURA
