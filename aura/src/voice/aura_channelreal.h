// The base of every voice: what actually produces (or, for an emulated
// voice, only times) the sound of a logical channel.
#ifndef AURA_CHANNELREAL_H
#define AURA_CHANNELREAL_H

#include "aura.h"
#include "base/aura_flags.h"
#include "dsp/units/aura_dsp_wavetable.h"

#include <cstdint>

namespace AURA {

class SystemI;
class Output;
class SoundI;
class DSPI;
class ChannelI;
class ChannelPool;
class ChannelGroupI;

// A voice's state. These bits belong to voices only; a logical channel's
// flags are a separate set.
enum class VoiceFlag : unsigned int {
    Taken = 0x10,      // handed out by the pool, not yet started
    Paused = 0x20,
    Playing = 0x40,
    Stopped = 0x80,
    InUse = 0x100,     // the pool's in-use mark
    NoReverb = 0x800,  // no reverb sends
    Reserved = 0x1000, // kept back from requests for any free voice
    Allocated = 0x2000,
};

// The time one update covers. Under an output that mixes one block per
// update it is the frames that update mixed, exact at the output rate;
// otherwise the clock's milliseconds. `ms` is the whole milliseconds that
// fades and delays count down.
struct ElapsedTime {
    // Milliseconds of a clock (implicit: a plain count of milliseconds).
    constexpr ElapsedTime(int milliseconds = 0) // NOLINT(google-explicit-constructor)
        : ms(milliseconds), ticks(milliseconds), ticksPerSecond(1000)
    {
    }
    // `frames` at `rate`, of which `milliseconds` are the whole ones.
    static constexpr ElapsedTime mixed(int64_t frames, int rate, int milliseconds)
    {
        ElapsedTime t(milliseconds);
        t.ticks = frames;
        t.ticksPerSecond = rate > 0 ? rate : 1;
        return t;
    }

    int ms;
    int64_t ticks; // the exact time: ticks / ticksPerSecond seconds
    int64_t ticksPerSecond;
};

class ChannelReal : public WaveTableLoop {
public:
    ChannelReal();
    virtual ~ChannelReal() = default;
    ChannelReal(const ChannelReal &) = delete;
    ChannelReal &operator=(const ChannelReal &) = delete;

    virtual AURA_RESULT set2DFreqVolumePanFor3D() { return AURA_OK; }
    [[nodiscard]] virtual bool isStream() const { return false; }
    virtual AURA_RESULT moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup, bool forcedspmove);
    virtual AURA_RESULT init(int index, SystemI *system, Output *output, DSPI *dsp);
    virtual AURA_RESULT close();
    virtual AURA_RESULT alloc();
    virtual AURA_RESULT alloc(DSPI *dsp);
    virtual AURA_RESULT start();
    virtual AURA_RESULT update(ElapsedTime elapsed);
    virtual AURA_RESULT updateStream() { return AURA_OK; }
    virtual AURA_RESULT stop();
    virtual AURA_RESULT setPaused(bool paused);
    virtual AURA_RESULT getPaused(bool *paused);
    virtual AURA_RESULT setVolume(float volume);
    virtual AURA_RESULT setFrequency(float frequency);
    virtual AURA_RESULT setPan(float pan, float fbpan);
    virtual AURA_RESULT setDSPClockDelay() { return AURA_OK; }
    virtual AURA_RESULT setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br,
                                      float sl, float sr);
    virtual AURA_RESULT setSpeakerLevels(int speaker, const float *levels, int numlevels);
    virtual AURA_RESULT updateSpeakerLevels(float volume);
    virtual AURA_RESULT setPosition(unsigned int position, unsigned int postype);
    virtual AURA_RESULT setPositionEx(unsigned int position, unsigned int postype, bool fromstream);
    virtual AURA_RESULT getPosition(unsigned int *position, unsigned int postype);
    // PCM frame `pcm` of a sound in a time unit: milliseconds, PCM, PCM
    // bytes, or (for a sentence) the entry, its subsound, or the same three
    // within the entry. 37 for sentence units without a sentence, 25 for
    // other units.
    [[nodiscard]] static AURA_RESULT positionInUnit(const SoundI &sound, unsigned int pcm, unsigned int postype,
                                                    unsigned int *position);
    virtual AURA_RESULT setLoopPoints(unsigned int loopstart, unsigned int looplength);
    virtual AURA_RESULT setLoopCount(int loopcount);
    virtual AURA_RESULT getLoopCount(int *loopcount);
    virtual AURA_RESULT setLowPassGain(float) { return AURA_OK; }
    virtual AURA_RESULT set3DAttributes() { return AURA_OK; }
    virtual AURA_RESULT set3DMinMaxDistance() { return AURA_OK; }
    virtual AURA_RESULT set3DOcclusion(float directocclusion, float reverbocclusion);
    // The parent channel's send in the system's global reverb: the instances
    // the flags name (instance 0 when none) take the properties, the others
    // only the direct level.
    virtual AURA_RESULT setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props);
    // Joins reverb units that appeared since the play and sets every send
    // again; voices that send nowhere have nothing to do.
    virtual AURA_RESULT updateReverbSends() { return AURA_OK; }
    // A unit the sends carry as their connection point is going away: they
    // carry the voice's own sound again.
    virtual AURA_RESULT releaseReverbInput(DSPI * /*unit*/) { return AURA_OK; }
    // Fills props from the instance its flags name.
    virtual AURA_RESULT getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *props);
    virtual AURA_RESULT isPlaying(bool *isplaying, bool includethreadlatency = false);
    virtual AURA_RESULT isVirtual(bool *isvirtual);
    virtual AURA_RESULT getDSPHead(DSPI **dsp);
    virtual AURA_RESULT setMode(unsigned int mode);

    SystemI *mSystem = nullptr;
    int mSubChannelIndex = 0;    // place among the parent's voices
    ChannelPool *mPool = nullptr;
    ChannelI *mParent = nullptr;
    Output *mOutput = nullptr;
    SoundI *mSound = nullptr;
    DSPI *mDSP = nullptr;        // a played DSP unit
    FlagSet<VoiceFlag> mFlags;
    int mIndex = 0;              // index given to init
    unsigned int mPosition = 0;  // PCM samples
    int mDirection = 0;          // 0 forwards, 1 backwards
    unsigned int mLength = 0;
    float mMaxFrequency = 1000000.0f;
    float mMinFrequency = 100.0f;
    int mSubSoundListCurrent = 0;
};

// The voice of a virtual channel and of the output without a mixer: keeps
// the position running from the frequency and the elapsed time, silently.
class ChannelEmulated : public ChannelReal {
public:
    ChannelEmulated();
    ~ChannelEmulated() override;

    AURA_RESULT init(int index, SystemI *system, Output *output, DSPI *dsp) override;
    AURA_RESULT close() override;
    AURA_RESULT alloc() override;
    AURA_RESULT update(ElapsedTime elapsed) override;
    AURA_RESULT stop() override;
    AURA_RESULT setSpeakerMix(float, float, float, float, float, float, float, float) override
    {
        return AURA_OK;
    }
    AURA_RESULT setSpeakerLevels(int, const float *, int) override { return AURA_OK; }
    AURA_RESULT isVirtual(bool *isvirtual) override;
    AURA_RESULT getDSPHead(DSPI **dsp) override;
    AURA_RESULT moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup, bool forcedspmove) override;

    DSPI *mDSPHead = nullptr; // a silent unit in the channel group; null without a mixer
    double mStepRemainder = 0.0; // samples not yet moved, below one

private:
    void *mDSPHeadMemory = nullptr;
};

} // namespace AURA

#endif // AURA_CHANNELREAL_H
