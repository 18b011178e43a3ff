#include "dsp/aura_dsp_mixer.h"

#include "base/aura_memory.h"
#include "dsp/aura_dsp_connectioni.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstddef>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_mixer";

// A chunk of request records, kept on the system's chunk list.
struct RequestChunk {
    LinkedListNode mNode;
    DSPConnectionRequest mRecords[DSPMixer::REQUEST_CHUNK];
};
} // namespace

DSPMixer::DSPMixer()
{
    mConnectionRequestUsedHead.initNode();
    mConnectionRequestFreeHead.initNode();
    mConnectionRequestChunks.initNode();
    mDSPHead.initNode();
}

AURA_RESULT DSPMixer::stopDSP(DSPI * /*dsp*/)
{
    return AURA_OK;
}

AURA_RESULT DSPMixer::getDSPBufferSize(unsigned int *bufferlength, int *numbuffers)
{
    if (bufferlength) {
        *bufferlength = mDSPBlockSize;
    }
    if (numbuffers) {
        *numbuffers = mDSPBlockSize ? static_cast<int>(mDSPBufferSize / mDSPBlockSize) : 0;
    }
    return AURA_OK;
}

AURA_RESULT DSPMixer::closeDSPEngine()
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

AURA_RESULT DSPMixer::growConnectionRequests()
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

AURA_RESULT DSPMixer::queueDSPConnectionRequest(DSPConnectionRequestType type, DSPI *unit,
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

AURA_RESULT DSPMixer::flushDSPConnectionRequests(bool lockdsp)
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
                unit->bindState();
                (void)unit->mDescription.update(&unit->mDSPState);
            }
            break;
        }
        record->mNode.addBefore(mConnectionRequestFreeHead);
    }
    mFlushingDSPConnectionRequests = false;
    return AURA_OK;
}

AURA_RESULT DSPMixer::lockDSP()
{
    return AURA_OS_CriticalSection_Enter(mDSPCrit);
}

AURA_RESULT DSPMixer::unlockDSP()
{
    return AURA_OS_CriticalSection_Leave(mDSPCrit);
}

unsigned int DSPMixer::nextDSPTick()
{
    if (++mDSPTick == 0) {
        mDSPTick = 1;
    }
    return mDSPTick;
}

float *DSPMixer::getLevelBuffer(int level)
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
