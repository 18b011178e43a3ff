// The engine object behind a system handle: its software format, speaker
// layout and DSP graph.
#ifndef AURA_SYSTEMI_H
#define AURA_SYSTEMI_H

#include "aura.h"
#include "aura.hpp"
#include "aura_dsp.h"
#include "base/aura_globals.h"
#include "system/aura_pluginfactory.h"
#include "channel/aura_reverbi.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/aura_dspi.h"
#include "file/aura_file.h"
#include "geometry/aura_geometry.h"
#include "os/aura_timestamp.h"
#include "os/aura_thread.h"
#include "voice/aura_channelreal.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <cstdint>

struct AURA_OS_CRITICALSECTION;

namespace AURA {

class DSPSoundCard;
class Output;
class ChannelI;
class ChannelGroupI;
class SoundGroupI;
class ChannelPool;
class ChannelReal;
class SoundI;
class Sample;
class Codec;
class Stream;
class DSPCodec;
class DSPCodecPool;

// One speaker of the layout, on the horizontal plane around the listener.
struct AURA_SPEAKERCONFIG {
    AURA_SPEAKER mSpeaker;
    float mPosition[3];   // x right, y 0, z front
    float mDirection[3];  // unit position, or the pair axis
    float mAngle;         // pseudo-angle in [0, 8), clockwise from front-left
    bool mActive;
    bool mPairValid;      // (this, next clockwise) can be panned across
    float mPairSign;      // orientation of the pair
};

// The pseudo-angle of a direction: 8 units a turn, clockwise from
// front-left (front-left 0, front 1, right 3, back 5, left 7).
float speakerPseudoAngle(float x, float z);

// Every codec the system registers: its record, the function that fills it
// and its probe priority (lower first).
struct CodecEntry {
    AURA_CODEC_DESCRIPTION_EX *record;
    AURA_CODEC_DESCRIPTION_EX *(*describe)();
    unsigned int priority;
};
[[nodiscard]] std::span<const CodecEntry> builtInCodecs();

class SystemI : public System, public DSPMixer {
public:
    static constexpr int MAX_SPEAKERS = 8;
    static constexpr unsigned int MAX_SYSTEMS = 15;

    SystemI();
    ~SystemI() override;
    // The handle class names some of the mixer's operations too.
    using DSPMixer::getDSPBufferSize;
    SystemI(const SystemI &) = delete;
    SystemI &operator=(const SystemI &) = delete;

    // Live systems: each is in the global list with an index 1..15.
    static AURA_RESULT create(SystemI **system);
    // 37 unless the handle is a live system.
    static AURA_RESULT validate(const void *handle, SystemI **system);
    // The live system with this index; 37 (and null) when none has it.
    static AURA_RESULT getInstance(unsigned int index, SystemI **system);
    // Asks f of each live system, under the list's lock, until one answers
    // true; whether one did.
    template <class F>
    static bool anySystem(F &&f)
    {
        std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
        LinkedListNode &head = gGlobal->mSystemHead;
        for (LinkedListNode *n = head.mNext; n != &head; n = n->mNext) {
            if (f(static_cast<SystemI *>(n->mData))) {
                return true;
            }
        }
        return false;
    }

    AURA_RESULT releaseInternal();
    AURA_RESULT setOutputInternal(AURA_OUTPUTTYPE output);
    AURA_RESULT setDriverInternal(int driver);
    AURA_RESULT setSoftwareFormatInternal(int samplerate, AURA_SOUND_FORMAT format,
                                          int numoutputchannels, int maxinputchannels,
                                          AURA_DSP_RESAMPLER resamplemethod);
    AURA_RESULT getSoftwareFormatInternal(int *samplerate, AURA_SOUND_FORMAT *format,
                                          int *numoutputchannels, int *maxinputchannels,
                                          AURA_DSP_RESAMPLER *resamplemethod, int *bits);
    AURA_RESULT setDSPBufferSizeInternal(unsigned int bufferlength, int numbuffers);
    // Advanced settings, CPU use and the profiler (aura_system_profile.cpp).
    AURA_RESULT setAdvancedSettingsInternal(const AURA_ADVANCEDSETTINGS *settings);
    AURA_RESULT getAdvancedSettingsInternal(AURA_ADVANCEDSETTINGS *settings);
    AURA_RESULT getCPUUsage(float *dsp, float *stream, float *geometry, float *update, float *total);
    AURA_RESULT startProfiler();
    void stopProfiler();
    // The process-wide settings of internet streams (aura_system_net.cpp).
    AURA_RESULT setNetworkProxyInternal(const char *proxy);
    AURA_RESULT getNetworkProxyInternal(char *proxy, int proxylen);
    AURA_RESULT setNetworkTimeoutInternal(int timeout);
    AURA_RESULT getNetworkTimeoutInternal(int *timeout);
    AURA_RESULT initInternal(int maxchannels, unsigned int flags, void *extradriverdata);
    AURA_RESULT updateInternal();
    AURA_RESULT closeInternal();

    // Sounds. buffersize (in buffersizetype units) is the stream buffer;
    // fromloader: the non-blocking loader fills the sound it handed out.
    AURA_RESULT createSoundInternal(const char *name_or_data, AURA_MODE mode, unsigned int buffersize,
                                    AURA_TIMEUNIT buffersizetype, AURA_CREATESOUNDEXINFO *exinfo,
                                    bool fromloader, SoundI **sound);
    // The built-in codecs, in the order files are offered to them.
    AURA_RESULT registerCodecs();
    // The built-in effect units, in the engine's order.
    AURA_RESULT registerDSPUnits();
    // The output drivers, after the codecs and units.
    AURA_RESULT registerOutputs();
    // Opens the file a sound is made from, per the mode and creation info.
    // The user codec over a null file of the creation info's length.
    AURA_RESULT openUserCodec(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo, Codec **codec);
    AURA_RESULT openSoundFile(const char *name_or_data, AURA_MODE mode, const AURA_CREATESOUNDEXINFO *exinfo,
                              File **file);
    // Offers an open file to the registered codecs; tags of codecs that
    // declined it are kept in *tags.
    AURA_RESULT findCodec(File *file, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo, Codec **codec);
    // Reads a codec's whole output into a sample.
    AURA_RESULT readSampleData(Codec *codec, Sample *sample, unsigned int declaredbytes);
    AURA_RESULT releaseSounds();
    // Puts a sound in the system's list (freed with the system).
    void listSound(SoundI *sound);

    // Streams: the voices the stream thread refills, its pass cursor and
    // the three sections, entered in this order: update, voice, list.
    AURA_RESULT startStreamThread();
    static void streamThreadFunc(void *param);
    LinkedListNode mStreamVoiceHead;
    LinkedListNode *mStreamListCursor = nullptr;
    AURA_OS_CRITICALSECTION *mStreamUpdateCrit = nullptr;
    AURA_OS_CRITICALSECTION *mStreamVoiceCrit = nullptr;
    AURA_OS_CRITICALSECTION *mStreamListCrit = nullptr;
    Thread mStreamThread;
    // Opens a stream: the file stays with its codec, which decodes into a
    // ring buffer a stretch at a time.
    // into: the stream the non-blocking loader fills (null: a new one).
    AURA_RESULT createStreamInternal(const char *name_or_data, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                                     Stream *into, SoundI **sound);

    // Subsounds. Reads one sound of a codec (subsound -1: a file that is
    // one sound) whole into a sample.
    AURA_RESULT readSampleFromCodec(Codec *codec, int subsound, AURA_MODE mode, Sample *sample);
    // Makes `parent` the owner of a multi-sound codec and loads the
    // subsounds the creation info's inclusion list names (all without one).
    AURA_RESULT openSubSounds(Sample *parent, Codec *codec, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    // Points a stream (and its ring) at one subsound of its file, at its
    // start (subsound -1: a file that is one sound).
    AURA_RESULT setupStream(Stream *stream, int subsound);
    // Switches a stream with subsounds to another; nothing may play it.
    AURA_RESULT switchSubSound(Stream *stream, int index);

    LinkedListNode mSoundHead;             // every sound of the system
    std::mutex mSoundListLock;
    FileSystemSettings mFileSettings;      // what the system's files take from it

    // Channels.
    AURA_RESULT playSoundInternal(AURA_CHANNELINDEX channelid, SoundI *sound, bool paused,
                                  ChannelI **channel);
    AURA_RESULT playDSPInternal(AURA_CHANNELINDEX channelid, DSPI *dsp, bool paused, ChannelI **channel);
    AURA_RESULT getMasterChannelGroupInternal(ChannelGroupI **group);
    AURA_RESULT createChannelGroupInternal(const char *name, ChannelGroupI **group);
    // A channel for a new sound (stopping what it played) with a voice.
    AURA_RESULT acquireChannel(AURA_CHANNELINDEX channelid, int priority, ChannelI **channel);
    void releaseUnplayedChannel(ChannelI *channel);
    AURA_RESULT playOnChannel(AURA_CHANNELINDEX channelid, int priority, ChannelI **channel,
                              const std::function<AURA_RESULT(ChannelI *)> &play);
    AURA_RESULT initChannels();
    AURA_RESULT closeChannels();
    // Voices for a channel: free ones of the pool.
    AURA_RESULT getFreeVoices(ChannelReal **voices, int count);
    // Milliseconds for the update's elapsed time under a real-time output;
    // tests may replace it, and then it stands for any output's time.
    unsigned int (*mUpdateClock)() = nullptr;
    [[nodiscard]] unsigned int currentMs() const;
    // The time since the last update, for the channels.
    [[nodiscard]] ElapsedTime elapsedSinceUpdate(int clockMs);

    ChannelI *mChannel = nullptr;     // the logical channels
    int mNumChannels = 0;
    LinkedListNode mChannelFreeListHead;
    LinkedListNode mChannelSortedListHead; // playing channels, most important first
    ChannelGroupI *mMasterChannelGroup = nullptr;
    LinkedListNode mChannelGroupHead;      // every group the system made
    // Sound groups, the most recently played first (under mSoundListLock).
    AURA_RESULT createSoundGroupInternal(const char *name, SoundGroupI **group);
    void releaseSoundGroups();
    LinkedListNode mSoundGroupHead;
    ChannelPool *mVoicePool = nullptr;     // the voices channels play on

    // Speaker layout.
    AURA_RESULT set3DSpeakerPosition(AURA_SPEAKER speaker, float x, float z, bool active);
    AURA_RESULT setSpeakerMode(AURA_SPEAKERMODE speakermode);
    AURA_RESULT sortSpeakerList();
    AURA_RESULT prepareSpeakerPairs();
    AURA_RESULT set3DReverbActive(bool active);
    AURA_RESULT get3DReverbActive(bool *active);
    AURA_RESULT setReverbAmbientProperties(const AURA_REVERB_PROPERTIES *properties);

    // The DSP engine: sections, request records, pools, scratch buffer and
    // the sound-card unit. Part of init; undone by closeDSPEngine.
    AURA_RESULT initDSPEngine();
    // Stops every channel whose played unit is dsp.
    AURA_RESULT stopDSP(DSPI *dsp) override;

    // Builds a unit from a description. With allocate false, *dsp already
    // points at caller-owned memory holding a constructed unit.
    AURA_RESULT createDSP(AURA_DSP_DESCRIPTION_EX *description, DSPI **dsp, bool allocate);
    // The same without the check of the software mixer (the engine's own units).
    AURA_RESULT createDSPInternal(AURA_DSP_DESCRIPTION_EX *description, DSPI **dsp, bool allocate);
    AURA_RESULT getDSPHead(DSPI **dsp);
    // A unit of a registered description of that type; 68 when none is.
    AURA_RESULT createDSPByType(AURA_DSP_TYPE type, DSPI **dsp);

    // Identity and output.
    LinkedListNode mGlobalNode;       // in the global list of systems
    unsigned int mIndex = 0;          // 1..15 while listed
    Output *mOutput = nullptr;
    PluginFactory mPluginFactory;     // codecs, units and outputs, from init to close
    AURA_OUTPUTTYPE mOutputType = AURA_OUTPUTTYPE_AUTODETECT;
    int mDriver = 0;
    int mMaxChannels = 0;
    unsigned int mLastUpdateMs = 0;
    uint64_t mLastUpdateFrames = 0; // frames the output had mixed at the last update
    AURA_ADVANCEDSETTINGS mAdvancedSettings{sizeof(AURA_ADVANCEDSETTINGS), 0, 0, 0};
    TimeStamp mStreamTimeStamp;  // the stream pass
    TimeStamp mUpdateTimeStamp;  // the caller's update
    bool mProfilerOwner = false; // this system made the process's profiler

    // Format.
    AURA_SPEAKERMODE mSpeakerMode = AURA_SPEAKERMODE_STEREO;
    int mNumOutputSpeakers = 2;
    bool mInitialised = false;

    // Speakers.
    AURA_SPEAKERCONFIG mSpeaker[MAX_SPEAKERS]{};
    AURA_SPEAKERCONFIG *mSpeakerList[MAX_SPEAKERS]{};

    // 3D and reverb.
    struct Listener {
        AURA_VECTOR mPosition{0.0f, 0.0f, 0.0f};
        AURA_VECTOR mVelocity{0.0f, 0.0f, 0.0f};
        AURA_VECTOR mUp{0.0f, 1.0f, 0.0f};
        AURA_VECTOR mForward{0.0f, 0.0f, 1.0f};
        AURA_VECTOR mRight{1.0f, 0.0f, 0.0f}; // up x forward
        bool mMoved = false;
    };
    static constexpr int MAX_LISTENERS = 4;
    Listener mListener[MAX_LISTENERS];
    AURA_RESULT set3DListenerAttributesInternal(int listener, const AURA_VECTOR *pos, const AURA_VECTOR *vel,
                                                const AURA_VECTOR *forward, const AURA_VECTOR *up);
    int mNum3DListeners = 1;
    float mDopplerScale = 1.0f;
    float mDistanceScale = 1.0f;
    float mRolloffScale = 1.0f;
    bool m3DReverbActive = false;
    ReverbI mReverbGlobal;            // four instances; sized by initChannels
    // The global reverb: an instance with an environment other than -1
    // gets a reverb unit that mixes into the master group; -1 takes it away.
    AURA_RESULT setReverbProperties(const AURA_REVERB_PROPERTIES *properties);
    AURA_RESULT getReverbProperties(AURA_REVERB_PROPERTIES *properties);
    void releaseReverbUnits();
    // The 3D reverb: one instance, fed by 3D channels while m3DReverbActive.
    ReverbI mReverb3D;
    AURA_RESULT getReverbAmbientProperties(AURA_REVERB_PROPERTIES *properties);
    // User reverbs (ReverbI::mNode), listed under mReverbListLock so that a
    // handle can be checked from any thread.
    LinkedListNode mReverbUserHead;
    mutable std::mutex mReverbListLock;
    AURA_RESULT createReverbInternal(ReverbI **reverb);
    AURA_RESULT releaseReverbInternal(ReverbI *reverb);
    AURA_RESULT setUserReverbProperties(ReverbI *reverb, const AURA_REVERB_PROPERTIES *properties);
    AURA_RESULT setUserReverbActive(ReverbI *reverb, bool active);
    AURA_RESULT setUserReverb3DAttributes(ReverbI *reverb, const AURA_VECTOR *position, float mindistance,
                                          float maxdistance);
    [[nodiscard]] bool ownsReverb(const Reverb *handle) const;
    // Calls f(reverb) for each user reverb; the list may not change meanwhile.
    template <class F>
    void forEachUserReverb(F &&f)
    {
        for (LinkedListNode *n = mReverbUserHead.mNext; n != &mReverbUserHead; n = n->mNext) {
            f(*static_cast<ReverbI *>(n->mData));
        }
    }
    // Every playing channel joins the reverbs' units it is not fed into yet
    // and sets its sends again (a reverb appeared, moved or changed).
    void refreshReverbSends();
    // A unit the game releases stops being any channel's connection point:
    // their sends carry their own sound again, and the stored properties
    // forget it.
    void releaseReverbConnectionPoint(DSPI *unit);
    AURA_REVERB_PROPERTIES mReverbProperties[ReverbI::MAX_INSTANCES]{};
    bool mReverbPropertiesSet[ReverbI::MAX_INSTANCES]{};
    AURA_REVERB_PROPERTIES mReverbAmbientProperties{};
    float mAdvancedHRTFMinAngle = 180.0f;
    float mAdvancedHRTFMaxAngle = 360.0f;
    float mAdvancedHRTFFrequency = 4000.0f;
    int mAdvancedMaxADPCMCodecs = 32;

    // Decoding units of compressed samples: one pool per kind of data, made
    // at init when the advanced settings size it, else by the first
    // compressed sample of that kind (aura_system_codecpool.cpp). The pool
    // of raw PCM units (PCM8 or PCM16) is made only when asked for here:
    // after that, 8 and 16-bit samples of at most 2 channels created with
    // AURA_CREATECOMPRESSEDSAMPLE play through its units.
    AURA_RESULT initDSPCodecPool(AURA_SOUND_FORMAT format);
    AURA_RESULT allocateDSPCodec(AURA_SOUND_FORMAT format, DSPCodec **codec);
    void closeDSPCodecPools();
    // Records how a compressed sample's blocks are laid out; 68 for data no
    // decoding unit reads.
    AURA_RESULT describeCompressedBlocks(Codec *codec, const AURA_CODEC_WAVEFORMAT &waveformat, Sample *sample);
    // Whether a sample of this PCM format is kept for the raw units (their
    // pool exists), and how they read its blocks.
    bool keepsRawPCM(const AURA_CODEC_WAVEFORMAT &waveformat);
    static void describeRawBlocks(Sample *sample);
    // The same for MPEG frames: a block is a frame.
    AURA_RESULT describeCompressedFrames(Codec *codec, const AURA_CODEC_WAVEFORMAT &waveformat, Sample *sample);
    // Whether a codec's length bounds what a sample reads of it (and a
    // sample that holds less was cut).
    static bool boundsRead(const Codec &codec, unsigned int lengthpcm);
    DSPCodecPool *mDSPCodecPoolADPCM = nullptr;
    DSPCodecPool *mDSPCodecPoolMPEG = nullptr;
    DSPCodecPool *mDSPCodecPoolRaw = nullptr;
    std::mutex mDSPCodecPoolLock;
    int mAdvancedDistanceFilterCenterFreq = 400;
    int mAdvancedCounts[6] = {16384, 8, 32, 1000, 1000, 2048};

    // Geometry occlusion: the polygons, their line tests and the worker
    // that answers the channels' requests.
    GeometryMgr mGeometryMgr;
    TimeStamp mGeometryTimeStamp;
    AURA_RESULT initGeometry();
    AURA_RESULT createGeometryInternal(GeometryI **geometry);
    AURA_RESULT getGeometryOcclusionInternal(const AURA_VECTOR *listener, const AURA_VECTOR *source,
                                             float *direct, float *reverb);

    // 3D attenuation and virtual voices.
    AURA_3D_ROLLOFFCALLBACK m3DRolloffCallback = nullptr;
    float mSilenceThreshold = 0.0f;     // audibility at or below which a channel may go virtual
    unsigned int mOcclusionFadeTime = 0; // milliseconds; 0: 500
    int mNumSoftwareVoices = 0;         // 0: one per channel
    ChannelPool *mEmulatedPool = nullptr; // one emulated voice per channel, with virtual voices
    // Gives software voices to the audible virtual channels, most important
    // first, taking them from the least important mixed ones when none is free.
    void promoteVirtualChannels();
    AURA_RESULT initEmulatedPool();
    // A voice for a channel about to play at a priority: a free one, else
    // the voice of the least important real channel if it ranks as low or
    // lower (which goes virtual, or stops without virtual voices), else
    // with virtual voices an emulated one; 10 when none is to be had.
    AURA_RESULT acquireVoice(ChannelI *channel, int priority, ChannelReal **voice);
};

} // namespace AURA

#endif // AURA_SYSTEMI_H
