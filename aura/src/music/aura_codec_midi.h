// Standard MIDI files rendered on a DLS instrument bank. Every track is held
// in memory; a tick sequencer hands channel messages to sixteen MIDI
// channels, whose voices play the bank's waves on the song's own software
// voices (through a MusicHost), and each read mixes them out in update
// blocks of at least 512 frames.
#ifndef AURA_CODEC_MIDI_H
#define AURA_CODEC_MIDI_H

#include "codec/aura_codec.h"
#include "codec/aura_codec_dls.h"
#include "music/aura_music.h"

#include <atomic>
#include <cstdint>

namespace AURA {

// The registry record of CodecMIDI: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX midicodec;

class CodecMIDI;
class CodecMIDIChannel;

// A DLS bank shared by every MIDI sound of a system that names it. Made by
// the system layer, which owns the bank's sound.
struct MIDIBank;
[[nodiscard]] AURA_RESULT openMIDIBank(Codec *codec, const char *name, MIDIBank **bank, CodecDLS **dls, int *numwaves);
// The wave's sound (loaded now when `load`; else null when not loaded yet)
// and its default frequency.
[[nodiscard]] AURA_RESULT getMIDIBankWave(MIDIBank *bank, int index, bool load, void **sound, float *frequency);
void releaseMIDIBank(MIDIBank *bank);
// Open banks, for tests that check nothing is left behind.
[[nodiscard]] int countMIDIBanks();

enum CONN_SRC_FLAGS : unsigned int {
    CONN_SRC_FLAGS_NONE = 0x1,
    CONN_SRC_FLAGS_LFO = 0x2,
    CONN_SRC_FLAGS_KEYONVELOCITY = 0x4,
    CONN_SRC_FLAGS_KEYNUMBER = 0x8,
    CONN_SRC_FLAGS_EG1 = 0x10,
    CONN_SRC_FLAGS_EG2 = 0x20,
    CONN_SRC_FLAGS_PITCHWHEEL = 0x40,
    CONN_SRC_FLAGS_CC1 = 0x80,
    CONN_SRC_FLAGS_CC7 = 0x100,
    CONN_SRC_FLAGS_CC10 = 0x200,
    CONN_SRC_FLAGS_CC11 = 0x400,
};

class CodecMIDITrack {
public:
    AURA_RESULT readByte(unsigned char *value);
    AURA_RESULT readVarLen(unsigned int *value);
    AURA_RESULT read(void *buffer, int length); // null skips
    AURA_RESULT addTag(const char *name, int length, bool scanning);
    AURA_RESULT process(bool scanning);
    void reset();

    CodecMIDI *mCodec = nullptr;
    uint8_t *mData = nullptr;
    uint32_t mLength = 0;
    uint32_t mPosition = 0;
    int mIndex = 0;
    bool mPending = false;
    uint64_t mNextTick = 0;
    bool mEnded = false;
    uint8_t mPort = 0;
    uint8_t mStatus = 0;
};

struct MIDIEnvelopeStage {
    float mTime = 0; // ms
    float mStart = 0;
    float mEnd = 0;
};

class CodecMIDISubChannel {
public:
    AURA_RESULT setUpArticulators();
    AURA_RESULT updateVolume();
    AURA_RESULT updatePitch();
    AURA_RESULT updatePan();
    AURA_RESULT stop();
    AURA_RESULT findArticulator(int source, int destination);
    AURA_RESULT articulateDest(unsigned int flags, int destination, int *out);
    static float getTimeCentsFromlScale(int scale);

    LinkedListNode mNode; // the free list or its channel's voices
    CodecMIDI *mCodec = nullptr;
    MusicVoice *mVoice = nullptr;
    bool mSounding = false; // the engine voice was started
    float mGain = 0; // the last gain given to the engine voice
    CodecDLSInstrument *mInstrument = nullptr;
    float mLFODelay = 0, mLFOElapsed = 0, mLFOFrequency = 0, mLFOGainDepth = 0, mLFOPitchDepth = 0;
    MIDIEnvelopeStage mEG1[3];
    int mEG1Stage = 0;
    float mEG1Elapsed = 0;
    float mEG1Sustain = 0;
    MIDIEnvelopeStage mEG2[3];
    int mEG2Stage = 0;
    float mEG2Elapsed = 0;
    float mEG2Sustain = 0;
    float mEG2Depth = 0;
    bool mEG2Active = false;
    int mNoteOffKey = -1;
    MusicSample *mSample = nullptr;
    uint8_t mKey = 0;
    uint8_t mUnityNote = 60;
    int mFineTune = 0;
    uint8_t mVelocity = 0;
    int mNumConnections = 0;
    DLS_CONNECTIONBLOCK *mConnection = nullptr;
    bool mReleased = false;
    int mKeyToPitch = 12800;
    int mKeyGroup = 0;
    float mAttenuationGain = 1.0f;
    CodecMIDIChannel *mChannel = nullptr;

private:
    // Moves an envelope to its release stage and steps it; false when it ran
    // past its release.
    bool stepEnvelope(MIDIEnvelopeStage *stages, int &stage, float &elapsed, float sustain, bool eg1, float *level);
};

class CodecMIDIChannel {
public:
    AURA_RESULT process(unsigned char status, bool reuse, unsigned char data, bool scanning);
    AURA_RESULT update();
    AURA_RESULT getSound(int key, MusicSample **sample, CodecDLSInstrument **instrument, int *unitynote, int *finetune,
                         int *attenuation, int *keygroup, int *numconnections, DLS_CONNECTIONBLOCK **connections);
    void reset(int index, bool full);

    CodecMIDI *mCodec = nullptr;
    CodecMIDITrack *mTrack = nullptr;
    LinkedListNode mVoiceHead;
    uint8_t mNumber = 1;
    uint8_t mNoteOffVelocity = 0, mNoteOnVelocity = 0, mPolyKey = 0, mPolyPressure = 0;
    uint32_t mBank = 0;
    uint8_t mProgram = 0;
    int mRPN = -1;
    uint8_t mChannelPressure = 0;
    // Set from API threads while the song plays.
    std::atomic<float> mMusicVolume{1.0f};
    std::atomic<bool> mUsed{false}; // a message arrived since the last full reset
    int mPitchBend = 0;
    int mPitchBendRange = 0x200;
    bool mSustain = false;
    int mModulation = 0;
    int mVolume = 100;
    int mPan = 64;
    int mExpression = 127;

private:
    AURA_RESULT noteOn(int key, int velocity, bool scanning);
    bool bankHas(uint32_t bank, uint32_t program) const;
};

class CodecMIDI : public Codec {
public:
    static constexpr int NUM_CHANNELS = 16;
    static constexpr int DEFAULT_POLYPHONY = 32;
    // The length scan stops at this much song time, which becomes the length.
    static constexpr double MAX_SONG_MS = 6.0 * 60 * 60 * 1000;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    AURA_RESULT getMusicNumChannelsInternal(int *numchannels);
    AURA_RESULT setMusicChannelVolumeInternal(int channel, float volume);
    AURA_RESULT getMusicChannelVolumeInternal(int channel, float *volume);
    AURA_RESULT setMusicSpeedInternal(float speed);
    AURA_RESULT getMusicSpeedInternal(float *speed);

    AURA_RESULT update();
    AURA_RESULT play(bool full);
    void calculateTiming();
    // The wave's sample for a voice; null when the wave is not to be had.
    [[nodiscard]] MusicSample *waveSample(int index);

    // Puts a host in before open (tests); otherwise open makes the engine's.
    void setHost(MusicHost *host) { mHost = host; }

    CodecMIDIChannel mChannel[NUM_CHANNELS];
    CodecMIDISubChannel *mVoice = nullptr;
    int mNumVoices = 0;
    LinkedListNode mFreeHead;
    MusicHost *mHost = nullptr;
    MIDIBank *mBank = nullptr;
    CodecDLS *mDLS = nullptr;
    int mNumWaves = 0;
    MusicSample *mWaveSample = nullptr; // one per wave, its sound set once loaded
    CodecMIDITrack *mTrack = nullptr;
    int mNumTracks = 0;
    int mFormat = 0;
    int mDivision = 96;
    uint32_t mTempo = 500000;
    double mMsPerTick = 0, mMsPerUpdate = 0, mSamplesPerUpdate = 0, mTicksPerUpdate = 1.0;
    float mSpeed = 1.0f;
    std::atomic<float> mRequestedSpeed{1.0f}; // set from API threads, taken by the next update
    uint64_t mCurrentTick = 0;
    double mTickFraction = 0;
    double mSampleFraction = 0;
    uint64_t mSamplesPlayed = 0;
    unsigned int mSamplesLeft = 0;
    double mSongMs = 0;
    bool mScanning = false;
    uint8_t *mWaveUsed = nullptr; // during open only
    int mSequenceNumber = 0;
    uint8_t mSMPTEOffset[5] = {};
    uint8_t mTimeSignature[4] = {};
    uint8_t mKeySignature[2] = {};
    unsigned int mDroppedNotes = 0; // notes that found no engine voice
    float *mMixBuffer = nullptr;
    unsigned int mMixBufferFrames = 0;
};

} // namespace AURA

#endif // AURA_CODEC_MIDI_H
