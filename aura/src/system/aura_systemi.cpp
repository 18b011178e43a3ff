#include "system/aura_systemi.h"

#include "base/aura_memory.h"
#include "base/aura_string.h"
#include "dsp/aura_dsp_connectioni.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_resampler.h"
#include "dsp/units/aura_dsp_wavetable.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstddef>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_system";

constexpr AURA_REVERB_PROPERTIES kDefaultAmbientReverb = {
    0, -1, 7.5f, 1.0f, -10000, -10000, 0, 1.0f, 1.0f, 1.0f, -2602, 0.007f, {0.0f, 0.0f, 0.0f},
    200, 0.011f, {0.0f, 0.0f, 0.0f}, 0.25f, 0.0f, 0.25f, 0.0f, -5.0f, 5000.0f, 250.0f, 0.0f,
    0.0f, 0.0f, 0x33F};
} // namespace

SystemI::SystemI()
{
    mSystemHandle = reinterpret_cast<AURA_SYSTEM *>(static_cast<System *>(this));
    mGlobalNode.initNode();
    mChannelFreeListHead.initNode();
    mChannelSortedListHead.initNode();
    mChannelGroupHead.initNode();
    mSoundGroupHead.initNode();
    mSoundHead.initNode();
    mStreamVoiceHead.initNode();
    mReverbUserHead.initNode();
    (void)AURA_OS_Thread_GetCurrentID(&mFileSettings.mainThreadId);

    static constexpr float kDefaultPositions[MAX_SPEAKERS][2] = {
        {-1.0f, 1.0f}, {1.0f, 1.0f}, {0.0f, 1.0f}, {0.0f, 0.0f},
        {-1.0f, -1.0f}, {1.0f, -1.0f}, {-1.0f, 0.0f}, {1.0f, 0.0f}};
    for (int i = 0; i < MAX_SPEAKERS; ++i) {
        (void)set3DSpeakerPosition(static_cast<AURA_SPEAKER>(i), kDefaultPositions[i][0],
                                   kDefaultPositions[i][1], true);
    }
    (void)setSpeakerMode(AURA_SPEAKERMODE_STEREO);
    (void)setReverbAmbientProperties(&kDefaultAmbientReverb);
}

SystemI::~SystemI()
{
    (void)closeDSPEngine();
}

AURA_RESULT SystemI::initDSPEngine()
{
    if (mDSPCrit) {
        return AURA_ERR_INITIALIZED;
    }
    if (mDSPBlockSize == 0 || mMaxOutputChannels <= 0 || mMaxOutputChannels > DSP_MAXCHANNELS ||
        mMaxInputChannels <= 0 || mMaxInputChannels > DSP_MAXCHANNELS) {
        return AURA_ERR_INVALID_PARAM;
    }
    // Level matrices are at least as wide as the outputs.
    mMaxInputChannels = std::max(mMaxInputChannels, mMaxOutputChannels);

    AURA_RESULT result = AURA_OS_CriticalSection_Create(&mDSPCrit, false);
    if (result == AURA_OK) {
        result = AURA_OS_CriticalSection_Create(&mDSPConnectionCrit, false);
    }
    if (result != AURA_OK) {
        (void)closeDSPEngine();
        return result;
    }
    (void)AURA_OS_CriticalSection_SetRank(mDSPCrit, AURA_OS_LOCKRANK::DSP);
    (void)AURA_OS_CriticalSection_SetRank(mDSPConnectionCrit, AURA_OS_LOCKRANK::DSP_CONNECTION);

    result = growConnectionRequests();
    if (result == AURA_OK) {
        constexpr int kVoices = 64;
        result = mDSPConnectionPool.init(this, 2 * kVoices + 1, std::max(mMaxOutputChannels, 2),
                                         mMaxInputChannels);
    }
    if (result == AURA_OK) {
        // The scratch block holds whatever width a unit may run at.
        const int64_t bytes = static_cast<int64_t>(mMaxInputChannels) * mDSPBlockSize * 4 + 16;
        mDSPTempBufferMemory = bytes <= MemPool::MAX_SIZE ? AURA_Memory_Calloc(static_cast<int>(bytes)) : nullptr;
        if (!mDSPTempBufferMemory) {
            result = AURA_ERR_MEMORY;
        } else {
            mDSPTempBuffer = reinterpret_cast<float *>(
                (reinterpret_cast<uintptr_t>(mDSPTempBufferMemory) + 15) & ~uintptr_t{15});
        }
    }
    if (result == AURA_OK) {
        result = mSpeakerLevelsPool.init(this, std::max(mMaxOutputChannels, static_cast<int>(AURA_SPEAKER_MAX)),
                                         mMaxInputChannels);
    }
    if (result == AURA_OK) {
        AURA_DSP_DESCRIPTION_EX description{};
        AURA_strncpy(description.name, "AURA SoundCard Unit", sizeof(description.name) - 1);
        description.version = 0x00010100;
        description.mCategory = AURA_DSP_CATEGORY_SOUNDCARD;
        description.mFormat = mOutputFormat;
        description.mSize = sizeof(DSPSoundCard);
        DSPI *unit = nullptr;
        // The output pulls the sound card even with the software mixer off.
        result = createDSPInternal(&description, &unit, true);
        if (result == AURA_OK) {
            mDSPSoundCard = static_cast<DSPSoundCard *>(unit);
            mDSPSoundCard->setActive(true);
        }
    }
    if (result != AURA_OK) {
        (void)closeDSPEngine();
    }
    return result;
}

AURA_RESULT SystemI::createDSP(AURA_DSP_DESCRIPTION_EX *description, DSPI **dsp, bool allocate)
{
    if (!description || !dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mFlags & AURA_INIT_SOFTWARE_DISABLE) {
        return AURA_ERR_NEEDSSOFTWARE;
    }
    return createDSPInternal(description, dsp, allocate);
}

AURA_RESULT SystemI::createDSPInternal(AURA_DSP_DESCRIPTION_EX *description, DSPI **dsp, bool allocate)
{
    if (!description || !dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    DSPI *unit = nullptr;
    if (!allocate) {
        unit = *dsp;
        if (!unit) {
            return AURA_ERR_INVALID_PARAM;
        }
    } else {
        switch (description->mCategory) {
        case AURA_DSP_CATEGORY_FILTER: {
            // Room for the unit's own fields after the filter part.
            const std::size_t size = std::max<std::size_t>(description->mSize, sizeof(DSPFilter));
            if (size > static_cast<std::size_t>(MemPool::MAX_SIZE)) {
                return AURA_ERR_INVALID_PARAM;
            }
            void *memory = AURA_Memory_Calloc(static_cast<int>(size));
            if (!memory) {
                return AURA_ERR_MEMORY;
            }
            if (description->construct) {
                unit = description->construct(memory);
            } else {
                unit = ::new (memory) DSPFilter;
            }
            break;
        }
        case AURA_DSP_CATEGORY_SOUNDCARD:
            unit = AURA_New(DSPSoundCard);
            if (!unit) {
                return AURA_ERR_MEMORY;
            }
            break;
        case AURA_DSP_CATEGORY_DSPCODECXMA:
        case AURA_DSP_CATEGORY_DSPCODECCELT:
            return AURA_ERR_FORMAT;
        case AURA_DSP_CATEGORY_DSPCODECMPEG:
        case AURA_DSP_CATEGORY_DSPCODECADPCM:
        case AURA_DSP_CATEGORY_DSPCODECRAW:
            // A source read through the description's callback into a ring.
            unit = AURA_New(DSPResampler);
            if (!unit) {
                return AURA_ERR_MEMORY;
            }
            break;
        case AURA_DSP_CATEGORY_WAVETABLE:
            unit = AURA_New(DSPWaveTable);
            if (!unit) {
                return AURA_ERR_MEMORY;
            }
            break;
        case AURA_DSP_CATEGORY_RESAMPLER:
            unit = AURA_New(DSPResamplerMultiInput);
            if (!unit) {
                return AURA_ERR_MEMORY;
            }
            break;
        default:
            return AURA_ERR_INVALID_PARAM;
        }
    }

    unit->mSystem = this;
    AURA_RESULT result = unit->alloc(description);
    if (result == AURA_OK && description->create) {
        unit->mDSPState.instance = unit;
        result = description->create(&unit->mDSPState);
    }
    if (result != AURA_OK) {
        unit->mSystem = nullptr;
        if (allocate) {
            AURA_Delete(unit);
        }
        return result;
    }
    if (mDSPCrit) {
        CriticalSectionGuard guard(mDSPCrit);
        unit->mNode.mData = unit;
        unit->mNode.addBefore(mDSPHead);
    }
    *dsp = unit;
    return AURA_OK;
}

AURA_RESULT SystemI::createDSPByType(AURA_DSP_TYPE type, DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    return mPluginFactory.createDSPByType(type, dsp);
}

AURA_RESULT SystemI::getDSPHead(DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    *dsp = mDSPSoundCard;
    return mDSPSoundCard ? AURA_OK : AURA_ERR_UNINITIALIZED;
}

} // namespace AURA
