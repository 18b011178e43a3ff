// The song engine the tracker formats share: song time (BPM, speed, ticks,
// rows, orders), voice slots taken by pattern columns, starting samples on
// them, restarting and stopping the song, and the codec operations for
// length, position, music-channel volume and music speed.
//
// A song never touches the mixer directly. Each voice slot talks to a
// MusicVoice (start with offset, volume, pan, frequency, stop), and the
// whole song sounds through a MusicHost that owns the voices, makes the
// sample sounds and mixes the voices into the rendered block. The system
// supplies the host that plays through the engine's own software voices;
// tests supply one that records every command.
#ifndef AURA_MUSIC_H
#define AURA_MUSIC_H

#include "codec/aura_codec.h"

#include <atomic>
#include <cstdint>

namespace AURA {

class MusicSong;
struct MusicSample;
class ChannelReal;

// The per-slot seam between a format's voice update and a sounding voice.
class MusicVoice {
public:
    virtual ~MusicVoice() = default;
    // Starts the sample from `offset` (frames) with the sound's defaults,
    // paused until the caller's first volume, pan and frequency arrive.
    virtual AURA_RESULT start(MusicSample *sample, unsigned int offset) = 0;
    virtual AURA_RESULT setVolume(float volume) = 0; // 0..1
    virtual AURA_RESULT setPan(float pan) = 0; // -1..1
    virtual AURA_RESULT setFrequency(float hz) = 0;
    virtual AURA_RESULT stop() = 0;
    virtual AURA_RESULT setPaused(bool paused) = 0;
    [[nodiscard]] virtual bool isPlaying() = 0;
    // Where the next start sounds: through a resonant low-pass of the
    // voice's own or not, into the song's mix (-1) or into one of its
    // effect groups.
    virtual AURA_RESULT route(bool /*filter*/, int /*effectgroup*/) { return AURA_OK; }
    // The low-pass of a voice routed with a filter (Hz, 0..127).
    virtual AURA_RESULT setFilter(float /*cutoff*/, float /*resonance*/) { return AURA_OK; }
};

// What a song sounds through: its voices, its sample sounds and the mix.
class MusicHost {
public:
    virtual ~MusicHost() = default;
    // Makes the voices of `count` slots; called once per open.
    virtual AURA_RESULT createVoices(int count) = 0;
    [[nodiscard]] virtual MusicVoice *voice(int slot) = 0;
    // Makes the sound of a loaded sample (its data, rate and loop set).
    virtual AURA_RESULT createSampleSound(MusicSample *sample) = 0;
    // Makes the sound of a sample stored compressed (an Ogg Vorbis stream
    // in memory) through the engine's codecs; its loop is set from the
    // record.
    virtual AURA_RESULT createEncodedSampleSound(MusicSample * /*sample*/, const void * /*data*/,
                                                 unsigned int /*length*/)
    {
        return AURA_ERR_UNSUPPORTED;
    }
    virtual void releaseSampleSound(MusicSample *sample) = 0;
    // Makes effect group `index`, an echo with the five parameters of the
    // IT echo unit; a master group echoes the whole mix instead of taking
    // voices.
    virtual AURA_RESULT createEffectGroup(int /*index*/, const float * /*parameters*/, bool /*master*/)
    {
        return AURA_ERR_UNSUPPORTED;
    }
    // Mixes `frames` stereo float frames of every voice into `out` (which
    // it overwrites).
    virtual AURA_RESULT mix(float *out, unsigned int frames) = 0;
    // The rate the song renders at.
    [[nodiscard]] virtual int outputRate() const = 0;
    // A real channel that stands for the whole song (a ChannelMusic); the
    // host keeps it.
    virtual AURA_RESULT hardwareChannel(MusicSong * /*song*/, ChannelReal ** /*channel*/)
    {
        return AURA_ERR_UNSUPPORTED;
    }
    virtual void release() = 0;
};

// The engine's host for a codec's system; made by the system layer.
[[nodiscard]] AURA_RESULT createMusicHost(Codec *codec, const char *targetname, MusicHost **host);

// One pattern cell.
struct MusicNote {
    uint8_t mNote = 0; // 0 none, else 1-based
    uint8_t mInstrument = 0; // 0 none, else 1-based
    uint8_t mVolume = 0; // volume column byte
    uint8_t mEffect = 0;
    uint8_t mEffectParam = 0;
};

struct MusicPattern {
    int mRows = 0;
    MusicNote *mData = nullptr; // rows x channels, row-major
};

struct MusicSample {
    void *mSound = nullptr; // the host's sound
    // Signed PCM, interleaved, mLength frames of mChannels x mBits / 8 bytes.
    uint8_t *mData = nullptr;
    unsigned int mLength = 0; // frames
    uint8_t mBits = 8; // 8 or 16
    uint8_t mChannels = 1; // 1 or 2
    bool mBidi = false; // the loop plays forwards and backwards
    unsigned int mMiddleC = 0; // Hz
    unsigned int mLoadedMiddleC = 0; // as loaded; a song restart goes back to it
    uint8_t mDefaultVolume = 0;
    uint8_t mDefaultPan = 128; // XM: 0 left .. 255 right
    int8_t mFineTune = 0; // XM: 1/128 of a semitone
    int8_t mRelativeNote = 0; // XM: semitones added to the note
    bool mLoop = false;
    unsigned int mLoopStart = 0; // frames
    unsigned int mLoopLength = 0; // frames
};

struct MusicEnvelopeState {
    int mTick = 0;
    int mPosition = 0;
    int mFracValue = 0; // 16.16
    int mValue = 0;
    int mFracDelta = 0;
    bool mStopped = false;
};

class MusicVirtualChannel;

// One pattern column and its effect memories.
struct MusicChannel {
    // The voice slots the column owns; the first is the one it drives.
    MusicVirtualChannel *mSlot = nullptr;
    uint8_t mInstrument = 0; // 0-based
    uint8_t mNote = 0;
    unsigned int mNotePeriod = 0;
    uint8_t mLastEffect = 0;
    int mPan = 0;
    unsigned int mSampleOffset = 0;
    int mChannelVolume = 0;
    unsigned int mPortaTarget = 0;
    uint8_t mPortaSpeed = 0;
    int8_t mVibratoPos = 0;
    uint8_t mVibratoSpeed = 0;
    uint8_t mVibratoDepth = 0;
    int8_t mTremoloPos = 0;
    uint8_t mTremoloSpeed = 0;
    uint8_t mTremoloDepth = 0;
    int mPatternLoopRow = 0;
    int mPatternLoopCount = 0;
    uint8_t mWaveControl = 0; // low nibble vibrato, high nibble tremolo
    // Effect memories of the formats that keep more than MOD does.
    uint8_t mPortaMemory = 0; // S3M E and F
    uint8_t mVolumeSlideMemory = 0; // S3M D, K, L; XM 5, 6, A
    uint8_t mArpeggioMemory = 0;
    uint8_t mTremorCount = 0;
    uint8_t mTremorOn = 0;
    uint8_t mTremorOff = 0;
    uint8_t mRetrigVolume = 0;
    uint8_t mRetrigInterval = 0;
    uint8_t mRealNote = 0; // XM: the note with the sample's relative note
    uint8_t mPortaUpMemory = 0;
    uint8_t mPortaDownMemory = 0;
    uint8_t mPanSlideMemory = 0;
    uint8_t mFinePortaUpMemory = 0;
    uint8_t mFinePortaDownMemory = 0;
    uint8_t mExtraFinePortaUpMemory = 0;
    uint8_t mExtraFinePortaDownMemory = 0;
    uint8_t mFineVolumeMemory = 0;

    // Effect parameters whose zero nibbles keep the values set before.
    void rememberVibrato(unsigned int speed, unsigned int depth)
    {
        mVibratoSpeed = speed ? static_cast<uint8_t>(speed) : mVibratoSpeed;
        mVibratoDepth = depth ? static_cast<uint8_t>(depth) : mVibratoDepth;
    }
    void rememberTremolo(unsigned int speed, unsigned int depth)
    {
        mTremoloSpeed = speed ? static_cast<uint8_t>(speed) : mTremoloSpeed;
        mTremoloDepth = depth ? static_cast<uint8_t>(depth) : mTremoloDepth;
    }
    // A retrigger's volume change (high nibble) and interval; 0 keeps both.
    void rememberRetrigger(unsigned int param)
    {
        if (param) {
            mRetrigVolume = static_cast<uint8_t>(param >> 4);
            mRetrigInterval = static_cast<uint8_t>(param & 15);
        }
    }
};

// A voice slot.
class MusicVirtualChannel {
public:
    static constexpr uint8_t FLAG_FREQUENCY = 0x01;
    static constexpr uint8_t FLAG_VOLUME = 0x02;
    static constexpr uint8_t FLAG_PAN = 0x04;
    static constexpr uint8_t FLAG_START = 0x08;
    static constexpr uint8_t FLAG_STOP = 0x20;

    // Frees the slot when its voice no longer plays.
    AURA_RESULT cleanUp();
    void clearFlags(uint8_t flags) { mFlags = static_cast<uint8_t>(mFlags & ~flags); }

    int mIndex = 0;
    bool mInUse = false;
    MusicChannel *mOwner = nullptr;
    MusicVoice *mVoice = nullptr; // null for a song's dummy slot
    MusicSample *mSample = nullptr;
    MusicSong *mSong = nullptr;
    uint8_t mNoteState = 0;
    uint8_t mFlags = 0;
    int mPeriod = 0;
    int mVolume = 0;
    int mPan = 0;
    int mVolumeDelta = 0;
    int mPeriodDelta = 0;
    unsigned int mSampleOffset = 0;
    MusicEnvelopeState mEnvVolume, mEnvPan, mEnvPitch;
    int mFadeOutVolume = 0;
    bool mKeyOff = false;
    int mAutoVibratoPos = 0; // 0..255
    int mAutoVibratoSweep = 0;
};

class MusicSong : public Codec {
public:
    static constexpr int MAX_CHANNELS = 64;
    // Measuring a song stops at this, which then counts as its end.
    static constexpr uint64_t MAX_MEASURED_FRAMES_SECONDS = 2 * 60 * 60;
    static constexpr unsigned int MAX_MEASURED_TICKS = 1u << 22;

    MusicSong();
    ~MusicSong() override;

    AURA_RESULT setBPM(int bpm);
    AURA_RESULT spawnNewVirtualChannel(MusicChannel *channel, MusicSample *sample, MusicVirtualChannel **slot);
    AURA_RESULT playSound(MusicSample *sample, MusicVirtualChannel *slot);
    AURA_RESULT play(bool fromopen);
    AURA_RESULT stop();
    static AURA_RESULT fineTune2Hz(unsigned char finetune, unsigned int *hz);
    // The engine's random generator: one step, 0..255.
    static unsigned int nextRandom();
    // The magnitude (0..255) of a vibrato or tremolo waveform at `position`
    // (sine, ramp down, square; shape 3 is -1, which each format reads as
    // its own: random or sine).
    [[nodiscard]] static int waveform(int shape, int8_t position);
    // A vibrato or tremolo position moved on by `speed`, kept to -32..31.
    [[nodiscard]] static int8_t advanceWave(int8_t position, int speed);
    // round(64 sin(2 pi position / 256)): the instruments' and samples'
    // auto-vibrato and the panbrello.
    [[nodiscard]] static int autoVibratoSine(int position);
    // The bytes a sample's data takes (mLength frames); 0 for none.
    [[nodiscard]] static uint64_t sampleBytes(const MusicSample &sample);
    // The volume after a retrigger's change (the S3M and IT table).
    [[nodiscard]] static int retriggerVolume(int volume, int change);

    // One tick of the song; the format's row and effect steps.
    virtual AURA_RESULT update(bool audible) = 0;

protected:
    // The size of the song's file: loaders read at any offset, so a file
    // that cannot seek is no song (25).
    [[nodiscard]] AURA_RESULT seekableFileSize(unsigned int *filesize);

public:

    AURA_RESULT getLengthInternal(unsigned int *length, unsigned int lengthtype);
    AURA_RESULT getPositionInternal(unsigned int *position, unsigned int postype);
    AURA_RESULT getMusicNumChannelsInternal(int *numchannels);
    AURA_RESULT setMusicChannelVolumeInternal(int channel, float volume);
    AURA_RESULT getMusicChannelVolumeInternal(int channel, float *volume);
    AURA_RESULT setMusicSpeedInternal(float speed);
    AURA_RESULT getMusicSpeedInternal(float *speed);
    // The real channel through which the whole song stands in for one voice.
    AURA_RESULT getHardwareMusicChannel(ChannelReal **channel);
    // Pauses or resumes the voice each column drives.
    void setVoicesPaused(bool paused);

    // The shared read, seek and length measurement over `update`.
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    AURA_RESULT calculateLength();

    // Fills the song-base entries of a format's description.
    static void describe(AURA_CODEC_DESCRIPTION_EX &description);
    // Fills a tracker format's whole record: the song-base entries, then the
    // format's own open and close, its type, size and construction.
    template <class Song>
    static AURA_CODEC_DESCRIPTION_EX *describeSong(AURA_CODEC_DESCRIPTION_EX &record, const char *name,
                                                   AURA_SOUND_TYPE type)
    {
        record = AURA_CODEC_DESCRIPTION_EX{};
        record.name = name;
        record.version = 0x10100;
        describe(record);
        record.open = &CodecCallbacks<Song>::open;
        record.close = &CodecCallbacks<Song>::close;
        record.mType = type;
        record.mSize = sizeof(Song);
        record.mConstruct = &constructCodec<Song>;
        return &record;
    }

    // Puts a host in (the song owns it from then on); tests use their own.
    void setHost(MusicHost *host) { mHost = host; }
    [[nodiscard]] MusicHost *host() const { return mHost; }

    // Song time, read by tests and traces.
    [[nodiscard]] int order() const { return mOrder; }
    [[nodiscard]] int row() const { return mRow; }
    [[nodiscard]] int tick() const { return mTick; }
    [[nodiscard]] int speed() const { return mSpeed; }
    [[nodiscard]] int bpm() const { return mBPM; }
    [[nodiscard]] int samplesPerTick() const { return mSamplesPerTick; }
    [[nodiscard]] unsigned int pcmPosition() const { return mPCMOffset; }
    [[nodiscard]] bool finished() const { return mFinished; }
    [[nodiscard]] int numVirtualChannels() const { return mNumVirtualChannels; }
    [[nodiscard]] MusicVirtualChannel *virtualChannel(int i) { return &mVirtualChannel[i]; }

protected:
    // A format's own state of a song started over, after the shared reset.
    virtual void restartFormat() {}
    // Builds the voice slots and the host's voices for `count` slots.
    AURA_RESULT createVirtualChannels(int count);
    // Frees what the song base allocated (slots, patterns, channels, samples,
    // the visited table, the host).
    void releaseSong();
    // Sets the wave format of a song rendered at the system's rate.
    AURA_RESULT initWaveFormat(const char *name, AURA_MODE mode, const AURA_CREATESOUNDEXINFO *exinfo,
                               unsigned int filesize);
    // The song's end detection: true when (order, row) was played before.
    bool visit(int order, int row);
    void unvisit(int order, int fromrow, int torow);
    // Applies a speed change requested from another thread.
    void applyPendingSpeed();
    // Where the first rows go after the last order.
    void advanceRow(int rowsperpattern);
    // At a row's first tick: the order and row a jump or break asked for.
    void takePendingJump();
    // The next tick, back to 0 after the row's ticks and its delay.
    void advanceTick();
    // Makes the song time readable from other threads.
    void publishPosition();
    // Float stereo to the wave format.
    void convertOut(const float *in, void *out, unsigned int frames) const;

    MusicPattern *mPattern = nullptr;
    MusicHost *mHost = nullptr;
    uint8_t *mVisited = nullptr;
    uint8_t mOrderList[256] = {};
    int mNumChannels = 0;
    MusicChannel *mChannel[MAX_CHANNELS] = {};
    std::atomic<float> mMusicChannelVolume[MAX_CHANNELS];
    int mNumVirtualChannels = 0;
    MusicVirtualChannel *mVirtualChannel = nullptr;
    MusicVirtualChannel mDummyVirtualChannel; // a column without a slot
    MusicSample mDummySample; // a cell without a sample
    MusicSample *mSample = nullptr;
    int mNumSamples = 0;

    int mSamplesLeftInTick = 0;
    int mSamplesPerTick = 0;
    unsigned int mPCMOffset = 0;
    int mDefaultSpeed = 6;
    int mDefaultBPM = 125;
    uint8_t mDefaultPan[MAX_CHANNELS] = {};
    uint8_t mDefaultChannelVolume[MAX_CHANNELS] = {};
    uint8_t mDefaultGlobalVolume = 64;
    int mNumOrders = 0;
    int mNumPatterns = 0;
    int mNumPatternsMem = 0;
    int mRestart = 0;
    std::atomic<float> mMasterSpeed{1.0f};
    std::atomic<bool> mSpeedChanged{false};
    float mPanSeparation = 0.8f;
    int mGlobalVolume = 64;
    bool mPlaying = false;
    bool mFinished = false;
    bool mLooping = false;
    int mTick = 0;
    int mSpeed = 6;
    int mBPM = 125;
    int mRow = 0;
    int mOrder = 0;
    int mPatternDelayTicks = 0;
    int mNextRow = -1;
    int mNextOrder = -1;
    std::atomic<int> mPublishedOrder{0};
    std::atomic<int> mPublishedRow{0};
    std::atomic<unsigned int> mPublishedPCM{0};
    float *mMixBuffer = nullptr;
    unsigned int mMixBufferFrames = 0;
};

} // namespace AURA

#endif // AURA_MUSIC_H
