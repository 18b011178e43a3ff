// The speaker layout of a system (positions, their clockwise order and the
// pairs a 3D sound can be panned across) and the 3D reverb's flag.
#include "system/aura_systemi.h"

#include <cmath>
#include <cstring>

namespace AURA {

namespace {

// Speaker positions (x right, z front) of each speaker mode.
struct SpeakerPlacement {
    AURA_SPEAKER speaker;
    float x;
    float z;
};

constexpr SpeakerPlacement kStereo[] = {
    {AURA_SPEAKER_FRONT_LEFT, -1.0f, 0.0f},
    {AURA_SPEAKER_FRONT_RIGHT, 1.0f, 0.0f},
};
constexpr SpeakerPlacement kQuad[] = {
    {AURA_SPEAKER_FRONT_LEFT, -1.0f, 1.0f},
    {AURA_SPEAKER_FRONT_RIGHT, 1.0f, 1.0f},
    {AURA_SPEAKER_BACK_LEFT, -1.0f, -1.0f},
    {AURA_SPEAKER_BACK_RIGHT, 1.0f, -1.0f},
};
constexpr SpeakerPlacement kSurround[] = {
    {AURA_SPEAKER_FRONT_LEFT, -1.0f, 1.0f},
    {AURA_SPEAKER_FRONT_RIGHT, 1.0f, 1.0f},
    {AURA_SPEAKER_FRONT_CENTER, 0.0f, 1.0f},
    {AURA_SPEAKER_BACK_LEFT, -1.0f, -1.0f},
    {AURA_SPEAKER_BACK_RIGHT, 1.0f, -1.0f},
};
constexpr SpeakerPlacement kSides[] = {
    {AURA_SPEAKER_SIDE_LEFT, -1.0f, 0.0f},
    {AURA_SPEAKER_SIDE_RIGHT, 1.0f, 0.0f},
};

// Pseudo-angle units: a whole turn is 8, so opposite directions are 4 apart.
constexpr float HALF_TURN = 4.0f;
constexpr float OPPOSITE_TOLERANCE = 0.002f;

void setUnitDirection(AURA_SPEAKERCONFIG &s, float x, float y, float z)
{
    const float length = std::sqrt(x * x + y * y + z * z);
    if (length > 0.0f) {
        s.mDirection[0] = x / length;
        s.mDirection[1] = y / length;
        s.mDirection[2] = z / length;
    } else {
        s.mDirection[0] = s.mDirection[1] = s.mDirection[2] = 0.0f;
    }
    s.mAngle = speakerPseudoAngle(s.mDirection[0], s.mDirection[2]);
}

} // namespace

float speakerPseudoAngle(float x, float z)
{
    if (x == 0.0f && z == 0.0f) {
        return 0.0f;
    }
    float a;
    if (std::fabs(z) < std::fabs(x)) {
        a = 3.0f - z / std::fabs(x);
        if (x < 0.0f) {
            a = 10.0f - a;
        }
    } else {
        a = x / std::fabs(z) + 1.0f;
        if (z < 0.0f) {
            a = 6.0f - a;
        }
    }
    return a;
}

AURA_RESULT SystemI::set3DSpeakerPosition(AURA_SPEAKER speaker, float x, float z, bool active)
{
    if (static_cast<unsigned int>(speaker) >= MAX_SPEAKERS) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_SPEAKERCONFIG &s = mSpeaker[speaker];
    s.mSpeaker = speaker;
    s.mPosition[0] = x;
    s.mPosition[1] = 0.0f;
    s.mPosition[2] = z;
    s.mActive = active;
    s.mAngle = speakerPseudoAngle(x, z);
    if (mSpeakerMode != AURA_SPEAKERMODE_RAW) {
        return sortSpeakerList();
    }
    return AURA_OK;
}

AURA_RESULT SystemI::setSpeakerMode(AURA_SPEAKERMODE speakermode)
{
    if (mInitialised) {
        return AURA_ERR_INITIALIZED;
    }
    mSpeakerMode = speakermode;

    if (speakermode == AURA_SPEAKERMODE_RAW) {
        return AURA_OK;
    }

    // The channel count first, so that the sorts run while the speakers
    // are placed already see the new mode's records.
    int channels = 0;
    switch (speakermode) {
    case AURA_SPEAKERMODE_MONO:
        channels = 1;
        break;
    case AURA_SPEAKERMODE_STEREO:
    case AURA_SPEAKERMODE_PROLOGIC:
        channels = 2;
        break;
    case AURA_SPEAKERMODE_QUAD:
        channels = 4;
        break;
    case AURA_SPEAKERMODE_SURROUND:
        channels = 5;
        break;
    case AURA_SPEAKERMODE_5POINT1:
        channels = 6;
        break;
    case AURA_SPEAKERMODE_7POINT1:
        channels = 8;
        break;
    default:
        break;
    }
    if (channels > 0) {
        mMaxOutputChannels = channels;
        mNumOutputSpeakers = channels;
    }

    const auto place = [this](const auto &table) {
        for (const SpeakerPlacement &p : table) {
            (void)set3DSpeakerPosition(p.speaker, p.x, p.z, true);
        }
    };
    switch (speakermode) {
    case AURA_SPEAKERMODE_STEREO:
        place(kStereo);
        break;
    case AURA_SPEAKERMODE_QUAD:
        place(kQuad);
        break;
    case AURA_SPEAKERMODE_SURROUND:
    case AURA_SPEAKERMODE_5POINT1:
    case AURA_SPEAKERMODE_PROLOGIC:
        place(kSurround);
        break;
    case AURA_SPEAKERMODE_7POINT1:
        place(kSurround);
        place(kSides);
        break;
    default:
        break;
    }
    return sortSpeakerList();
}

AURA_RESULT SystemI::sortSpeakerList()
{
    for (AURA_SPEAKERCONFIG *&slot : mSpeakerList) {
        slot = nullptr;
    }

    // The records that can take part: the output channels, except in the
    // modes whose speakers lie beyond them (quad and surround use the back
    // pair at 4 and 5; pro logic folds five speakers into two channels).
    // Never more than the eight records, whatever the channel count.
    int n = mMaxOutputChannels;
    if (mSpeakerMode == AURA_SPEAKERMODE_QUAD || mSpeakerMode == AURA_SPEAKERMODE_SURROUND ||
        mSpeakerMode == AURA_SPEAKERMODE_PROLOGIC) {
        n = 6;
    }
    if (n > MAX_SPEAKERS) {
        n = MAX_SPEAKERS;
    }

    bool placed[MAX_SPEAKERS] = {};
    for (int slot = 0; slot < n; ++slot) {
        int best = -1;
        float bestAngle = 16.0f;
        for (int i = 0; i < n; ++i) {
            const AURA_SPEAKERCONFIG &s = mSpeaker[i];
            // The LFE speaker has no direction; quad has no centre.
            if (!s.mActive || placed[i] || i == AURA_SPEAKER_LOW_FREQUENCY ||
                (i == AURA_SPEAKER_FRONT_CENTER && mSpeakerMode == AURA_SPEAKERMODE_QUAD)) {
                continue;
            }
            if (s.mAngle < bestAngle) {
                bestAngle = s.mAngle;
                best = i;
            }
        }
        if (best < 0) {
            break;
        }
        mSpeakerList[slot] = &mSpeaker[best];
        placed[best] = true;
    }
    return prepareSpeakerPairs();
}

AURA_RESULT SystemI::prepareSpeakerPairs()
{
    int count = 0;
    while (count < MAX_SPEAKERS && mSpeakerList[count]) {
        AURA_SPEAKERCONFIG &s = *mSpeakerList[count];
        setUnitDirection(s, s.mPosition[0], s.mPosition[1], s.mPosition[2]);
        ++count;
    }
    if (count == 0) {
        return AURA_OK;
    }

    // A gap of more than half a turn between neighbours (say, only two
    // front speakers) would pan the long way round: the pair's axis is
    // turned to run across the gap instead. Only the first such pair.
    for (int i = 0; i < count; ++i) {
        AURA_SPEAKERCONFIG &a = *mSpeakerList[i];
        AURA_SPEAKERCONFIG &b = *mSpeakerList[(i + 1) % count];
        if (a.mAngle == b.mAngle) {
            continue;
        }
        const bool wide = b.mAngle - a.mAngle > HALF_TURN ||
                          (b.mAngle < a.mAngle && a.mAngle - b.mAngle < HALF_TURN);
        if (!wide) {
            continue;
        }
        const float d[3] = {a.mDirection[0] - b.mDirection[0], a.mDirection[1] - b.mDirection[1],
                            a.mDirection[2] - b.mDirection[2]};
        setUnitDirection(a, d[0], d[1], d[2]);
        setUnitDirection(b, -d[0], -d[1], -d[2]);
        break;
    }

    for (int i = 0; i < count; ++i) {
        AURA_SPEAKERCONFIG &a = *mSpeakerList[i];
        const AURA_SPEAKERCONFIG &b = *mSpeakerList[(i + 1) % count];
        if (a.mAngle == b.mAngle) {
            continue;
        }
        // Exactly opposite speakers give no usable pan between them.
        const float gap = b.mAngle - a.mAngle;
        a.mPairValid = std::fabs(std::fabs(gap) - HALF_TURN) > OPPOSITE_TOLERANCE;
        if (a.mPairValid) {
            const float cross =
                a.mDirection[0] * b.mDirection[2] - b.mDirection[0] * a.mDirection[2];
            a.mPairSign = cross > 0.0f ? 1.0f : -1.0f;
        }
    }
    return AURA_OK;
}

AURA_RESULT SystemI::set3DReverbActive(bool active)
{
    if (m3DReverbActive != active) {
        m3DReverbActive = active;
        // 3D channels move between the global and the 3D reverb.
        refreshReverbSends();
    }
    return AURA_OK;
}

AURA_RESULT SystemI::get3DReverbActive(bool *active)
{
    if (!active) {
        return AURA_ERR_INVALID_PARAM;
    }
    *active = m3DReverbActive;
    return AURA_OK;
}

} // namespace AURA
