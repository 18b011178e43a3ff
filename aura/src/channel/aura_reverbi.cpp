#include "channel/aura_reverbi.h"

#include "base/aura_memory.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_reverbi";
} // namespace

ReverbI::ReverbI()
{
    mNode.initNode();
    mNode.mData = this;
    mProperties.Environment = -1;
}

AURA_RESULT ReverbI::set3DAttributesInternal(const AURA_VECTOR *position, float mindistance, float maxdistance)
{
    if (!position || !std::isfinite(position->x) || !std::isfinite(position->y) || !std::isfinite(position->z) ||
        !(mindistance > 0.0f) || !std::isfinite(maxdistance) || !(maxdistance > mindistance)) {
        return AURA_ERR_INVALID_PARAM;
    }
    mPosition = *position;
    mMinDistance = mindistance;
    mMaxDistance = maxdistance;
    return AURA_OK;
}

float ReverbI::getPresence(const AURA_VECTOR &position) const
{
    const double dx = static_cast<double>(position.x) - mPosition.x;
    const double dy = static_cast<double>(position.y) - mPosition.y;
    const double dz = static_cast<double>(position.z) - mPosition.z;
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (!std::isfinite(d) || d >= mMaxDistance) {
        return 0.0f;
    }
    if (d <= mMinDistance) {
        return 1.0f;
    }
    // set3DAttributesInternal keeps max above min.
    return static_cast<float>((mMaxDistance - d) / (static_cast<double>(mMaxDistance) - mMinDistance));
}

ReverbI::~ReverbI()
{
    (void)release();
}

AURA_REVERB_CHANNELPROPERTIES ReverbI::defaultProperties(int instance)
{
    AURA_REVERB_CHANNELPROPERTIES props = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    if (instance > 0 && instance < MAX_INSTANCES) {
        props.Flags = AURA_REVERB_CHANNELFLAGS_INSTANCE0 << instance;
    }
    return props;
}

AURA_RESULT ReverbI::init(SystemI *system, int numchannels, int instances)
{
    if (numchannels < 0 || instances < 1 || instances > MAX_INSTANCES) {
        return AURA_ERR_INVALID_PARAM;
    }
    (void)release();
    mSystem = system;
    if (numchannels == 0) {
        return AURA_OK;
    }
    const int64_t bytes = static_cast<int64_t>(sizeof(ReverbChannelData)) * numchannels;
    if (bytes > std::numeric_limits<int>::max()) {
        return AURA_ERR_MEMORY;
    }
    for (int i = 0; i < instances; ++i) {
        auto *records = static_cast<ReverbChannelData *>(AURA_Memory_Calloc(static_cast<int>(bytes)));
        if (!records) {
            (void)release();
            return AURA_ERR_MEMORY;
        }
        const AURA_REVERB_CHANNELPROPERTIES props = defaultProperties(i);
        for (int c = 0; c < numchannels; ++c) {
            records[c].mProps = props;
            records[c].mDSPConnection = nullptr;
            records[c].mPresenceGain = 1.0f;
        }
        mInstance[i].mChannelData = records;
    }
    mNumChannels = numchannels;
    mNumInstances = instances;
    return AURA_OK;
}

AURA_RESULT ReverbI::release()
{
    for (ReverbInstance &instance : mInstance) {
        if (instance.mChannelData) {
            AURA_Memory_Free(instance.mChannelData);
            instance.mChannelData = nullptr;
        }
    }
    mNumChannels = 0;
    mNumInstances = 0;
    return AURA_OK;
}

ReverbChannelData *ReverbI::data(int instance, int channel) const
{
    if (instance < 0 || instance >= mNumInstances || channel < 0 || channel >= mNumChannels) {
        return nullptr;
    }
    return &mInstance[instance].mChannelData[channel];
}

AURA_RESULT ReverbI::getChanProperties(int instance, int channel, AURA_REVERB_CHANNELPROPERTIES *props,
                                       DSPConnectionI **connection) const
{
    const ReverbChannelData *record = data(instance, channel);
    if (!record) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (props) {
        *props = record->mProps;
    }
    if (connection) {
        *connection = record->mDSPConnection;
    }
    return AURA_OK;
}

AURA_RESULT ReverbI::setChanProperties(int instance, int channel, const AURA_REVERB_CHANNELPROPERTIES *props,
                                       DSPConnectionI *connection)
{
    ReverbChannelData *record = data(instance, channel);
    if (!record) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (props) {
        record->mProps = *props;
    }
    if (connection) {
        record->mDSPConnection = connection;
    }
    return AURA_OK;
}

AURA_RESULT ReverbI::resetChanProperties(int instance, int channel)
{
    ReverbChannelData *record = data(instance, channel);
    if (!record) {
        return AURA_ERR_INVALID_PARAM;
    }
    record->mProps = defaultProperties(instance);
    return AURA_OK;
}

AURA_RESULT ReverbI::resetConnectionPointer(int instance, int channel)
{
    ReverbChannelData *record = data(instance, channel);
    if (!record) {
        return AURA_ERR_INVALID_PARAM;
    }
    record->mDSPConnection = nullptr;
    return AURA_OK;
}

AURA_RESULT ReverbI::setPresenceGain(int instance, int channel, float gain)
{
    ReverbChannelData *record = data(instance, channel);
    if (!record) {
        return AURA_ERR_INVALID_PARAM;
    }
    record->mPresenceGain = gain;
    return AURA_OK;
}

AURA_RESULT ReverbI::getPresenceGain(int instance, int channel, float *gain) const
{
    if (!gain) {
        return AURA_ERR_INVALID_PARAM;
    }
    const ReverbChannelData *record = data(instance, channel);
    if (!record) {
        return AURA_ERR_INVALID_PARAM;
    }
    *gain = record->mPresenceGain;
    return AURA_OK;
}

} // namespace AURA
