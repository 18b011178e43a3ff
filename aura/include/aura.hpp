// Aura audio engine: the C++ interface. Each class is a thin handle over
// the engine's object; every member checks its handle and returns an
// AURA_RESULT.
#ifndef AURA_HPP
#define AURA_HPP

#include "aura.h"
#include "aura_dsp.h"

namespace AURA {

class Sound;
class Channel;
class ChannelGroup;

class System {
public:
    // Releases the system: stops the output, frees every object of it.
    AURA_RESULT release();

    // Before init.
    AURA_RESULT setOutput(AURA_OUTPUTTYPE output);
    AURA_RESULT getOutput(AURA_OUTPUTTYPE *output);
    AURA_RESULT setDriver(int driver);
    AURA_RESULT setSoftwareFormat(int samplerate, AURA_SOUND_FORMAT format, int numoutputchannels,
                                  int maxinputchannels, AURA_DSP_RESAMPLER resamplemethod);
    AURA_RESULT getSoftwareFormat(int *samplerate, AURA_SOUND_FORMAT *format, int *numoutputchannels,
                                  int *maxinputchannels, AURA_DSP_RESAMPLER *resamplemethod,
                                  int *bits);
    AURA_RESULT setDSPBufferSize(unsigned int bufferlength, int numbuffers);
    AURA_RESULT getDSPBufferSize(unsigned int *bufferlength, int *numbuffers);

    // Opens the output and starts mixing. extradriverdata: for the WAV
    // writers, the file name (const char *).
    AURA_RESULT init(int maxchannels, unsigned int flags, void *extradriverdata);
    // Once a frame, on the caller's thread: advances every channel and runs
    // the end and sync-point callbacks.
    AURA_RESULT update();

    // Plays a sound on a free channel (AURA_CHANNEL_FREE) or on the given one.
    AURA_RESULT playSound(AURA_CHANNELINDEX channelid, Sound *sound, bool paused, Channel **channel);
    AURA_RESULT getMasterChannelGroup(ChannelGroup **channelgroup);
    AURA_RESULT createChannelGroup(const char *name, ChannelGroup **channelgroup);

protected:
    System() = default;
    ~System() = default;
};

class Sound {
public:
    // Stops every channel that plays it, then frees it.
    AURA_RESULT release();
    AURA_RESULT getLength(unsigned int *length, AURA_TIMEUNIT lengthtype);

protected:
    Sound() = default;
    ~Sound() = default;
};

// A channel is a handle value, not an object: every member checks it and
// answers 36 once its sound has ended and 11 once the channel plays another.
class Channel {
public:
    AURA_RESULT stop();
    AURA_RESULT setPaused(bool paused);
    AURA_RESULT getPaused(bool *paused);
    AURA_RESULT setMute(bool mute);
    AURA_RESULT getMute(bool *mute);
    AURA_RESULT setVolume(float volume);
    AURA_RESULT getVolume(float *volume);
    AURA_RESULT setPan(float pan);
    AURA_RESULT setFrequency(float frequency);
    AURA_RESULT getFrequency(float *frequency);
    AURA_RESULT setPosition(unsigned int position, AURA_TIMEUNIT postype);
    AURA_RESULT getPosition(unsigned int *position, AURA_TIMEUNIT postype);
    AURA_RESULT setLoopCount(int loopcount);
    AURA_RESULT getLoopCount(int *loopcount);
    AURA_RESULT setLoopPoints(unsigned int loopstart, AURA_TIMEUNIT loopstarttype, unsigned int loopend,
                              AURA_TIMEUNIT loopendtype);
    AURA_RESULT setDelay(AURA_DELAYTYPE delaytype, unsigned int delayhi, unsigned int delaylo);
    // The reverb send of the instances named by the flags; the others take
    // only the direct level. getReverbProperties reads the instance its
    // flags name (the lowest of 0x20, 0x40, 0x80 set, else instance 0).
    AURA_RESULT setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *prop);
    AURA_RESULT getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *prop);
    AURA_RESULT setCallback(AURA_CHANNEL_CALLBACK callback);
    AURA_RESULT getCurrentSound(Sound **sound);
    AURA_RESULT isPlaying(bool *isplaying);
    AURA_RESULT setChannelGroup(ChannelGroup *channelgroup);
    AURA_RESULT getChannelGroup(ChannelGroup **channelgroup);

    Channel() = delete;
};

class ChannelGroup {
public:
    // Frees the group; its channels move to the master group and play on.
    AURA_RESULT release();
    AURA_RESULT addGroup(ChannelGroup *group);
    AURA_RESULT setVolume(float volume);
    AURA_RESULT getVolume(float *volume);
    AURA_RESULT setPitch(float pitch);
    AURA_RESULT getPitch(float *pitch);
    AURA_RESULT setPaused(bool paused);
    AURA_RESULT getPaused(bool *paused);
    AURA_RESULT setMute(bool mute);
    AURA_RESULT getMute(bool *mute);
    AURA_RESULT getNumChannels(int *numchannels);

protected:
    ChannelGroup() = default;
    ~ChannelGroup() = default;
};

// Creates a system; its index among the live systems is 1 to 15.
AURA_RESULT System_Create(System **system);

} // namespace AURA

#endif // AURA_HPP
