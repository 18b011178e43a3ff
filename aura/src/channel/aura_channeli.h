// The logical channel behind a channel handle: keeps what the game set and
// pushes it to its voices, which may change under it.
#ifndef AURA_CHANNELI_H
#define AURA_CHANNELI_H

#include "aura.h"
#include "aura.hpp"
#include "base/aura_flags.h"
#include "base/aura_globals.h"
#include "voice/aura_channelreal.h"

#include <cstdint>

namespace AURA {

class ReverbI;

class SystemI;
class SoundI;
class DSPI;
class ChannelReal;
class ChannelGroupI;
class SoundGroupI;
class DSPConnectionI;
struct AURA_SYNCPOINT;

// A logical channel's state, apart from its voices' own flags.
enum class ChannelFlag : unsigned int {
    Paused = 0x001,
    Muted = 0x002,
    StartingWhenEmulated = 0x004,
    MutedInEffect = 0x008,     // own mute or a muted group above
    Moved3D = 0x010,
    Virtual = 0x040,
    Starting = 0x100,          // set by play until first unpaused
    PauseDelay = 0x200,
    StopDeferred = 0x400,
};

// What stopEx does.
enum StopFlag : unsigned int {
    STOP_REFSTAMP = 0x01,
    STOP_RETURNTOFREELIST = 0x02,
    STOP_RESETCALLBACKS = 0x04,
    STOP_CALLBACKS = 0x08,
    STOP_RESETCHANNELGROUP = 0x10,
    STOP_PROCESSENDDELAY = 0x20,
    STOP_UPDATESYNCPOINTS = 0x40,
    STOP_DONTFREELEVELS = 0x80,
    STOP_ALL = 0x5F,      // Channel::stop
    STOP_FINISHED = 0x7F, // the system update, for a channel whose voices ended
};

// What a channel carries when it moves to another voice.
struct AURA_CHANNEL_INFO {
    float *mLevels;
    unsigned int mPosition;     // PCM
    unsigned int mLoopStart;    // PCM
    unsigned int mLoopEnd;      // PCM
    ChannelReal *mRealChannel;
    SoundI *mSound;
    DSPI *mDSP;                 // when no sound is played
    int mLoopCount;
    bool mMute;
    bool mPaused;
    unsigned int mMode;
};

enum ChannelSpeakerMode { SPEAKERMODE_PAN = 0, SPEAKERMODE_MIX = 1, SPEAKERMODE_LEVELS = 2 };

class ChannelI {
public:
    static constexpr int MAX_VOICES = 16;
    static constexpr unsigned int UNSORTED = 0xFFFFFFFFu;

    ChannelI();
    ~ChannelI();
    ChannelI(const ChannelI &) = delete;
    ChannelI &operator=(const ChannelI &) = delete;

    // Back to defaults; index and system set.
    AURA_RESULT init(int index, SystemI *system);

    // Handles.
    static AURA_RESULT validate(const Channel *channel, ChannelI **channeli);
    AURA_RESULT referenceStamp(bool newstamp);
    [[nodiscard]] Channel *getHandle() const;

    AURA_RESULT play(SoundI *sound, bool paused, bool reset, bool startmuted);
    AURA_RESULT play(DSPI *dsp, bool paused, bool reset, bool startmuted);
    AURA_RESULT alloc(SoundI *sound, bool reset);
    AURA_RESULT alloc(DSPI *dsp, bool reset);
    AURA_RESULT start();
    AURA_RESULT stop() { return stopEx(STOP_ALL); }
    AURA_RESULT stopEx(unsigned int stopflags);
    AURA_RESULT returnToFreeList();

    AURA_RESULT setPaused(bool paused);
    AURA_RESULT getPaused(bool *paused);
    AURA_RESULT setMute(bool mute);
    AURA_RESULT getMute(bool *mute);
    AURA_RESULT setVolume(float volume, bool forceupdate = false);
    AURA_RESULT getVolume(float *volume);
    AURA_RESULT setFrequency(float frequency);
    AURA_RESULT getFrequency(float *frequency);
    AURA_RESULT setPan(float pan, bool push = true);
    AURA_RESULT setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br, float sl,
                              float sr, bool push = true);
    AURA_RESULT setSpeakerLevels(AURA_SPEAKER speaker, const float *levels, int numlevels,
                                 bool push = true);
    AURA_RESULT getSpeakerLevels(AURA_SPEAKER speaker, float *levels, int numlevels);
    AURA_RESULT setPosition(unsigned int position, unsigned int postype);
    AURA_RESULT getPosition(unsigned int *position, unsigned int postype);
    AURA_RESULT setLoopCount(int loopcount);
    AURA_RESULT getLoopCount(int *loopcount);
    AURA_RESULT setLoopPoints(unsigned int loopstart, unsigned int loopstarttype,
                              unsigned int loopend, unsigned int loopendtype);
    AURA_RESULT getLoopPoints(unsigned int *loopstart, unsigned int loopstarttype,
                              unsigned int *loopend, unsigned int loopendtype);
    AURA_RESULT setMode(unsigned int mode);
    AURA_RESULT getMode(unsigned int *mode);
    AURA_RESULT setDelay(AURA_DELAYTYPE delaytype, unsigned int delayhi, unsigned int delaylo);
    AURA_RESULT setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props);
    AURA_RESULT getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *props);
    AURA_RESULT setCallback(AURA_CHANNEL_CALLBACK callback);
    AURA_RESULT updateSyncPoints(bool seeked);
    AURA_RESULT getCurrentSound(SoundI **sound);
    AURA_RESULT getCurrentDSP(DSPI **dsp);
    AURA_RESULT getDSPHead(DSPI **dsp);
    // Inserts a unit as input 0 of the channel's head and keeps it there
    // across moves to other voices.
    AURA_RESULT addDSP(DSPI *dsp, DSPConnectionI **connection);
    // The spectrum and the newest samples of one channel of what the
    // channel plays, from its head unit's history.
    AURA_RESULT getSpectrum(float *spectrumarray, int numvalues, int channeloffset, AURA_DSP_FFT_WINDOW windowtype);
    AURA_RESULT getWaveData(float *wavearray, int numvalues, int channeloffset);
    AURA_RESULT set3DAttributes(const AURA_VECTOR *pos, const AURA_VECTOR *vel);
    AURA_RESULT get3DAttributes(AURA_VECTOR *pos, AURA_VECTOR *vel);
    AURA_RESULT getChannelInfo(AURA_CHANNEL_INFO *info);
    AURA_RESULT setChannelInfo(AURA_CHANNEL_INFO *info);
    AURA_RESULT getRealChannel(ChannelReal **voices, int *numvoices);
    AURA_RESULT isPlaying(bool *isplaying);
    AURA_RESULT setDefaults();
    AURA_RESULT update(ElapsedTime elapsed, bool force = false);
    AURA_RESULT setChannelGroup(ChannelGroupI *group);
    AURA_RESULT setChannelGroupInternal(ChannelGroupI *group, bool applysettings,
                                        bool forcedspmove = false);
    AURA_RESULT getChannelGroup(ChannelGroupI **group);
    // Position and priority in the system's sorted list.
    AURA_RESULT updatePosition();

    // Converts a position in a time unit (ms, PCM, PCM bytes) to PCM.
    [[nodiscard]] unsigned int toPCM(unsigned int position, unsigned int unit) const;
    // A position in a sentence unit (an entry, or a place within the entry
    // that plays now) to PCM of the whole sentence: 37 without a sentence,
    // 38 past the entry or the list.
    [[nodiscard]] AURA_RESULT sentenceToPCM(const SoundI &sound, unsigned int *position, unsigned int postype) const;

    LinkedListNode mNode;          // the system's free or used list
    LinkedListNode mSortedNode;    // the system's priority-sorted list
    unsigned int mSortKey = UNSORTED;
    LinkedListNode mGroupNode;     // the group's channel list
    LinkedListNode mSoundNode;     // the list of the channels that play its sound
    void unlistFromSound();
    int mIndex = 0;
    uint32_t mHandleOriginal = 0;  // handed out at the last start
    uint32_t mHandleCurrent = 0;
    SystemI *mSystem = nullptr;
    int mNumRealChannels = 0;
    ChannelReal *mRealChannel[MAX_VOICES] = {};
    FlagSet<ChannelFlag> mFlags;
    ChannelSpeakerMode mSpeakerMode = SPEAKERMODE_PAN;
    int mPriority = 128;
    AURA_SYNCPOINT *mSyncPointCurrent = nullptr;
    unsigned int mSyncPointLastPos = 0;
    ChannelGroupI *mChannelGroup = nullptr;
    float mFadeVolume = 1.0f;
    float mFadeTarget = 1.0f;
    unsigned int mEndDelay = 0;       // milliseconds
    uint64_t mDSPClockDelay = 0;      // start
    uint64_t mDSPClockEnd = 0;
    uint64_t mDSPClockPause = 0;
    float mVolume = 1.0f;
    float mFrequency = 44100.0f;
    float mPan = 0.0f;
    float mSpeakerMix[8] = {};
    float mInputMix[16] = {};
    float *mLevels = nullptr;        // from the system's speaker-levels pool
    float mDopplerPitch = 1.0f;       // 3D factors, neutral for 2D channels
    float m3DLevel = 1.0f;            // 0 purely 2D .. 1 purely 3D
    float m3DDistanceVolume = 1.0f;   // results of the 3D calculation
    float m3DConeVolume = 1.0f;
    float mDirectGain = 1.0f;         // the reverb properties' direct level, as a gain
    float mLowPassGain = 1.0f;
    float mSpread = 0.0f;             // degrees between the channels of a 3D sound
    float mDirectOcclusion = 0.0f;
    float mReverbOcclusion = 0.0f;
    AURA_CHANNEL_CALLBACK mCallback = nullptr;
    AURA_VECTOR m3DPosition{};
    AURA_VECTOR m3DVelocity{};
    DSPI *mAddDSP = nullptr;          // the unit added with addDSP

    // 3D attenuation, occlusion, audibility and virtual voices
    // (aura_channeli_3d.cpp, aura_channeli_virtual.cpp).
    AURA_RESULT getAudibilityInternal(float *audibility, bool usefadevolume);
    AURA_RESULT getAudibility(float *audibility) { return getAudibilityInternal(audibility, true); }
    // Distance, cone and Doppler from the channel's and the listeners'
    // positions; force recomputes though nothing moved.
    AURA_RESULT calcVolumeAndPitchFor3D(bool force);
    // Geometry occlusion: asks the worker, takes its answers and fades.
    AURA_RESULT updateOcclusion(int delta, bool moved, bool force);
    // A 3D channel's gain into a reverb: 1 for the 3D reverb, the reverb's
    // presence at the position for another; times what the geometry lets
    // through on the path between the reverb and the position.
    AURA_RESULT calculate3DReverbGain(ReverbI *reverb, const AURA_VECTOR *position, float *gain);
    // Recomputes the channel's gain into every user reverb (and stores the
    // worker's reverb-path gain for the 3D reverb); true when one changed.
    bool updateReverbPresence();
    // The voices join reverb units that appeared and set their sends again.
    AURA_RESULT updateReverbSends();
    // Sets the current geometry occlusion (and the fade targets).
    AURA_RESULT set3DOcclusionInternal(float direct, float reverb, bool settargets);
    AURA_RESULT set3DOcclusion(float direct, float reverb);
    AURA_RESULT get3DOcclusion(float *direct, float *reverb);
    AURA_RESULT set3DMinMaxDistance(float mindistance, float maxdistance);
    AURA_RESULT get3DMinMaxDistance(float *mindistance, float *maxdistance);
    AURA_RESULT set3DConeSettings(float insideangle, float outsideangle, float outsidevolume);
    AURA_RESULT get3DConeSettings(float *insideangle, float *outsideangle, float *outsidevolume);
    AURA_RESULT set3DConeOrientation(const AURA_VECTOR *orientation);
    AURA_RESULT get3DConeOrientation(AURA_VECTOR *orientation);
    AURA_RESULT set3DCustomRolloff(AURA_VECTOR *points, int numpoints);
    AURA_RESULT get3DCustomRolloff(AURA_VECTOR **points, int *numpoints);
    AURA_RESULT set3DLevel(float level);
    AURA_RESULT get3DLevel(float *level);
    AURA_RESULT set3DDopplerLevel(float level);
    AURA_RESULT get3DDopplerLevel(float *level);
    AURA_RESULT setPriority(int priority);
    AURA_RESULT getPriority(int *priority);
    AURA_RESULT isVirtual(bool *isvirtual);
    // The sound's 3D settings, taken at play.
    void take3DSettings(const SoundI *sound);
    // The key for an audibility at a priority: lower sorts first.
    [[nodiscard]] static unsigned int sortKey(int priority, float audibility);
    // Onto an emulated voice (true) while silent; false only clears the mark.
    AURA_RESULT forceVirtual(bool force);
    // Moves what the channel plays, where it is and how it is set, onto
    // another voice; the handle stays.
    AURA_RESULT moveToVoice(ChannelReal *voice);
    // moveToVoice onto a free voice of the system's emulated pool.
    AURA_RESULT moveToEmulatedVoice();
    [[nodiscard]] bool onEmulatedVoice() const;
    bool mMovingVoice = false; // moveToVoice runs: no decisions meanwhile

    float mMinDistance = 1.0f;
    float mMaxDistance = 10000.0f;
    float mConeInsideAngle = 360.0f;
    float mConeOutsideAngle = 360.0f;
    float mConeOutsideVolume = 1.0f;
    AURA_VECTOR mConeOrientation{0.0f, 0.0f, 1.0f};
    AURA_VECTOR *mRolloffPoints = nullptr; // the game's array: distance, volume, unused
    int mNumRolloffPoints = 0;
    float mDistance = 0.0f;
    float mDopplerLevel = 1.0f;
    float mExtraGain = 1.0f;
    float mGeometryDirect = 0.0f;      // faded geometry occlusion
    float mGeometryReverb = 0.0f;
    float mGeometryDirectTarget = 0.0f;
    float mGeometryReverbTarget = 0.0f;
    float mGeometryDirectRate = 0.0f;  // per millisecond
    float mGeometryReverbRate = 0.0f;
    float mUserDirectOcclusion = 0.0f; // set by the game
    float mUserReverbOcclusion = 0.0f;
    float mReverbGain3D = 1.0f;        // reverb-path gain from the worker
    uint32_t mGeometryChangesSeen = 0;
    unsigned int mSortKey2 = UNSORTED;
    // The sound group of the sound it plays (null: none), and what of it the
    // voices mix in (1 without a group).
    [[nodiscard]] SoundGroupI *soundGroup() const;
    [[nodiscard]] float soundGroupVolume() const;
    // Its sound's group or that group's volume changed: it takes its place
    // in the group it now belongs to and mixes again.
    AURA_RESULT soundGroupChanged();
    LinkedListNode mSoundGroupNode; // the sound group's channel list
    SoundGroupI *mSoundGroupListed = nullptr; // the group whose list holds it

private:
    // Pushes the combined occlusion to the voices.
    void applyOcclusion();
    // Keeps its place, by the second key, in its sound's group's list.
    void placeInSoundGroup(unsigned int key2);

    // Runs f on every voice; every voice is set, the first failure returned.
    template <class F>
    AURA_RESULT forEachVoice(F &&f)
    {
        AURA_RESULT first = AURA_OK;
        for (int i = 0; i < mNumRealChannels; ++i) {
            const AURA_RESULT result = f(mRealChannel[i]);
            first = first == AURA_OK ? result : first;
        }
        return first;
    }
    // A stored setting read back: 37 for a null receiver, 36 without a voice.
    template <class T>
    AURA_RESULT readField(T *out, const T &value) const
    {
        if (!out) {
            return AURA_ERR_INVALID_PARAM;
        }
        if (mNumRealChannels == 0) {
            return AURA_ERR_INVALID_HANDLE;
        }
        *out = value;
        return AURA_OK;
    }
    AURA_RESULT pushSpeakerMix(ChannelReal *voice) const;
    // What play does once the voices are allocated (sound: null for a unit).
    AURA_RESULT begin(SoundI *sound, bool paused, bool reset, bool startmuted);
    // play() of either source: the voices take it, then the channel starts.
    template <class Source>
    AURA_RESULT playSource(Source *source, bool paused, bool reset, bool startmuted);
    [[nodiscard]] bool pausedAbove() const;
    [[nodiscard]] bool mutedAbove() const;
    AURA_RESULT applyVolume();
};

} // namespace AURA

#endif // AURA_CHANNELI_H
