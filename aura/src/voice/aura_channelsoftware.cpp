#include "voice/aura_channelsoftware.h"

#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "base/aura_memory.h"
#include "channel/aura_reverbi.h"
#include "sound/aura_sample.h"
#include "sound/aura_soundi.h"
#include "base/aura_string.h"
#include "system/aura_systemi.h"
#include "dsp/aura_dsp_connectioni.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace AURA {

namespace {
constexpr unsigned int SPEAKERMAP_ALLMONO = 0x10000000;
constexpr unsigned int SPEAKERMAP_ALLSTEREO = 0x20000000;
constexpr unsigned int SPEAKERMAP_51_PROTOOLS = 0x40000000;
constexpr int MAX_LEVEL_CHANNELS = 16;
constexpr float DEGREES_TO_RADIANS = 3.1415927f / 180.0f;

AURA_SPEAKERMAPTYPE speakerMap(const SoundI *sound)
{
    if (!sound) {
        return AURA_SPEAKERMAPTYPE_DEFAULT;
    }
    if (sound->mSpeakerBits & SPEAKERMAP_ALLMONO) {
        return AURA_SPEAKERMAPTYPE_ALLMONO;
    }
    if (sound->mSpeakerBits & SPEAKERMAP_ALLSTEREO) {
        return AURA_SPEAKERMAPTYPE_ALLSTEREO;
    }
    if (sound->mSpeakerBits & SPEAKERMAP_51_PROTOOLS) {
        return AURA_SPEAKERMAPTYPE_51_PROTOOLS;
    }
    return AURA_SPEAKERMAPTYPE_DEFAULT;
}

// Left and right gains of the pan law for a source of `channels` channels.
void panGains(float pan, int channels, bool linear, float *left, float *right)
{
    const float p = (std::clamp(pan, -1.0f, 1.0f) + 1.0f) * 0.5f;
    if (channels <= 1) {
        *left = linear ? 1.0f - p : std::sqrt(1.0f - p);
        *right = linear ? p : std::sqrt(p);
    } else if (p <= 0.5f) {
        *left = 1.0f;
        *right = 2.0f * p;
    } else {
        *left = 2.0f * (1.0f - p);
        *right = 1.0f;
    }
}

struct Vec {
    float x, y, z;
};
float dot(const Vec &a, const Vec &b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec fromAura(const AURA_VECTOR &v)
{
    return {v.x, v.y, v.z};
}
} // namespace

float listenerPseudoAngle(float x, float y)
{
    if (x == 0.0f && y == 0.0f) {
        return 0.0f;
    }
    if (std::fabs(x) > std::fabs(y)) {
        const float a = 3.0f - y / std::fabs(x);
        return x < 0.0f ? 10.0f - a : a;
    }
    const float a = 1.0f + x / std::fabs(y);
    return y < 0.0f ? 6.0f - a : a;
}

// ---------------------------------------------------------------------------
// Manual 3D.

AURA_RESULT ChannelRealManual3D::alloc()
{
    mAngle = 0.0f;
    return ChannelReal::alloc();
}

AURA_RESULT ChannelRealManual3D::set2DFreqVolumePanFor3D()
{
    if (!(mMode & AURA_3D)) {
        return AURA_OK;
    }
    if (!mParent || !mSystem) {
        return AURA_ERR_INVALID_HANDLE;
    }
    int n = 0;
    if (mSound) {
        n = mSound->mChannels; // a subsound's own: the waves of a collection differ
    } else if (mDSP) {
        n = mDSP->mDescription.channels > 0 ? mDSP->mDescription.channels : 1;
    } else {
        return AURA_ERR_INVALID_HANDLE;
    }
    n = std::clamp(n, 1, MAX_LEVEL_CHANNELS);
    SystemI &system = *mSystem;
    ChannelI &parent = *mParent;

    // Where the sound is, seen from the (only) listener.
    float x = 0.0f;
    float y = 0.0f;
    if (system.mNum3DListeners == 1) {
        const SystemI::Listener &listener = system.mListener[0];
        Vec rel = fromAura(parent.m3DPosition);
        Vec facing = fromAura(listener.mForward);
        Vec side = fromAura(listener.mRight);
        if (mMode & AURA_3D_HEADRELATIVE) {
            facing = {0.0f, 0.0f, 1.0f};
            side = {1.0f, 0.0f, 0.0f};
        } else {
            rel = {rel.x - listener.mPosition.x, rel.y - listener.mPosition.y, rel.z - listener.mPosition.z};
        }
        if (system.mFlags & AURA_INIT_3D_RIGHTHANDED) {
            rel.z = -rel.z;
            facing.z = -facing.z;
        }
        const float length = std::sqrt(dot(rel, rel));
        if (length > 0.0f) {
            rel = {rel.x / length, rel.y / length, rel.z / length};
        }
        x = dot(rel, side);
        y = dot(rel, facing);
        if (std::fabs(x) > 1.01f || std::fabs(y) > 1.01f) {
            return AURA_ERR_INVALID_VECTOR;
        }
        x = std::clamp(x, -1.0f, 1.0f);
        y = std::clamp(y, -1.0f, 1.0f);
        mAngle = std::acos(y) * 57.2957763671875f;
    }

    // Directions of the sound's channels, spread around the sound's own.
    const float spread = parent.mSpread;
    bool spreadMono = false;
    if (n == 1 && spread != 0.0f) {
        n = 2;
        spreadMono = true;
    }
    float cx[MAX_LEVEL_CHANNELS];
    float cy[MAX_LEVEL_CHANNELS];
    for (int i = 0; i < n; ++i) {
        float offset = 0.0f;
        if (spread != 0.0f && n > 1) {
            static constexpr float six[6] = {0.25f, -0.25f, 0.0f, 0.0f, 0.5f, -0.5f};
            static constexpr float eight[8] = {0.1665f, -0.1665f, 0.0f, 0.0f, 0.5f, -0.5f, 0.3335f, -0.3335f};
            static constexpr float four[4] = {0.5f, -0.5f, 0.0f, 0.0f};
            if (n == 6) {
                offset = six[i];
            } else if (n == 8) {
                offset = eight[i];
            } else if (n == 4) {
                offset = four[i];
            } else {
                offset = 0.5f - static_cast<float>(i) / static_cast<float>(n - 1);
            }
        }
        const float a = offset * spread * DEGREES_TO_RADIANS;
        cx[i] = x * std::cos(a) - y * std::sin(a);
        cy[i] = y * std::cos(a) + x * std::sin(a);
    }

    (void)setFrequency(parent.mFrequency);

    const AURA_SPEAKERMODE mode = system.mSpeakerMode;
    if (mode == AURA_SPEAKERMODE_RAW || mode == AURA_SPEAKERMODE_MONO) {
        return setVolume(parent.mVolume);
    }

    float levels[8][MAX_LEVEL_CHANNELS] = {};
    const float lfe = parent.mSpeakerMix[3];
    if (system.mSpeaker[3].mActive) {
        for (int i = 0; i < n; ++i) {
            levels[3][i] = lfe;
        }
    }
    int m = 0;
    int rows = 0;
    switch (mode) {
    case AURA_SPEAKERMODE_STEREO: m = 2; rows = 2; break;
    case AURA_SPEAKERMODE_QUAD: m = 4; rows = 4; break;
    case AURA_SPEAKERMODE_SURROUND: m = 5; rows = 5; break;
    case AURA_SPEAKERMODE_5POINT1:
    case AURA_SPEAKERMODE_PROLOGIC: m = 5; rows = 6; break;
    case AURA_SPEAKERMODE_7POINT1: m = 7; rows = 8; break;
    default: break;
    }

    const float level3D = std::clamp(parent.m3DLevel, 0.0f, 1.0f);
    if (level3D > 0.0f) {
        int listed = 0;
        while (listed < SystemI::MAX_SPEAKERS && system.mSpeakerList[listed]) {
            ++listed;
        }
        for (int i = 0; i < n; ++i) {
            if (cx[i] == 0.0f && cy[i] == 0.0f) {
                for (int s : {0, 1, 2, 4, 5, 6, 7}) {
                    levels[s][i] = system.mSpeaker[s].mActive && m > 0 ? 1.4142135f / static_cast<float>(m) : 0.0f;
                }
                continue;
            }
            if (listed == 0) {
                continue;
            }
            if (listed == 1) {
                levels[system.mSpeakerList[0]->mSpeaker][i] = 1.0f;
                continue;
            }
            const float d = listenerPseudoAngle(cx[i], cy[i]);
            const AURA_SPEAKERCONFIG *a = nullptr;
            const AURA_SPEAKERCONFIG *b = nullptr;
            int tried = 0;
            for (int k = 0; k < listed && tried < m; ++k) {
                const AURA_SPEAKERCONFIG *first = system.mSpeakerList[k];
                const AURA_SPEAKERCONFIG *second = system.mSpeakerList[(k + 1) % listed];
                if (first->mAngle == second->mAngle) {
                    continue;
                }
                ++tried;
                float end = second->mAngle;
                if (end < first->mAngle) {
                    end += 8.0f;
                }
                if ((first->mAngle <= d && d < end) || (first->mAngle <= d + 8.0f && d + 8.0f < end)) {
                    a = first;
                    b = second;
                    break;
                }
            }
            if (!a) {
                if (listed < m) {
                    for (int k = 0; k < listed; ++k) {
                        levels[system.mSpeakerList[k]->mSpeaker][i] = 1.0f;
                    }
                }
                continue;
            }
            float ga = 0.0f;
            float gb = 0.0f;
            if (a->mPairValid) {
                ga = cx[i] * b->mDirection[2] - cy[i] * b->mDirection[0];
                gb = cy[i] * a->mDirection[0] - cx[i] * a->mDirection[2];
                const float norm = std::sqrt(ga * ga + gb * gb);
                if (norm > 0.0f) {
                    ga *= a->mPairSign / norm;
                    gb *= a->mPairSign / norm;
                }
            } else {
                const float c = cx[i] * a->mDirection[0] + cy[i] * a->mDirection[2];
                const float root = std::sqrt(std::max(2.0f - c * c, 0.0f));
                ga = (root + c) * 0.5f;
                gb = (root - c) * 0.5f;
            }
            levels[a->mSpeaker][i] = ga;
            levels[b->mSpeaker][i] = gb;
        }
    }

    if (level3D < 1.0f) {
        // The channel's 2D settings as levels, blended in.
        float flat[8 * MAX_LEVEL_CHANNELS] = {};
        int inputs = 0;
        const int channels2D = spreadMono ? 1 : n;
        if (parent.mSpeakerMode == SPEAKERMODE_LEVELS && parent.mLevels) {
            const int stride = system.mMaxInputChannels;
            for (int s = 0; s < 8; ++s) {
                for (int i = 0; i < channels2D && i < stride; ++i) {
                    flat[s * MAX_LEVEL_CHANNELS + i] = parent.mLevels[s * stride + i];
                }
            }
            inputs = MAX_LEVEL_CHANNELS;
        } else {
            float mix[8] = {};
            if (parent.mSpeakerMode == SPEAKERMODE_MIX) {
                std::copy(std::begin(parent.mSpeakerMix), std::end(parent.mSpeakerMix), mix);
            } else {
                panGains(parent.mPan, channels2D, false, &mix[0], &mix[1]);
            }
            float packed[8 * MAX_LEVEL_CHANNELS] = {};
            (void)DSPI::calculateSpeakerLevels(mix[0], mix[1], mix[2], mix[3], mix[4], mix[5], mix[6], mix[7],
                                               mode, channels2D, speakerMap(mSound), packed, &inputs);
            for (int s = 0; s < 8; ++s) {
                for (int i = 0; i < inputs && i < MAX_LEVEL_CHANNELS; ++i) {
                    flat[s * MAX_LEVEL_CHANNELS + i] = packed[s * inputs + i];
                }
            }
        }
        for (int s = 0; s < 8; ++s) {
            for (int i = 0; i < n; ++i) {
                const int source = spreadMono ? 0 : i;
                levels[s][i] = level3D * levels[s][i] + (1.0f - level3D) * flat[s * MAX_LEVEL_CHANNELS + source];
            }
        }
    }

    if (n == 1) {
        (void)setSpeakerMix(levels[0][0], levels[1][0], levels[2][0], lfe, levels[4][0], levels[5][0],
                            levels[6][0], levels[7][0]);
    } else if (spreadMono) {
        for (int r = 0; r < rows; ++r) {
            const float averaged = (levels[r][0] + levels[r][1]) * 0.5f;
            (void)setSpeakerLevels(r, &averaged, 1);
        }
    } else {
        for (int r = 0; r < rows; ++r) {
            (void)setSpeakerLevels(r, levels[r], n);
        }
    }
    return setVolume(parent.mVolume);
}

// ---------------------------------------------------------------------------
// Software voice.

ChannelSoftware::ChannelSoftware() = default;

ChannelSoftware::~ChannelSoftware() = default;

template <class F>
void ChannelSoftware::forEachUnit(F &&f)
{
    for (DSPI *unit : {mDSPHead, static_cast<DSPI *>(mSound && !mDSPCodec ? mDSPWaveTable : nullptr),
                       static_cast<DSPI *>(mDSPResampler), static_cast<DSPI *>(mDSPCodec), mDSPLowPass, mDSP}) {
        if (unit) {
            f(unit);
        }
    }
}

DSPI *ChannelSoftware::groupUnit() const
{
    ChannelGroupI *group = mParent ? mParent->mChannelGroup : nullptr;
    return group ? group->mDSPMixTarget : nullptr;
}

int ChannelSoftware::sourceChannels() const
{
    if (mSound) {
        // A subsound describes its own data: the waves of a collection
        // differ in channel count from each other and from their parent.
        return mSound->mChannels;
    }
    if (mDSPResampler) {
        return mDSPResampler->mInputChannels > 0 ? mDSPResampler->mInputChannels : 1;
    }
    return 0;
}

AURA_RESULT ChannelSoftware::init(int index, SystemI *system, Output *output, DSPI *dsp)
{
    AURA_RESULT result = ChannelReal::init(index, system, output, dsp);
    if (result != AURA_OK) {
        return result;
    }
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_DSP_DESCRIPTION_EX head{};
    AURA_strncpy(head.name, "AURA Channel DSPHead Unit", sizeof(head.name) - 1);
    head.version = 0x00010100;
    head.mFormat = AURA_SOUND_FORMAT_PCMFLOAT;
    head.mCategory = AURA_DSP_CATEGORY_FILTER;
    head.mSize = sizeof(DSPFilter);
    DSPI *unit = &mDSPHeadMemory;
    result = system->createDSPInternal(&head, &unit, false);
    if (result != AURA_OK) {
        return result;
    }
    mDSPHead = unit;

    if (system->mFlags & (AURA_INIT_SOFTWARE_OCCLUSION | AURA_INIT_SOFTWARE_HRTF)) {
        // Without a low-pass unit registered the voice filters nothing.
        DSPI *lowpass = nullptr;
        if (system->createDSPByType(AURA_DSP_TYPE_LOWPASS_SIMPLE, &lowpass) == AURA_OK) {
            mDSPLowPass = lowpass;
        }
    }

    const int channels = dsp ? dsp->mDescription.channels : 0;
    AURA_DSP_DESCRIPTION_EX wavetable = DSPWaveTable::makeDescription(channels, AURA_SOUND_FORMAT_PCMFLOAT);
    unit = &mDSPWaveTableMemory;
    result = system->createDSPInternal(&wavetable, &unit, false);
    if (result != AURA_OK) {
        return result;
    }
    mDSPWaveTable = &mDSPWaveTableMemory;
    (void)mDSPWaveTable->setFinished(true, true);
    (void)mDSPWaveTable->setUserData(this);
    (void)mDSPWaveTable->setTargetFrequency(system->mOutputRate);
    mMinFrequency = -mMaxFrequency;
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::close()
{
    if (mDSPWaveTable) {
        mDSPWaveTable->mTickSource = nullptr;
    }
    if (mDSPResampler) {
        mDSPResampler->mTickSource = nullptr;
    }
    const AURA_RESULT result = ChannelReal::close();
    if (mDSPWaveTable) {
        (void)mDSPWaveTable->release(false);
        mDSPWaveTable = nullptr;
    }
    if (mDSPHead) {
        (void)mDSPHead->release(false);
        mDSPHead = nullptr;
    }
    if (mDSPResampler) {
        (void)mDSPResampler->release(true);
        mDSPResampler = nullptr;
    }
    if (mDSPLowPass) {
        (void)mDSPLowPass->release(true);
        mDSPLowPass = nullptr;
    }
    return result;
}

template <class F>
void ChannelSoftware::forEachReverbSlot(F &&f)
{
    SystemI &system = *mSystem;
    for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
        f(system.mReverbGlobal, i, ReverbKind::Global);
    }
    f(system.mReverb3D, 0, ReverbKind::ThreeD);
    // A user reverb has one instance: it is never indexed past 0.
    system.forEachUserReverb([&](ReverbI &reverb) { f(reverb, 0, ReverbKind::User); });
}

AURA_RESULT ChannelSoftware::addToReverbs(DSPI *unit)
{
    if (!mParent || !mSystem || !unit) {
        return AURA_OK;
    }
    // A send of the voice's own sound starts at the direct path's speaker
    // levels, so that it rings where the sound plays.
    DSPConnectionI *templ = unit == mDSPReverbSource ? mDSPConnection : nullptr;
    // A unit the game named may already feed the reverbs: refuse the loop.
    const bool checkcycle = unit != mDSPReverbSource;
    AURA_RESULT first = AURA_OK;
    forEachReverbSlot([&](ReverbI &reverb, int i, ReverbKind kind) {
        DSPI *instance = reverb.mInstance[i].mDSP;
        if (!instance || first != AURA_OK) {
            return;
        }
        DSPConnectionI *connection = nullptr;
        (void)reverb.getChanProperties(i, mParent->mIndex, nullptr, &connection);
        if (connection) {
            return; // one send per reverb, however often this is asked
        }
        AURA_RESULT result = instance->addInputQueued(unit, checkcycle, templ, &connection);
        if (result == AURA_OK) {
            result = reverb.setChanProperties(i, mParent->mIndex, nullptr, connection);
        }
        // The 3D and user reverbs keep the gain the channel's place gave.
        if (result == AURA_OK && kind == ReverbKind::Global) {
            result = reverb.setPresenceGain(i, mParent->mIndex, 1.0f);
        }
        first = result;
    });
    return first;
}

void ChannelSoftware::removeFromReverbs()
{
    if (!mParent || !mSystem || !mDSPReverbTarget) {
        mDSPReverbTarget = nullptr;
        return;
    }
    forEachReverbSlot([&](ReverbI &reverb, int i, ReverbKind) {
        DSPI *instance = reverb.mInstance[i].mDSP;
        DSPConnectionI *connection = nullptr;
        (void)reverb.getChanProperties(i, mParent->mIndex, nullptr, &connection);
        if (instance && connection) {
            (void)instance->disconnectFrom(mDSPReverbTarget, connection);
        }
        (void)reverb.resetConnectionPointer(i, mParent->mIndex);
    });
    mDSPReverbTarget = nullptr;
}

template <class F>
void ChannelSoftware::forEachOwnSend(F &&f)
{
    if (!mParent || !mSystem || !mDSPReverbTarget || mDSPReverbTarget != mDSPReverbSource ||
        mFlags.has(VoiceFlag::NoReverb)) {
        return;
    }
    forEachReverbSlot([&](ReverbI &reverb, int i, ReverbKind kind) {
        AURA_REVERB_CHANNELPROPERTIES props{};
        DSPConnectionI *connection = nullptr;
        if (!reverb.mInstance[i].mDSP || (kind == ReverbKind::User && reverb.mMode != 1) ||
            reverb.getChanProperties(i, mParent->mIndex, &props, &connection) != AURA_OK || !connection) {
            return;
        }
        f(*connection);
    });
}

AURA_RESULT ChannelSoftware::moveReverbInput(DSPI *input)
{
    if (!input || input == mDSPReverbTarget || !mParent || !mSystem || mFlags.has(VoiceFlag::NoReverb)) {
        return AURA_OK;
    }
    removeFromReverbs();
    mDSPReverbTarget = input;
    const AURA_RESULT result = addToReverbs(input);
    if (result != AURA_OK && input != mDSPReverbSource) {
        // Refused (a loop through the reverbs): the voice's own sound again.
        removeFromReverbs();
        mDSPReverbTarget = mDSPReverbSource;
        (void)addToReverbs(mDSPReverbSource);
    }
    return result;
}

AURA_RESULT ChannelSoftware::releaseReverbInput(DSPI *unit)
{
    if (!unit || unit != mDSPReverbTarget || unit == mDSPReverbSource || mSubChannelIndex != 0 || !mParent) {
        return AURA_OK;
    }
    const AURA_RESULT result = moveReverbInput(mDSPReverbSource);
    if (result != AURA_OK) {
        return result;
    }
    return updateReverbMix(mParent->mVolume);
}

AURA_RESULT ChannelSoftware::updateReverbSends()
{
    if (mSubChannelIndex != 0 || !mParent || !mSystem || mFlags.has(VoiceFlag::NoReverb) || !mDSPReverbTarget) {
        return AURA_OK;
    }
    const AURA_RESULT result = addToReverbs(mDSPReverbTarget);
    return result != AURA_OK ? result : updateReverbMix(mParent->mVolume);
}

AURA_RESULT ChannelSoftware::alloc()
{
    AURA_RESULT result = ChannelRealManual3D::alloc();
    if (result != AURA_OK) {
        return result;
    }
    if (!mDSPWaveTable || !mDSPHead || !mSound) {
        return AURA_ERR_INTERNAL;
    }
    // The chain and the mixer carry at most this many channels.
    if (sourceChannels() > mSystem->mMaxInputChannels || sourceChannels() > DSP_MAXCHANNELS) {
        return AURA_ERR_TOOMANYCHANNELS;
    }
    DSPI *target = groupUnit();
    if (!target) {
        return AURA_ERR_INTERNAL;
    }
    releaseDSPCodec();
    // A sample asked for compressed that the file gave as PCM plays as PCM,
    // unless it was kept for the raw units.
    if ((mSound->mMode & AURA_CREATECOMPRESSEDSAMPLE) && !mSound->isStream() &&
        ((mSound->mFormat >= AURA_SOUND_FORMAT_GCADPCM && mSound->mFormat <= AURA_SOUND_FORMAT_CELT) ||
         static_cast<const Sample *>(mSound)->mCompressedBlockAlign != 0)) {
        return allocCompressed(target);
    }
    for (DSPI *unit : {mDSPHead, mDSPLowPass, static_cast<DSPI *>(mDSPWaveTable)}) {
        if (unit) {
            (void)unit->disconnectFrom(nullptr, nullptr);
        }
    }
    result = connectSource(target, mDSPWaveTable);
    if (result != AURA_OK) {
        return result;
    }
    result = setLoopPoints(mSound->mLoopStart, mSound->mLoopLength);
    if (result != AURA_OK) {
        return result;
    }
    mMinFrequency = -mMaxFrequency;
    {
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        DSPWaveTable &wave = *mDSPWaveTable;
        wave.mPosition.store(0, std::memory_order_relaxed);
        wave.mNewPosition.store(DSPWaveTable::NO_NEW_POSITION, std::memory_order_relaxed);
        wave.mDirection.store(0, std::memory_order_relaxed);
        wave.mDSPClockStart = 0;
        wave.mDSPClockEnd = 0;
        wave.mDSPClockPause = 0;
        wave.mChannel = this;
        wave.mSound = mSound;
        mEndFrame = NO_END;
        mEndWraps = 0;
        wave.mTickSource = mSystem->mDSPSoundCard;
    }
    mDSPHead->setActive(false);
    if (mDSPLowPass) {
        mDSPLowPass->setActive(false);
        mDSPLowPass->setBypass(true);
    }
    mDSPWaveTable->setActive(false);
    return mDSPWaveTable->setFinished(false, false);
}

AURA_RESULT ChannelSoftware::connectSource(DSPI *target, DSPI *source)
{
    AURA_RESULT result = target->addInputQueued(mDSPHead, false, nullptr, &mDSPConnection);
    if (result == AURA_OK && mDSPLowPass) {
        result = mDSPHead->addInputQueued(mDSPLowPass, false, nullptr, nullptr);
    }
    if (result == AURA_OK) {
        result = (mDSPLowPass ? mDSPLowPass : mDSPHead)->addInputQueued(source, false, nullptr, nullptr);
    }
    if (result == AURA_OK && !mFlags.has(VoiceFlag::NoReverb)) {
        mDSPReverbTarget = source;
        mDSPReverbSource = source;
        result = addToReverbs(source);
    }
    return result;
}

void ChannelSoftware::resetPlayState(ResamplerPlayState &state) const
{
    state.mLoopStart = mLoopStart;
    state.mLoopLength = mLoopLength;
    state.mMode = mMode;
    state.mDSPClockStart = 0;
    state.mDSPClockEnd = 0;
    state.mDSPClockPause = 0;
}

AURA_RESULT ChannelSoftware::allocCompressed(DSPI *target)
{
    for (DSPI *unit : {mDSPHead, mDSPLowPass, static_cast<DSPI *>(mDSPWaveTable)}) {
        if (unit) {
            (void)unit->disconnectFrom(nullptr, nullptr);
        }
    }
    DSPCodec *codec = nullptr;
    AURA_RESULT result = mSystem->allocateDSPCodec(mSound->mFormat, &codec);
    if (result != AURA_OK) {
        return result;
    }
    mDSPCodec = codec;
    {
        // The unit is finished and unconnected: the mixer does not read it.
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        result = codec->updateDSPCodec(mSound, 0);
        if (result == AURA_OK) {
            resetPlayState(*codec->mPlayState);
            codec->setStartLoopCount(mLoopCount);
            codec->mOutputRate = mSystem->mOutputRate;
            codec->mTickSource = mSystem->mDSPSoundCard;
        }
    }
    if (result != AURA_OK) {
        releaseDSPCodec();
        return result;
    }
    // Decoded voices do not play backwards.
    mMinFrequency = 0.0f;
    if (mDSPWaveTable) {
        mDSPWaveTable->mSound = nullptr;
    }
    mDSPHead->setActive(false);
    if (mDSPLowPass) {
        mDSPLowPass->setActive(false);
        mDSPLowPass->setBypass(true);
    }
    codec->setActive(false);
    (void)codec->setFinished(false, false);
    result = connectSource(target, codec);
    if (result != AURA_OK) {
        return result;
    }
    return setLoopPoints(mSound->mLoopStart, mSound->mLoopLength);
}

void ChannelSoftware::releaseDSPCodec()
{
    if (!mDSPCodec) {
        return;
    }
    DSPCodec *codec = mDSPCodec;
    mDSPCodec = nullptr;
    (void)codec->setFinished(true, false);
    codec->setActive(false);
    (void)codec->disconnectAll(false, true);
    if (codec->mPool) {
        codec->mPool->free(codec);
    }
}

AURA_RESULT ChannelSoftware::alloc(DSPI *dsp)
{
    AURA_RESULT result = ChannelReal::alloc(dsp);
    if (result != AURA_OK) {
        return result;
    }
    if (!dsp || !mDSPHead) {
        return AURA_ERR_INVALID_PARAM;
    }
    DSPI *target = groupUnit();
    if (!target) {
        return AURA_ERR_INTERNAL;
    }
    if (mDSPResampler) {
        (void)mDSPResampler->release(true);
        mDSPResampler = nullptr;
    }
    AURA_DSP_DESCRIPTION_EX description{};
    AURA_strncpy(description.name, "AURA Resampler Unit", sizeof(description.name) - 1);
    description.version = 0x00010100;
    description.mFormat = AURA_SOUND_FORMAT_PCMFLOAT;
    description.mCategory = AURA_DSP_CATEGORY_RESAMPLER;
    description.mSize = sizeof(DSPResamplerMultiInput);
    DSPI *made = nullptr;
    result = mSystem->createDSPInternal(&description, &made, true);
    if (result != AURA_OK) {
        return result;
    }
    mDSPResampler = static_cast<DSPResamplerMultiInput *>(made);
    (void)mDSPResampler->setUserData(this);
    mMinFrequency = 0.0f;
    for (DSPI *unit : {mDSPHead, mDSPLowPass, static_cast<DSPI *>(mDSPWaveTable)}) {
        if (unit) {
            (void)unit->disconnectFrom(nullptr, nullptr);
        }
    }
    result = mDSPHead->addInputQueued(mDSPResampler, false, nullptr, nullptr);
    if (result == AURA_OK) {
        result = mDSPResampler->addInput(dsp);
    }
    if (result == AURA_OK) {
        result = target->addInputQueued(mDSPHead, false, nullptr, &mDSPConnection);
    }
    if (result == AURA_OK) {
        mDSPReverbTarget = mDSPResampler;
        mDSPReverbSource = mDSPResampler;
        result = addToReverbs(mDSPResampler);
    }
    if (result != AURA_OK) {
        return result;
    }
    mDSPResampler->mLength = mLength;
    mDSPResampler->mLoopCount = mLoopCount;
    resetPlayState(*mDSPResampler->mPlayState);
    if (mDSPWaveTable) {
        mDSPWaveTable->mSound = nullptr;
    }
    mDSPHead->setActive(false);
    (void)mDSPResampler->setFinished(false, false);
    mDSPResampler->setActive(false);
    dsp->setActive(false);
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::start()
{
    if (mDSPConnection && mSystem) {
        // A voice begins at its levels; ramps are for changes while it plays.
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        mDSPConnection->settleRamp();
        forEachOwnSend([](DSPConnectionI &send) { send.settleRamp(); });
    }
    if (!mFlags.has(VoiceFlag::Paused)) {
        forEachUnit([](DSPI *unit) { unit->setActive(true); });
    }
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::stop()
{
    if (mDSPHead) {
        mDSPHead->setActive(false);
        (void)mDSPHead->disconnectAll(false, true);
        (void)mDSPHeadMemory.stopBuffering();
    }
    mDSPConnection = nullptr;
    releaseDSPCodec();
    if (!mFlags.has(VoiceFlag::NoReverb)) {
        removeFromReverbs();
    }
    mDSPReverbSource = nullptr;
    if (mDSPResampler) {
        (void)mDSPResampler->setFinished(true, false);
        mDSPResampler->setActive(false);
        (void)mDSPResampler->release(true);
        mDSPResampler = nullptr;
    }
    if (mDSPWaveTable) {
        (void)mDSPWaveTable->reset();
        (void)mDSPWaveTable->setFinished(true, false);
        mDSPWaveTable->setActive(false);
        (void)mDSPWaveTable->disconnectAll(false, true);
    }
    if (mDSP) {
        int outputs = 0;
        (void)mDSP->getNumOutputs(&outputs, true);
        for (int i = outputs - 1; i >= 0; --i) {
            DSPI *output = nullptr;
            DSPConnectionI *connection = nullptr;
            if (mDSP->getOutput(i, &output, &connection, true) == AURA_OK && output) {
                const AURA_RESULT result = output->disconnectFrom(mDSP, connection);
                if (result != AURA_OK) {
                    return result;
                }
            }
        }
    }
    return ChannelReal::stop();
}

AURA_RESULT ChannelSoftware::setPaused(bool paused)
{
    if (!paused && mDSPConnection && mSystem) {
        // Coming out of a pause (or a paused start) the voice is heard at
        // its levels at once: what changed while it was silent is not ramped.
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        mDSPConnection->settleRamp();
        forEachOwnSend([](DSPConnectionI &send) { send.settleRamp(); });
    }
    forEachUnit([paused](DSPI *unit) { unit->setActive(!paused); });
    return ChannelReal::setPaused(paused);
}

AURA_RESULT ChannelSoftware::getPaused(bool *paused)
{
    if (!paused) {
        return AURA_ERR_INVALID_PARAM;
    }
    bool inactive = false;
    forEachUnit([&inactive](DSPI *unit) { inactive = inactive || !unit->hasFlags(DSPI_FLAG_ACTIVE); });
    if (inactive) {
        *paused = true;
        return AURA_OK;
    }
    return ChannelReal::getPaused(paused);
}

AURA_RESULT ChannelSoftware::updateDirectMix(float volume)
{
    if (!mParent || !mDSPConnection) {
        return AURA_OK;
    }
    ChannelI &p = *mParent;
    ChannelGroupI *group = p.mChannelGroup;
    const float level3D = (mMode & AURA_3D) ? p.m3DLevel : 0.0f;
    const float groupVolume = group ? group->mRealVolume : 1.0f;
    float g = p.mFlags.has(ChannelFlag::MutedInEffect) ? 0.0f : volume;
    g *= p.mFadeVolume * p.mDirectGain;
    g *= (1.0f - level3D) + level3D * p.m3DDistanceVolume;
    g *= groupVolume;
    g *= (1.0f - level3D) + level3D * p.m3DConeVolume;
    g *= p.soundGroupVolume();
    const float occlusion = (1.0f - p.mDirectOcclusion) * (group ? group->mDirectOcclusion : 1.0f);
    if (!mDSPLowPass) {
        g *= occlusion;
    } else {
        const float gain = occlusion * p.mLowPassGain;
        float cutoff = 22050.0f;
        if (mSystem && (mSystem->mFlags & AURA_INIT_SOFTWARE_HRTF)) {
            float theta = mAngle > 180.0f ? 360.0f - mAngle : mAngle;
            const float lo = mSystem->mAdvancedHRTFMinAngle * 0.5f;
            const float hi = mSystem->mAdvancedHRTFMaxAngle * 0.5f;
            const float f = mSystem->mAdvancedHRTFFrequency;
            float h = 22050.0f;
            if (theta >= hi) {
                h = f;
            } else if (theta > lo && hi > lo) {
                h = f + (1.0f - (theta - lo) / (hi - lo)) * (22050.0f - f);
            }
            cutoff = (1.0f - level3D) * 22050.0f + level3D * h;
        }
        if (gain >= 1.0f && cutoff >= 22050.0f) {
            mDSPLowPass->setBypass(true);
        } else {
            mDSPLowPass->setBypass(false);
            (void)mDSPLowPass->setParameter(0, std::min(cutoff, 22050.0f * gain * gain));
        }
    }
    return mDSPConnection->setMix(g);
}

AURA_RESULT ChannelSoftware::setVolume(float volume)
{
    if (mSubChannelIndex != 0) {
        return AURA_OK;
    }
    const AURA_RESULT result = updateDirectMix(volume);
    return result != AURA_OK ? result : updateReverbMix(volume);
}

AURA_RESULT ChannelSoftware::updateReverbMix(float volume)
{
    if (!mParent || !mSystem || mFlags.has(VoiceFlag::NoReverb)) {
        return AURA_OK;
    }
    ChannelI &p = *mParent;
    ChannelGroupI *group = p.mChannelGroup;
    const float groupVolume = group ? group->mRealVolume : 1.0f;
    const float v = p.mFlags.has(ChannelFlag::MutedInEffect) ? 0.0f : volume;
    bool reverb3D = false;
    (void)mSystem->get3DReverbActive(&reverb3D);
    const bool voice3D = (mMode & AURA_3D) != 0;
    // What a 3D sound sends: its occlusion, fade, distance and volumes.
    const float occlusion = (1.0f - p.mReverbOcclusion) * (group ? group->mReverbOcclusion : 1.0f);
    const float send3D = occlusion * p.mFadeVolume * p.m3DDistanceVolume * groupVolume * p.soundGroupVolume() * v;
    // A connection point's output carries its own levels: the channel's
    // volumes are not applied to it again. The voice has one reverb input,
    // whichever instance's properties named it.
    const bool point = mDSPReverbTarget && mDSPReverbTarget != mDSPReverbSource;
    AURA_RESULT first = AURA_OK;
    forEachReverbSlot([&](ReverbI &reverb, int i, ReverbKind kind) {
        AURA_REVERB_CHANNELPROPERTIES props{};
        DSPConnectionI *connection = nullptr;
        if (first != AURA_OK || !reverb.mInstance[i].mDSP || (kind == ReverbKind::User && reverb.mMode != 1) ||
            reverb.getChanProperties(i, p.mIndex, &props, &connection) != AURA_OK || !connection) {
            return;
        }
        const float room = std::pow(10.0f, static_cast<float>(props.Room) / 2000.0f);
        const float own = point ? 1.0f : send3D;
        float presence = 1.0f;
        (void)reverb.getPresenceGain(i, p.mIndex, &presence);
        float g = 0.0f;
        switch (kind) {
        case ReverbKind::Global:
            if (!voice3D) {
                g = room * (point ? 1.0f : groupVolume * v);
            } else if (!reverb3D) {
                g = room * own;
            }
            break;
        case ReverbKind::ThreeD:
            // The geometry's reverb path to the room scales the send.
            g = voice3D ? room * presence * own : 0.0f;
            break;
        case ReverbKind::User:
            g = voice3D ? room * std::max(presence, reverb.mGainFloor) * own : 0.0f;
            break;
        }
        first = connection->setMix(v == 0.0f || !std::isfinite(g) ? 0.0f : g);
    });
    return first;
}

AURA_RESULT ChannelSoftware::setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props)
{
    if (!props) {
        return AURA_ERR_INVALID_PARAM;
    }
    // A connection point other than what the sends carry now: every send
    // moves onto it. (Naming none leaves them where they are.)
    if (props->ConnectionPoint && mSubChannelIndex == 0 && mDSPReverbSource) {
        const AURA_RESULT moved = moveReverbInput(static_cast<DSPI *>(props->ConnectionPoint));
        if (moved != AURA_OK) {
            return moved;
        }
    }
    AURA_RESULT result = ChannelReal::setReverbProperties(props);
    if (result != AURA_OK || mSubChannelIndex != 0 || !mParent) {
        return result;
    }
    const float direct = std::pow(10.0f, static_cast<float>(std::clamp(props->Direct, -10000, 1000)) / 2000.0f);
    if (direct != mParent->mDirectGain) {
        mParent->mDirectGain = direct;
        result = updateDirectMix(mParent->mVolume);
        if (result != AURA_OK) {
            return result;
        }
    }
    if (mDSPReverbTarget && !mFlags.has(VoiceFlag::NoReverb)) {
        result = addToReverbs(mDSPReverbTarget);
        if (result != AURA_OK) {
            return result;
        }
    }
    return updateReverbMix(mParent->mVolume);
}

AURA_RESULT ChannelSoftware::setFrequency(float frequency)
{
    if (!mParent) {
        return AURA_OK;
    }
    const float level3D = (mMode & AURA_3D) ? mParent->m3DLevel : 0.0f;
    ChannelGroupI *group = mParent->mChannelGroup;
    float f = ((1.0f - level3D) + level3D * mParent->mDopplerPitch) * frequency * (group ? group->mRealPitch : 1.0f);
    f = std::max(std::min(f, mMaxFrequency), mMinFrequency);
    if (mDSPCodec) {
        return mDSPCodec->setFrequency(f);
    }
    if (mDSPResampler) {
        return mDSPResampler->setFrequency(f);
    }
    if (mDSPWaveTable) {
        return mDSPWaveTable->setFrequency(f);
    }
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::setPan(float pan, float /*fbpan*/)
{
    int channels = 0;
    unsigned int bits = 0;
    if (mSound) {
        channels = sourceChannels();
        bits = mSound->mSpeakerBits;
    } else if (mDSP) {
        channels = mDSP->mDescription.channels > 0 ? mDSP->mDescription.channels : 2;
    } else {
        return AURA_ERR_INVALID_HANDLE;
    }
    const bool linear = mSystem && mSystem->mSpeakerMode == static_cast<AURA_SPEAKERMODE>(1000);
    float left = 0.0f;
    float right = 0.0f;
    panGains(pan, channels, linear, &left, &right);
    if (channels <= 1 || (channels == 2 && !(bits & SPEAKERMAP_ALLMONO))) {
        return setSpeakerMix(left, right, 0, 0, 0, 0, 0, 0);
    }
    return setSpeakerMix(left, right, 1.0f, 1.0f, left, right, left, right);
}

AURA_RESULT ChannelSoftware::setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br, float sl,
                                           float sr)
{
    if (mSubChannelIndex != 0) {
        return AURA_OK;
    }
    if (!mSound && !mDSP) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!mDSPConnection || !mSystem || !mParent) {
        return AURA_OK;
    }
    int channels = mSound ? sourceChannels() : (mDSP->mDescription.channels > 0 ? mDSP->mDescription.channels : 2);
    if (mSound && (mSound->mSpeakerBits & 0xFFFFFu) == 0x33) {
        channels = 4;
    }
    float levels[8 * MAX_LEVEL_CHANNELS] = {};
    int inputs = 0;
    AURA_RESULT result = DSPI::calculateSpeakerLevels(fl, fr, c, lfe, bl, br, sl, sr, mSystem->mSpeakerMode,
                                                      channels, speakerMap(mSound), levels, &inputs);
    if (result == AURA_OK && inputs == 0 && mSound) {
        // 3, 5 and 7 channels: placed by the sound's speakers.
        result = DSPI::calculateSpeakerLevelsByMask(fl, fr, c, lfe, bl, br, sl, sr, mSystem->mSpeakerMode, channels,
                                                    mSound->mSpeakerBits & 0xFFFFFu, levels, &inputs);
    }
    if (result != AURA_OK) {
        return result;
    }
    for (int row = 0; row < 8; ++row) {
        for (int i = 0; i < inputs && i < MAX_LEVEL_CHANNELS; ++i) {
            levels[row * inputs + i] *= mParent->mInputMix[i];
        }
    }
    result = mDSPConnection->setLevels(levels, inputs);
    forEachOwnSend([&](DSPConnectionI &send) {
        const AURA_RESULT sent = send.setLevels(levels, inputs);
        result = result != AURA_OK ? result : sent;
    });
    return result;
}

AURA_RESULT ChannelSoftware::setSpeakerLevels(int speaker, const float *levels, int numlevels)
{
    if (mSubChannelIndex != 0) {
        return AURA_OK;
    }
    if (!mDSPConnection || !mParent) {
        return AURA_OK;
    }
    if (speaker < 0 || speaker >= SystemI::MAX_SPEAKERS || numlevels < 0 || numlevels > MAX_LEVEL_CHANNELS ||
        (!levels && numlevels > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }
    float scaled[MAX_LEVEL_CHANNELS] = {};
    for (int i = 0; i < numlevels; ++i) {
        scaled[i] = levels[i] * mParent->mInputMix[i];
    }
    AURA_RESULT result = mDSPConnection->setLevels(static_cast<AURA_SPEAKER>(speaker), scaled, numlevels);
    forEachOwnSend([&](DSPConnectionI &send) {
        const AURA_RESULT sent = send.setLevels(static_cast<AURA_SPEAKER>(speaker), scaled, numlevels);
        result = result != AURA_OK ? result : sent;
    });
    return result;
}

AURA_RESULT ChannelSoftware::setDSPClockDelay()
{
    if (!mParent || !mSystem) {
        return AURA_OK;
    }
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    if (mDSPWaveTable) {
        mDSPWaveTable->mDSPClockStart = mParent->mDSPClockDelay;
        mDSPWaveTable->mDSPClockEnd = mParent->mDSPClockEnd;
        mDSPWaveTable->mDSPClockPause = mParent->mDSPClockPause;
    }
    if (DSPResampler *source = mDSPCodec ? static_cast<DSPResampler *>(mDSPCodec) : mDSPResampler) {
        ResamplerPlayState &state = *source->mPlayState;
        state.mDSPClockStart = mParent->mDSPClockDelay;
        state.mDSPClockEnd = mParent->mDSPClockEnd;
        state.mDSPClockPause = mParent->mDSPClockPause;
    }
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::setPosition(unsigned int position, unsigned int postype)
{
    if (mSubChannelIndex != 0) {
        return AURA_OK;
    }
    if (postype == AURA_TIMEUNIT_BUFFERED) {
        if (mDSPCodec) {
            mDSPCodec->requestSeek(position);
            return AURA_OK;
        }
        if (mDSPWaveTable && mSound) {
            return mDSPWaveTable->setPositionInternal(position);
        }
        if (mDSPResampler) {
            return mDSPResampler->setPosition(position, false);
        }
        return AURA_ERR_INVALID_HANDLE;
    }
    if (postype != AURA_TIMEUNIT_MS && postype != AURA_TIMEUNIT_PCM && postype != AURA_TIMEUNIT_PCMBYTES) {
        return AURA_ERR_FORMAT;
    }
    if (!mSound && !mDSP) {
        return AURA_ERR_INVALID_HANDLE;
    }
    unsigned int pcm = position;
    if (mSound) {
        AURA_RESULT result = ChannelReal::setPosition(position, postype);
        if (result != AURA_OK) {
            return result;
        }
        pcm = mPosition;
        const uint64_t end = (mMode & AURA_LOOP_OFF) ? mSound->mLength
                                                      : static_cast<uint64_t>(mLoopStart) + mLoopLength;
        const unsigned int converted = postype == AURA_TIMEUNIT_PCM ? position : pcm;
        if (converted >= end && !(converted == 0 && end == 0)) {
            return AURA_ERR_INVALID_POSITION;
        }
    } else if (postype == AURA_TIMEUNIT_MS) {
        pcm = static_cast<unsigned int>(static_cast<double>(position) / 1000.0 * mSystem->mOutputRate);
    }
    if (mDSPCodec) {
        mDSPCodec->requestSeek(pcm);
        return AURA_OK;
    }
    if (mDSP) {
        return mDSP->setPosition(pcm, true);
    }
    if (mDSPWaveTable && mSound) {
        return mDSPWaveTable->setPositionInternal(pcm);
    }
    if (mDSPResampler) {
        return mDSPResampler->setPosition(pcm, false);
    }
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::getPosition(unsigned int *position, unsigned int postype)
{
    if (!position) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (postype == AURA_TIMEUNIT_BUFFERED) {
        if (mDSPCodec) {
            *position = mDSPCodec->playPosition();
            return AURA_OK;
        }
        if (mDSPWaveTable && mSound) {
            *position = static_cast<unsigned int>(fixedWhole(mDSPWaveTable->mPosition.load()));
            return AURA_OK;
        }
        return AURA_ERR_INVALID_HANDLE;
    }
    if (mDSPCodec) {
        mPosition = mDSPCodec->playPosition();
    } else if (mDSPWaveTable && mSound) {
        const unsigned int pending = mDSPWaveTable->mNewPosition.load(std::memory_order_acquire);
        mPosition = pending != DSPWaveTable::NO_NEW_POSITION
                        ? pending
                        : static_cast<unsigned int>(std::max<int64_t>(fixedWhole(mDSPWaveTable->mPosition.load()), 0));
    } else if (!mDSPResampler) {
        return AURA_ERR_INVALID_HANDLE;
    }
    return ChannelReal::getPosition(position, postype);
}

AURA_RESULT ChannelSoftware::setLoopPoints(unsigned int loopstart, unsigned int looplength)
{
    if (!mSystem) {
        return ChannelReal::setLoopPoints(loopstart, looplength);
    }
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    const AURA_RESULT result = ChannelReal::setLoopPoints(loopstart, looplength);
    if (DSPResampler *source = mDSPCodec ? static_cast<DSPResampler *>(mDSPCodec) : mDSPResampler;
        result == AURA_OK && source) {
        source->mPlayState->mLoopStart = mLoopStart;
        source->mPlayState->mLoopLength = mLoopLength;
    }
    return result;
}

AURA_RESULT ChannelSoftware::setLoopCount(int loopcount)
{
    if (!mSystem) {
        return ChannelReal::setLoopCount(loopcount);
    }
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    const AURA_RESULT result = ChannelReal::setLoopCount(loopcount);
    if (mDSPCodec) {
        mDSPCodec->requestLoopCount(mLoopCount);
    } else if (mDSPResampler) {
        mDSPResampler->mLoopCount = mLoopCount;
    }
    return result;
}

AURA_RESULT ChannelSoftware::getLoopCount(int *loopcount)
{
    if (!mSystem) {
        return ChannelReal::getLoopCount(loopcount);
    }
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    if (mDSPCodec && loopcount) {
        *loopcount = mDSPCodec->mLoopCount;
        return AURA_OK;
    }
    return ChannelReal::getLoopCount(loopcount);
}

AURA_RESULT ChannelSoftware::setMode(unsigned int mode)
{
    if (!mSystem) {
        return ChannelReal::setMode(mode);
    }
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    const AURA_RESULT result = ChannelReal::setMode(mode);
    if (DSPResampler *source = mDSPCodec ? static_cast<DSPResampler *>(mDSPCodec) : mDSPResampler) {
        source->mPlayState->mMode = mMode;
    }
    return result;
}

AURA_RESULT ChannelSoftware::setLowPassGain(float /*gain*/)
{
    return mParent ? setVolume(mParent->mVolume) : AURA_OK;
}

AURA_RESULT ChannelSoftware::set3DOcclusion(float directocclusion, float reverbocclusion)
{
    if (mSubChannelIndex != 0 || !mParent) {
        return AURA_OK;
    }
    mParent->mDirectOcclusion = directocclusion;
    mParent->mReverbOcclusion = reverbocclusion;
    const AURA_RESULT result = updateDirectMix(mParent->mVolume);
    return result != AURA_OK ? result : updateReverbMix(mParent->mVolume);
}

AURA_RESULT ChannelSoftware::isPlaying(bool *isplaying, bool /*includethreadlatency*/)
{
    if (!isplaying) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mFlags.has(VoiceFlag::Taken)) {
        *isplaying = true;
        return AURA_OK;
    }
    bool finished = true;
    if (mDSPCodec) {
        (void)mDSPCodec->getFinished(&finished);
    } else if (mDSPResampler) {
        (void)mDSPResampler->getFinished(&finished);
    } else if (mSound && mDSPWaveTable) {
        (void)mDSPWaveTable->getFinished(&finished);
    }
    *isplaying = !finished;
    if (finished) {
        mFlags.clear(VoiceFlag::Taken);
        mFlags.clear(VoiceFlag::Playing);
    }
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::getDSPHead(DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    *dsp = mDSPHead;
    return AURA_OK;
}

AURA_RESULT ChannelSoftware::moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup, bool forcedspmove)
{
    if (oldgroup == newgroup && !forcedspmove) {
        return AURA_OK;
    }
    if (!mDSPHead) {
        return AURA_OK;
    }
    DSPI *oldUnit = oldgroup ? oldgroup->mDSPMixTarget : nullptr;
    AURA_RESULT result = oldUnit ? oldUnit->disconnectFrom(mDSPHead, nullptr) : AURA_OK;
    if (result != AURA_OK && result != AURA_ERR_DSP_NOTFOUND) {
        return result;
    }
    DSPI *newUnit = newgroup ? newgroup->mDSPMixTarget : nullptr;
    if (!newUnit) {
        return AURA_OK;
    }
    DSPConnectionI *previous = mDSPConnection;
    return newUnit->addInputQueued(mDSPHead, false, previous, &mDSPConnection);
}

} // namespace AURA
