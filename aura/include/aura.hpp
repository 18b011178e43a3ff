// Aura audio engine: the C++ interface. Each class is a thin handle over
// the engine's object; every member checks its handle and returns an
// AURA_RESULT.
#ifndef AURA_HPP
#define AURA_HPP

#include "aura.h"
#include "aura_codec.h"
#include "aura_dsp.h"

namespace AURA {

class Sound;
class Channel;
class ChannelGroup;
class DSP;
class Geometry;
class SoundGroup;
class Reverb;

class AURA_API System {
public:
    // Releases the system: stops the output, frees every object of it.
    AURA_RESULT release();

    // Before init.
    AURA_RESULT setOutput(AURA_OUTPUTTYPE output);
    AURA_RESULT getOutput(AURA_OUTPUTTYPE *output);
    AURA_RESULT setDriver(int driver);
    // Hears the system's events (no sound device at init, refused DSP
    // connections); null stops it.
    AURA_RESULT setCallback(AURA_SYSTEM_CALLBACK callback);
    AURA_RESULT setSoftwareFormat(int samplerate, AURA_SOUND_FORMAT format, int numoutputchannels,
                                  int maxinputchannels, AURA_DSP_RESAMPLER resamplemethod);
    AURA_RESULT getSoftwareFormat(int *samplerate, AURA_SOUND_FORMAT *format, int *numoutputchannels,
                                  int *maxinputchannels, AURA_DSP_RESAMPLER *resamplemethod,
                                  int *bits);
    AURA_RESULT setDSPBufferSize(unsigned int bufferlength, int numbuffers);
    AURA_RESULT getDSPBufferSize(unsigned int *bufferlength, int *numbuffers);
    // Read at init: set before it.
    AURA_RESULT setAdvancedSettings(AURA_ADVANCEDSETTINGS *settings);
    AURA_RESULT getAdvancedSettings(AURA_ADVANCEDSETTINGS *settings);
    // CPU use in percent of the mixer, stream thread, geometry thread, update
    // and their total; null receivers are skipped.
    AURA_RESULT getCPUUsage(float *dsp, float *stream, float *geometry, float *update, float *total);
    // Internet streams of every system: a proxy as
    // "[user:password@]host[:port]" (null or empty: none), and the time-out in
    // milliseconds for connecting and for each wait for the server.
    AURA_RESULT setNetworkProxy(const char *proxy);
    AURA_RESULT getNetworkProxy(char *proxy, int proxylen);
    AURA_RESULT setNetworkTimeout(int timeout);
    AURA_RESULT getNetworkTimeout(int *timeout);

    // Opens the output and starts mixing. extradriverdata: for the WAV
    // writers, the file name (const char *).
    AURA_RESULT init(int maxchannels, unsigned int flags, void *extradriverdata);
    // Where a listener is and where it faces (forward and up: unit length,
    // at right angles); null arguments keep their values.
    AURA_RESULT set3DListenerAttributes(int listener, const AURA_VECTOR *pos, const AURA_VECTOR *vel,
                                        const AURA_VECTOR *forward, const AURA_VECTOR *up);
    // null receivers are skipped; 37 for a listener outside 0..3.
    AURA_RESULT get3DListenerAttributes(int listener, AURA_VECTOR *pos, AURA_VECTOR *vel, AURA_VECTOR *forward,
                                        AURA_VECTOR *up);
    // Once a frame, on the caller's thread: advances every channel and runs
    // the end and sync-point callbacks.
    AURA_RESULT update();

    // Opens a sound from a file name, or from memory (AURA_OPENMEMORY, with
    // exinfo->length), and reads it whole. 23 for a missing file, 25 when no
    // codec knows the format.
    AURA_RESULT createSound(const char *name_or_data, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                            Sound **sound);
    // The same with AURA_CREATESTREAM: decoded while it plays.
    AURA_RESULT createStream(const char *name_or_data, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                             Sound **sound);

    // Plays a sound on a free channel (AURA_CHANNEL_FREE) or on the given one.
    AURA_RESULT playSound(AURA_CHANNELINDEX channelid, Sound *sound, bool paused, Channel **channel);
    AURA_RESULT getMasterChannelGroup(ChannelGroup **channelgroup);
    AURA_RESULT createChannelGroup(const char *name, ChannelGroup **channelgroup);
    // A group of sounds whose channels play at the group's volume.
    AURA_RESULT createSoundGroup(const char *name, SoundGroup **soundgroup);

    // Effect units. A unit is made from the built-in list by type (68 when
    // none has it), set up, then added to a channel or a group, or played
    // on a channel of its own (a generator such as the oscillator).
    AURA_RESULT createDSPByType(AURA_DSP_TYPE type, DSP **dsp);
    AURA_RESULT playDSP(AURA_CHANNELINDEX channelid, DSP *dsp, bool paused, Channel **channel);
    // The spectrum of the mix (the master group's output, before output
    // conversion): numvalues magnitudes from 2 x numvalues frames, which
    // must be a power of two from 128 to 16384 (37 otherwise).
    AURA_RESULT getSpectrum(float *spectrumarray, int numvalues, int channeloffset, AURA_DSP_FFT_WINDOW windowtype);

    // The global reverb: the record's Instance (0 to 3, else 73) gets a
    // reverb unit fed by the channels' sends and mixed into the master
    // group; Environment -1 takes it away. getReverbProperties reads the
    // record of the instance its Instance names.
    AURA_RESULT setReverbProperties(const AURA_REVERB_PROPERTIES *prop);
    AURA_RESULT getReverbProperties(AURA_REVERB_PROPERTIES *prop);
    // The 3D (ambient) reverb: the room around the listener that 3D sounds
    // send to instead of the global reverb once a record with an
    // Environment other than -1 was set (2D sounds keep the global reverb).
    // Environment -1 silences it.
    AURA_RESULT setReverbAmbientProperties(const AURA_REVERB_PROPERTIES *prop);
    AURA_RESULT getReverbAmbientProperties(AURA_REVERB_PROPERTIES *prop);
    // A reverb placed in the world (after init): 3D sounds near it send to
    // it, 2D sounds never do. It is silent until given properties.
    AURA_RESULT createReverb(Reverb **reverb);

    // Geometry occlusion. Polygons of geometry objects muffle 3D sounds
    // whose path to the listener crosses them. maxworldsize: geometry lies
    // within this distance of the origin (1000 by default; farther works,
    // slower).
    AURA_RESULT createGeometry(Geometry **geometry);
    AURA_RESULT setGeometrySettings(float maxworldsize);
    AURA_RESULT getGeometrySettings(float *maxworldsize);
    // Occlusion (0 open .. 1 closed) of the direct and reverb paths between
    // two points by every active geometry.
    AURA_RESULT getGeometryOcclusion(const AURA_VECTOR *listener, const AURA_VECTOR *source, float *direct,
                                     float *reverb);

    // 3D attenuation and virtual voices.
    // Doppler scale (1: real), world units per metre (Doppler's speed of
    // sound), and the scale of inverse rolloff beyond the minimum distance.
    AURA_RESULT set3DSettings(float dopplerscale, float distancefactor, float rolloffscale);
    AURA_RESULT get3DSettings(float *dopplerscale, float *distancefactor, float *rolloffscale);
    // The game's own distance rolloff for every 3D channel (null: the mode's).
    AURA_RESULT set3DRolloffCallback(AURA_3D_ROLLOFFCALLBACK callback);
    // Before init: how many channels are mixed at once (0: one voice per
    // channel). With AURA_INIT_VOL0_BECOMES_VIRTUAL the others go virtual:
    // they keep time silently and come back when they rank among the
    // audible ones; without it a play that finds no voice takes the voice
    // of a channel of lower or equal priority, or fails with 10.
    AURA_RESULT setSoftwareChannels(int numsoftwarechannels);
    AURA_RESULT getSoftwareChannels(int *numsoftwarechannels);
    // Audibility at or below which a channel may go virtual (0 by default:
    // only silent ones).
    AURA_RESULT setVirtualThreshold(float audibility);
    AURA_RESULT getVirtualThreshold(float *audibility);
    // How long geometry occlusion takes to move to a new value (0: 500 ms).
    AURA_RESULT setOcclusionFadeTime(unsigned int milliseconds);
    AURA_RESULT getOcclusionFadeTime(unsigned int *milliseconds);

protected:
    System() = default;
    ~System() = default;
};

class AURA_API Sound {
public:
    // Stops every channel that plays it, then frees it.
    AURA_RESULT release();
    // 3D defaults of the channels that play it from now on.
    AURA_RESULT set3DMinMaxDistance(float mindistance, float maxdistance);
    AURA_RESULT get3DMinMaxDistance(float *mindistance, float *maxdistance);
    AURA_RESULT set3DConeSettings(float insideangle, float outsideangle, float outsidevolume);
    AURA_RESULT get3DConeSettings(float *insideangle, float *outsideangle, float *outsidevolume);
    AURA_RESULT set3DCustomRolloff(AURA_VECTOR *points, int numpoints);
    AURA_RESULT get3DCustomRolloff(AURA_VECTOR **points, int *numpoints);
    AURA_RESULT getLength(unsigned int *length, AURA_TIMEUNIT lengthtype);
    // Each output may be null; bits is 0 for compressed data.
    AURA_RESULT getFormat(AURA_SOUND_TYPE *type, AURA_SOUND_FORMAT *format, int *channels, int *bits);
    AURA_RESULT getDefaults(float *frequency, float *volume, float *pan, int *priority);
    AURA_RESULT setDefaults(float frequency, float volume, float pan, int priority);
    AURA_RESULT getMode(AURA_MODE *mode);
    // PCM samples, end inclusive.
    AURA_RESULT getLoopPoints(unsigned int *loopstart, unsigned int *loopend);
    AURA_RESULT setLoopPoints(unsigned int loopstart, unsigned int loopend);
    AURA_RESULT getNumSyncPoints(int *numsyncpoints);
    // Sync points in the order of their offsets; name gets at most namelen
    // bytes with the terminator. offsettype: PCM samples or milliseconds.
    AURA_RESULT getSyncPointInfo(int index, char *name, int namelen, unsigned int *offset,
                                 AURA_TIMEUNIT offsettype);
    AURA_RESULT getNumTags(int *numtags, int *numtagsupdated);
    // index < 0: the next updated tag; otherwise the index-th (of that name
    // when one is given). 78 when there is none.
    AURA_RESULT getTag(const char *name, int index, AURA_TAG *tag);
    // Loading, ready or failed (a non-blocking sound); result, when given,
    // gets the outcome of the loader's last work on the sound.
    AURA_RESULT getOpenState(AURA_OPENSTATE *state, AURA_RESULT *result = nullptr);
    // Access to a sample's data, in bytes of its format.
    AURA_RESULT lock(unsigned int offset, unsigned int length, void **ptr1, void **ptr2, unsigned int *len1,
                     unsigned int *len2);
    AURA_RESULT unlock(void *ptr1, void *ptr2, unsigned int len1, unsigned int len2);
    // Sounds of a multi-sound file (a DLS collection). A parent sound does
    // not play (77). getSubSound gives null for a subsound the creation
    // info's inclusion list left out; on a stream it switches the stream to
    // that subsound and gives the stream itself (a non-blocking stream
    // switches on the loader: open state 5 until it is done).
    AURA_RESULT getNumSubSounds(int *numsubsounds);
    AURA_RESULT getSubSound(int index, Sound **subsound);
    // Plays the parent as a list of its subsounds, one after another, with
    // no gap (a sentence): entries must be loaded (37) and share channels,
    // format and compressed mode (76). An empty list takes it away.
    // Channels that play the sound stop.
    AURA_RESULT setSubSoundSentence(int *subsoundlist, int numsubsounds);
    // The name the file gives the sound ("" when none), cut to namelen
    // bytes with the terminator.
    AURA_RESULT getName(char *name, int namelen);
    // Tracker songs (25 for other sounds): pattern columns, the volume of
    // one column (0..1), the song's speed (1: as written).
    AURA_RESULT getMusicNumChannels(int *numchannels);
    AURA_RESULT setMusicChannelVolume(int channel, float volume);
    AURA_RESULT getMusicChannelVolume(int channel, float *volume);
    AURA_RESULT setMusicSpeed(float speed);
    AURA_RESULT getMusicSpeed(float *speed);
    // Moves the sound into a sound group (null: into none); its playing
    // channels take the group's volume at once.
    AURA_RESULT setSoundGroup(SoundGroup *soundgroup);

protected:
    Sound() = default;
    ~Sound() = default;
};

// A channel is a handle value, not an object: every member checks it and
// answers 36 once its sound has ended and 11 once the channel plays another.
class AURA_API Channel {
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
    // Where a 3D channel is and how it moves; 49 for a 2D channel.
    AURA_RESULT set3DAttributes(const AURA_VECTOR *pos, const AURA_VECTOR *vel);
    AURA_RESULT get3DAttributes(AURA_VECTOR *pos, AURA_VECTOR *vel);
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
    // Puts a unit after what the channel plays; later units process after
    // earlier ones.
    AURA_RESULT addDSP(DSP *dsp);
    // The spectrum (see System::getSpectrum) and the newest numvalues
    // samples of one channel of what the channel plays.
    AURA_RESULT getSpectrum(float *spectrumarray, int numvalues, int channeloffset, AURA_DSP_FFT_WINDOW windowtype);
    AURA_RESULT getWaveData(float *wavearray, int numvalues, int channeloffset);

    // 3D attenuation (49 for a 2D channel where it only means something in
    // 3D). A channel starts with its sound's settings.
    AURA_RESULT set3DMinMaxDistance(float mindistance, float maxdistance);
    AURA_RESULT get3DMinMaxDistance(float *mindistance, float *maxdistance);
    // Angles in degrees (360: no cone); outside the outer angle the volume
    // is outsidevolume, between the angles it moves there linearly.
    AURA_RESULT set3DConeSettings(float insideangle, float outsideangle, float outsidevolume);
    AURA_RESULT get3DConeSettings(float *insideangle, float *outsideangle, float *outsidevolume);
    AURA_RESULT set3DConeOrientation(const AURA_VECTOR *orientation);
    AURA_RESULT get3DConeOrientation(AURA_VECTOR *orientation);
    // With AURA_3D_CUSTOMROLLOFF: points of (distance, volume, unused) by
    // rising distance; the array stays the caller's and must outlive its use.
    AURA_RESULT set3DCustomRolloff(AURA_VECTOR *points, int numpoints);
    AURA_RESULT get3DCustomRolloff(AURA_VECTOR **points, int *numpoints);
    // 0 plays as 2D, 1 fully 3D.
    AURA_RESULT set3DLevel(float level);
    AURA_RESULT get3DLevel(float *level);
    AURA_RESULT set3DDopplerLevel(float level);
    AURA_RESULT get3DDopplerLevel(float *level);
    // The game's own occlusion, on top of the geometry's.
    AURA_RESULT set3DOcclusion(float directocclusion, float reverbocclusion);
    AURA_RESULT get3DOcclusion(float *directocclusion, float *reverbocclusion);
    // How loud the channel is after every gain (0..1).
    AURA_RESULT getAudibility(float *audibility);
    // True while it keeps time without being mixed.
    AURA_RESULT isVirtual(bool *isvirtual);
    // 0 most important .. 256 least.
    AURA_RESULT setPriority(int priority);
    AURA_RESULT getPriority(int *priority);

    Channel() = delete;
};

class AURA_API ChannelGroup {
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
    // Puts a unit after the group's mix; later units process after earlier
    // ones.
    AURA_RESULT addDSP(DSP *dsp);

protected:
    ChannelGroup() = default;
    ~ChannelGroup() = default;
};

// Sounds played at one volume, on top of their channels' own. Releasing
// the group leaves its sounds in no group.
class AURA_API SoundGroup {
public:
    AURA_RESULT release();
    // 0..1 (values outside are clamped).
    AURA_RESULT setVolume(float volume);
    AURA_RESULT getVolume(float *volume);

protected:
    SoundGroup() = default;
    ~SoundGroup() = default;
};

// An effect unit made by System::createDSPByType.
class AURA_API DSP {
public:
    // Takes the unit out of wherever it is (and stops a channel that plays
    // it), then frees it.
    AURA_RESULT release();
    // Values outside the parameter's range are set to its nearest bound.
    AURA_RESULT setParameter(int index, float value);
    // The value and its text (valuestrlen bytes at most, 16 are enough).
    AURA_RESULT getParameter(int index, float *value, char *valuestr, int valuestrlen);
    AURA_RESULT getNumParameters(int *numparams);
    // name and label take 16 bytes each.
    AURA_RESULT getParameterInfo(int index, char *name, char *label, char *description, int descriptionlen, float *min,
                                 float *max);
    // name takes 32 bytes.
    AURA_RESULT getInfo(char *name, unsigned int *version, int *channels, int *configwidth, int *configheight);
    AURA_RESULT getType(AURA_DSP_TYPE *type);
    // A bypassed unit hands its input on unchanged.
    AURA_RESULT setBypass(bool bypass);
    AURA_RESULT getBypass(bool *bypass);
    // Clears what the unit remembers of earlier samples (82 for a unit that
    // keeps nothing).
    AURA_RESULT reset();

protected:
    DSP() = default;
    ~DSP() = default;
};

// Polygons that occlude sound, placed in the world as one object.
class AURA_API Geometry {
public:
    AURA_RESULT release();
    // A convex, planar polygon in the object's own space. Its front side is
    // the one from which the vertices run anticlockwise; only a
    // double-sided polygon occludes a path that enters it from the front.
    // Occlusion from 0 (open) to 1 (closed); 37 for a value outside that or a
    // vertex that is not a finite number. Fewer than three vertices make a
    // polygon that never occludes.
    AURA_RESULT addPolygon(float directocclusion, float reverbocclusion, bool doublesided, int numvertices,
                           const AURA_VECTOR *vertices, int *polygonindex);
    AURA_RESULT getNumPolygons(int *numpolygons);
    AURA_RESULT setActive(bool active);
    AURA_RESULT getActive(bool *active);
    // The object's frame: forward is its z axis, up (made square to forward)
    // its y axis.
    AURA_RESULT setRotation(const AURA_VECTOR *forward, const AURA_VECTOR *up);
    AURA_RESULT getRotation(AURA_VECTOR *forward, AURA_VECTOR *up);
    AURA_RESULT setPosition(const AURA_VECTOR *position);
    AURA_RESULT getPosition(AURA_VECTOR *position);
    // Per axis of the object's frame; 0 is refused.
    AURA_RESULT setScale(const AURA_VECTOR *scale);
    AURA_RESULT getScale(AURA_VECTOR *scale);

protected:
    Geometry() = default;
    ~Geometry() = default;
};

// A user reverb: a room at a place in the world. A 3D channel sends to it
// at its full room level within mindistance of its position, at a level
// falling linearly to nothing at maxdistance, and not at all beyond.
class AURA_API Reverb {
public:
    // Its sends go away, then its unit; the handle is invalid afterwards.
    AURA_RESULT release();
    // 37 for a null or non-finite position, mindistance not above 0, or
    // maxdistance not above mindistance or not finite. Defaults: the origin,
    // 1 and 10000.
    AURA_RESULT set3DAttributes(const AURA_VECTOR *position, float mindistance, float maxdistance);
    AURA_RESULT get3DAttributes(AURA_VECTOR *position, float *mindistance, float *maxdistance);
    // The room (Instance is ignored); Environment -1 silences the reverb.
    AURA_RESULT setProperties(const AURA_REVERB_PROPERTIES *properties);
    AURA_RESULT getProperties(AURA_REVERB_PROPERTIES *properties);
    // An inactive reverb keeps its settings but takes no sends and costs
    // nothing in the mix.
    AURA_RESULT setActive(bool active);
    AURA_RESULT getActive(bool *active);

protected:
    Reverb() = default;
    ~Reverb() = default;
};

// Creates a system; its index among the live systems is 1 to 15.
AURA_API AURA_RESULT System_Create(System **system);

} // namespace AURA

#endif // AURA_HPP
