#include "system/aura_profile_cpu.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "dsp/aura_dspi.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "system/aura_systemi.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_profile_dsp";
constexpr unsigned int STACK_START = 32;
constexpr unsigned int RECORDS_START = 300;
} // namespace

namespace AURA {

AURA_RESULT ProfileCpu::update(SystemI *system, unsigned int)
{
    ProfilePacketCpu packet{};
    if (!system || system->getCPUUsage(&packet.dsp, &packet.stream, &packet.geometry, &packet.update, nullptr) != AURA_OK) {
        return AURA_OK;
    }
    packet.hdr = {sizeof(packet), 0, PROFILE_PACKET_CPU, 0, 1, 0};
    Profile *profile = AURA_Profile_Get();
    return profile ? profile->addPacket(&packet.hdr) : AURA_OK;
}

ProfileDsp::~ProfileDsp()
{
    (void)release();
}

AURA_RESULT ProfileDsp::grow(void **buffer, unsigned int *capacity, unsigned int unit, unsigned int fixed)
{
    const unsigned int wanted = *capacity ? *capacity * 2 : (unit == sizeof(DSPI *) ? STACK_START : RECORDS_START);
    if (static_cast<uint64_t>(wanted) * unit + fixed > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    void *grown = AURA_Memory_Alloc(static_cast<int>(wanted * unit + fixed));
    if (!grown) {
        return AURA_ERR_MEMORY;
    }
    if (*buffer) {
        std::memcpy(grown, *buffer, *capacity * unit + fixed);
        AURA_Memory_Free(*buffer);
    }
    *buffer = grown;
    *capacity = wanted;
    return AURA_OK;
}

AURA_RESULT ProfileDsp::init()
{
    AURA_RESULT result = grow(reinterpret_cast<void **>(&mStack), &mStackCapacity, sizeof(DSPI *), 0);
    if (result == AURA_OK) {
        result = grow(reinterpret_cast<void **>(&mPacket), &mRecordCapacity, sizeof(ProfileDspRecord),
                      PROFILE_DSP_HEADER);
    }
    return result;
}

AURA_RESULT ProfileDsp::release()
{
    if (mStack) {
        AURA_Memory_Free(mStack);
        mStack = nullptr;
    }
    if (mPacket) {
        AURA_Memory_Free(mPacket);
        mPacket = nullptr;
    }
    mStackCapacity = 0;
    mRecordCapacity = 0;
    return AURA_OK;
}

AURA_RESULT ProfileDsp::update(SystemI *system, unsigned int)
{
    if (!system || !system->mDSPSoundCard || !mStack || !mPacket) {
        return AURA_OK;
    }
    {
        CriticalSectionGuard guard(system->mDSPCrit);
        mNumRecords = 0;
        unsigned int depth = 0;
        mStack[depth++] = system->mDSPSoundCard;
        while (depth > 0) {
            if (mNumRecords == mRecordCapacity) {
                const AURA_RESULT result = grow(reinterpret_cast<void **>(&mPacket), &mRecordCapacity,
                                                sizeof(ProfileDspRecord), PROFILE_DSP_HEADER);
                if (result != AURA_OK) {
                    return result;
                }
            }
            DSPI *unit = mStack[--depth];
            ProfileDspRecord record{};
            record.id = reinterpret_cast<uintptr_t>(unit);
            char name[32] = {};
            (void)unit->getInfo(name, nullptr, nullptr, nullptr, nullptr);
            std::memcpy(record.name, name, sizeof(record.name));
            int inputs = 0;
            (void)unit->getNumInputs(&inputs, false);
            record.numInputs = inputs;
            record.active = unit->hasFlags(DSPI_FLAG_ACTIVE) ? 1 : 0;
            record.bypass = unit->hasFlags(DSPI_FLAG_BYPASS) ? 1 : 0;
            record.treeLevel = unit->mTreeLevel;
            if (record.active) {
                record.cpuUsage = unit->mCPUUsage;
                record.numPeakChannels = static_cast<uint8_t>(std::min<unsigned short>(unit->mNumPeakChannels, 255));
                std::memcpy(record.peakMeter, unit->mPeakMeter, sizeof(record.peakMeter));
            }
            auto *records = reinterpret_cast<ProfileDspRecord *>(mPacket + PROFILE_DSP_HEADER);
            bool seen = false;
            for (unsigned int i = 0; i < mNumRecords && !seen; ++i) {
                seen = records[i].id == record.id;
            }
            std::memcpy(&records[mNumRecords++], &record, sizeof(record));
            if (seen) {
                continue; // its inputs are in the packet already
            }
            // Inputs from the last to the first: input 0 is visited next.
            for (int i = inputs - 1; i >= 0; --i) {
                DSPI *input = nullptr;
                if (unit->getInput(i, &input, nullptr, false) != AURA_OK || !input) {
                    continue;
                }
                if (depth == mStackCapacity) {
                    const AURA_RESULT result =
                        grow(reinterpret_cast<void **>(&mStack), &mStackCapacity, sizeof(DSPI *), 0);
                    if (result != AURA_OK) {
                        return result;
                    }
                }
                mStack[depth++] = input;
            }
        }
    }
    float dspUsage = 0.0f;
    (void)system->getCPUUsage(&dspUsage, nullptr, nullptr, nullptr, nullptr);
    ProfilePacketHeader header{PROFILE_DSP_HEADER + mNumRecords * static_cast<uint32_t>(sizeof(ProfileDspRecord)), 0,
                               PROFILE_PACKET_DSP, 0, 2, 0};
    std::memcpy(mPacket, &header, sizeof(header));
    const float usage = dspUsage / 100.0f;
    std::memcpy(mPacket + 12, &usage, sizeof(usage));
    mPacket[16] = static_cast<uint8_t>(std::max(system->mMaxInputChannels, system->mMaxOutputChannels));
    Profile *profile = AURA_Profile_Get();
    const AURA_RESULT result = profile ? profile->addPacket(reinterpret_cast<ProfilePacketHeader *>(mPacket)) : AURA_OK;
    return result == AURA_ERR_NET_WOULD_BLOCK ? AURA_OK : result;
}

AURA_RESULT ProfileDsp::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_PROFILE,
                     sizeof(*this) + mStackCapacity * 4 + PROFILE_DSP_HEADER + mRecordCapacity * sizeof(ProfileDspRecord));
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// The system's side

AURA_RESULT SystemI::setAdvancedSettingsInternal(const AURA_ADVANCEDSETTINGS *settings)
{
    if (!settings || settings->cbsize != static_cast<int>(sizeof(AURA_ADVANCEDSETTINGS)) || settings->maxMPEGcodecs < 0 ||
        settings->maxADPCMcodecs < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    mAdvancedSettings = *settings;
    return AURA_OK;
}

AURA_RESULT SystemI::getAdvancedSettingsInternal(AURA_ADVANCEDSETTINGS *settings)
{
    if (!settings || settings->cbsize != static_cast<int>(sizeof(AURA_ADVANCEDSETTINGS))) {
        return AURA_ERR_INVALID_PARAM;
    }
    *settings = mAdvancedSettings;
    return AURA_OK;
}

AURA_RESULT SystemI::getCPUUsage(float *dsp, float *stream, float *geometry, float *update, float *total)
{
    float values[4] = {};
    (void)mDSPTimeStamp.getCPUUsage(&values[0]);
    (void)mStreamTimeStamp.getCPUUsage(&values[1]);
    (void)mGeometryTimeStamp.getCPUUsage(&values[2]);
    (void)mUpdateTimeStamp.getCPUUsage(&values[3]);
    for (auto [out, value] : {std::pair{dsp, values[0]}, std::pair{stream, values[1]}, std::pair{geometry, values[2]},
                              std::pair{update, values[3]}}) {
        if (out) {
            *out = value;
        }
    }
    if (total) {
        *total = values[0] + values[1] + values[2] + values[3];
    }
    return AURA_OK;
}

AURA_RESULT SystemI::startProfiler()
{
    if (AURA_Profile_Get()) {
        return AURA_OK; // another system made it
    }
    AURA_RESULT result = AURA_Profile_Create(mAdvancedSettings.profileport);
    if (result != AURA_OK) {
        return result;
    }
    mProfilerOwner = true;
    auto *dsp = AURA_New(ProfileDsp);
    result = dsp ? AURA_Profile_AddModule(PROFILE_MODULE_DSP, dsp) : AURA_ERR_MEMORY;
    if (result == AURA_OK) {
        auto *cpu = AURA_New(ProfileCpu);
        result = cpu ? AURA_Profile_AddModule(PROFILE_MODULE_CPU, cpu) : AURA_ERR_MEMORY;
    }
    if (result != AURA_OK) {
        stopProfiler();
    }
    return result;
}

void SystemI::stopProfiler()
{
    if (mProfilerOwner) {
        (void)AURA_Profile_Release();
        mProfilerOwner = false;
    }
}

} // namespace AURA
