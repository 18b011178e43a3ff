#include "music/aura_codec_midi.h"

#include "base/aura_memory.h"
#include "base/aura_sampleformat.h"
#include "base/aura_string.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_midi";
constexpr unsigned int MIN_BLOCK_SAMPLES = 512;

CodecMIDI *midiOf(AURA_CODEC_STATE *state)
{
    return Codec::fromState<CodecMIDI>(state);
}

AURA_RESULT openCallback(AURA_CODEC_STATE *state, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->openInternal(mode, exinfo) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT closeCallback(AURA_CODEC_STATE *state)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->closeInternal() : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT readCallback(AURA_CODEC_STATE *state, void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->readInternal(buffer, sizebytes, bytesread) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT setPositionCallback(AURA_CODEC_STATE *state, int subsound, unsigned int position, AURA_TIMEUNIT postype)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->setPositionInternal(subsound, position, postype) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT numChannelsCallback(AURA_CODEC_STATE *state, int *numchannels)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->getMusicNumChannelsInternal(numchannels) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT setVolumeCallback(AURA_CODEC_STATE *state, int channel, float volume)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->setMusicChannelVolumeInternal(channel, volume) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT getVolumeCallback(AURA_CODEC_STATE *state, int channel, float *volume)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->getMusicChannelVolumeInternal(channel, volume) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT setSpeedCallback(AURA_CODEC_STATE *state, float speed)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->setMusicSpeedInternal(speed) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT getSpeedCallback(AURA_CODEC_STATE *state, float *speed)
{
    CodecMIDI *codec = midiOf(state);
    return codec ? codec->getMusicSpeedInternal(speed) : AURA_ERR_INVALID_PARAM;
}

uint32_t be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Milliseconds of the DLS time-cent index (128 steps from about 1 ms to 41.6 s).
constexpr float kTimeCentTable[128] = {
    0.977f,    1.062f,     1.155f,     1.256f,     1.366f,     1.486f,     1.616f,     1.757f,     1.911f,
    2.079f,    2.261f,     2.459f,     2.674f,     2.908f,     3.163f,     3.439f,     3.741f,     4.068f,
    4.424f,    4.812f,     5.233f,     5.691f,     6.19f,      6.732f,     7.321f,     7.962f,     8.659f,
    9.417f,    10.242f,    11.139f,    12.114f,    13.175f,    14.328f,    15.583f,    16.947f,    18.431f,
    20.045f,   21.8f,      23.709f,    25.785f,    28.042f,    30.498f,    33.168f,    36.072f,    39.231f,
    42.666f,   46.401f,    50.464f,    54.883f,    59.688f,    64.915f,    70.598f,    76.78f,     83.503f,
    90.814f,   98.766f,    107.414f,   116.819f,   127.047f,   138.171f,   150.27f,    163.427f,   177.737f,
    193.299f,  210.224f,   228.631f,   248.65f,    270.421f,   294.099f,   319.85f,    347.856f,   378.314f,
    411.439f,  447.464f,   486.644f,   529.254f,   575.595f,   625.993f,   680.805f,   740.415f,   805.245f,
    875.752f,  952.432f,   1035.826f,  1126.522f,  1225.159f,  1332.433f,  1449.099f,  1575.981f,  1713.972f,
    1864.046f, 2027.26f,   2204.765f,  2397.812f,  2607.763f,  2836.096f,  3084.422f,  3354.491f,  3648.207f,
    3967.64f,  4315.043f,  4692.864f,  5103.767f,  5550.648f,  6036.658f,  6565.222f,  7140.066f,  7765.244f,
    8445.161f, 9184.612f,  9988.808f,  10863.418f, 11814.609f, 12849.085f, 13974.139f, 15197.702f, 16528.398f,
    17975.61f, 19549.537f, 21261.275f, 23122.893f, 25147.512f, 27349.404f, 29744.092f, 32348.457f, 35180.86f,
    38261.26f, 41611.383f,
};
static_assert(sizeof(kTimeCentTable) / sizeof(float) == 128);

// Gain of a level in half-decibel steps below 0 dB: entry i is
// 10^((i - 192) / 40), entries below 20 silent.
struct DecibelTable {
    float v[193];
    DecibelTable()
    {
        for (int i = 0; i < 193; ++i) {
            v[i] = i < 20 ? 0.0f : std::round(std::pow(10.0f, (i - 192) / 40.0f) * 10000.0f) / 10000.0f;
        }
    }
};
const DecibelTable &decibels()
{
    static const DecibelTable table;
    return table;
}

constexpr float kPi2 = 6.28318530718f;
} // namespace

constinit AURA_CODEC_DESCRIPTION_EX midicodec;

AURA_CODEC_DESCRIPTION_EX *CodecMIDI::getDescriptionEx()
{
    return describeOnce(midicodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA MIDI Codec";
        description.version = 0x00010100;
        description.defaultasstream = 1;
        description.timeunits = AURA_TIMEUNIT_PCM;
        description.open = &openCallback;
        description.close = &closeCallback;
        description.read = &readCallback;
        description.setposition = &setPositionCallback;
        description.getmusicnumchannels = &numChannelsCallback;
        description.setmusicchannelvolume = &setVolumeCallback;
        description.getmusicchannelvolume = &getVolumeCallback;
        description.setmusicspeed = &setSpeedCallback;
        description.getmusicspeed = &getSpeedCallback;
        description.mType = AURA_SOUND_TYPE_MIDI;
        description.mSize = sizeof(CodecMIDI);
        description.mConstruct = &constructCodec<CodecMIDI>;
    });
}

// ---- tracks ----

AURA_RESULT CodecMIDITrack::readByte(unsigned char *value)
{
    if (mPosition >= mLength) {
        mEnded = true;
        return AURA_ERR_FILE_EOF;
    }
    *value = mData[mPosition++];
    return AURA_OK;
}

AURA_RESULT CodecMIDITrack::readVarLen(unsigned int *value)
{
    unsigned int v = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned char byte = 0;
        const AURA_RESULT result = readByte(&byte);
        if (result != AURA_OK) {
            return result;
        }
        v = (v << 7) | (byte & 0x7Fu);
        if (!(byte & 0x80)) {
            *value = v;
            return AURA_OK;
        }
    }
    mEnded = true; // a fifth byte: malformed
    return AURA_ERR_FILE_EOF;
}

AURA_RESULT CodecMIDITrack::read(void *buffer, int length)
{
    if (mPosition >= mLength) {
        mEnded = true;
        return AURA_ERR_FILE_EOF;
    }
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(std::max(length, 0)), mLength - mPosition);
    if (buffer) {
        std::memcpy(buffer, mData + mPosition, n);
    }
    mPosition += n;
    return AURA_OK;
}

AURA_RESULT CodecMIDITrack::addTag(const char *name, int length, bool scanning)
{
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(length), mLength - std::min(mPosition, mLength));
    if (scanning && n > 0) {
        (void)mCodec->metaData(AURA_TAGTYPE_MIDI, name, mData + mPosition, n, AURA_TAGDATATYPE_STRING, false);
    }
    return read(nullptr, length);
}

void CodecMIDITrack::reset()
{
    mPosition = 0;
    mNextTick = 0;
    mEnded = false;
    mPending = false;
    mStatus = 0;
}

AURA_RESULT CodecMIDITrack::process(bool scanning)
{
    CodecMIDI &codec = *mCodec;
    while (mData && !mEnded) {
        if (mNextTick > codec.mCurrentTick) {
            return AURA_OK;
        }
        if (!mPending) {
            unsigned int delta = 0;
            AURA_RESULT result = readVarLen(&delta);
            if (result != AURA_OK) {
                return result;
            }
            mNextTick += delta;
            if (mNextTick > codec.mCurrentTick) {
                mPending = true;
                return AURA_OK;
            }
        }
        mPending = false;
        unsigned char status = 0;
        AURA_RESULT result = readByte(&status);
        if (result != AURA_OK) {
            return result;
        }
        bool reuse = false;
        unsigned char data = 0;
        if (status < 0x80) {
            data = status;
            status = mStatus;
            reuse = true;
        }
        mStatus = status;
        if (reuse || (status >= 0x80 && status < 0xF0)) {
            if (status < 0x80) {
                continue; // running status before any status byte
            }
            CodecMIDIChannel &channel = codec.mChannel[status & 0x0F];
            channel.mTrack = this;
            channel.mUsed.store(true, std::memory_order_relaxed);
            (void)channel.process(status, reuse, data, scanning);
            continue;
        }
        if (status == 0xF0 || status == 0xF7) {
            unsigned int length = 0;
            result = readVarLen(&length);
            if (result == AURA_OK) {
                result = read(nullptr, static_cast<int>(std::min(length, 0x7FFFFFFFu)));
            }
            if (result != AURA_OK) {
                return result;
            }
            continue;
        }
        if (status != 0xFF) {
            continue; // other system messages carry no data
        }
        unsigned char type = 0;
        unsigned int length = 0;
        result = readByte(&type);
        if (result == AURA_OK) {
            result = readVarLen(&length);
        }
        if (result != AURA_OK) {
            return result;
        }
        const int len = static_cast<int>(std::min(length, 0x7FFFFFFFu));
        switch (type) {
        case 0x00:
            if (length == 0) {
                codec.mSequenceNumber = mIndex;
            } else if (length <= 4) {
                uint8_t raw[4] = {};
                result = read(raw, len);
                std::memcpy(&codec.mSequenceNumber, raw, 4);
            } else {
                result = read(nullptr, len);
            }
            break;
        case 0x01: {
            if (scanning) {
                const int ms = static_cast<int>(codec.mSongMs);
                (void)codec.metaData(AURA_TAGTYPE_MIDI, "Text (Time Ms)", &ms, sizeof(ms), AURA_TAGDATATYPE_INT, false);
            }
            result = addTag("Text", len, scanning);
            break;
        }
        case 0x02: result = addTag("Copyright", len, scanning); break;
        case 0x03: {
            char name[32];
            std::snprintf(name, sizeof(name), "Track %d Name", mIndex);
            result = addTag(name, len, scanning);
            break;
        }
        case 0x04: result = addTag("Instrument", len, scanning); break;
        case 0x05: result = addTag("Lyric", len, scanning); break;
        case 0x06: result = addTag("Marker", len, scanning); break;
        case 0x07: result = addTag("Cue Point", len, scanning); break;
        case 0x08: result = addTag("Patch Name", len, scanning); break;
        case 0x09: result = addTag("Port Name", len, scanning); break;
        case 0x7F: result = addTag("Proprietory Data", len, scanning); break;
        case 0x20: result = read(nullptr, 1); break;
        case 0x21:
            if (length != 0) {
                result = read(&mPort, 1);
            }
            break;
        case 0x2F: mEnded = true; return AURA_OK;
        case 0x51: {
            uint8_t tempo[3] = {};
            const int take = std::min(len, 256);
            if (take >= 3) {
                result = read(tempo, 3);
                if (result == AURA_OK) {
                    result = read(nullptr, len - 3);
                }
                const uint32_t value = (uint32_t{tempo[0]} << 16) | (uint32_t{tempo[1]} << 8) | tempo[2];
                // A tempo of 0 would stop time: it is ignored.
                if (result == AURA_OK && value != 0) {
                    codec.mTempo = value;
                    codec.calculateTiming();
                }
            } else {
                result = read(nullptr, len);
            }
            break;
        }
        case 0x54: result = read(codec.mSMPTEOffset, 5); break;
        case 0x58: result = read(codec.mTimeSignature, 4); break;
        case 0x59: result = read(codec.mKeySignature, 2); break;
        default: result = read(nullptr, len); break;
        }
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

// ---- the codec ----

void CodecMIDI::calculateTiming()
{
    mMsPerTick = static_cast<double>(mTempo) / mSpeed / mDivision / 1000.0;
    const double rate = mState.waveformat ? mState.waveformat->frequency : 48000;
    const double samplesPerTick = mMsPerTick / 1000.0 * rate;
    if (samplesPerTick < MIN_BLOCK_SAMPLES) {
        mSamplesPerUpdate = MIN_BLOCK_SAMPLES;
        mTicksPerUpdate = MIN_BLOCK_SAMPLES / samplesPerTick;
        mMsPerUpdate = MIN_BLOCK_SAMPLES * 1000.0 / rate;
    } else {
        // Fractions of a sample are carried from block to block.
        mSamplesPerUpdate = samplesPerTick;
        mTicksPerUpdate = 1.0;
        mMsPerUpdate = mMsPerTick;
    }
}

AURA_RESULT CodecMIDI::openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    uint8_t header[14] = {};
    unsigned int got = 0;
    unsigned int filesize = 0;
    AURA_RESULT result = mFile->seek(0, 0);
    if (result == AURA_OK) {
        result = mFile->getSize(&filesize);
    }
    if (result == AURA_OK) {
        result = mFile->read(header, 1, sizeof(header), &got);
        if (result == AURA_ERR_FILE_EOF) {
            result = AURA_ERR_FORMAT;
        }
    }
    if (result != AURA_OK) {
        return result;
    }
    if (std::memcmp(header, "MThd", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    mType = AURA_SOUND_TYPE_MIDI;
    mFormat = be16(header + 8);
    mNumTracks = be16(header + 10) + 1;
    mDivision = be16(header + 12);
    if (mDivision == 0) {
        return AURA_ERR_FORMAT; // no time at all
    }
    if (exinfo && exinfo->maxpolyphony < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    mTempo = 500000;
    mSpeed = 1.0f;
    mNumVoices = (exinfo && exinfo->maxpolyphony > 0) ? exinfo->maxpolyphony : DEFAULT_POLYPHONY;
    char bankname[257] = {};
    if (exinfo && exinfo->dlsname) {
        AURA_strncpy(bankname, exinfo->dlsname, 256);
    }
    // Opened for its facts alone (tracks, length, tags), a song needs no
    // bank; its notes then find no instrument and stay silent.
    if (bankname[0] || !(mode & AURA_OPENONLY)) {
        result = openMIDIBank(this, bankname, &mBank, &mDLS, &mNumWaves);
        if (result != AURA_OK) {
            return result == AURA_ERR_FILE_NOTFOUND ? AURA_ERR_PLUGIN_RESOURCE : result;
        }
    }

    mTrack = static_cast<CodecMIDITrack *>(AURA_Memory_Calloc(sizeof(CodecMIDITrack) * mNumTracks));
    mVoice = static_cast<CodecMIDISubChannel *>(AURA_Memory_Calloc(sizeof(CodecMIDISubChannel) * mNumVoices));
    mWaveSample = static_cast<MusicSample *>(AURA_Memory_Calloc(sizeof(MusicSample) * std::max(mNumWaves, 1)));
    mWaveFormatMemory = static_cast<AURA_CODEC_WAVEFORMAT *>(AURA_Memory_Calloc(sizeof(AURA_CODEC_WAVEFORMAT)));
    if (!mTrack || !mVoice || !mWaveSample || !mWaveFormatMemory) {
        return AURA_ERR_MEMORY;
    }
    for (int i = 0; i < mNumTracks; ++i) {
        ::new (&mTrack[i]) CodecMIDITrack();
        mTrack[i].mCodec = this;
        mTrack[i].mEnded = true;
    }
    for (int i = 0; i < mNumWaves; ++i) {
        ::new (&mWaveSample[i]) MusicSample();
    }
    mFreeHead.initNode();
    for (int i = 0; i < mNumVoices; ++i) {
        ::new (&mVoice[i]) CodecMIDISubChannel();
        mVoice[i].mCodec = this;
        mVoice[i].mNode.initNode();
        mVoice[i].mNode.mData = &mVoice[i];
        mVoice[i].mNode.addBefore(mFreeHead);
    }
    for (int i = 0; i < NUM_CHANNELS; ++i) {
        mChannel[i].mCodec = this;
        mChannel[i].mVoiceHead.initNode();
    }

    // The chunk walk: always forward, in 64 bits, and never past the file.
    int stored = 0;
    uint64_t offset = 14;
    while (offset + 8 <= filesize) {
        uint8_t chunk[8];
        result = mFile->seek(static_cast<int>(offset), 0);
        if (result == AURA_OK) {
            result = mFile->read(chunk, 1, 8, &got);
        }
        if (result == AURA_ERR_FILE_EOF) {
            break;
        }
        if (result != AURA_OK) {
            return result;
        }
        const uint64_t length = be32(chunk + 4);
        if (std::memcmp(chunk, "MTrk", 4) == 0 && stored < mNumTracks) {
            CodecMIDITrack &track = mTrack[stored];
            // Never more than the file still holds.
            const uint64_t left = filesize - (offset + 8);
            track.mLength = static_cast<uint32_t>(std::min(length, left));
            track.mIndex = stored;
            if (track.mLength > 0) {
                track.mData = static_cast<uint8_t *>(AURA_Memory_Calloc(track.mLength));
                if (!track.mData) {
                    return AURA_ERR_MEMORY;
                }
                result = mFile->read(track.mData, 1, track.mLength, &got);
                if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
                    return result;
                }
            }
            ++stored;
        }
        offset += 8 + length;
    }

    AURA_CODEC_WAVEFORMAT &format = *mWaveFormatMemory;
    AURA_strncpy(format.name, "", 1);
    if (exinfo && exinfo->format != AURA_SOUND_FORMAT_NONE) {
        format.format = exinfo->format;
    } else {
        format.format = (mode & AURA_SOFTWARE) ? AURA_SOUND_FORMAT_PCMFLOAT : AURA_SOUND_FORMAT_PCM16;
    }
    if (format.format != AURA_SOUND_FORMAT_PCMFLOAT && format.format != AURA_SOUND_FORMAT_PCM16) {
        return AURA_ERR_FORMAT;
    }
    if (!mHost) {
        result = createMusicHost(this, "AURA MIDI Target Unit", &mHost);
        if (result != AURA_OK) {
            return result;
        }
    }
    format.channels = 2;
    format.frequency = mHost->outputRate() > 0 ? mHost->outputRate() : 48000;
    format.lengthbytes = filesize;
    format.blockalign = 2 * getBitsFromFormat(format.format) / 8;
    mState.waveformat = mWaveFormatMemory;
    mState.numsubsounds = 0;
    calculateTiming();

    result = play(true);
    if (result != AURA_OK) {
        return result;
    }

    // The length scan: 10 ticks at a time until every track has ended.
    mWaveUsed = static_cast<uint8_t *>(AURA_Memory_Calloc(std::max(mNumWaves, 1)));
    if (!mWaveUsed) {
        return AURA_ERR_MEMORY;
    }
    mScanning = true;
    mCurrentTick = 0;
    mSongMs = 0;
    for (;;) {
        int ended = 0;
        for (int i = 0; i < mNumTracks; ++i) {
            (void)mTrack[i].process(true);
            ended += (mTrack[i].mEnded || !mTrack[i].mData) ? 1 : 0;
        }
        const double stepMs = static_cast<double>(mTempo) / mDivision / 1000.0 * 10.0;
        mSongMs += stepMs;
        mCurrentTick += 10;
        if (ended == mNumTracks || mSongMs >= MAX_SONG_MS) {
            break;
        }
        // Steps before the next event change nothing but the time: they are
        // counted at once (long pauses would otherwise take for ever).
        uint64_t next = UINT64_MAX;
        for (int i = 0; i < mNumTracks; ++i) {
            if (mTrack[i].mData && !mTrack[i].mEnded) {
                next = std::min(next, mTrack[i].mNextTick);
            }
        }
        if (next != UINT64_MAX && next > mCurrentTick + 10) {
            const uint64_t idle = (next - mCurrentTick) / 10;
            mSongMs = std::min(mSongMs + static_cast<double>(idle) * stepMs, MAX_SONG_MS);
            mCurrentTick += idle * 10;
            if (mSongMs >= MAX_SONG_MS) {
                break;
            }
        }
    }
    mScanning = false;
    format.lengthpcm =
        static_cast<unsigned int>(std::min(std::ceil(mSongMs / 1000.0 * format.frequency), 4294967294.0));
    mFlags |= FLAG_EXACTLENGTH;

    int used = 0;
    for (const CodecMIDIChannel &channel : mChannel) {
        used += channel.mUsed.load(std::memory_order_relaxed) ? 1 : 0;
    }
    (void)metaData(AURA_TAGTYPE_AURA, "Number of channels", &used, sizeof(used), AURA_TAGDATATYPE_INT, false);

    for (int i = 0; i < mNumWaves; ++i) {
        if (mWaveUsed[i]) {
            float frequency = 0;
            result = getMIDIBankWave(mBank, i, true, &mWaveSample[i].mSound, &frequency);
            if (result != AURA_OK) {
                mWaveSample[i].mSound = nullptr; // its notes stay silent
            }
            mWaveSample[i].mMiddleC = static_cast<unsigned int>(frequency);
        }
    }
    AURA_Memory_Free(mWaveUsed);
    mWaveUsed = nullptr;

    result = mHost->createVoices(mNumVoices);
    if (result != AURA_OK) {
        return result;
    }
    for (int i = 0; i < mNumVoices; ++i) {
        mVoice[i].mVoice = mHost->voice(i);
    }
    return play(false);
}

MusicSample *CodecMIDI::waveSample(int index)
{
    if (index < 0 || index >= mNumWaves) {
        return nullptr;
    }
    MusicSample &sample = mWaveSample[index];
    if (mWaveUsed) {
        mWaveUsed[index] = 1;
        return &sample;
    }
    return sample.mSound ? &sample : nullptr;
}

AURA_RESULT CodecMIDI::closeInternal()
{
    if (mVoice) {
        for (int i = 0; i < mNumVoices; ++i) {
            if (mVoice[i].mInstrument) {
                (void)mVoice[i].stop();
            }
        }
    }
    if (mHost) {
        mHost->release();
        mHost = nullptr;
    }
    if (mBank) {
        releaseMIDIBank(mBank);
        mBank = nullptr;
        mDLS = nullptr;
    }
    if (mTrack) {
        for (int i = 0; i < mNumTracks; ++i) {
            AURA_Memory_Free(mTrack[i].mData);
        }
        AURA_Memory_Free(mTrack);
        mTrack = nullptr;
    }
    AURA_Memory_Free(mVoice);
    mVoice = nullptr;
    AURA_Memory_Free(mWaveSample);
    mWaveSample = nullptr;
    AURA_Memory_Free(mWaveUsed);
    mWaveUsed = nullptr;
    AURA_Memory_Free(mWaveFormatMemory);
    mWaveFormatMemory = nullptr;
    mState.waveformat = nullptr;
    AURA_Memory_Free(mMixBuffer);
    mMixBuffer = nullptr;
    return AURA_OK;
}

AURA_RESULT CodecMIDI::play(bool full)
{
    for (int i = 0; i < mNumTracks; ++i) {
        mTrack[i].reset();
        mTrack[i].mEnded = !mTrack[i].mData;
    }
    for (int i = 0; i < mNumVoices; ++i) {
        if (mVoice[i].mInstrument || mVoice[i].mSounding) {
            (void)mVoice[i].stop();
        }
    }
    for (int i = 0; i < NUM_CHANNELS; ++i) {
        mChannel[i].reset(i, full);
    }
    mCurrentTick = 0;
    mTickFraction = 0;
    mSampleFraction = 0;
    mSamplesPlayed = 0;
    mSamplesLeft = 0;
    mSongMs = 0;
    mRequestedSpeed.store(1.0f, std::memory_order_relaxed);
    if (mSpeed != 1.0f) {
        mSpeed = 1.0f;
        calculateTiming();
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDI::update()
{
    const float speed = mRequestedSpeed.load(std::memory_order_relaxed);
    if (speed != mSpeed) {
        mSpeed = speed;
        calculateTiming();
    }
    for (int i = 0; i < mNumTracks; ++i) {
        (void)mTrack[i].process(false);
    }
    for (CodecMIDIChannel &channel : mChannel) {
        (void)channel.update();
    }
    // Whole ticks and samples advance; their fractions carry to the next block.
    mTickFraction += mTicksPerUpdate;
    const double whole = std::floor(mTickFraction);
    mCurrentTick += static_cast<uint64_t>(whole);
    mTickFraction -= whole;
    mSampleFraction += mSamplesPerUpdate;
    const double samples = std::floor(mSampleFraction);
    mSampleFraction -= samples;
    mSamplesLeft = static_cast<unsigned int>(samples);
    mSamplesPlayed += mSamplesLeft;
    return AURA_OK;
}

AURA_RESULT CodecMIDI::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    AURA_CODEC_WAVEFORMAT &format = *mState.waveformat;
    const unsigned int sampleBytes = static_cast<unsigned int>(getBitsFromFormat(format.format) / 8);
    const unsigned int frameBytes = sampleBytes * 2;
    unsigned int frames = sizebytes / frameBytes;
    std::memset(buffer, 0, sizebytes);
    auto *out = static_cast<uint8_t *>(buffer);
    while (frames > 0) {
        if (mSamplesLeft == 0) {
            (void)update();
            if (mSamplesLeft == 0) {
                continue;
            }
        }
        const unsigned int chunk = std::min(mSamplesLeft, frames);
        if (mMixBufferFrames < chunk) {
            AURA_Memory_Free(mMixBuffer);
            mMixBufferFrames = 0;
            mMixBuffer = static_cast<float *>(AURA_Memory_Alloc(sizeof(float) * 2 * chunk));
            if (!mMixBuffer) {
                return AURA_ERR_MEMORY;
            }
            mMixBufferFrames = chunk;
        }
        const AURA_RESULT result = mHost->mix(mMixBuffer, chunk);
        if (result != AURA_OK) {
            return result;
        }
        if (format.format == AURA_SOUND_FORMAT_PCMFLOAT) {
            std::memcpy(out, mMixBuffer, chunk * frameBytes);
        } else {
            auto *pcm = reinterpret_cast<int16_t *>(out);
            for (unsigned int i = 0; i < chunk * 2; ++i) {
                pcm[i] = static_cast<int16_t>(std::lrintf(std::clamp(mMixBuffer[i], -1.0f, 1.0f) * 32767.0f));
            }
        }
        out += chunk * frameBytes;
        mSamplesLeft -= chunk;
        frames -= chunk;
    }
    if (bytesread) {
        *bytesread = sizebytes;
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDI::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int /*postype*/)
{
    // The position the song has reached counts the whole blocks run.
    const uint64_t at = mSamplesPlayed - mSamplesLeft;
    if (position == at) {
        return AURA_OK;
    }
    if (position < at) {
        (void)play(false);
    }
    while (mSamplesPlayed < position) {
        (void)update();
    }
    // The rest of the block that holds the position plays from there.
    const uint64_t over = mSamplesPlayed - position;
    if (mHost && mMixBuffer == nullptr) {
        mMixBuffer = static_cast<float *>(AURA_Memory_Alloc(sizeof(float) * 2 * MIN_BLOCK_SAMPLES));
        mMixBufferFrames = mMixBuffer ? MIN_BLOCK_SAMPLES : 0;
    }
    // The skipped part of the block is mixed and dropped, so its voices move on.
    uint64_t skip = mSamplesLeft - over;
    while (skip > 0 && mMixBuffer) {
        const unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(skip, mMixBufferFrames));
        const AURA_RESULT result = mHost->mix(mMixBuffer, n);
        if (result != AURA_OK) {
            return result;
        }
        skip -= n;
    }
    mSamplesLeft = static_cast<unsigned int>(over);
    return AURA_OK;
}

AURA_RESULT CodecMIDI::getMusicNumChannelsInternal(int *numchannels)
{
    if (!numchannels) {
        return AURA_ERR_INVALID_PARAM;
    }
    int count = 0;
    for (const CodecMIDIChannel &channel : mChannel) {
        count += channel.mUsed.load(std::memory_order_relaxed) ? 1 : 0;
    }
    *numchannels = count;
    return AURA_OK;
}

namespace {
CodecMIDIChannel *usedChannel(CodecMIDIChannel *channels, int index)
{
    for (int i = 0; i < CodecMIDI::NUM_CHANNELS; ++i) {
        if (channels[i].mUsed.load(std::memory_order_relaxed) && index-- == 0) {
            return &channels[i];
        }
    }
    return nullptr;
}
} // namespace

AURA_RESULT CodecMIDI::setMusicChannelVolumeInternal(int channel, float volume)
{
    if (channel < 0 || channel >= NUM_CHANNELS || !(volume >= 0.0f && volume <= 1.0f)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (CodecMIDIChannel *found = usedChannel(mChannel, channel)) {
        found->mMusicVolume.store(volume, std::memory_order_relaxed);
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDI::getMusicChannelVolumeInternal(int channel, float *volume)
{
    if (channel < 0 || channel >= NUM_CHANNELS || !volume) {
        return AURA_ERR_INVALID_PARAM;
    }
    CodecMIDIChannel *found = usedChannel(mChannel, channel);
    *volume = found ? found->mMusicVolume.load(std::memory_order_relaxed) : 0.0f;
    return AURA_OK;
}

AURA_RESULT CodecMIDI::setMusicSpeedInternal(float speed)
{
    if (!std::isfinite(speed) || speed <= 0.0f) {
        return AURA_ERR_INVALID_PARAM;
    }
    mRequestedSpeed.store(speed, std::memory_order_relaxed);
    return AURA_OK;
}

AURA_RESULT CodecMIDI::getMusicSpeedInternal(float *speed)
{
    if (!speed) {
        return AURA_ERR_INVALID_PARAM;
    }
    *speed = mRequestedSpeed.load(std::memory_order_relaxed);
    return AURA_OK;
}

// ---- channels ----

void CodecMIDIChannel::reset(int index, bool full)
{
    mVoiceHead.initNode();
    mPan = 64;
    mVolume = 100;
    mExpression = 127;
    mPitchBendRange = 0x200;
    mRPN = -1;
    mNumber = static_cast<uint8_t>(index + 1);
    mBank = 0;
    mProgram = 0;
    if (full) {
        mTrack = nullptr;
        mUsed.store(false, std::memory_order_relaxed);
        mMusicVolume.store(1.0f, std::memory_order_relaxed);
    }
}

bool CodecMIDIChannel::bankHas(uint32_t bank, uint32_t program) const
{
    const CodecDLS *dls = mCodec->mDLS;
    for (int i = 0; dls && i < dls->mNumInstruments; ++i) {
        if (dls->mInstrument[i].mBank == bank && dls->mInstrument[i].mProgram == program) {
            return true;
        }
    }
    return false;
}

AURA_RESULT CodecMIDIChannel::process(unsigned char status, bool reuse, unsigned char data, bool scanning)
{
    constexpr uint32_t DRUMS = 0x80000000u;
    if (mNumber == 10 && mBank != DRUMS) {
        mBank = DRUMS;
    }
    unsigned char d1 = data;
    unsigned char d2 = 0;
    auto first = [&]() { return reuse || mTrack->readByte(&d1) == AURA_OK; };
    switch (status & 0xF0) {
    case 0x80:
        if (!first() || mTrack->readByte(&d2) != AURA_OK) {
            return AURA_OK;
        }
        mNoteOffVelocity = d2;
        if (!scanning) {
            for (LinkedListNode *n = mVoiceHead.mNext; n != &mVoiceHead; n = n->mNext) {
                auto *voice = static_cast<CodecMIDISubChannel *>(n->mData);
                if (voice->mNoteOffKey == d1) {
                    voice->mReleased = true;
                    voice->mNoteOffKey = -1;
                    break;
                }
            }
        }
        return AURA_OK;
    case 0x90:
        if (!first() || mTrack->readByte(&d2) != AURA_OK) {
            return AURA_OK;
        }
        mNoteOnVelocity = d2;
        return noteOn(d1, d2, scanning);
    case 0xA0:
        if (first() && mTrack->readByte(&d2) == AURA_OK) {
            mPolyKey = d1;
            mPolyPressure = d2;
        }
        return AURA_OK;
    case 0xB0:
        if (!first() || mTrack->readByte(&d2) != AURA_OK) {
            return AURA_OK;
        }
        switch (d1) {
        case 0:
            if (mNumber != 10) {
                mBank = d2 * 256u;
            }
            if (mBank != 0 && !bankHas(mBank, mProgram)) {
                mBank = 0;
            }
            break;
        case 1: mModulation = d2; break;
        case 6:
            if (mRPN == 0) {
                mPitchBendRange = d2 * 256;
            }
            break;
        case 7: mVolume = d2; break;
        case 10: mPan = d2; break;
        case 11: mExpression = d2; break;
        case 32:
            mBank |= d2;
            if (mBank != 0 && !bankHas(mBank, mProgram)) {
                mBank = 0;
            }
            break;
        case 38:
            if (mRPN == 0) {
                mPitchBendRange |= d2;
            }
            break;
        case 64: mSustain = d2 != 0; break;
        case 100: mRPN |= d2; break;
        case 101: mRPN = d2 * 256; break;
        default: break;
        }
        return AURA_OK;
    case 0xC0:
        if (first()) {
            mProgram = d1;
            if (mNumber == 10 && !bankHas(mBank, mProgram)) {
                mProgram = 0;
            }
        }
        return AURA_OK;
    case 0xD0:
        if (first()) {
            mChannelPressure = d1;
        }
        return AURA_OK;
    case 0xE0:
        if (first() && mTrack->readByte(&d2) == AURA_OK) {
            mPitchBend = d1 + (d2 - 64) * 128;
        }
        return AURA_OK;
    default: return AURA_OK;
    }
}

AURA_RESULT CodecMIDIChannel::getSound(int key, MusicSample **sample, CodecDLSInstrument **instrument, int *unitynote,
                                       int *finetune, int *attenuation, int *keygroup, int *numconnections,
                                       DLS_CONNECTIONBLOCK **connections)
{
    *sample = nullptr;
    CodecDLS *dls = mCodec->mDLS;
    CodecDLSInstrument *found = nullptr;
    for (int i = 0; dls && i < dls->mNumInstruments; ++i) {
        if (dls->mInstrument[i].mBank == mBank && dls->mInstrument[i].mProgram == mProgram) {
            found = &dls->mInstrument[i];
            break;
        }
    }
    if (!found) {
        return AURA_OK;
    }
    CodecDLSRegion *region = nullptr;
    for (uint32_t i = 0; found->mRegion && i < found->mNumRegions; ++i) {
        if (found->mRegion[i].usKeyLow <= key && key <= found->mRegion[i].usKeyHigh) {
            region = &found->mRegion[i];
            break;
        }
    }
    if (!region) {
        return AURA_ERR_FILE_BAD;
    }
    // A wave index past the bank's waves names no wave.
    const bool waveKnown = region->mWaveIndex < static_cast<uint32_t>(std::max(dls->mNumWaves, 0));
    if (region->mHasWaveSample) {
        *unitynote = region->mWaveSample.usUnityNote;
        *finetune = region->mWaveSample.sFineTune;
        *attenuation = region->mWaveSample.lAttenuation;
    } else if (waveKnown) {
        const CodecDLSWaveSample &ws = dls->mWave[region->mWaveIndex].mWaveSample;
        *unitynote = ws.usUnityNote;
        *finetune = ws.sFineTune;
        *attenuation = ws.lAttenuation;
    } else {
        *unitynote = 60;
        *finetune = 0;
        *attenuation = 0;
    }
    *keygroup = region->usKeyGroup;
    *numconnections = region->mNumConnectionBlocks;
    *connections = region->mConnectionBlock;
    if (!waveKnown) {
        return AURA_ERR_FILE_BAD;
    }
    *sample = mCodec->waveSample(static_cast<int>(region->mWaveIndex));
    *instrument = found;
    if (found->mNumConnectionBlocks && found->mConnectionBlock) {
        *numconnections = found->mNumConnectionBlocks;
        *connections = found->mConnectionBlock;
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDIChannel::noteOn(int key, int velocity, bool scanning)
{
    MusicSample *sample = nullptr;
    CodecDLSInstrument *instrument = nullptr;
    int unity = 60, finetune = 0, attenuation = 0, keygroup = 0, numconnections = 0;
    DLS_CONNECTIONBLOCK *connections = nullptr;
    const AURA_RESULT found =
        getSound(key, &sample, &instrument, &unity, &finetune, &attenuation, &keygroup, &numconnections, &connections);
    if (scanning || found != AURA_OK || !sample) {
        return AURA_OK;
    }
    // A repeated key releases the older note.
    for (LinkedListNode *n = mVoiceHead.mNext; n != &mVoiceHead; n = n->mNext) {
        auto *voice = static_cast<CodecMIDISubChannel *>(n->mData);
        if (voice->mNoteOffKey == key) {
            voice->mReleased = true;
            voice->mNoteOffKey = -1;
            break;
        }
    }
    if (velocity == 0) {
        return AURA_OK;
    }
    if (keygroup != 0) {
        for (LinkedListNode *n = mVoiceHead.mNext; n != &mVoiceHead;) {
            auto *voice = static_cast<CodecMIDISubChannel *>(n->mData);
            n = n->mNext;
            if (voice->mKeyGroup == keygroup) {
                (void)voice->stop();
            }
        }
    }
    CodecMIDI &codec = *mCodec;
    if (codec.mFreeHead.isEmpty()) {
        // Steal the quietest released voice, else the quietest of all.
        CodecMIDISubChannel *quietReleased = nullptr, *quietest = nullptr;
        float releasedGain = 9999.0f, gain = 9999.0f;
        for (CodecMIDIChannel &channel : codec.mChannel) {
            for (LinkedListNode *n = channel.mVoiceHead.mNext; n != &channel.mVoiceHead; n = n->mNext) {
                auto *voice = static_cast<CodecMIDISubChannel *>(n->mData);
                if (voice->mEG1Stage == 2 && voice->mGain < releasedGain) {
                    releasedGain = voice->mGain;
                    quietReleased = voice;
                }
                if (voice->mGain < gain) {
                    gain = voice->mGain;
                    quietest = voice;
                }
            }
        }
        CodecMIDISubChannel *victim = quietReleased ? quietReleased : quietest;
        if (!victim) {
            return AURA_OK; // nothing to take: the note is dropped
        }
        (void)victim->stop();
    }
    auto *voice = static_cast<CodecMIDISubChannel *>(codec.mFreeHead.mNext->mData);
    voice->mNode.removeNode();
    voice->mNode.addAfter(mVoiceHead);
    voice->mChannel = this;
    voice->mNoteOffKey = key;
    voice->mSample = sample;
    voice->mKey = static_cast<uint8_t>(key);
    voice->mUnityNote = static_cast<uint8_t>(unity);
    voice->mFineTune = finetune;
    voice->mVelocity = static_cast<uint8_t>(velocity);
    voice->mInstrument = instrument;
    voice->mKeyGroup = keygroup;
    voice->mAttenuationGain = std::pow(10.0f, static_cast<float>(attenuation) / 13107200.0f);
    voice->mNumConnections = numconnections;
    voice->mConnection = connections;
    AURA_RESULT result = voice->setUpArticulators();
    if (result != AURA_OK) {
        (void)voice->stop();
        return result;
    }
    if (!voice->mVoice || voice->mVoice->start(sample, 0) != AURA_OK) {
        // No engine voice: the note is dropped and its voice freed again.
        ++codec.mDroppedNotes;
        (void)voice->stop();
        return AURA_OK;
    }
    voice->mSounding = true;
    (void)voice->mVoice->setPaused(true);
    result = voice->updatePitch();
    if (result == AURA_OK) {
        result = voice->updateVolume();
    }
    if (result == AURA_OK && voice->mInstrument) {
        result = voice->updatePan();
    }
    if (result == AURA_OK && voice->mInstrument) {
        (void)voice->mVoice->setPaused(false);
    }
    return result;
}

AURA_RESULT CodecMIDIChannel::update()
{
    const float ms = static_cast<float>(mCodec->mMsPerUpdate);
    for (LinkedListNode *n = mVoiceHead.mNext; n != &mVoiceHead;) {
        auto *voice = static_cast<CodecMIDISubChannel *>(n->mData);
        n = n->mNext;
        if (!voice->mInstrument) {
            continue;
        }
        (void)voice->updateVolume();
        if (!voice->mInstrument) {
            continue; // it ended
        }
        voice->mEG1Elapsed += ms;
        (void)voice->updatePitch();
        voice->mEG2Elapsed += ms;
        (void)voice->updatePan();
        voice->mLFOElapsed += ms;
    }
    return AURA_OK;
}

// ---- voices ----

float CodecMIDISubChannel::getTimeCentsFromlScale(int scale)
{
    if (static_cast<uint32_t>(scale) == 0x80000000u) {
        return 0.0f;
    }
    const double index = (static_cast<double>(scale) / 78643200.0 + 10.0) * 8.5333333;
    const int i = static_cast<int>(std::clamp(index, 0.0, 127.0));
    return kTimeCentTable[i];
}

AURA_RESULT CodecMIDISubChannel::findArticulator(int source, int destination)
{
    for (int i = 0; i < mNumConnections; ++i) {
        if (mConnection[i].usSource == source && mConnection[i].usDestination == destination) {
            return AURA_OK;
        }
    }
    return AURA_ERR_INVALID_PARAM;
}

AURA_RESULT CodecMIDISubChannel::articulateDest(unsigned int flags, int destination, int *out)
{
    *out = 0;
    bool matched = false;
    const CodecMIDIChannel *channel = mChannel;
    for (int i = 0; i < mNumConnections; ++i) {
        const DLS_CONNECTIONBLOCK &c = mConnection[i];
        if (c.usDestination != destination) {
            continue;
        }
        unsigned int bit = 0;
        switch (c.usSource) {
        case 0x0000: bit = CONN_SRC_FLAGS_NONE; break;
        case 0x0001: bit = CONN_SRC_FLAGS_LFO; break;
        case 0x0002: bit = CONN_SRC_FLAGS_KEYONVELOCITY; break;
        case 0x0003: bit = CONN_SRC_FLAGS_KEYNUMBER; break;
        case 0x0004: bit = CONN_SRC_FLAGS_EG1; break;
        case 0x0005: bit = CONN_SRC_FLAGS_EG2; break;
        case 0x0006: bit = CONN_SRC_FLAGS_PITCHWHEEL; break;
        case 0x0081: bit = CONN_SRC_FLAGS_CC1; break;
        case 0x0087: bit = CONN_SRC_FLAGS_CC7; break;
        case 0x008A: bit = CONN_SRC_FLAGS_CC10; break;
        case 0x008B: bit = CONN_SRC_FLAGS_CC11; break;
        default: bit = 0; break;
        }
        if (bit && !(flags & bit)) {
            continue;
        }
        matched = true;
        if (c.usTransform == 1) {
            continue; // concave: adds nothing
        }
        float source = 1.0f;
        if (c.usSource == 0x0002) {
            source = mVelocity / 128.0f;
        } else if (c.usSource == 0x0003) {
            source = mKey / 128.0f;
        }
        float control = 1.0f;
        switch (c.usControl) {
        case 0x81: control = channel ? channel->mModulation / 128.0f : 0.0f; break;
        case 0x02: control = mVelocity / 128.0f; break;
        case 0x03: control = mKey / 128.0f; break;
        case 0x87: control = channel ? channel->mVolume / 128.0f : 0.0f; break;
        case 0x8A: control = channel ? channel->mPan / 128.0f : 0.0f; break;
        case 0x8B: control = channel ? channel->mExpression / 128.0f : 0.0f; break;
        default: break;
        }
        *out += static_cast<int>(static_cast<float>(c.lScale) * control * source);
    }
    return matched ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT CodecMIDISubChannel::setUpArticulators()
{
    mReleased = false;
    mEG1Stage = 0;
    mEG1Elapsed = 0;
    mEG1[0] = {0, -96, 0};
    mEG1[1] = {0, 0, -96};
    mEG1[2] = {0, 0, -96};
    mEG1Sustain = 0;
    mEG2Stage = 0;
    mEG2Elapsed = 0;
    mEG2[0] = {0, 0, 1};
    mEG2[1] = {0, 1, 0};
    mEG2[2] = {0, 0, 0};
    mEG2Sustain = 1.0f;
    mEG2Depth = 0;
    mEG2Active = false;
    mLFODelay = mLFOElapsed = mLFOFrequency = mLFOGainDepth = mLFOPitchDepth = 0;
    mKeyToPitch = 12800;
    mGain = 1.0f;
    int sum = 0;
    if (articulateDest(CONN_SRC_FLAGS_LFO, 0x0001, &sum) == AURA_OK) {
        const float db = static_cast<float>(sum) / -655360.0f;
        mLFOGainDepth = 1.0f - std::pow(10.0f, db / 20.0f);
    }
    if (articulateDest(CONN_SRC_FLAGS_LFO, 0x0003, &sum) == AURA_OK) {
        mLFOPitchDepth = static_cast<float>(sum) / 65536.0f;
    }
    if (articulateDest(0x7CD, 0x0104, &sum) == AURA_OK) {
        mLFOFrequency = 440.0f * std::pow(2.0f, (static_cast<float>(sum) / 65536.0f - 6900.0f) / 1200.0f);
    }
    if (articulateDest(0x7CD, 0x0105, &sum) == AURA_OK) {
        mLFODelay = getTimeCentsFromlScale(sum);
    }
    const int eg1[3] = {0x0206, 0x0207, 0x0209};
    for (int i = 0; i < 3; ++i) {
        if (findArticulator(0, eg1[i]) == AURA_OK && articulateDest(0x7CD, eg1[i], &sum) == AURA_OK) {
            mEG1[i].mTime = getTimeCentsFromlScale(sum);
        }
    }
    if (articulateDest(0x7CD, 0x020A, &sum) == AURA_OK) {
        mEG1Sustain = sum == 0x8000000 ? -96.0f : (static_cast<float>(sum) / -65536000.0f + 1.0f) * -96.0f;
        // Levels from file data stay inside the gain table's range.
        mEG1Sustain = std::clamp(mEG1Sustain, -96.0f, 0.0f);
    }
    if (articulateDest(CONN_SRC_FLAGS_EG2, 0x0003, &sum) == AURA_OK) {
        mEG2Active = true;
        mEG2Depth = static_cast<float>(sum) / 65536.0f;
        const int eg2[3] = {0x030A, 0x030B, 0x030D};
        for (int i = 0; i < 3; ++i) {
            if (findArticulator(0, eg2[i]) == AURA_OK && articulateDest(CONN_SRC_FLAGS_NONE, eg2[i], &sum) == AURA_OK) {
                mEG2[i].mTime = getTimeCentsFromlScale(sum);
            }
        }
        if (articulateDest(CONN_SRC_FLAGS_NONE, 0x030E, &sum) == AURA_OK) {
            mEG2Sustain = sum == 0x8000000 ? 0.0f : std::clamp(static_cast<float>(sum) / 65536000.0f, 0.0f, 1.0f);
        }
    }
    mEG1[2].mTime = std::max(mEG1[2].mTime, 50.0f);
    return AURA_OK;
}

bool CodecMIDISubChannel::stepEnvelope(MIDIEnvelopeStage *stages, int &stage, float &elapsed, float sustain, bool eg1,
                                       float *level)
{
    auto levelAt = [&](int s, float t) {
        const MIDIEnvelopeStage &st = stages[s];
        float v = (st.mTime <= 0 || t >= st.mTime) ? (st.mTime <= 0 ? st.mStart : st.mEnd)
                                                   : st.mStart + (st.mEnd - st.mStart) * t / st.mTime;
        if (s == 1) {
            v = std::max(v, sustain);
        }
        return v;
    };
    const bool pedal = mChannel && mChannel->mSustain;
    if (mReleased && !pedal && stage != 2) {
        float current = levelAt(stage, elapsed);
        if (eg1 && stage == 0) {
            current = current > -96.0f ? 20.0f * std::log10(current / 96.0f + 1.0f) : -96.0f;
            current = std::clamp(current, -96.0f, 0.0f);
        }
        stage = 2;
        const MIDIEnvelopeStage &r = stages[2];
        const float slope = r.mTime > 0 ? (r.mEnd - r.mStart) / r.mTime : 0.0f;
        elapsed = slope != 0.0f ? std::max(0.0f, (current - r.mStart) / slope) : 0.0f;
    }
    while (stage <= 2 && elapsed >= stages[stage].mTime) {
        if (stage == 1 && (!mReleased || pedal) && (eg1 || sustain > 0.0f)) {
            elapsed = stages[1].mTime;
            break;
        }
        elapsed -= stages[stage].mTime;
        ++stage;
    }
    if (stage > 2) {
        return false;
    }
    *level = levelAt(stage, elapsed);
    return true;
}

AURA_RESULT CodecMIDISubChannel::updateVolume()
{
    float level = 0;
    if (!stepEnvelope(mEG1, mEG1Stage, mEG1Elapsed, mEG1Sustain, true, &level)) {
        return stop();
    }
    float eg = 0;
    if (mEG1Stage == 0) {
        eg = level / 96.0f + 1.0f;
    } else {
        const int index = 192 - static_cast<int>(-2.0f * std::clamp(level, -96.0f, 0.0f));
        eg = decibels().v[std::clamp(index, 0, 192)];
    }
    float lfo = 1.0f;
    if (mLFOElapsed >= mLFODelay && mLFOGainDepth != 0.0f) {
        lfo = std::clamp(1.0f + std::sin((mLFOElapsed - mLFODelay) / 1000.0f * kPi2 * mLFOFrequency) * mLFOGainDepth,
                         0.0f, 1.0f);
    }
    const CodecMIDIChannel &c = *mChannel;
    const float gain = eg * (mVelocity * mVelocity / 16129.0f) * (c.mVolume * c.mVolume / 16129.0f) *
                       (c.mExpression * c.mExpression / 16129.0f) * mAttenuationGain * lfo;
    if (mEG1Stage == 2 && gain < 1.0f / 1024.0f) {
        return stop();
    }
    mGain = gain;
    if (mVoice && mSounding) {
        (void)mVoice->setVolume(gain * c.mMusicVolume.load(std::memory_order_relaxed));
        if (!mVoice->isPlaying()) {
            return stop(); // a one-shot wave has ended
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDISubChannel::updatePitch()
{
    float eg2 = 0;
    if (mEG2Active) {
        float level = 0;
        if (stepEnvelope(mEG2, mEG2Stage, mEG2Elapsed, mEG2Sustain, false, &level)) {
            eg2 = level * mEG2Depth;
        } else {
            mEG2Active = false;
        }
    }
    float lfo = 0;
    if (mLFOElapsed >= mLFODelay && mLFOPitchDepth != 0.0f) {
        lfo = std::sin((mLFOElapsed - mLFODelay) / 1000.0f * kPi2 * mLFOFrequency) * mLFOPitchDepth;
    }
    const CodecMIDIChannel &c = *mChannel;
    const float cents = eg2 + c.mPitchBend / 8192.0f * (c.mPitchBendRange / 256.0f) * 100.0f +
                        mKeyToPitch * mKey / 128.0f + mFineTune - 100.0f * mUnityNote + lfo;
    const float frequency = static_cast<float>(mSample ? mSample->mMiddleC : 0) * std::pow(2.0f, cents / 1200.0f);
    if (mVoice && mSounding) {
        (void)mVoice->setFrequency(frequency);
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDISubChannel::updatePan()
{
    if (mVoice && mSounding && mChannel) {
        (void)mVoice->setPan(std::clamp(mChannel->mPan / 64.0f - 1.0f, -1.0f, 1.0f));
    }
    return AURA_OK;
}

AURA_RESULT CodecMIDISubChannel::stop()
{
    if (mVoice && mSounding) {
        (void)mVoice->stop();
    }
    mSounding = false;
    mNoteOffKey = -1;
    mInstrument = nullptr;
    mReleased = false;
    mGain = 0;
    mNode.removeNode();
    mNode.addAfter(mCodec->mFreeHead);
    return AURA_OK;
}

} // namespace AURA
