// The IT tick engine: cells applied on their tick, effects with their
// memories, new-note actions that leave notes playing in the background,
// three envelopes per voice, fadeout, and each voice's volume, pan,
// frequency and low-pass cutoff.
#include "music/aura_codec_it.h"

#include "music/aura_codec_mod.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace AURA {

namespace {
constexpr uint8_t F_FREQUENCY = MusicVirtualChannel::FLAG_FREQUENCY;
constexpr uint8_t F_VOLUME = MusicVirtualChannel::FLAG_VOLUME;
constexpr uint8_t F_PAN = MusicVirtualChannel::FLAG_PAN;
constexpr uint8_t F_START = MusicVirtualChannel::FLAG_START;
constexpr uint8_t F_STOP = MusicVirtualChannel::FLAG_STOP;
constexpr int AMIGA_CLOCK = 14317056;
constexpr int FADEOUT_FULL = 1024;
constexpr double MAX_HZ = 4.0e6;

// Effect letters as stored: A = 1 to Z = 26.
enum Effect : uint8_t {
    VOLUME_SLIDE = 4,
    PITCH_DOWN = 5,
    PITCH_UP = 6,
    TONE_PORTA = 7,
    VIBRATO = 8,
    TREMOR = 9,
    ARPEGGIO = 10,
    VIBRATO_SLIDE = 11,
    PORTA_SLIDE = 12,
    CHANNEL_VOLUME = 13,
    CHANNEL_SLIDE = 14,
    OFFSET = 15,
    PAN_SLIDE = 16,
    RETRIGGER = 17,
    TREMOLO = 18,
    SPECIAL = 19,
    FINE_VIBRATO = 21,
    GLOBAL_VOLUME = 22,
    GLOBAL_SLIDE = 23,
    SET_PAN = 24,
    PANBRELLO = 25,
};

// A slide pair xy as IT reads it: x0 up by x, 0y down by y; on the first
// tick xF up by x and Fy down by y.
int slide(int value, uint8_t memory, bool tickzero, int top)
{
    const int x = memory >> 4;
    const int y = memory & 15;
    if (tickzero) {
        if (y == 15 && x) {
            value += x;
        } else if (x == 15 && y) {
            value -= y;
        }
    } else if (x == 0) {
        value -= y;
    } else if (y == 0) {
        value += x;
    }
    return std::clamp(value, 0, top);
}

// The vibrato waves of IT: sine, ramp down, square, random.
int vibratoValue(int wave, int8_t position)
{
    const int value = MusicSong::waveform(wave & 3, position);
    return value < 0 ? static_cast<int>(MusicSong::nextRandom()) : value;
}
} // namespace

// ---------------------------------------------------------------------------
// Channel operations.

void MusicChannelIT::reset()
{
    CodecIT *song = mSong;
    const int index = mIndex;
    const MusicChannel base = *this;
    *this = MusicChannelIT{};
    static_cast<MusicChannel &>(*this) = base;
    mSong = song;
    mIndex = index;
}

AURA_RESULT MusicChannelIT::volumeSlide()
{
    mVolume = slide(mVolume, mVolumeSlideMemory, false, 64);
    mVoice->mFlags |= F_VOLUME;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::panSlide()
{
    const int x = mPanSlideMemory >> 4;
    const int y = mPanSlideMemory & 15;
    if (y == 0) {
        mPan = std::max(mPan - x, 0);
    } else if (x == 0) {
        mPan = std::min(mPan + y, 64);
    }
    mVoice->mPan = mPan;
    mVoice->mFlags |= F_PAN;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::portamento()
{
    if (mPortaDone) {
        return AURA_OK;
    }
    MusicVirtualChannel &slot = *mVoice;
    const int target = static_cast<int>(mPortaTarget);
    const int speed = mSong->sharedPortaMemory() ? mPortaMemory : mOwnPortaSpeed;
    const int step = 4 * speed;
    if (slot.mPeriod < target) {
        slot.mPeriod = std::min(slot.mPeriod + step, target);
    } else if (slot.mPeriod > target) {
        slot.mPeriod = std::max(slot.mPeriod - step, target);
    }
    if (slot.mPeriod == target) {
        mPortaDone = true;
    }
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::vibrato()
{
    int delta = ((mVibratoDepth * vibratoValue(mVibratoWave, mVibratoPos)) >> 7) * 2;
    if (mSong->oldEffects()) {
        delta *= 2;
    }
    mVibratoPos = MusicSong::advanceWave(mVibratoPos, mVibratoSpeed);
    mVoice->mPeriodDelta += mVibratoPos < 0 ? delta : -delta;
    mVoice->mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::fineVibrato()
{
    int delta = (mVibratoDepth * vibratoValue(mVibratoWave, mVibratoPos)) >> 7;
    if (mSong->oldEffects()) {
        delta *= 2;
    }
    mVoice->mPeriodDelta += mVibratoPos < 0 ? -delta : delta;
    mVibratoPos = MusicSong::advanceWave(mVibratoPos, mVibratoSpeed);
    mVoice->mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::tremolo()
{
    const int shape = mTremoloWave & 3;
    const int delta = (MusicSong::waveform(shape == 3 ? 0 : shape, mTremoloPos) * mTremoloDepth) >> 6;
    mVolumeDeltaIT = mTremoloPos < 0 ? -std::min(delta, mVolume) : std::min(delta, 64 - mVolume);
    mTremoloPos = MusicSong::advanceWave(mTremoloPos, mTremoloSpeed);
    mVoice->mFlags |= F_VOLUME;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::panbrello()
{
    int value = 0;
    switch (mPanbrelloWave & 3) {
    case 1: value = (128 - mPanbrelloPos) >> 1; break;
    case 2: value = mPanbrelloPos < 128 ? 64 : -64; break;
    default: value = MusicSong::autoVibratoSine(mPanbrelloPos); break;
    }
    value = (value * mPanbrelloDepth) >> 5;
    value = std::min(value, 64 - mVoice->mPan);
    mSong->voiceIT(*mVoice).mPanDelta = value;
    mPanbrelloPos = (mPanbrelloPos + mPanbrelloSpeed) & 255;
    mVoice->mFlags |= F_PAN;
    return AURA_OK;
}

AURA_RESULT MusicChannelIT::processVolumeByte(const MusicNote &cell, bool tickzero)
{
    if (cell.mVolume == 0) {
        return AURA_OK;
    }
    MusicVirtualChannel &slot = *mVoice;
    const int v = cell.mVolume - 1;
    auto remember = [&](int amount) {
        if (amount) {
            mVolumeColumnMemory = static_cast<uint8_t>(amount);
        }
        return static_cast<int>(mVolumeColumnMemory);
    };
    if (v <= 64) {
        if (tickzero) {
            mVolume = v;
            slot.mFlags |= F_VOLUME;
        }
    } else if (v <= 84) {
        if (tickzero) {
            const int amount = remember(v <= 74 ? v - 65 : v - 75);
            mVolume = std::clamp(mVolume + (v <= 74 ? amount : -amount), 0, 64);
            slot.mFlags |= F_VOLUME;
        }
    } else if (v <= 104) {
        const int amount = remember(v <= 94 ? v - 85 : v - 95);
        if (!tickzero) {
            mVolume = std::clamp(mVolume + (v <= 94 ? amount : -amount), 0, 64);
            slot.mFlags |= F_VOLUME;
        }
    } else if (v <= 124) {
        const int given = v <= 114 ? v - 105 : v - 115;
        if (given) {
            mPortaMemory = static_cast<uint8_t>(given);
        }
        const int amount = 16 * mPortaMemory;
        slot.mPeriod += v <= 114 ? amount : -amount;
        if (slot.mPeriod <= 0) {
            slot.mFlags |= F_STOP;
        }
        slot.mFlags |= F_FREQUENCY;
    } else if (v >= 128 && v <= 192) {
        if (tickzero) {
            mPan = v - 128;
            slot.mPan = mPan;
            slot.mFlags |= F_PAN;
        }
    } else if (v >= 193 && v <= 202) {
        if (tickzero) {
            if (v > 193) {
                const auto speed = static_cast<uint8_t>((v - 193) * 16);
                (mSong->sharedPortaMemory() ? mPortaMemory : mOwnPortaSpeed) = speed;
            }
            mPortaTarget = mNotePeriod;
            if (cell.mNote >= 1 && cell.mNote <= 120) {
                mPortaDone = false;
            }
        } else {
            (void)portamento();
        }
    } else if (v >= 203 && v <= 212) {
        if (tickzero && v > 203) {
            mVibratoDepth = static_cast<uint8_t>(v - 203);
            mVibratoKind = VIBRATO_NORMAL;
        }
        if (!mSong->voiceIT(slot).mBackground && !(tickzero && mSong->oldEffects())) {
            (void)(mVibratoKind == VIBRATO_FINE ? fineVibrato() : vibrato());
        }
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Envelopes and auto-vibrato.

AURA_RESULT CodecIT::processEnvelope(MusicEnvelopeState &state, MusicVirtualChannel &slot,
                                     const MusicEnvelopeIT &envelope, uint8_t flag)
{
    const int count = envelope.mCount;
    if (count <= 0) {
        return AURA_OK;
    }
    int &i = state.mPosition;
    i = std::clamp(i, 0, count - 1);
    auto hold = [&](int node) {
        state.mValue = envelope.mValue[node];
        state.mFracValue = state.mValue * 65536;
    };
    if (state.mTick != envelope.mTick[i]) {
        state.mFracValue += state.mFracDelta;
        state.mValue = state.mFracValue >> 16;
        ++state.mTick;
        slot.mFlags |= flag;
        return AURA_OK;
    }
    // Nodes on one tick pass in one step; a loop runs once a step.
    bool looped = false;
    for (int guard = 0; guard <= count && state.mTick == envelope.mTick[i]; ++guard) {
        if ((envelope.mFlags & MusicEnvelopeIT::SUSTAIN) && !slot.mKeyOff && i >= envelope.mSustainEnd && !looped) {
            if (envelope.mSustainBegin == envelope.mSustainEnd) {
                hold(envelope.mSustainEnd);
                return AURA_OK;
            }
            i = envelope.mSustainBegin;
            state.mTick = envelope.mTick[i];
            looped = true;
        } else if ((envelope.mFlags & MusicEnvelopeIT::LOOP) && i >= envelope.mLoopEnd && !looped) {
            if (envelope.mLoopEnd <= envelope.mLoopBegin) {
                hold(envelope.mLoopBegin);
                return AURA_OK;
            }
            i = envelope.mLoopBegin;
            state.mTick = envelope.mTick[i];
            looped = true;
        }
        if (i >= count - 1) {
            hold(count - 1);
            state.mStopped = true;
            return AURA_OK;
        }
        const int dt = envelope.mTick[i + 1] - envelope.mTick[i];
        state.mFracDelta = dt > 0 ? ((envelope.mValue[i + 1] - envelope.mValue[i]) * 65536) / dt : 0;
        state.mFracValue = envelope.mValue[i] * 65536;
        ++i;
    }
    state.mValue = state.mFracValue >> 16;
    ++state.mTick;
    slot.mFlags |= flag;
    return AURA_OK;
}

AURA_RESULT CodecIT::processPitchEnvelope(MusicVirtualChannel &slot, const MusicInstrumentIT &instrument, int note)
{
    const MusicEnvelopeIT &envelope = instrument.mPitchEnvelope;
    AURA_RESULT result = processEnvelope(slot.mEnvPitch, slot, envelope, F_FREQUENCY);
    const int value = slot.mEnvPitch.mValue;
    MusicVoiceIT &voice = voiceIT(slot);
    if (linear() || (envelope.mFlags & MusicEnvelopeIT::FILTER)) {
        voice.mPitchEnvelope = value * 32;
    } else if (slot.mSample) {
        const unsigned int c5 = std::max(slot.mSample->mMiddleC, 1u);
        const int half = value >> 1;
        int other = amigaPeriod(note + half, c5);
        if (value & 1) {
            other = (other + amigaPeriod(note + half + 1, c5)) / 2;
        }
        voice.mPitchEnvelope = amigaPeriod(note, c5) - other;
    }
    return result;
}

AURA_RESULT CodecIT::sampleVibrato(MusicVirtualChannel &slot)
{
    const MusicVoiceIT &voice = voiceIT(slot);
    if (voice.mSample < 0 || voice.mSample >= mNumSamples) {
        return AURA_OK;
    }
    const MusicSampleIT &sample = mSampleIT[voice.mSample];
    if (sample.mVibratoDepth == 0) {
        return AURA_OK;
    }
    const int position = slot.mAutoVibratoPos & 255;
    int value = 0;
    switch (sample.mVibratoWaveform & 3) {
    case 1: value = (128 - (position + 128) % 256) >> 1; break;
    case 2: value = position < 128 ? 64 : -64; break;
    default: value = autoVibratoSine(position); break;
    }
    slot.mPeriodDelta -=
        static_cast<int>((static_cast<int64_t>(value) * slot.mAutoVibratoSweep * sample.mVibratoDepth) >> 23);
    slot.mAutoVibratoSweep = std::min(slot.mAutoVibratoSweep + 2 * sample.mVibratoRate, 65536);
    slot.mAutoVibratoPos = (position + sample.mVibratoSpeed) & 255;
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Pitch.

int CodecIT::amigaPeriod(int note, unsigned int c5) const
{
    // The table's C of octave 4 plays 8363 Hz at a period of 1712; IT's
    // middle C is note 60.
    const int index = std::clamp(note - 12, 0, 131);
    return static_cast<int>(static_cast<uint64_t>(gPeriodTable[index]) * 8363u / std::max(c5, 1u));
}

int CodecIT::notePeriod(int note, unsigned int c5) const
{
    if (linear()) {
        return 7680 - 64 * note - static_cast<int>(768.0 * std::log(std::max(c5, 1u) / 8363.0) / 0.693147);
    }
    return amigaPeriod(note, c5);
}

MusicVoiceIT &CodecIT::voiceIT(const MusicVirtualChannel &slot)
{
    return slot.mIndex >= 0 && slot.mIndex < mNumVirtualChannels && mVoiceIT ? mVoiceIT[slot.mIndex] : mDummyVoiceIT;
}

const MusicInstrumentIT *CodecIT::instrumentOf(const MusicVoiceIT &voice) const
{
    return voice.mInstrument >= 0 && voice.mInstrument < mNumInstruments ? &mInstrument[voice.mInstrument] : nullptr;
}

// ---------------------------------------------------------------------------
// Song start.

AURA_RESULT CodecIT::createEffectGroups()
{
    std::fill(std::begin(mEffectGroup), std::end(mEffectGroup), -1);
    for (int i = 0; mPlugin && i < MAX_PLUGINS; ++i) {
        const MusicPluginIT &plugin = mPlugin[i];
        if (!plugin.mUsed || (plugin.mFlags & MusicPluginIT::FLAG_BYPASS)) {
            continue;
        }
        const bool master = plugin.mFlags & MusicPluginIT::FLAG_MASTER;
        const AURA_RESULT result = mHost->createEffectGroup(i, plugin.mParameter, master);
        if (result == AURA_ERR_UNSUPPORTED) {
            return AURA_OK; // a host without effects plays the song dry
        }
        if (result != AURA_OK) {
            return result;
        }
        if (!master) {
            mEffectGroup[i] = i;
        }
    }
    return AURA_OK;
}

void CodecIT::restartFormat()
{
    for (int c = 0; c < mNumChannels; ++c) {
        if (auto *channel = static_cast<MusicChannelIT *>(mChannel[c])) {
            channel->reset();
            // 100 is surround, which plays here as the centre.
            const int pan = mDefaultPan[c] & 0x7F;
            channel->mPan = pan == 100 ? 32 : std::min(pan, 64);
            channel->mChannelVolume = std::min<int>(mDefaultChannelVolume[c], 64);
            channel->mVoice = &mDummyVirtualChannel;
        }
    }
    for (int i = 0; mVoiceIT && i < mNumVirtualChannels; ++i) {
        mVoiceIT[i] = MusicVoiceIT{};
    }
    mDummyVoiceIT = MusicVoiceIT{};
    mGlobalSlideMemory = 0;
    mRowDelay = -1;
    std::fill(std::begin(mTempoMemory), std::end(mTempoMemory), 0);
    mReaderOrder = mReaderRow = -1;
}

// ---------------------------------------------------------------------------
// Rows and ticks.

void CodecIT::keyOff(MusicVirtualChannel &slot)
{
    slot.mKeyOff = true;
    MusicVoiceIT &voice = voiceIT(slot);
    const MusicInstrumentIT *instrument = instrumentOf(voice);
    if (!(voice.mEnvelopeEnable & 1) || (instrument && (instrument->mVolumeEnvelope.mFlags & MusicEnvelopeIT::LOOP))) {
        voice.mFading = true;
    }
}

void CodecIT::stopVoice(MusicVirtualChannel &slot)
{
    slot.mFlags = static_cast<uint8_t>((slot.mFlags & ~F_START) | F_STOP);
}

void CodecIT::startNote(MusicChannelIT &channel, const MusicNote &cell, bool toneporta)
{
    const bool instruments = usesInstruments();
    int sampleNumber = 0;
    int translated = channel.mNote;
    const MusicInstrumentIT *instrument = nullptr;
    if (instruments) {
        if (channel.mInstrument >= mNumInstruments) {
            return;
        }
        instrument = &mInstrument[channel.mInstrument];
        translated = instrument->mNoteTable[channel.mNote][0];
        sampleNumber = instrument->mNoteTable[channel.mNote][1];
        if (sampleNumber == 0) {
            return;
        }
    } else {
        sampleNumber = channel.mInstrument + 1;
    }
    channel.mSampleNumber = static_cast<uint8_t>(sampleNumber);
    channel.mTranslatedNote = static_cast<uint8_t>(std::min(translated, 119));
    MusicSample *sample = sampleNumber <= mNumSamples ? &mSample[sampleNumber - 1] : &mDummySample;

    MusicVirtualChannel *slot = channel.mSlot;
    if (!toneporta) {
        if (instrument) {
            // Duplicate check over the channel's voices of the instrument.
            const int type = instrument->mDuplicateCheckType;
            for (int i = 0; type >= 1 && type <= 3 && i < mNumVirtualChannels; ++i) {
                MusicVirtualChannel &other = mVirtualChannel[i];
                const MusicVoiceIT &o = mVoiceIT[i];
                if (!other.mInUse || other.mOwner != &channel || o.mInstrument != channel.mInstrument) {
                    continue;
                }
                if ((type == 1 && o.mNote == channel.mNote) || (type == 2 && o.mSample == sampleNumber - 1) ||
                    type == 3) {
                    switch (instrument->mDuplicateCheckAction) {
                    case 0: stopVoice(other); break;
                    case 1: keyOff(other); break;
                    case 2: voiceIT(other).mFading = true; break;
                    default: break;
                    }
                }
            }
            if (slot) {
                MusicVoiceIT &old = voiceIT(*slot);
                if (old.mNewNoteAction != 0 && !(slot->mFlags & F_STOP)) {
                    old.mBackground = true;
                    slot->mVolumeDelta = 0;
                    if (channel.mVolume == 0) {
                        stopVoice(*slot);
                    } else if (old.mNewNoteAction == 2) {
                        keyOff(*slot);
                    } else if (old.mNewNoteAction == 3) {
                        old.mFading = true;
                    }
                    channel.mSlot = nullptr;
                    slot = nullptr;
                }
            }
        }
        if (!slot) {
            if (spawnNewVirtualChannel(&channel, sample, &slot) != AURA_OK) {
                slot = &mDummyVirtualChannel;
            }
            slot->mVolume = channel.mVolume;
        }
        MusicVoiceIT &voice = voiceIT(*slot);
        voice = MusicVoiceIT{};
        if (instrument) {
            voice.mNewNoteAction = instrument->mNewNoteAction;
            voice.mEnvelopeEnable = (instrument->mVolumeEnvelope.mFlags & MusicEnvelopeIT::ON) ? 1 : 0;
        }
        slot->mFlags = static_cast<uint8_t>(slot->mFlags & ~F_STOP);
    } else if (!slot) {
        return;
    }
    channel.mVoice = slot;
    MusicVoiceIT &voice = voiceIT(*slot);
    voice.mNote = channel.mNote;
    voice.mInstrument = instruments ? channel.mInstrument : -1;
    if (!toneporta) {
        voice.mSample = sampleNumber <= mNumSamples ? sampleNumber - 1 : -1;
        slot->mSample = sample;
    }
    const MusicSample *playing = slot->mSample ? slot->mSample : sample;
    channel.mNotePeriod = static_cast<unsigned int>(notePeriod(channel.mTranslatedNote, playing->mMiddleC));
    const MusicSampleIT *extra = voice.mSample >= 0 ? &mSampleIT[voice.mSample] : nullptr;

    if (!toneporta) {
        channel.mVibratoPos = 0;
        channel.mTremoloPos = 0;
        channel.mPanbrelloPos = 0;
        channel.mTremorCount = 0;
        channel.mRetrigCounter = 0;
        slot->mPeriod = static_cast<int>(channel.mNotePeriod);
        voice.mDirection = 1;
        if (instrument && !(instrument->mDefaultPan & 0x80)) {
            channel.mPan = std::min((instrument->mDefaultPan & 0x7F) * 64 / 63, 64);
        }
        if (extra && (extra->mPan & 0x80)) {
            channel.mPan = std::min(extra->mPan & 0x7F, 64);
        }
        slot->mPan = channel.mPan;
        if (instrument) {
            slot->mPan = std::clamp(slot->mPan + instrument->mPitchPanSeparation *
                                                     (channel.mNote - instrument->mPitchPanCentre) / 8,
                                    0, 64);
            voice.mSampleVolume = ((extra ? extra->mGlobalVolume : 64) * instrument->mGlobalVolume) >> 7;
        } else {
            voice.mSampleVolume = extra ? extra->mGlobalVolume : 64;
        }
        slot->mFlags |= F_VOLUME | F_PAN | F_START;
    }
    if (instrument && (!toneporta || (mFlags & 0x20))) {
        slot->mKeyOff = false;
        const bool carry = voice.mNewNoteAction != 0;
        auto restart = [&](MusicEnvelopeState &state, const MusicEnvelopeIT &envelope, int value) {
            if (!((envelope.mFlags & MusicEnvelopeIT::CARRY) && carry)) {
                state = MusicEnvelopeState{};
                state.mValue = value;
                state.mFracValue = value * 65536;
            }
            state.mStopped = false;
        };
        restart(slot->mEnvVolume, instrument->mVolumeEnvelope, 64);
        restart(slot->mEnvPan, instrument->mPanEnvelope, 0);
        restart(slot->mEnvPitch, instrument->mPitchEnvelope, 0);
        voice.mFading = false;
        slot->mFadeOutVolume = FADEOUT_FULL;
        slot->mAutoVibratoPos = 0;
        slot->mAutoVibratoSweep = 0;
    } else if (!toneporta) {
        slot->mFadeOutVolume = FADEOUT_FULL;
        slot->mKeyOff = false;
    }
    if (cell.mInstrument) {
        channel.mVolume = sample->mDefaultVolume;
    }
}

void CodecIT::applyCell(MusicChannelIT &channel, const MusicNote &cell)
{
    MusicVirtualChannel *slot = channel.mSlot;
    if (channel.mLastEffect == TREMOLO && cell.mEffect != TREMOLO) {
        channel.mVolume = std::clamp(channel.mVolume + channel.mVolumeDeltaIT, 0, 64);
    }
    channel.mLastEffect = cell.mEffect;
    channel.mVolumeDeltaIT = 0;
    if (slot) {
        voiceIT(*slot).mPanDelta = 0;
        slot->mFlags = static_cast<uint8_t>(slot->mFlags & F_STOP);
    }
    const bool isNote = cell.mNote >= 1 && cell.mNote < 0xFE;
    if (isNote) {
        channel.mNote = static_cast<uint8_t>(std::min(cell.mNote - 1, 119));
    }
    if (cell.mInstrument) {
        channel.mInstrument = static_cast<uint8_t>(cell.mInstrument - 1);
    }
    bool newNote = isNote || (cell.mInstrument && !slot);
    if (usesInstruments() && cell.mInstrument > mNumInstruments) {
        newNote = false;
    }
    if (mDefaultPan[channel.mIndex] & 0x80) {
        newNote = false;
    }
    const int v = cell.mVolume - 1;
    const bool toneporta =
        (cell.mEffect == TONE_PORTA || cell.mEffect == PORTA_SLIDE || (cell.mVolume && v >= 193 && v <= 202)) && slot;
    channel.mVoice = slot ? slot : &mDummyVirtualChannel;
    if (newNote) {
        startNote(channel, cell, toneporta);
    } else if (cell.mInstrument && slot) {
        // An instrument alone sets the note volume of the sample it names.
        const int number = usesInstruments() && channel.mInstrument < mNumInstruments
                               ? mInstrument[channel.mInstrument].mNoteTable[channel.mNote][1]
                               : channel.mInstrument + 1;
        if (number >= 1 && number <= mNumSamples) {
            channel.mVolume = mSample[number - 1].mDefaultVolume;
        }
    }
    slot = channel.mSlot;
    channel.mVoice = slot ? slot : &mDummyVirtualChannel;
    for (int i = 0; i < mNumVirtualChannels; ++i) {
        if (mVirtualChannel[i].mInUse && mVirtualChannel[i].mOwner == &channel) {
            mVirtualChannel[i].mPeriodDelta = 0;
        }
    }
    channel.mVoice->mFlags |= F_FREQUENCY | F_VOLUME;
    (void)channel.processVolumeByte(cell, true);
    if (cell.mNote == CodecIT::NOTE_OFF && slot) {
        if (usesInstruments()) {
            keyOff(*slot);
        } else {
            stopVoice(*slot);
        }
    } else if ((cell.mNote == CodecIT::NOTE_CUT || cell.mNote == 0xFD) && slot) {
        stopVoice(*slot);
    }
    applyEffect(channel, cell);
}

void CodecIT::specialEffect(MusicChannelIT &channel, int param, bool tickzero)
{
    const int x = param >> 4;
    const int y = param & 15;
    MusicVirtualChannel &slot = *channel.mVoice;
    MusicVoiceIT &voice = voiceIT(slot);
    if (!tickzero) {
        if (x == 0xC && mTick == std::max(y, 1)) {
            channel.mVolume = 0;
            if (channel.mSlot) {
                stopVoice(*channel.mSlot);
            }
        }
        return;
    }
    switch (x) {
    case 0x3: channel.mVibratoWave = static_cast<uint8_t>(y & 3); break;
    case 0x4: channel.mTremoloWave = static_cast<uint8_t>(y & 3); break;
    case 0x5: channel.mPanbrelloWave = static_cast<uint8_t>(y & 3); break;
    case 0x7:
        if (!usesInstruments()) {
            break;
        }
        if (y <= 2) {
            for (int i = 0; i < mNumVirtualChannels; ++i) {
                MusicVirtualChannel &other = mVirtualChannel[i];
                if (!other.mInUse || other.mOwner != &channel || &other == channel.mSlot) {
                    continue;
                }
                if (y == 0) {
                    stopVoice(other);
                } else if (y == 1) {
                    keyOff(other);
                } else {
                    mVoiceIT[i].mFading = true;
                }
            }
        } else if (y <= 6) {
            voice.mNewNoteAction = static_cast<uint8_t>(y - 3);
        } else if (y == 7) {
            voice.mEnvelopeEnable = 0;
        } else if (y == 8) {
            voice.mEnvelopeEnable = 1;
        }
        break;
    case 0x8:
        channel.mPan = y * 4;
        slot.mPan = channel.mPan;
        slot.mFlags |= F_PAN;
        break;
    case 0x9:
        if (y == 0xE || y == 0xF) {
            voice.mDirection = y == 0xE ? 1 : -1;
            slot.mFlags |= F_FREQUENCY;
        }
        break;
    case 0xA: channel.mHighOffset = static_cast<uint8_t>(y); break;
    default: break;
    }
}

void CodecIT::applyEffect(MusicChannelIT &channel, const MusicNote &cell)
{
    MusicVirtualChannel &slot = *channel.mVoice;
    const bool background = voiceIT(slot).mBackground;
    const uint8_t param = cell.mEffectParam;
    const int x = param >> 4;
    const int y = param & 15;
    auto remember = [&](uint8_t &memory) {
        if (param) {
            memory = param;
        }
    };
    switch (cell.mEffect) {
    case VOLUME_SLIDE:
    case VIBRATO_SLIDE:
    case PORTA_SLIDE:
        remember(channel.mVolumeSlideMemory);
        if (!background) {
            channel.mVolume = slide(channel.mVolume, channel.mVolumeSlideMemory, true, 64);
            slot.mFlags |= F_VOLUME;
        }
        if (cell.mEffect == VIBRATO_SLIDE && !oldEffects()) {
            (void)(channel.mVibratoKind == MusicChannelIT::VIBRATO_FINE ? channel.fineVibrato() : channel.vibrato());
        }
        if (cell.mEffect == PORTA_SLIDE) {
            channel.mPortaTarget = channel.mNotePeriod;
            if (cell.mNote >= 1 && cell.mNote <= 120) {
                channel.mPortaDone = false;
            }
        }
        break;
    case PITCH_DOWN:
    case PITCH_UP: {
        remember(channel.mPortaMemory);
        const int memory = channel.mPortaMemory;
        const int sign = cell.mEffect == PITCH_DOWN ? 1 : -1;
        if ((memory >> 4) == 0xF) {
            slot.mPeriod += sign * 4 * (memory & 15);
        } else if ((memory >> 4) == 0xE) {
            slot.mPeriod += sign * (memory & 15);
        }
        slot.mFlags |= F_FREQUENCY;
        break;
    }
    case TONE_PORTA:
        if (param) {
            (sharedPortaMemory() ? channel.mPortaMemory : channel.mOwnPortaSpeed) = param;
        }
        channel.mPortaTarget = channel.mNotePeriod;
        if (cell.mNote >= 1 && cell.mNote <= 120) {
            channel.mPortaDone = false;
        }
        break;
    case VIBRATO:
    case FINE_VIBRATO:
        channel.rememberVibrato(x, y);
        channel.mVibratoKind = cell.mEffect == VIBRATO ? MusicChannelIT::VIBRATO_NORMAL : MusicChannelIT::VIBRATO_FINE;
        if (!oldEffects()) {
            (void)(cell.mEffect == VIBRATO ? channel.vibrato() : channel.fineVibrato());
        }
        break;
    case TREMOR:
        if (param) {
            channel.mTremorOn = static_cast<uint8_t>(x + 1);
            channel.mTremorOff = static_cast<uint8_t>(y + 1);
        }
        effectTick(channel, cell);
        break;
    case ARPEGGIO: remember(channel.mArpeggioMemory); break;
    case CHANNEL_VOLUME: channel.mChannelVolume = std::min<int>(param, 64); break;
    case CHANNEL_SLIDE:
        remember(channel.mChannelSlideMemory);
        channel.mChannelVolume = slide(channel.mChannelVolume, channel.mChannelSlideMemory, true, 64);
        slot.mFlags |= F_VOLUME;
        break;
    case OFFSET: {
        if (param) {
            channel.mSampleOffset = param;
        }
        unsigned int offset = channel.mSampleOffset * 256u + channel.mHighOffset * 65536u;
        if (slot.mSample) {
            const unsigned int end = slot.mSample->mLoopStart + slot.mSample->mLoopLength;
            if (offset >= end) {
                offset = end ? end - 1 : 0;
            }
        }
        if (slot.mFlags & F_START) {
            slot.mSampleOffset = offset;
        }
        break;
    }
    case PAN_SLIDE:
        remember(channel.mPanSlideMemory);
        if (!background) {
            const uint8_t memory = channel.mPanSlideMemory;
            if ((memory & 15) == 15 && (memory >> 4)) {
                channel.mPan = std::max(channel.mPan - (memory >> 4), 0);
            } else if ((memory >> 4) == 15 && (memory & 15)) {
                channel.mPan = std::min(channel.mPan + (memory & 15), 64);
            }
            slot.mPan = channel.mPan;
            slot.mFlags |= F_PAN;
        }
        break;
    case RETRIGGER:
        channel.rememberRetrigger(param);
        break;
    case TREMOLO:
        channel.rememberTremolo(x, y);
        break;
    case SPECIAL:
        remember(channel.mSpecialMemory);
        specialEffect(channel, channel.mSpecialMemory, true);
        break;
    case GLOBAL_VOLUME: mGlobalVolume = std::min<int>(param, 128); break;
    case GLOBAL_SLIDE:
        remember(mGlobalSlideMemory);
        mGlobalVolume = slide(mGlobalVolume, mGlobalSlideMemory, true, 128);
        break;
    case SET_PAN:
        channel.mPan = param >> 2;
        if (!background) {
            slot.mPan = channel.mPan;
            slot.mFlags |= F_PAN;
        }
        break;
    case PANBRELLO:
        if (x) {
            channel.mPanbrelloSpeed = static_cast<uint8_t>(x);
        }
        if (y) {
            channel.mPanbrelloDepth = static_cast<uint8_t>(y);
        }
        break;
    default: break;
    }
}

void CodecIT::effectTick(MusicChannelIT &channel, const MusicNote &cell)
{
    MusicVirtualChannel &slot = *channel.mVoice;
    const bool background = voiceIT(slot).mBackground;
    switch (cell.mEffect) {
    case VOLUME_SLIDE:
        if (!background) {
            (void)channel.volumeSlide();
        }
        break;
    case PITCH_DOWN:
    case PITCH_UP: {
        const int memory = channel.mPortaMemory;
        if (memory < 0xE0) {
            slot.mPeriod += (cell.mEffect == PITCH_DOWN ? 4 : -4) * memory;
            if (slot.mPeriod <= 0 && cell.mEffect == PITCH_UP) {
                stopVoice(slot);
            }
            slot.mFlags |= F_FREQUENCY;
        }
        break;
    }
    case TONE_PORTA: (void)channel.portamento(); break;
    case VIBRATO:
    case FINE_VIBRATO:
        (void)(channel.mVibratoKind == MusicChannelIT::VIBRATO_FINE ? channel.fineVibrato() : channel.vibrato());
        break;
    case TREMOR:
        if (channel.mTremorCount >= channel.mTremorOn) {
            channel.mVolumeDeltaIT = -channel.mVolume;
        }
        if (++channel.mTremorCount >= channel.mTremorOn + channel.mTremorOff) {
            channel.mTremorCount = 0;
        }
        slot.mFlags |= F_VOLUME;
        break;
    case ARPEGGIO:
        if (channel.mArpeggioMemory) {
            const int step = mTick % 3;
            const int k = step == 1 ? channel.mArpeggioMemory >> 4 : step == 2 ? channel.mArpeggioMemory & 15 : 0;
            if (linear()) {
                slot.mPeriodDelta -= 64 * k;
            } else {
                const unsigned int c5 = slot.mSample ? slot.mSample->mMiddleC : 8363u;
                slot.mPeriodDelta +=
                    amigaPeriod(channel.mTranslatedNote + k, c5) - amigaPeriod(channel.mTranslatedNote, c5);
            }
            slot.mFlags |= F_FREQUENCY;
        }
        break;
    case VIBRATO_SLIDE:
        (void)(channel.mVibratoKind == MusicChannelIT::VIBRATO_FINE ? channel.fineVibrato() : channel.vibrato());
        if (!background) {
            (void)channel.volumeSlide();
        }
        break;
    case PORTA_SLIDE:
        (void)channel.portamento();
        if (!background) {
            (void)channel.volumeSlide();
        }
        break;
    case CHANNEL_SLIDE:
        channel.mChannelVolume = slide(channel.mChannelVolume, channel.mChannelSlideMemory, false, 64);
        slot.mFlags |= F_VOLUME;
        break;
    case PAN_SLIDE: (void)channel.panSlide(); break;
    case RETRIGGER:
        ++channel.mRetrigCounter;
        if (channel.mRetrigInterval && channel.mRetrigCounter % channel.mRetrigInterval == 0) {
            channel.mVolume = std::clamp(retriggerVolume(channel.mVolume, channel.mRetrigVolume), 0, 64);
            if (channel.mSlot) {
                channel.mSlot->mFlags |= F_START | F_VOLUME | F_PAN;
                channel.mSlot->clearFlags(F_STOP);
            }
        }
        break;
    case TREMOLO: (void)channel.tremolo(); break;
    case SPECIAL: specialEffect(channel, channel.mSpecialMemory, false); break;
    case GLOBAL_SLIDE: mGlobalVolume = slide(mGlobalVolume, mGlobalSlideMemory, false, 128); break;
    case PANBRELLO:
        if (!background) {
            (void)channel.panbrello();
        }
        break;
    default: break;
    }
}

AURA_RESULT CodecIT::updateRow(bool /*audible*/)
{
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelIT *>(mChannel[c]);
        const MusicNote &cell = mRowCells[c];
        const int special = cell.mEffectParam ? cell.mEffectParam : channel.mSpecialMemory;
        const bool delayed = cell.mEffect == SPECIAL && (special >> 4) == 0xD;
        const int cellTick = delayed ? std::max(special & 15, 1) : 0;
        channel.mVoice = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        if (delayed && mTick != cellTick) {
            continue;
        }
        if (mTick == cellTick) {
            applyCell(channel, cell);
        } else {
            channel.mVoice->mPeriodDelta = 0;
            (void)channel.processVolumeByte(cell, false);
            effectTick(channel, cell);
        }
        if (channel.mSlot && !voiceIT(*channel.mSlot).mBackground) {
            channel.mSlot->mVolumeDelta = channel.mVolumeDeltaIT;
        }
    }
    return AURA_OK;
}

void CodecIT::outputVoice(MusicChannelIT &channel, MusicVirtualChannel &slot)
{
    MusicVoiceIT &voice = voiceIT(slot);
    const MusicInstrumentIT *instrument = instrumentOf(voice);
    if (!slot.mSample || voice.mSample < 0) {
        slot.clearFlags(F_START);
    }
    if (instrument) {
        if ((voice.mEnvelopeEnable & 1) && !slot.mEnvVolume.mStopped) {
            (void)processEnvelope(slot.mEnvVolume, slot, instrument->mVolumeEnvelope, F_VOLUME);
            if (slot.mEnvVolume.mStopped) {
                voice.mFading = true;
                if (instrument->mVolumeEnvelope.mValue[std::max(instrument->mVolumeEnvelope.mCount - 1, 0)] <= 0) {
                    stopVoice(slot);
                }
            }
        }
        if ((instrument->mPanEnvelope.mFlags & MusicEnvelopeIT::ON) && !slot.mEnvPan.mStopped) {
            (void)processEnvelope(slot.mEnvPan, slot, instrument->mPanEnvelope, F_PAN);
        }
        if ((instrument->mPitchEnvelope.mFlags & MusicEnvelopeIT::ON) && !slot.mEnvPitch.mStopped) {
            (void)processPitchEnvelope(slot, *instrument, voice.mNote);
        }
        if (voice.mFading) {
            slot.mFadeOutVolume -= static_cast<int>(instrument->mFadeOut);
            if (slot.mFadeOutVolume <= 0) {
                slot.mFadeOutVolume = 0;
                stopVoice(slot);
            }
            slot.mFlags |= F_VOLUME;
        }
    }
    (void)sampleVibrato(slot);
    if (slot.mPeriod + slot.mPeriodDelta == 0) {
        slot.clearFlags(F_FREQUENCY);
    }
    if (!voice.mBackground) {
        slot.mVolume = channel.mVolume;
    }
    if (!slot.mVoice) {
        slot.mFlags = 0;
        return;
    }
    const bool filterEnvelope = instrument && (instrument->mPitchEnvelope.mFlags & MusicEnvelopeIT::FILTER) &&
                                (instrument->mPitchEnvelope.mFlags & MusicEnvelopeIT::ON);
    if ((slot.mFlags & F_START) && !(slot.mFlags & F_STOP)) {
        voice.mFilter =
            instrument && (((instrument->mFilterCutoff & 0x80) && instrument->mFilterCutoff != 0xFF) || filterEnvelope);
        int plugin = mChannelPlugin[channel.mIndex] - 1;
        if (plugin < 0 && instrument && instrument->mMIDIChannel > 128) {
            plugin = instrument->mMIDIChannel - 129;
        }
        const int group = plugin >= 0 && plugin < MAX_PLUGINS ? mEffectGroup[plugin] : -1;
        (void)slot.mVoice->route(voice.mFilter, group);
        if (voice.mDirection < 0 && slot.mSample && slot.mSample->mLength) {
            slot.mSampleOffset = slot.mSample->mLength - 1;
        }
        (void)playSound(slot.mSample, &slot);
        slot.mFlags |= F_VOLUME | F_PAN | F_FREQUENCY;
    }
    if (slot.mFlags & F_VOLUME) {
        const int volume = std::clamp(slot.mVolume + slot.mVolumeDelta, 0, 64);
        double level =
            static_cast<double>(volume) * voice.mSampleVolume * channel.mChannelVolume * mGlobalVolume * mMixVolume;
        if (instrument) {
            level *= static_cast<double>(std::clamp(slot.mEnvVolume.mValue, 0, 64)) *
                     std::clamp(slot.mFadeOutVolume, 0, FADEOUT_FULL);
            level = std::ldexp(level, -49);
        } else {
            level = std::ldexp(level, -33);
        }
        const float music = mMusicChannelVolume[channel.mIndex].load(std::memory_order_relaxed);
        (void)slot.mVoice->setVolume(static_cast<float>(level) * music);
    }
    if (slot.mFlags & F_PAN) {
        int pan = slot.mPan + voice.mPanDelta;
        if (instrument && (instrument->mPanEnvelope.mFlags & MusicEnvelopeIT::ON)) {
            pan += slot.mEnvPan.mValue;
        }
        pan = std::clamp(pan, 0, 64);
        (void)slot.mVoice->setPan(static_cast<float>(pan) / 32.0f - 1.0f);
    }
    if (slot.mFlags & F_FREQUENCY) {
        int period = slot.mPeriod + slot.mPeriodDelta;
        if (instrument && !filterEnvelope && (instrument->mPitchEnvelope.mFlags & MusicEnvelopeIT::ON)) {
            period -= voice.mPitchEnvelope;
        }
        double hz = 0.0;
        if (linear()) {
            hz = std::trunc(8363.0 * std::exp2((3840.0 - period) / 768.0));
        } else {
            hz = AMIGA_CLOCK / static_cast<double>(std::max(period, 1));
            hz = std::trunc(hz);
        }
        // Periods slid far past the table reach no rate a voice can play.
        hz = std::min(hz, MAX_HZ);
        (void)slot.mVoice->setFrequency(static_cast<float>(hz) * static_cast<float>(voice.mDirection));
    }
    if (voice.mFilter) {
        const double m = filterEnvelope ? 256.0 + voice.mPitchEnvelope / 4.0 : 512.0;
        const double divisor = (mFlags & 0x1000) ? 10240.0 : 12288.0;
        double f = 110.0 * std::exp2(0.25 + (instrument->mFilterCutoff & 127) * m / divisor);
        f = std::clamp(f, 120.0, 20000.0);
        const int rate = mState.waveformat ? mState.waveformat->frequency : 48000;
        if (2.0 * f > rate) {
            f = rate / 2.0;
        }
        // Every tick: the unit takes it at its next block.
        (void)slot.mVoice->setFilter(static_cast<float>(f), static_cast<float>(instrument->mFilterResonance & 127));
    }
    if (slot.mFlags & F_STOP) {
        (void)slot.mVoice->stop();
        slot.mSampleOffset = 0;
    }
    slot.mFlags = 0;
    (void)slot.cleanUp();
}

AURA_RESULT CodecIT::update(bool audible)
{
    applyPendingSpeed();
    bool rowRan = false;
    if (mTick == 0) {
        if (mFinished && !mLooping) {
            (void)stop();
        } else {
            takePendingJump();
            if (!seekRow()) {
                mFinished = true;
            } else if (mVisited && visit(mOrder, mRow)) {
                mFinished = true;
            } else {
                updateRowTime();
                rowRan = true;
            }
        }
    } else {
        updateTickTime();
        rowRan = mPlaying;
    }
    if (rowRan) {
        const AURA_RESULT result = updateRow(audible);
        if (result != AURA_OK) {
            return result;
        }
    }
    if (audible && mPlaying) {
        for (int i = 0; i < mNumVirtualChannels; ++i) {
            MusicVirtualChannel &slot = mVirtualChannel[i];
            if (!slot.mInUse || !slot.mOwner) {
                continue;
            }
            auto &channel = *static_cast<MusicChannelIT *>(slot.mOwner);
            if (!(mDefaultPan[channel.mIndex] & 0x80)) {
                outputVoice(channel, slot);
            }
        }
    }
    if (mSpeed == 0) {
        mFinished = true;
    } else {
        advanceTick();
    }
    mPCMOffset += static_cast<unsigned int>(mSamplesPerTick);
    return AURA_OK;
}

} // namespace AURA
