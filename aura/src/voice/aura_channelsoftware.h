// The voices of the software mixer: the manual-3D layer that pans by hand
// over the speaker layout, and the software voice that plays through its
// own small chain of units (source, optional low-pass, head) into its
// channel group's unit.
#ifndef AURA_CHANNELSOFTWARE_H
#define AURA_CHANNELSOFTWARE_H

#include "voice/aura_channelreal.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_resampler.h"
#include "dsp/units/aura_dsp_wavetable.h"
#include "voice/aura_dsp_codec.h"

namespace AURA {

class DSPConnectionI;
class ReverbI;

class ChannelRealManual3D : public ChannelReal {
public:
    ChannelRealManual3D() = default;
    ~ChannelRealManual3D() override = default;

    AURA_RESULT set2DFreqVolumePanFor3D() override;
    AURA_RESULT alloc() override;
    using ChannelReal::alloc;

    float mAngle = 0.0f; // degrees between the listener's facing and the sound
};

// The pseudo-angle of a direction on the listener's plane (x right, y
// front): 8 units a turn, front 1, right 3, back 5, left 7; 0 for (0, 0).
float listenerPseudoAngle(float x, float y);

class ChannelSoftware : public ChannelRealManual3D {
public:
    ChannelSoftware();
    ~ChannelSoftware() override;

    // dsp: the unit the voice's channel group mixes into (its rate and
    // channel count size the wavetable).
    AURA_RESULT init(int index, SystemI *system, Output *output, DSPI *dsp) override;
    AURA_RESULT close() override;
    AURA_RESULT alloc() override;
    AURA_RESULT alloc(DSPI *dsp) override;
    AURA_RESULT start() override;
    AURA_RESULT stop() override;
    AURA_RESULT setPaused(bool paused) override;
    AURA_RESULT getPaused(bool *paused) override;
    AURA_RESULT setVolume(float volume) override;
    AURA_RESULT setFrequency(float frequency) override;
    AURA_RESULT setPan(float pan, float fbpan) override;
    AURA_RESULT setDSPClockDelay() override;
    AURA_RESULT setSpeakerMix(float fl, float fr, float c, float lfe, float bl, float br, float sl,
                              float sr) override;
    AURA_RESULT setSpeakerLevels(int speaker, const float *levels, int numlevels) override;
    AURA_RESULT setPosition(unsigned int position, unsigned int postype) override;
    AURA_RESULT getPosition(unsigned int *position, unsigned int postype) override;
    AURA_RESULT setLoopPoints(unsigned int loopstart, unsigned int looplength) override;
    AURA_RESULT setLoopCount(int loopcount) override;
    AURA_RESULT getLoopCount(int *loopcount) override;
    AURA_RESULT setMode(unsigned int mode) override;
    AURA_RESULT setLowPassGain(float gain) override;
    AURA_RESULT set3DOcclusion(float directocclusion, float reverbocclusion) override;
    AURA_RESULT isPlaying(bool *isplaying, bool includethreadlatency = false) override;
    AURA_RESULT getDSPHead(DSPI **dsp) override;
    AURA_RESULT moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup, bool forcedspmove) override;
    // Stores the send, joins a reverb unit that appeared since the play,
    // and sets the send levels.
    AURA_RESULT setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props) override;
    AURA_RESULT updateReverbSends() override;
    AURA_RESULT releaseReverbInput(DSPI *unit) override;
    // The newest count frames of one channel of what the voice plays.

    DSPI *mDSPHead = nullptr;
    DSPFilter mDSPHeadMemory;
    DSPWaveTable *mDSPWaveTable = nullptr;
    DSPWaveTable mDSPWaveTableMemory;
    DSPResamplerMultiInput *mDSPResampler = nullptr;
    DSPCodec *mDSPCodec = nullptr; // a compressed sample's decoding unit, from the system's pool
    DSPI *mDSPLowPass = nullptr;
    DSPI *mDSPReverbTarget = nullptr;
    DSPI *mDSPReverbSource = nullptr; // the voice's own source unit (what the sends carry without a connection point)
    DSPConnectionI *mDSPConnection = nullptr;

private:
    // The units the voice switches on and off together.
    template <class F>
    void forEachUnit(F &&f);
    AURA_RESULT updateDirectMix(float volume);
    // The level of each global reverb send, from the channel's room level.
    AURA_RESULT updateReverbMix(float volume);
    AURA_RESULT addToReverbs(DSPI *unit);
    // Moves every send onto input (a connection point, or the voice's own
    // source); a refused connection point leaves the own source.
    AURA_RESULT moveReverbInput(DSPI *input);
    enum class ReverbKind { Global, ThreeD, User };
    // f(reverb, instance, kind) for each instance of every reverb the voice
    // may send to: the global reverb's four, the 3D reverb's and each user
    // reverb's first.
    template <class F>
    void forEachReverbSlot(F &&f);
    // f(connection) for each send of the voice's own sound into an active
    // reverb: they carry the direct path's speaker levels.
    template <class F>
    void forEachOwnSend(F &&f);
    // The chain of a compressed sample: a decoding unit of the system's pool as the source.
    AURA_RESULT allocCompressed(DSPI *target);
    // Builds head <- [low-pass <-] source into the group's unit, and the reverb sends.
    AURA_RESULT connectSource(DSPI *target, DSPI *source);
    void releaseDSPCodec();
    // A source unit's play state for a new play: the voice's loop and mode, no delays.
    void resetPlayState(ResamplerPlayState &state) const;
    void removeFromReverbs();
    [[nodiscard]] int sourceChannels() const;
    [[nodiscard]] DSPI *groupUnit() const;
};

} // namespace AURA

#endif // AURA_CHANNELSOFTWARE_H
