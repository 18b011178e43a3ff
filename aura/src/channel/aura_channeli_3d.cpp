// A logical channel's 3D attenuation (distance, cone, Doppler), its
// geometry occlusion, its audibility and its place in the system's list of
// channels ordered by importance.
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "channel/aura_reverbi.h"
#include "channel/aura_soundgroupi.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelreal.h"

#include <algorithm>
#include <cmath>

namespace AURA {

namespace {

constexpr float kSpeedOfSound = 340.0f; // metres a second
constexpr float kFarAway = 1e9f; // distances from here on are ignored
constexpr float kDefaultFadeMs = 500.0f;

float dot(const AURA_VECTOR &a, const AURA_VECTOR &b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

bool is3D(const ChannelI &channel)
{
    return channel.mNumRealChannels > 0 && (channel.mRealChannel[0]->mMode & AURA_3D);
}

// The distance volume from the rolloff the mode names.
float rolloffVolume(const ChannelI &channel, unsigned int mode, float distance, float rolloffscale)
{
    if (mode & AURA_3D_CUSTOMROLLOFF) {
        const AURA_VECTOR *points = channel.mRolloffPoints;
        const int count = channel.mNumRolloffPoints;
        if (!points || count <= 0) {
            return 1.0f;
        }
        if (distance >= points[count - 1].x) {
            return points[count - 1].y;
        }
        if (distance < points[0].x) {
            return 1.0f;
        }
        for (int i = 0; i + 1 < count; ++i) {
            const AURA_VECTOR &a = points[i];
            const AURA_VECTOR &b = points[i + 1];
            if (distance >= a.x && distance < b.x) {
                const float span = b.x - a.x;
                return span > 0.0f ? a.y + (b.y - a.y) * (distance - a.x) / span : b.y;
            }
        }
        return 1.0f;
    }
    const float lo = channel.mMinDistance;
    const float hi = channel.mMaxDistance;
    float d = std::clamp(distance, lo, std::max(lo, hi));
    if (mode & AURA_3D_LINEARROLLOFF) {
        return hi > lo ? (hi - d) / (hi - lo) : 1.0f;
    }
    if (d > lo && rolloffscale != 1.0f) {
        d = lo + rolloffscale * (d - lo);
    }
    d = std::max(d, 1e-6f);
    return lo / d;
}

// Links a channel's node behind the last channel of the list whose key
// ranks as high or higher, found from the tail: most channels share a
// priority, so this is a step or two, not a walk past every playing channel.
void insertSorted(LinkedListNode &head, LinkedListNode &node, unsigned int ChannelI::*key)
{
    const unsigned int mine = static_cast<ChannelI *>(node.mData)->*key;
    node.removeNode();
    LinkedListNode *at = head.mPrev;
    while (at != &head && static_cast<ChannelI *>(at->mData)->*key > mine) {
        at = at->mPrev;
    }
    node.addAfter(*at);
}

} // namespace

unsigned int ChannelI::sortKey(int priority, float audibility)
{
    // Audibility above 1 (a loud group, an extra gain) would take the key
    // below the priority's range and past 0 at priority 0.
    const float clamped = std::isnan(audibility) ? 0.0f : std::clamp(audibility, 0.0f, 1.0f);
    const auto level = static_cast<unsigned int>(clamped * 1000.0f);
    return static_cast<unsigned int>(std::clamp(priority, 0, 256)) * 1001u + 1000u - level;
}

AURA_RESULT ChannelI::getAudibilityInternal(float *audibility, bool usefadevolume)
{
    if (!audibility) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (mFlags.has(ChannelFlag::Muted)) {
        *audibility = 0.0f;
        return AURA_OK;
    }
    const float fade = usefadevolume ? mFadeVolume : 1.0f;
    const float groupVolume = mChannelGroup ? mChannelGroup->mRealVolume : 1.0f;
    if (!is3D(*this)) {
        *audibility = mVolume * groupVolume * fade;
        return AURA_OK;
    }
    const float level = m3DLevel;
    auto blend = [level](float x) { return level < 1.0f ? level * x + (1.0f - level) : x; };
    const float groupDirect = mChannelGroup ? mChannelGroup->mDirectOcclusion : 1.0f;
    *audibility = mVolume * blend(m3DDistanceVolume) * blend(m3DConeVolume) * blend(1.0f - mGeometryDirect) *
                  blend(1.0f - mUserDirectOcclusion) * fade * blend(groupDirect) * mExtraGain * groupVolume;
    return AURA_OK;
}

AURA_RESULT ChannelI::calcVolumeAndPitchFor3D(bool force)
{
    if (!mSystem || !is3D(*this)) {
        return AURA_OK;
    }
    SystemI &system = *mSystem;
    const unsigned int mode = mRealChannel[0]->mMode;
    const bool headRelative = (mode & AURA_3D_HEADRELATIVE) != 0;
    const int listeners = std::clamp(system.mNum3DListeners, 1, SystemI::MAX_LISTENERS);
    bool changed = false;
    bool moved = false;
    for (int l = 0; l < listeners; ++l) {
        const SystemI::Listener &listener = system.mListener[l];
        if (!force && !mFlags.has(ChannelFlag::Moved3D) && !listener.mMoved) {
            continue;
        }
        AURA_VECTOR rel = m3DPosition;
        AURA_VECTOR velocity = m3DVelocity;
        if (!headRelative) {
            rel = AURA_VECTOR{rel.x - listener.mPosition.x, rel.y - listener.mPosition.y, rel.z - listener.mPosition.z};
            velocity = AURA_VECTOR{velocity.x - listener.mVelocity.x, velocity.y - listener.mVelocity.y,
                                   velocity.z - listener.mVelocity.z};
        }
        if (system.mFlags & AURA_INIT_3D_RIGHTHANDED) {
            rel.z = -rel.z;
            velocity.z = -velocity.z;
        }
        const float distance = std::sqrt(dot(rel, rel));
        if (!(distance < kFarAway)) {
            continue; // too far (or not a number): the last values stay
        }
        mDistance = distance;

        float volume = 1.0f;
        if (system.m3DRolloffCallback) {
            volume = system.m3DRolloffCallback(reinterpret_cast<AURA_CHANNEL *>(getHandle()), distance);
        } else {
            volume = rolloffVolume(*this, mode, distance, system.mRolloffScale);
        }
        volume = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);

        float cone = 1.0f;
        if (mConeInsideAngle < 360.0f || mConeOutsideAngle < 360.0f) {
            float angle = 0.0f;
            const float orientationLength = std::sqrt(dot(mConeOrientation, mConeOrientation));
            if (distance > 0.0f && orientationLength > 0.0f) {
                // From the source towards the listener.
                const float c = -dot(mConeOrientation, rel) / (distance * orientationLength);
                angle = 2.0f * std::acos(std::clamp(c, -1.0f, 1.0f)) * (180.0f / 3.14159265358979f);
            }
            if (angle < mConeInsideAngle) {
                cone = 1.0f;
            } else if (angle >= mConeOutsideAngle) {
                cone = mConeOutsideVolume;
            } else {
                const float span = mConeOutsideAngle - mConeInsideAngle;
                cone = 1.0f + (mConeOutsideVolume - 1.0f) * (angle - mConeInsideAngle) / span;
            }
        }

        float pitch = 1.0f;
        const float dopplerScale = system.mDopplerScale * mDopplerLevel;
        if (dopplerScale > 0.0f && listeners == 1) {
            const float c = kSpeedOfSound * system.mDistanceScale;
            // At the listener's own place the source has no direction to
            // move along: no shift.
            const float v = distance > 0.0f ? dot(velocity, rel) / distance : 0.0f;
            pitch = c > 0.0f ? std::max((c - v * dopplerScale) / c, 1e-6f) : 1.0f;
            if (std::isnan(pitch)) {
                pitch = 1.0f;
            }
        }
        changed = changed || volume != m3DDistanceVolume || cone != m3DConeVolume || pitch != mDopplerPitch;
        m3DDistanceVolume = volume;
        m3DConeVolume = cone;
        mDopplerPitch = pitch;
        moved = true;
    }
    if (moved && updateReverbPresence()) {
        changed = true;
    }
    if (changed) {
        (void)applyVolume();
        (void)forEachVoice([&](ChannelReal *voice) { return voice->setFrequency(mFrequency); });
        (void)updatePosition();
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::calculate3DReverbGain(ReverbI *reverb, const AURA_VECTOR *position, float *gain)
{
    if (!reverb || !position || !gain || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    float presence = reverb == &mSystem->mReverb3D ? 1.0f : reverb->getPresence(*position);
    // Out of the reverb's reach: nothing, rather than what it was before.
    if (!(presence > 0.0f)) {
        *gain = 0.0f;
        return AURA_OK;
    }
    GeometryMgr &geometry = mSystem->mGeometryMgr;
    if (geometry.hasGeometry() && !(mRealChannel[0]->mMode & AURA_3D_IGNOREGEOMETRY)) {
        float direct = 0.0f;
        float reverbOcclusion = 0.0f;
        (void)geometry.lineTestAll(&reverb->mPosition, position, &direct, &reverbOcclusion);
        presence *= 1.0f - std::clamp(std::isnan(reverbOcclusion) ? 0.0f : reverbOcclusion, 0.0f, 1.0f);
    }
    *gain = presence;
    return AURA_OK;
}

bool ChannelI::updateReverbPresence()
{
    if (!mSystem || !is3D(*this)) {
        return false;
    }
    SystemI &system = *mSystem;
    AURA_VECTOR position = m3DPosition;
    if (mRealChannel[0]->mMode & AURA_3D_HEADRELATIVE) {
        const AURA_VECTOR &listener = system.mListener[0].mPosition;
        position = AURA_VECTOR{position.x + listener.x, position.y + listener.y, position.z + listener.z};
    }
    bool changed = false;
    const auto store = [&](ReverbI &reverb, float gain) {
        float old = 0.0f;
        if (reverb.getPresenceGain(0, mIndex, &old) == AURA_OK && old != gain) {
            (void)reverb.set3DGain(mIndex, gain);
            changed = true;
        }
    };
    store(system.mReverb3D, mReverbGain3D);
    system.forEachUserReverb([&](ReverbI &reverb) {
        float gain = 0.0f;
        if (reverb.mMode == 1 && calculate3DReverbGain(&reverb, &position, &gain) == AURA_OK) {
            store(reverb, gain);
        }
    });
    return changed;
}

AURA_RESULT ChannelI::updateReverbSends()
{
    (void)updateReverbPresence();
    return forEachVoice([](ChannelReal *voice) { return voice->updateReverbSends(); });
}

void ChannelI::applyOcclusion()
{
    // The geometry's and the game's occlusion both muffle the sound.
    const float direct = 1.0f - (1.0f - mGeometryDirect) * (1.0f - mUserDirectOcclusion);
    const float reverb = 1.0f - (1.0f - mGeometryReverb) * (1.0f - mUserReverbOcclusion);
    (void)forEachVoice([&](ChannelReal *voice) { return voice->set3DOcclusion(direct, reverb); });
    mDirectOcclusion = direct;
    mReverbOcclusion = reverb;
}

AURA_RESULT ChannelI::set3DOcclusionInternal(float direct, float reverb, bool settargets)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!is3D(*this)) {
        return AURA_ERR_NEEDS3D;
    }
    if (std::isnan(direct) || std::isnan(reverb)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    mGeometryDirect = std::clamp(direct, 0.0f, 1.0f);
    mGeometryReverb = std::clamp(reverb, 0.0f, 1.0f);
    if (settargets) {
        mGeometryDirectTarget = mGeometryDirect;
        mGeometryReverbTarget = mGeometryReverb;
    }
    applyOcclusion();
    return updatePosition();
}

AURA_RESULT ChannelI::updateOcclusion(int delta, bool moved, bool force)
{
    if (!mSystem || !is3D(*this) || (mRealChannel[0]->mMode & AURA_3D_IGNOREGEOMETRY)) {
        return AURA_OK;
    }
    SystemI &system = *mSystem;
    GeometryMgr &geometry = system.mGeometryMgr;
    bool haveTargets = false;
    float direct = mGeometryDirectTarget;
    float reverb = mGeometryReverbTarget;
    if (geometry.hasGeometry() || mGeometryDirect != 0.0f || mGeometryReverb != 0.0f || mGeometryDirectTarget != 0.0f ||
        mGeometryReverbTarget != 0.0f) {
        const uint32_t changes = geometry.changeCount();
        const bool changedGeometry = changes != mGeometryChangesSeen;
        mGeometryChangesSeen = changes;
        AURA_VECTOR position = m3DPosition;
        const AURA_VECTOR listener = system.mListener[0].mPosition;
        if (mRealChannel[0]->mMode & AURA_3D_HEADRELATIVE) {
            position = AURA_VECTOR{position.x + listener.x, position.y + listener.y, position.z + listener.z};
        }
        const AURA_VECTOR *reverbPosition = system.m3DReverbActive ? &system.mReverb3D.mPosition : nullptr;
        if (moved || changedGeometry || force) {
            if (force) {
                (void)geometry.lineTestAll(&listener, &position, &direct, &reverb);
                if (system.m3DReverbActive) {
                    float pathDirect = 0.0f;
                    float pathReverb = 0.0f;
                    (void)geometry.lineTestAll(&position, &system.mReverb3D.mPosition, &pathDirect, &pathReverb);
                    mReverbGain3D = 1.0f - std::clamp(std::isnan(pathReverb) ? 0.0f : pathReverb, 0.0f, 1.0f);
                }
                if (updateReverbPresence()) {
                    (void)applyVolume();
                }
                haveTargets = true;
            } else {
                geometry.mOcclusionThread.enqueue(static_cast<unsigned int>(mIndex), mHandleCurrent, position, listener,
                                                  reverbPosition);
            }
        }
        OcclusionResult result;
        if (!force && geometry.mOcclusionThread.retrieveOcclusion(static_cast<unsigned int>(mIndex), &result)) {
            if (result.mHandle == mHandleCurrent) {
                direct = result.mDirectOcclusion;
                reverb = result.mReverbOcclusion;
                mReverbGain3D = std::clamp(std::isnan(result.mReverbGain) ? 1.0f : result.mReverbGain, 0.0f, 1.0f);
                if (updateReverbPresence()) {
                    (void)applyVolume();
                }
                haveTargets = true;
            } else {
                // The answer was for a sound this channel played before;
                // while it waited, this sound's request was not taken.
                geometry.mOcclusionThread.enqueue(static_cast<unsigned int>(mIndex), mHandleCurrent, position, listener,
                                                  reverbPosition);
            }
        }
    }
    if (haveTargets && mCallback) {
        mCallback(reinterpret_cast<AURA_CHANNEL *>(getHandle()), AURA_CHANNEL_CALLBACKTYPE_OCCLUSION, &direct, &reverb);
    }
    if (haveTargets && (direct != mGeometryDirectTarget || reverb != mGeometryReverbTarget)) {
        mGeometryDirectTarget = std::clamp(std::isnan(direct) ? 0.0f : direct, 0.0f, 1.0f);
        mGeometryReverbTarget = std::clamp(std::isnan(reverb) ? 0.0f : reverb, 0.0f, 1.0f);
        const float time = system.mOcclusionFadeTime ? static_cast<float>(system.mOcclusionFadeTime) : kDefaultFadeMs;
        auto rate = [time](float target, float current) {
            const float r = (target - current) / time;
            return std::fabs(r) < 0.0001f ? (r < 0.0f ? -0.0001f : 0.0001f) : r;
        };
        mGeometryDirectRate = rate(mGeometryDirectTarget, mGeometryDirect);
        mGeometryReverbRate = rate(mGeometryReverbTarget, mGeometryReverb);
    }
    if (mGeometryDirect == mGeometryDirectTarget && mGeometryReverb == mGeometryReverbTarget) {
        return AURA_OK;
    }
    const bool startedPaused = mRealChannel[0]->mFlags.has(VoiceFlag::Paused);
    auto step = [&](float current, float target, float rate) {
        if (force || startedPaused) {
            return target;
        }
        const float next = current + rate * static_cast<float>(delta);
        return rate > 0.0f ? std::min(next, target) : std::max(next, target);
    };
    mGeometryDirect = step(mGeometryDirect, mGeometryDirectTarget, mGeometryDirectRate);
    mGeometryReverb = step(mGeometryReverb, mGeometryReverbTarget, mGeometryReverbRate);
    applyOcclusion();
    return updatePosition();
}

AURA_RESULT ChannelI::set3DOcclusion(float direct, float reverb)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!is3D(*this)) {
        return AURA_ERR_NEEDS3D;
    }
    if (std::isnan(direct) || std::isnan(reverb)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    mUserDirectOcclusion = std::clamp(direct, 0.0f, 1.0f);
    mUserReverbOcclusion = std::clamp(reverb, 0.0f, 1.0f);
    applyOcclusion();
    return updatePosition();
}

AURA_RESULT ChannelI::get3DOcclusion(float *direct, float *reverb)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (direct) {
        *direct = mUserDirectOcclusion;
    }
    if (reverb) {
        *reverb = mUserReverbOcclusion;
    }
    return AURA_OK;
}

void ChannelI::take3DSettings(const SoundI *sound)
{
    if (sound) {
        mMinDistance = sound->mMinDistance;
        mMaxDistance = sound->mMaxDistance;
        mConeInsideAngle = sound->mConeInsideAngle;
        mConeOutsideAngle = sound->mConeOutsideAngle;
        mConeOutsideVolume = sound->mConeOutsideVolume;
        mRolloffPoints = sound->mRolloffPoints;
        mNumRolloffPoints = sound->mNumRolloffPoints;
    }
    mConeOrientation = AURA_VECTOR{0.0f, 0.0f, 1.0f};
    mDopplerLevel = 1.0f;
    m3DLevel = 1.0f;
    mExtraGain = 1.0f;
    mGeometryDirect = mGeometryReverb = 0.0f;
    mGeometryDirectTarget = mGeometryReverbTarget = 0.0f;
    mGeometryDirectRate = mGeometryReverbRate = 0.0f;
    mUserDirectOcclusion = mUserReverbOcclusion = 0.0f;
    mReverbGain3D = 1.0f;
    mDistance = 0.0f;
    // The first update works the 3D values out.
    mFlags.set(ChannelFlag::Moved3D);
}

AURA_RESULT ChannelI::set3DMinMaxDistance(float mindistance, float maxdistance)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!is3D(*this)) {
        return AURA_ERR_NEEDS3D;
    }
    if (!(mindistance > 0.0f) || !(maxdistance >= mindistance) || !std::isfinite(maxdistance)) {
        return AURA_ERR_INVALID_PARAM;
    }
    mMinDistance = mindistance;
    mMaxDistance = maxdistance;
    return calcVolumeAndPitchFor3D(true);
}

AURA_RESULT ChannelI::get3DMinMaxDistance(float *mindistance, float *maxdistance)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (mindistance) {
        *mindistance = mMinDistance;
    }
    if (maxdistance) {
        *maxdistance = mMaxDistance;
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::set3DConeSettings(float insideangle, float outsideangle, float outsidevolume)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!is3D(*this)) {
        return AURA_ERR_NEEDS3D;
    }
    if (!(insideangle >= 0.0f && insideangle <= 360.0f) || !(outsideangle >= insideangle && outsideangle <= 360.0f) ||
        !(outsidevolume >= 0.0f && outsidevolume <= 1.0f)) {
        return AURA_ERR_INVALID_PARAM;
    }
    mConeInsideAngle = insideangle;
    mConeOutsideAngle = outsideangle;
    mConeOutsideVolume = outsidevolume;
    return calcVolumeAndPitchFor3D(true);
}

AURA_RESULT ChannelI::get3DConeSettings(float *insideangle, float *outsideangle, float *outsidevolume)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (insideangle) {
        *insideangle = mConeInsideAngle;
    }
    if (outsideangle) {
        *outsideangle = mConeOutsideAngle;
    }
    if (outsidevolume) {
        *outsidevolume = mConeOutsideVolume;
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::set3DConeOrientation(const AURA_VECTOR *orientation)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!orientation) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!is3D(*this)) {
        return AURA_ERR_NEEDS3D;
    }
    if (!std::isfinite(orientation->x) || !std::isfinite(orientation->y) || !std::isfinite(orientation->z)) {
        return AURA_ERR_INVALID_VECTOR;
    }
    mConeOrientation = *orientation;
    return calcVolumeAndPitchFor3D(true);
}

AURA_RESULT ChannelI::get3DConeOrientation(AURA_VECTOR *orientation)
{
    return readField(orientation, mConeOrientation);
}

AURA_RESULT ChannelI::set3DCustomRolloff(AURA_VECTOR *points, int numpoints)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (numpoints < 0 || (numpoints > 0 && !points)) {
        return AURA_ERR_INVALID_PARAM;
    }
    // Distances must rise; the array stays the game's.
    for (int i = 0; i < numpoints; ++i) {
        if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || (i > 0 && points[i].x < points[i - 1].x)) {
            return AURA_ERR_INVALID_PARAM;
        }
    }
    mRolloffPoints = numpoints > 0 ? points : nullptr;
    mNumRolloffPoints = numpoints;
    return calcVolumeAndPitchFor3D(true);
}

AURA_RESULT ChannelI::get3DCustomRolloff(AURA_VECTOR **points, int *numpoints)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (points) {
        *points = mRolloffPoints;
    }
    if (numpoints) {
        *numpoints = mNumRolloffPoints;
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::set3DLevel(float level)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (std::isnan(level)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    m3DLevel = std::clamp(level, 0.0f, 1.0f);
    (void)applyVolume();
    (void)forEachVoice([&](ChannelReal *voice) { return voice->setFrequency(mFrequency); });
    return updatePosition();
}

AURA_RESULT ChannelI::get3DLevel(float *level)
{
    return readField(level, m3DLevel);
}

AURA_RESULT ChannelI::set3DDopplerLevel(float level)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!(level >= 0.0f && level <= 5.0f)) {
        return AURA_ERR_INVALID_PARAM;
    }
    mDopplerLevel = level;
    return calcVolumeAndPitchFor3D(true);
}

AURA_RESULT ChannelI::get3DDopplerLevel(float *level)
{
    return readField(level, mDopplerLevel);
}

AURA_RESULT ChannelI::setPriority(int priority)
{
    if (mNumRealChannels == 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (priority < 0 || priority > 256) {
        return AURA_ERR_INVALID_PARAM;
    }
    mPriority = priority;
    return updatePosition();
}

AURA_RESULT ChannelI::getPriority(int *priority)
{
    return readField(priority, mPriority);
}

AURA_RESULT ChannelI::isVirtual(bool *isvirtual)
{
    if (!isvirtual) {
        return AURA_ERR_INVALID_PARAM;
    }
    *isvirtual = false;
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_ERR_INVALID_HANDLE;
    }
    *isvirtual = mFlags.has(ChannelFlag::Virtual) || onEmulatedVoice();
    return AURA_OK;
}

AURA_RESULT ChannelI::updatePosition()
{
    if (!mSystem) {
        return AURA_ERR_INVALID_HANDLE;
    }
    // Playing channels stay sorted, most important first; a finished one
    // (UNSORTED) stays at the end.
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return mSortKey == UNSORTED ? AURA_OK : AURA_ERR_INVALID_HANDLE;
    }
    float raw = 0.0f;
    (void)getAudibilityInternal(&raw, false);
    const float audibility = mFadeVolume * raw;

    bool silent = audibility <= mSystem->mSilenceThreshold && (mSystem->mFlags & AURA_INIT_VOL0_BECOMES_VIRTUAL);
    if (silent && is3D(*this)) {
        // A path closed to direct sound may still reach the reverb.
        const float groupDirect = mChannelGroup ? mChannelGroup->mDirectOcclusion : 1.0f;
        const float directPath = (1.0f - mGeometryDirect) * (1.0f - mUserDirectOcclusion) * groupDirect;
        if (directPath == 0.0f) {
            const float groupReverb = mChannelGroup ? mChannelGroup->mReverbOcclusion : 1.0f;
            const float reverbPath = (1.0f - mGeometryReverb) * (1.0f - mUserReverbOcclusion) * groupReverb;
            silent = !(reverbPath > 0.0f);
        }
    }
    if (silent && mPriority == 0 && mRealChannel[0]->isStream()) {
        silent = false;
    }
    // A channel still being started keeps its voice until it plays, but
    // takes its place in the list (so that a later play may take its voice).
    if (!mMovingVoice && !mFlags.has(ChannelFlag::Starting)) {
        (void)forceVirtual(silent);
    }

    const unsigned int key = sortKey(mPriority, audibility);
    if (key != mSortKey || mSortedNode.mNext == &mSortedNode) {
        mSortKey = key;
        insertSorted(mSystem->mChannelSortedListHead, mSortedNode, &ChannelI::mSortKey);
    }
    placeInSoundGroup(sortKey(mPriority, raw));
    return AURA_OK;
}

SoundGroupI *ChannelI::soundGroup() const
{
    if (mNumRealChannels == 0 || !mRealChannel[0] || !mRealChannel[0]->mSound) {
        return nullptr;
    }
    return mRealChannel[0]->mSound->mSoundGroup.load(std::memory_order_relaxed);
}

float ChannelI::soundGroupVolume() const
{
    const SoundGroupI *group = soundGroup();
    return group ? group->mVolume.load(std::memory_order_relaxed) : 1.0f;
}

void ChannelI::placeInSoundGroup(unsigned int key2)
{
    SoundGroupI *group = soundGroup();
    if (group != mSoundGroupListed) {
        mSoundGroupNode.removeNode();
        mSoundGroupListed = nullptr;
    }
    if (group && (key2 != mSortKey2 || !mSoundGroupListed)) {
        mSortKey2 = key2;
        insertSorted(group->mChannelListHead, mSoundGroupNode, &ChannelI::mSortKey2);
        mSoundGroupListed = group;
    }
    mSortKey2 = key2;
}

AURA_RESULT ChannelI::soundGroupChanged()
{
    if (mNumRealChannels == 0 || !mRealChannel[0]) {
        return AURA_OK;
    }
    mSoundGroupNode.removeNode();
    mSoundGroupListed = nullptr;
    mSortKey2 = UNSORTED;
    if (mSortKey != UNSORTED) {
        (void)updatePosition(); // a finished channel stays last, out of the lists
    }
    return applyVolume();
}

} // namespace AURA
