// The profiler's modules that sample a system: its CPU use, and a snapshot
// of its whole DSP graph.
#ifndef AURA_PROFILE_CPU_H
#define AURA_PROFILE_CPU_H

#include "profile/aura_profile.h"

namespace AURA {

class DSPI;

#pragma pack(push, 1)
struct ProfilePacketCpu {
    ProfilePacketHeader hdr;
    float dsp;
    float stream;
    float update;
    float geometry;
};
// One visited unit of the graph.
struct ProfileDspRecord {
    uint64_t id;          // the unit's address
    char name[32];
    int32_t numInputs;
    uint8_t active;
    uint8_t bypass;
    int16_t treeLevel;
    uint16_t cpuUsage;    // microseconds of the last read; 0 when inactive
    uint8_t numPeakChannels;
    uint8_t peakMeter[10];
};
#pragma pack(pop)
static_assert(sizeof(ProfilePacketCpu) == 28);
static_assert(sizeof(ProfileDspRecord) == 61);
inline constexpr unsigned int PROFILE_DSP_HEADER = 17; // header, DSP use / 100, channel count

class ProfileCpu : public ProfileModule {
public:
    AURA_RESULT update(SystemI *system, unsigned int delta) override;
};

class ProfileDsp : public ProfileModule {
public:
    ~ProfileDsp() override;
    AURA_RESULT init() override;
    AURA_RESULT release() override;
    AURA_RESULT update(SystemI *system, unsigned int delta) override;
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker) override;

private:
    AURA_RESULT grow(void **buffer, unsigned int *capacity, unsigned int unit, unsigned int fixed);

    DSPI **mStack = nullptr;
    unsigned int mStackCapacity = 0;
    uint8_t *mPacket = nullptr;        // header, then the records
    unsigned int mRecordCapacity = 0;
    unsigned int mNumRecords = 0;
};

} // namespace AURA

#endif // AURA_PROFILE_CPU_H
