// The voice of a streamed sound: real voices play the stream's ring buffer
// while the stream thread decodes ahead of them; this voice keeps the
// stream's own position, loops and end, and passes every setting on.
#ifndef AURA_CHANNELSTREAM_H
#define AURA_CHANNELSTREAM_H

#include "voice/aura_channelreal.h"
#include "base/aura_globals.h"

#include <atomic>
#include <cstdint>

namespace AURA {

class Stream;

class ChannelStream : public ChannelReal {
public:
    static constexpr int MAX_REAL_VOICES = 16;

    ChannelStream();
    ~ChannelStream() override = default;

    [[nodiscard]] bool isStream() const override { return true; }
    AURA_RESULT set2DFreqVolumePanFor3D() override;
    AURA_RESULT moveChannelGroup(ChannelGroupI *oldgroup, ChannelGroupI *newgroup, bool forcedspmove) override;
    AURA_RESULT alloc() override;
    using ChannelReal::alloc;
    AURA_RESULT start() override;
    AURA_RESULT update(ElapsedTime elapsed) override;
    // One pass of the stream thread: decode what was played, move the
    // stream's position on, end it at the end of its data.
    AURA_RESULT updateStream() override;
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
    AURA_RESULT setPositionEx(unsigned int position, unsigned int postype, bool fromstream) override;
    AURA_RESULT getPosition(unsigned int *position, unsigned int postype) override;
    AURA_RESULT setLoopPoints(unsigned int loopstart, unsigned int looplength) override;
    AURA_RESULT setLoopCount(int loopcount) override;
    AURA_RESULT setMode(unsigned int mode) override;
    AURA_RESULT setLowPassGain(float gain) override;
    AURA_RESULT set3DAttributes() override;
    AURA_RESULT set3DOcclusion(float directocclusion, float reverbocclusion) override;
    AURA_RESULT setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *props) override;
    AURA_RESULT getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *props) override;
    AURA_RESULT isPlaying(bool *isplaying, bool includethreadlatency = false) override;
    AURA_RESULT getDSPHead(DSPI **dsp) override;

    [[nodiscard]] Stream *stream() const;
    // The loader made the seek: the voices play again, or stay paused when
    // a pause was asked for meanwhile.
    void finishSeek();

    LinkedListNode mStreamNode;           // in the system's list of stream voices
    int mNumRealChannels = 1;
    ChannelReal *mRealChannel[MAX_REAL_VOICES] = {};
    std::atomic<bool> mFinished{false};
    std::atomic<bool> mSeekPending{false};  // a seek waits in the loader
    std::atomic<bool> mPausePending{false}; // the pause to apply when it is done

private:
    template <class F>
    AURA_RESULT forEachVoice(F &&f);
    // The same operation on every voice of the ring, with these arguments.
    template <class... Params, class... Args>
    AURA_RESULT forward(AURA_RESULT (ChannelReal::*operation)(Params...), Args... args)
    {
        return forEachVoice([&](ChannelReal *voice) { return (voice->*operation)(args...); });
    }
    void pauseVoices(bool paused);
    [[nodiscard]] unsigned int ringLength() const;
    // The voice of the ring stops by itself where the data ends: `frame`
    // counts the ring's frames from where the play (or the last seek) began
    // it, the first pass over the ring included. Under the stream-voice
    // section.
    void endVoiceAt(uint32_t frame);
    // The ring's voice loops on (a seek, or the stream loops again).
    void clearVoiceEnd();
    // The voice stopped: the stream is over, at the end of its data when
    // that is where it stopped. Under the stream-voice section.
    void finishPlay(const Stream &s);
    [[nodiscard]] bool loopsOn() const { return (mMode & AURA_LOOP_NORMAL) && mLoopCount != 0; }

    unsigned int mLastPlayCursor = 0;
    unsigned int mFillCursor = 0;
    uint32_t mPlayedTotal = 0;
    uint32_t mDecodedTotal = 0;
    std::atomic<unsigned int> mStreamPosition{0}; // PCM of the stream, read by the caller's thread
};

} // namespace AURA

#endif // AURA_CHANNELSTREAM_H
