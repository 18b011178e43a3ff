#include "core/aura_systemi.h"

#include "core/aura_memory.h"
#include "core/aura_string.h"
#include "dsp/aura_dsp_connectioni.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/aura_dsp_resampler.h"
#include "dsp/aura_dsp_wavetable.h"
#include "dsp/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstddef>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_system";

// A chunk of request records, kept on the system's chunk list.
struct RequestChunk {
    LinkedListNode mNode;
    DSPConnectionRequest mRecords[SystemI::REQUEST_CHUNK];
};

constexpr AURA_REVERB_PROPERTIES kDefaultAmbientReverb = {
    0, -1, 7.5f, 1.0f, -10000, -10000, 0, 1.0f, 1.0f, 1.0f, -2602, 0.007f, {0.0f, 0.0f, 0.0f},
    200, 0.011f, {0.0f, 0.0f, 0.0f}, 0.25f, 0.0f, 0.25f, 0.0f, -5.0f, 5000.0f, 250.0f, 0.0f,
    0.0f, 0.0f, 0x33F};
} // namespace

SystemI::SystemI()
{
    mGlobalNode.initNode();
    mChannelFreeListHead.initNode();
    mChannelSortedListHead.initNode();
    mChannelGroupHead.initNode();
    mConnectionRequestUsedHead.initNode();
    mConnectionRequestFreeHead.initNode();
    mConnectionRequestChunks.initNode();
    mDSPHead.initNode();
    mSoundHead.initNode();
    mStreamVoiceHead.initNode();
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

AURA_RESULT SystemI::getDSPBufferSize(unsigned int *bufferlength, int *numbuffers)
{
    if (bufferlength) {
        *bufferlength = mDSPBlockSize;
    }
    if (numbuffers) {
        *numbuffers = mDSPBlockSize ? static_cast<int>(mDSPBufferSize / mDSPBlockSize) : 0;
    }
    return AURA_OK;
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

AURA_RESULT SystemI::closeDSPEngine()
{
    if (mDSPSoundCard) {
        (void)mDSPSoundCard->release(true);
        mDSPSoundCard = nullptr;
    }
    // Units still listed are the caller's to release; forget them here so
    // that none points at this system's freed pools.
    while (!mDSPHead.isEmpty()) {
        LinkedListNode *node = mDSPHead.mNext;
        node->removeNode();
        node->mData = nullptr;
    }
    mDSPConnectionPool.close();
    (void)mHistoryBufferPool.release();
    (void)mSpeakerLevelsPool.release();
    for (float *&level : mDSPLevelBuffer) {
        AURA_Memory_Free(level);
        level = nullptr;
    }
    AURA_Memory_Free(mDSPTempBufferMemory);
    mDSPTempBufferMemory = nullptr;
    mDSPTempBuffer = nullptr;
    while (!mConnectionRequestChunks.isEmpty()) {
        auto *chunk = reinterpret_cast<RequestChunk *>(mConnectionRequestChunks.mNext);
        chunk->mNode.removeNode();
        AURA_Memory_Free(chunk);
    }
    mConnectionRequestUsedHead.initNode();
    mConnectionRequestFreeHead.initNode();
    (void)AURA_OS_CriticalSection_Free(mDSPConnectionCrit, false);
    (void)AURA_OS_CriticalSection_Free(mDSPCrit, false);
    mDSPConnectionCrit = nullptr;
    mDSPCrit = nullptr;
    return AURA_OK;
}

AURA_RESULT SystemI::growConnectionRequests()
{
    static_assert(offsetof(RequestChunk, mNode) == 0);
    auto *chunk = static_cast<RequestChunk *>(AURA_Memory_Calloc(static_cast<int>(sizeof(RequestChunk))));
    if (!chunk) {
        return AURA_ERR_MEMORY;
    }
    chunk->mNode.addBefore(mConnectionRequestChunks);
    for (DSPConnectionRequest &record : chunk->mRecords) {
        record.mNode.mData = nullptr;
        record.mNode.addBefore(mConnectionRequestFreeHead);
    }
    return AURA_OK;
}

AURA_RESULT SystemI::queueDSPConnectionRequest(DSPConnectionRequestType type, DSPI *unit,
                                               DSPI *target, DSPConnectionI *connection,
                                               int inputindex)
{
    if (!mDSPConnectionCrit) {
        return AURA_ERR_UNINITIALIZED;
    }
    CriticalSectionGuard guard(mDSPConnectionCrit);
    if (mConnectionRequestFreeHead.isEmpty()) {
        // More records rather than a flush here: a flush would take the DSP
        // section while this one is held, against the lock order.
        const AURA_RESULT result = growConnectionRequests();
        if (result != AURA_OK) {
            return result;
        }
    }
    auto *record = reinterpret_cast<DSPConnectionRequest *>(mConnectionRequestFreeHead.mNext);
    static_assert(offsetof(DSPConnectionRequest, mNode) == 0);
    record->mNode.removeNode();
    record->mThis = unit;
    record->mTarget = target;
    record->mConnection = connection;
    record->mRequest = type;
    record->mInputIndex = inputindex;
    record->mNode.addBefore(mConnectionRequestUsedHead);
    return AURA_OK;
}

AURA_RESULT SystemI::flushDSPConnectionRequests(bool lockdsp)
{
    if (!mDSPConnectionCrit) {
        return AURA_OK;
    }
    // The DSP section first, as everywhere.
    CriticalSectionGuard dspGuard(lockdsp ? mDSPCrit : nullptr);
    CriticalSectionGuard guard(mDSPConnectionCrit);
    if (mFlushingDSPConnectionRequests || mConnectionRequestUsedHead.isEmpty()) {
        return AURA_OK;
    }
    mFlushingDSPConnectionRequests = true;
    while (!mConnectionRequestUsedHead.isEmpty()) {
        auto *record = reinterpret_cast<DSPConnectionRequest *>(mConnectionRequestUsedHead.mNext);
        record->mNode.removeNode();
        DSPI *unit = record->mThis;
        DSPI *target = record->mTarget;
        AURA_RESULT result = AURA_OK;
        switch (record->mRequest) {
        case DSPCONNECTION_REQUEST_ADDINPUT:
        case DSPCONNECTION_REQUEST_ADDINPUT_CHECKCYCLE:
            result = unit->addInputInternal(target, record->mRequest == DSPCONNECTION_REQUEST_ADDINPUT_CHECKCYCLE,
                                            record->mConnection, nullptr, false);
            if (result != AURA_OK) {
                // The link was refused: its connection goes back, not astray.
                (void)mDSPConnectionPool.free(record->mConnection, false);
            }
            break;
        case DSPCONNECTION_REQUEST_DISCONNECTFROM:
            (void)unit->disconnectFromInternal(target, record->mConnection, false);
            (target ? target : unit)->clearFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
            break;
        case DSPCONNECTION_REQUEST_DISCONNECTALLINPUTS:
            (void)unit->disconnectAllInternal(true, false, false);
            break;
        case DSPCONNECTION_REQUEST_DISCONNECTALLOUTPUTS:
            (void)unit->disconnectAllInternal(false, true, false);
            unit->clearFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
            break;
        case DSPCONNECTION_REQUEST_DISCONNECTALL:
            (void)unit->disconnectAllInternal(true, true, false);
            unit->clearFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
            break;
        case DSPCONNECTION_REQUEST_INSERTINBETWEEN:
        case DSPCONNECTION_REQUEST_INSERTINBETWEEN_SEARCH:
            result = unit->insertInputBetweenInternal(
                target, record->mInputIndex, record->mRequest == DSPCONNECTION_REQUEST_INSERTINBETWEEN_SEARCH,
                record->mConnection, false);
            if (record->mConnection && record->mConnection->mInUse && !record->mConnection->mOutputUnit) {
                (void)mDSPConnectionPool.free(record->mConnection, false);
            }
            if (result == AURA_OK) {
                target->setFlags(DSPI_FLAG_INSERTED);
                (void)target->reset();
                target->setActive(true);
            }
            break;
        case DSPCONNECTION_REQUEST_UPDATE:
            if (unit->mDescription.update) {
                unit->mDSPState.instance = unit;
                (void)unit->mDescription.update(&unit->mDSPState);
            }
            break;
        }
        record->mNode.addBefore(mConnectionRequestFreeHead);
    }
    mFlushingDSPConnectionRequests = false;
    return AURA_OK;
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
            unit = ::new (memory) DSPFilter;
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

AURA_RESULT SystemI::lockDSP()
{
    return AURA_OS_CriticalSection_Enter(mDSPCrit);
}

AURA_RESULT SystemI::unlockDSP()
{
    return AURA_OS_CriticalSection_Leave(mDSPCrit);
}

unsigned int SystemI::nextDSPTick()
{
    if (++mDSPTick == 0) {
        mDSPTick = 1;
    }
    return mDSPTick;
}

float *SystemI::getLevelBuffer(int level)
{
    if (level < 0 || level >= DSP_MAXTREEDEPTH) {
        return nullptr;
    }
    if (!mDSPLevelBuffer[level]) {
        const int64_t bytes =
            static_cast<int64_t>(std::max(mMaxInputChannels, mMaxOutputChannels)) * mDSPBlockSize * 4 + 16;
        if (bytes > MemPool::MAX_SIZE) {
            return nullptr;
        }
        mDSPLevelBuffer[level] = static_cast<float *>(
            AURA::gGlobal->mMemPool->alloc(static_cast<int>(bytes), AURA_ALLOC_TAG, __LINE__,
                                           MEMORY_TYPE_DSPBUFFER, true));
        if (!mDSPLevelBuffer[level]) {
            return nullptr;
        }
    }
    return reinterpret_cast<float *>((reinterpret_cast<uintptr_t>(mDSPLevelBuffer[level]) + 15) &
                                     ~uintptr_t{15});
}

} // namespace AURA
