#include "music/aura_music.h"

#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "base/aura_sampleformat.h"
#include "base/aura_string.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_music";

constexpr unsigned int kFineTuneHz[16] = {8363, 8413, 8463, 8529, 8581, 8651, 8723, 8757,
                                          7895, 7941, 7985, 8046, 8107, 8169, 8232, 8280};
// Half a sine, for vibrato and tremolo.
constexpr uint8_t kSineWave[32] = {0,   24,  49,  74,  97,  120, 141, 161, 180, 197, 212, 224, 235, 244, 250, 253,
                                   255, 253, 250, 244, 235, 224, 212, 197, 180, 161, 141, 120, 97,  74,  49,  24};
// Frames mixed at a time between ticks.
constexpr unsigned int MIX_BLOCK = 1024;
} // namespace

AURA_RESULT MusicVirtualChannel::cleanUp()
{
    if (mVoice && mVoice->isPlaying()) {
        return AURA_OK;
    }
    mFlags = 0;
    if (mOwner && mOwner->mSlot == this) {
        mOwner->mSlot = nullptr;
    }
    mOwner = nullptr;
    mInUse = false;
    return AURA_OK;
}

MusicSong::MusicSong()
{
    for (auto &volume : mMusicChannelVolume) {
        volume.store(1.0f, std::memory_order_relaxed);
    }
    mDummyVirtualChannel.mSong = this;
    mDummyVirtualChannel.mIndex = -1;
}

MusicSong::~MusicSong()
{
    releaseSong();
}

void MusicSong::describe(AURA_CODEC_DESCRIPTION_EX &description)
{
    description.getlength = [](AURA_CODEC_STATE *state, unsigned int *length, AURA_TIMEUNIT type) {
        return fromState<MusicSong>(state)->getLengthInternal(length, type);
    };
    description.getposition = [](AURA_CODEC_STATE *state, unsigned int *position, AURA_TIMEUNIT type) {
        return fromState<MusicSong>(state)->getPositionInternal(position, type);
    };
    description.getmusicnumchannels = [](AURA_CODEC_STATE *state, int *count) {
        return fromState<MusicSong>(state)->getMusicNumChannelsInternal(count);
    };
    description.setmusicchannelvolume = [](AURA_CODEC_STATE *state, int channel, float volume) {
        return fromState<MusicSong>(state)->setMusicChannelVolumeInternal(channel, volume);
    };
    description.getmusicchannelvolume = [](AURA_CODEC_STATE *state, int channel, float *volume) {
        return fromState<MusicSong>(state)->getMusicChannelVolumeInternal(channel, volume);
    };
    description.setmusicspeed = [](AURA_CODEC_STATE *state, float speed) {
        return fromState<MusicSong>(state)->setMusicSpeedInternal(speed);
    };
    description.getmusicspeed = [](AURA_CODEC_STATE *state, float *speed) {
        return fromState<MusicSong>(state)->getMusicSpeedInternal(speed);
    };
    description.read = [](AURA_CODEC_STATE *state, void *buffer, unsigned int size, unsigned int *read) {
        return fromState<MusicSong>(state)->readInternal(buffer, size, read);
    };
    description.setposition = [](AURA_CODEC_STATE *state, int subsound, unsigned int position, AURA_TIMEUNIT type) {
        return fromState<MusicSong>(state)->setPositionInternal(subsound, position, type);
    };
    description.defaultasstream = 1;
    description.timeunits =
        AURA_TIMEUNIT_PCM | AURA_TIMEUNIT_MODORDER | AURA_TIMEUNIT_MODROW | AURA_TIMEUNIT_MODPATTERN;
}

// ---------------------------------------------------------------------------
// Song time.

AURA_RESULT MusicSong::setBPM(int bpm)
{
    float rate = 0.4f;
    if (bpm <= 0) {
        bpm = 1;
    } else {
        rate = static_cast<float>(bpm) * 2.0f / 5.0f;
    }
    rate *= mMasterSpeed.load(std::memory_order_relaxed);
    mBPM = bpm;
    if (rate >= 0.01f) {
        const int frequency = mState.waveformat ? mState.waveformat->frequency : 0;
        mSamplesPerTick = static_cast<int>(static_cast<float>(frequency) / rate);
    }
    return AURA_OK;
}

void MusicSong::applyPendingSpeed()
{
    if (mSpeedChanged.exchange(false, std::memory_order_acq_rel)) {
        (void)setBPM(mBPM);
    }
}

void MusicSong::takePendingJump()
{
    if (mNextOrder >= 0) {
        mOrder = mNextOrder >= mNumOrders ? 0 : mNextOrder;
        mNextOrder = -1;
    }
    if (mNextRow >= 0) {
        mRow = mNextRow;
        mNextRow = -1;
    }
}

void MusicSong::advanceTick()
{
    ++mTick;
    if (mTick >= mSpeed + mPatternDelayTicks) {
        mTick = 0;
        mPatternDelayTicks = 0;
    }
}

unsigned int MusicSong::nextRandom()
{
    unsigned int seed = gGlobal->mRandomNext.load(std::memory_order_relaxed);
    unsigned int next = 0;
    do {
        next = seed * 214013u + 2531011u;
    } while (!gGlobal->mRandomNext.compare_exchange_weak(seed, next, std::memory_order_relaxed));
    return (next >> 16) & 255u;
}

int MusicSong::waveform(int shape, int8_t position)
{
    const int index = position & 31;
    switch (shape & 3) {
    case 1: {
        const int ramp = index * 8;
        return position < 0 ? (~ramp & 255) : ramp;
    }
    case 2: return 255;
    case 3: return -1;
    default: return kSineWave[index];
    }
}

int8_t MusicSong::advanceWave(int8_t position, int speed)
{
    int next = position + speed;
    if (next > 31) {
        next -= 64;
    }
    return static_cast<int8_t>(next);
}

int MusicSong::autoVibratoSine(int position)
{
    struct Table {
        int8_t value[256] = {};
        Table()
        {
            for (int i = 0; i < 256; ++i) {
                value[i] = static_cast<int8_t>(std::lround(64.0 * std::sin(2.0 * 3.14159265358979323846 * i / 256.0)));
            }
        }
    };
    static const Table table;
    return table.value[position & 255];
}

uint64_t MusicSong::sampleBytes(const MusicSample &sample)
{
    return static_cast<uint64_t>(sample.mLength) * sample.mChannels * (sample.mBits / 8u);
}

void MusicSong::advanceRow(int rowsperpattern)
{
    if (mNextRow >= 0) {
        return;
    }
    mNextRow = mRow + 1;
    if (mNextRow >= rowsperpattern) {
        mNextOrder = mOrder + 1 >= mNumOrders ? mRestart : mOrder + 1;
        mNextRow = 0;
    }
}

bool MusicSong::visit(int order, int row)
{
    if (!mVisited || order < 0 || order >= mNumOrders || row < 0 || row > 255) {
        return false;
    }
    uint8_t &mark = mVisited[order * 256 + row];
    if (mark) {
        return true;
    }
    mark = 1;
    return false;
}

void MusicSong::unvisit(int order, int fromrow, int torow)
{
    if (!mVisited || order < 0 || order >= mNumOrders) {
        return;
    }
    for (int row = std::max(fromrow, 0); row <= torow && row < 256; ++row) {
        mVisited[order * 256 + row] = 0;
    }
}

// ---------------------------------------------------------------------------
// Voice slots.

AURA_RESULT MusicSong::createVirtualChannels(int count)
{
    if (count <= 0 || count > MAX_CHANNELS * 4) {
        return AURA_ERR_INVALID_PARAM;
    }
    mVirtualChannel =
        static_cast<MusicVirtualChannel *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicVirtualChannel)) * count));
    if (!mVirtualChannel) {
        return AURA_ERR_MEMORY;
    }
    for (int i = 0; i < count; ++i) {
        ::new (&mVirtualChannel[i]) MusicVirtualChannel();
    }
    mNumVirtualChannels = count;
    if (!mHost) {
        return AURA_ERR_INTERNAL;
    }
    AURA_RESULT result = mHost->createVoices(count);
    for (int i = 0; result == AURA_OK && i < count; ++i) {
        mVirtualChannel[i].mVoice = mHost->voice(i);
    }
    return result;
}

AURA_RESULT MusicSong::spawnNewVirtualChannel(MusicChannel *channel, MusicSample * /*sample*/,
                                              MusicVirtualChannel **slot)
{
    for (int i = 0; i < mNumVirtualChannels; ++i) {
        MusicVirtualChannel &candidate = mVirtualChannel[i];
        if (candidate.mInUse) {
            continue;
        }
        candidate.mInUse = true;
        candidate.mOwner = channel;
        if (channel) {
            channel->mSlot = &candidate;
        }
        candidate.mNoteState = 0;
        candidate.mEnvVolume = {};
        candidate.mEnvPan = {};
        candidate.mEnvPitch = {};
        candidate.mEnvVolume.mValue = 64;
        candidate.mEnvVolume.mFracValue = 64 << 16;
        candidate.mEnvPan.mValue = 128;
        candidate.mEnvPan.mFracValue = 128 << 16;
        candidate.mFadeOutVolume = 1024;
        if (slot) {
            *slot = &candidate;
        }
        return AURA_OK;
    }
    return AURA_ERR_INTERNAL;
}

AURA_RESULT MusicSong::playSound(MusicSample *sample, MusicVirtualChannel *slot)
{
    if (!slot || !slot->mVoice) {
        return AURA_OK;
    }
    slot->mSample = sample;
    const unsigned int offset = slot->mSampleOffset;
    slot->mSampleOffset = 0;
    if (!sample || !sample->mSound) {
        // Nothing to sound: what played before is cut.
        return slot->mVoice->stop();
    }
    return slot->mVoice->start(sample, offset);
}

AURA_RESULT MusicSong::stop()
{
    mFinished = true;
    mPlaying = false;
    // Every slot in use: a format may keep notes sounding on slots no
    // column drives any more.
    for (int i = 0; i < mNumVirtualChannels; ++i) {
        MusicVirtualChannel &slot = mVirtualChannel[i];
        if (!slot.mInUse) {
            continue;
        }
        if (slot.mVoice) {
            (void)slot.mVoice->stop();
        }
        slot.mFlags = 0;
        slot.mInUse = false;
        slot.mOwner = nullptr;
    }
    for (int c = 0; c < mNumChannels; ++c) {
        if (mChannel[c]) {
            mChannel[c]->mSlot = nullptr;
        }
    }
    return AURA_OK;
}

AURA_RESULT MusicSong::play(bool fromopen)
{
    AURA_RESULT result = stop();
    if (result != AURA_OK) {
        return result;
    }
    mGlobalVolume = mDefaultGlobalVolume;
    mSpeed = mDefaultSpeed;
    mRow = mOrder = 0;
    mNextRow = mNextOrder = -1;
    mSamplesLeftInTick = 0;
    mTick = 0;
    mPatternDelayTicks = 0;
    mPCMOffset = 0;
    mFinished = false;
    if (mVisited) {
        std::memset(mVisited, 0, static_cast<size_t>(mNumOrders) * 256);
    }
    // A set-finetune command changed the sample records as it played: a
    // restart plays them as loaded.
    for (int i = 0; i < mNumSamples; ++i) {
        mSample[i].mMiddleC = mSample[i].mLoadedMiddleC;
    }
    mSpeedChanged.store(false, std::memory_order_relaxed);
    result = setBPM(mDefaultBPM);
    if (result != AURA_OK) {
        return result;
    }
    for (int c = 0; c < mNumChannels; ++c) {
        if (!mChannel[c]) {
            continue;
        }
        *mChannel[c] = MusicChannel{};
        if (fromopen) {
            mMusicChannelVolume[c].store(1.0f, std::memory_order_relaxed);
        }
        mChannel[c]->mChannelVolume = mDefaultChannelVolume[c];
        mChannel[c]->mPan = mDefaultPan[c];
    }
    for (int i = 0; i < mNumVirtualChannels; ++i) {
        MusicVirtualChannel &slot = mVirtualChannel[i];
        MusicVoice *voice = slot.mVoice;
        slot = MusicVirtualChannel{};
        slot.mIndex = i;
        slot.mVoice = voice;
        slot.mSong = this;
    }
    mDummyVirtualChannel = MusicVirtualChannel{};
    mDummyVirtualChannel.mIndex = -1;
    mDummyVirtualChannel.mSong = this;
    restartFormat();
    mPlaying = true;
    publishPosition();
    return AURA_OK;
}

AURA_RESULT MusicSong::fineTune2Hz(unsigned char finetune, unsigned int *hz)
{
    if (!hz) {
        return AURA_ERR_INVALID_PARAM;
    }
    *hz = finetune < 16 ? kFineTuneHz[finetune] : 8363;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Codec operations.

void MusicSong::publishPosition()
{
    mPublishedOrder.store(mOrder, std::memory_order_relaxed);
    mPublishedRow.store(mRow, std::memory_order_relaxed);
    mPublishedPCM.store(mPCMOffset - static_cast<unsigned int>(std::max(mSamplesLeftInTick, 0)),
                        std::memory_order_relaxed);
}

AURA_RESULT MusicSong::getLengthInternal(unsigned int *length, unsigned int lengthtype)
{
    if (!length) {
        return AURA_ERR_INVALID_PARAM;
    }
    switch (lengthtype) {
    case AURA_TIMEUNIT_MODORDER: *length = static_cast<unsigned int>(mNumOrders); break;
    case AURA_TIMEUNIT_MODPATTERN: *length = static_cast<unsigned int>(mNumPatterns); break;
    case AURA_TIMEUNIT_MODROW: {
        const int order = mPublishedOrder.load(std::memory_order_relaxed);
        const int pattern = mOrderList[std::clamp(order, 0, 255)];
        *length = pattern < mNumPatterns && mPattern ? static_cast<unsigned int>(mPattern[pattern].mRows) : 0;
        break;
    }
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT MusicSong::getPositionInternal(unsigned int *position, unsigned int postype)
{
    if (!position) {
        return AURA_ERR_INVALID_PARAM;
    }
    // What the rendering thread last published: a reader on another thread
    // sees whole values.
    const int order = mPublishedOrder.load(std::memory_order_relaxed);
    switch (postype) {
    case AURA_TIMEUNIT_MODORDER: *position = static_cast<unsigned int>(order); break;
    case AURA_TIMEUNIT_MODPATTERN: *position = mOrderList[std::clamp(order, 0, 255)]; break;
    case AURA_TIMEUNIT_MODROW:
        *position = static_cast<unsigned int>(mPublishedRow.load(std::memory_order_relaxed));
        break;
    case AURA_TIMEUNIT_PCM: *position = mPublishedPCM.load(std::memory_order_relaxed); break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT MusicSong::getMusicNumChannelsInternal(int *numchannels)
{
    if (!numchannels) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numchannels = mNumChannels;
    return AURA_OK;
}

AURA_RESULT MusicSong::setMusicChannelVolumeInternal(int channel, float volume)
{
    if (channel < 0 || channel >= mNumChannels || !(volume >= 0.0f) || volume > 1.0f) {
        return AURA_ERR_INVALID_PARAM;
    }
    mMusicChannelVolume[channel].store(volume, std::memory_order_relaxed);
    return AURA_OK;
}

AURA_RESULT MusicSong::getMusicChannelVolumeInternal(int channel, float *volume)
{
    if (channel < 0 || channel >= mNumChannels || !volume) {
        return AURA_ERR_INVALID_PARAM;
    }
    *volume = mMusicChannelVolume[channel].load(std::memory_order_relaxed);
    return AURA_OK;
}

AURA_RESULT MusicSong::setMusicSpeedInternal(float speed)
{
    if (!std::isfinite(speed)) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The stream thread takes the new tick length at its next tick.
    mMasterSpeed.store(speed, std::memory_order_relaxed);
    mSpeedChanged.store(true, std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT MusicSong::getMusicSpeedInternal(float *speed)
{
    if (!speed) {
        return AURA_ERR_INVALID_PARAM;
    }
    *speed = mMasterSpeed.load(std::memory_order_relaxed);
    return AURA_OK;
}

AURA_RESULT MusicSong::getHardwareMusicChannel(ChannelReal **channel)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    *channel = nullptr;
    return mHost ? mHost->hardwareChannel(this, channel) : AURA_ERR_UNSUPPORTED;
}

void MusicSong::setVoicesPaused(bool paused)
{
    for (int i = 0; i < mNumVirtualChannels; ++i) {
        MusicVirtualChannel &slot = mVirtualChannel[i];
        if (slot.mInUse && slot.mVoice) {
            (void)slot.mVoice->setPaused(paused);
        }
    }
}

// ---------------------------------------------------------------------------
// Render, seek and length.

void MusicSong::convertOut(const float *in, void *out, unsigned int frames) const
{
    const unsigned int count = frames * 2;
    switch (mState.waveformat->format) {
    case AURA_SOUND_FORMAT_PCMFLOAT: std::memcpy(out, in, count * sizeof(float)); break;
    case AURA_SOUND_FORMAT_PCM8:
        for (unsigned int i = 0; i < count; ++i) {
            static_cast<int8_t *>(out)[i] = static_cast<int8_t>(std::lrintf(std::clamp(in[i], -1.0f, 1.0f) * 127.0f));
        }
        break;
    case AURA_SOUND_FORMAT_PCM24:
        for (unsigned int i = 0; i < count; ++i) {
            const auto v = static_cast<int32_t>(std::lrintf(std::clamp(in[i], -1.0f, 1.0f) * 8388607.0f));
            auto *b = static_cast<uint8_t *>(out) + i * 3;
            b[0] = static_cast<uint8_t>(v);
            b[1] = static_cast<uint8_t>(v >> 8);
            b[2] = static_cast<uint8_t>(v >> 16);
        }
        break;
    case AURA_SOUND_FORMAT_PCM32:
        for (unsigned int i = 0; i < count; ++i) {
            static_cast<int32_t *>(out)[i] =
                static_cast<int32_t>(std::llrint(static_cast<double>(std::clamp(in[i], -1.0f, 1.0f)) * 2147483647.0));
        }
        break;
    default:
        for (unsigned int i = 0; i < count; ++i) {
            static_cast<int16_t *>(out)[i] =
                static_cast<int16_t>(std::lrintf(std::clamp(in[i], -1.0f, 1.0f) * 32767.0f));
        }
        break;
    }
}

AURA_RESULT MusicSong::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    const AURA_CODEC_WAVEFORMAT *format = mState.waveformat;
    if (!format || format->blockalign <= 0) {
        return AURA_ERR_INTERNAL;
    }
    const auto frameBytes = static_cast<unsigned int>(format->blockalign);
    unsigned int frames = sizebytes / frameBytes;
    auto *out = static_cast<uint8_t *>(buffer);
    if (!mPlaying || mMasterSpeed.load(std::memory_order_relaxed) == 0.0f) {
        // Nothing advances; what is asked for is silence, never stale memory.
        if (buffer) {
            std::memset(buffer, 0, sizebytes);
        }
        if (bytesread) {
            *bytesread = sizebytes;
        }
        return AURA_OK;
    }
    if (buffer && !mMixBuffer) {
        mMixBuffer = static_cast<float *>(AURA_Memory_Alloc(static_cast<int>(MIX_BLOCK * 2 * sizeof(float))));
        if (!mMixBuffer) {
            return AURA_ERR_MEMORY;
        }
        mMixBufferFrames = MIX_BLOCK;
    }
    while (frames > 0) {
        if (mSamplesLeftInTick <= 0) {
            const AURA_RESULT result = update(true);
            if (result != AURA_OK) {
                return result;
            }
            mSamplesLeftInTick = std::max(mSamplesPerTick, 1);
        }
        unsigned int n = std::min({static_cast<unsigned int>(mSamplesLeftInTick), frames, mMixBufferFrames});
        if (!buffer) {
            n = std::min(static_cast<unsigned int>(mSamplesLeftInTick), frames);
        } else {
            if (mHost) {
                const AURA_RESULT result = mHost->mix(mMixBuffer, n);
                if (result != AURA_OK) {
                    return result;
                }
            } else {
                std::memset(mMixBuffer, 0, n * 2 * sizeof(float));
            }
            convertOut(mMixBuffer, out, n);
            out += n * frameBytes;
        }
        mSamplesLeftInTick -= static_cast<int>(n);
        frames -= n;
    }
    publishPosition();
    // A partial frame at the end is silence.
    if (buffer && sizebytes % frameBytes) {
        std::memset(out, 0, sizebytes % frameBytes);
    }
    if (bytesread) {
        *bytesread = sizebytes;
    }
    return AURA_OK;
}

AURA_RESULT MusicSong::setPositionInternal(int /*subsound*/, unsigned int position, unsigned int postype)
{
    if (postype == AURA_TIMEUNIT_MODORDER) {
        if (mNumOrders <= 0 || position >= static_cast<unsigned int>(mNumOrders)) {
            return AURA_ERR_INVALID_POSITION;
        }
        const int order = static_cast<int>(position);
        AURA_RESULT result = play(false);
        // The song runs silently up to the order's first row, so that its
        // speed, tempo and PCM position are those of a song played there.
        for (unsigned int ticks = 0; result == AURA_OK && ticks < MAX_MEASURED_TICKS; ++ticks) {
            const int nextOrder = mNextOrder >= 0 ? mNextOrder : mOrder;
            const int nextRow = mNextRow >= 0 ? mNextRow : mRow;
            if (mTick == 0 && nextOrder == order && nextRow == 0) {
                mSamplesLeftInTick = 0;
                publishPosition();
                return AURA_OK;
            }
            if (mFinished) {
                break;
            }
            result = update(false);
        }
        if (result != AURA_OK) {
            return result;
        }
        // An order the song never reaches from its start: begin there afresh.
        result = play(false);
        mOrder = mNextOrder = order;
        mNextRow = 0;
        publishPosition();
        return result;
    }
    if (postype != AURA_TIMEUNIT_PCM) {
        return AURA_ERR_FORMAT;
    }
    if (position == mPCMOffset) {
        return AURA_OK;
    }
    bool restarted = false;
    if (position < mPCMOffset) {
        const AURA_RESULT result = play(false);
        if (result != AURA_OK) {
            return result;
        }
        restarted = true;
    }
    // As far as a song is ever measured: a seek far past an unmeasured
    // song's end stops there.
    for (unsigned int ticks = 0; mPCMOffset < position && ticks < MAX_MEASURED_TICKS; ++ticks) {
        const AURA_RESULT result = update(true);
        if (result != AURA_OK) {
            return result;
        }
        if (mSamplesPerTick <= 0) {
            break;
        }
    }
    mSamplesLeftInTick = 0;
    publishPosition();
    if (restarted) {
        // The fast-forward started voices mid-note: they are silenced, and
        // the song carries on from here.
        const bool playing = mPlaying;
        const bool finished = mFinished;
        (void)stop();
        mPlaying = playing;
        mFinished = finished;
    }
    return AURA_OK;
}

AURA_RESULT MusicSong::calculateLength()
{
    AURA_CODEC_WAVEFORMAT *format = mState.waveformat;
    if (!format) {
        return AURA_ERR_INTERNAL;
    }
    AURA_RESULT result = play(false);
    if (result != AURA_OK) {
        return result;
    }
    const uint64_t maxFrames = MAX_MEASURED_FRAMES_SECONDS * static_cast<uint64_t>(format->frequency);
    uint64_t frames = 0;
    unsigned int ticks = 0;
    while (!mFinished && frames < maxFrames && ticks < MAX_MEASURED_TICKS) {
        result = update(false);
        if (result != AURA_OK) {
            return result;
        }
        // The tick that found the end plays nothing of the song.
        if (!mFinished) {
            frames += static_cast<unsigned int>(std::max(mSamplesPerTick, 0));
        }
        ++ticks;
    }
    format->lengthpcm = static_cast<unsigned int>(std::min<uint64_t>(frames, maxFrames));
    mFlags |= FLAG_EXACTLENGTH;
    return stop();
}

// ---------------------------------------------------------------------------
// Building and freeing.

AURA_RESULT MusicSong::initWaveFormat(const char *name, AURA_MODE mode, const AURA_CREATESOUNDEXINFO *exinfo,
                                      unsigned int filesize)
{
    mWaveFormatMemory = static_cast<AURA_CODEC_WAVEFORMAT *>(AURA_Memory_Calloc(sizeof(AURA_CODEC_WAVEFORMAT)));
    if (!mWaveFormatMemory) {
        return AURA_ERR_MEMORY;
    }
    AURA_CODEC_WAVEFORMAT &format = *mWaveFormatMemory;
    AURA_strncpy(format.name, name, sizeof(format.name) - 1);
    if (exinfo && exinfo->format != AURA_SOUND_FORMAT_NONE) {
        format.format = exinfo->format;
    } else {
        format.format = (mode & AURA_SOFTWARE) ? AURA_SOUND_FORMAT_PCMFLOAT : AURA_SOUND_FORMAT_PCM16;
    }
    const int bits = getBitsFromFormat(format.format);
    if (bits == 0) {
        return AURA_ERR_FORMAT;
    }
    format.channels = 2;
    format.frequency = mHost && mHost->outputRate() > 0 ? mHost->outputRate() : 48000;
    format.lengthbytes = filesize;
    format.lengthpcm = 0xFFFFFFFFu;
    format.blockalign = 2 * bits / 8;
    mState.waveformat = mWaveFormatMemory;
    mState.numsubsounds = 0;
    return AURA_OK;
}

void MusicSong::releaseSong()
{
    if (mPlaying || mVirtualChannel) {
        (void)stop();
    }
    if (mSample) {
        for (int i = 0; i < mNumSamples; ++i) {
            if (mHost && mSample[i].mSound) {
                mHost->releaseSampleSound(&mSample[i]);
            }
            mSample[i].mSound = nullptr;
            AURA_Memory_Free(mSample[i].mData);
            mSample[i].mData = nullptr;
        }
        AURA_Memory_Free(mSample);
        mSample = nullptr;
    }
    mNumSamples = 0;
    if (mHost) {
        mHost->release();
        mHost = nullptr;
    }
    if (mVirtualChannel) {
        for (int i = 0; i < mNumVirtualChannels; ++i) {
            mVirtualChannel[i].~MusicVirtualChannel();
        }
        AURA_Memory_Free(mVirtualChannel);
        mVirtualChannel = nullptr;
    }
    mNumVirtualChannels = 0;
    if (mPattern) {
        for (int i = 0; i < mNumPatternsMem; ++i) {
            AURA_Memory_Free(mPattern[i].mData);
        }
        AURA_Memory_Free(mPattern);
        mPattern = nullptr;
    }
    mNumPatternsMem = 0;
    for (auto &channel : mChannel) {
        AURA_Delete(channel);
        channel = nullptr;
    }
    mNumChannels = 0;
    AURA_Memory_Free(mVisited);
    mVisited = nullptr;
    AURA_Memory_Free(mMixBuffer);
    mMixBuffer = nullptr;
    if (mWaveFormatMemory) {
        AURA_Memory_Free(mWaveFormatMemory);
        mWaveFormatMemory = nullptr;
        mState.waveformat = nullptr;
    }
    mPlaying = false;
}

int MusicSong::retriggerVolume(int volume, int change)
{
    switch (change) {
    case 1: return volume - 1;
    case 2: return volume - 2;
    case 3: return volume - 4;
    case 4: return volume - 8;
    case 5: return volume - 16;
    case 6: return 0;
    case 7: return volume / 2;
    case 9: return volume + 1;
    case 10: return volume + 2;
    case 11: return volume + 4;
    case 12: return volume + 8;
    case 13: return volume + 16;
    case 15: return volume * 2;
    default: return volume;
    }
}

AURA_RESULT MusicSong::seekableFileSize(unsigned int *filesize)
{
    *filesize = 0;
    if (!mFile || !(mFile->getFlags() & File::FLAG_SEEKABLE)) {
        return AURA_ERR_FORMAT;
    }
    return mFile->getSize(filesize);
}

} // namespace AURA
