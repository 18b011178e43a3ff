#include "music/aura_codec_xm.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"
#include "music/aura_codec_mod.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_xm";

constexpr unsigned int SIGNATURE_BYTES = 60;
constexpr unsigned int HEADER_BYTES = 20 + 256; // from offset 60
constexpr unsigned int PATTERN_HEADER_BYTES = 9;
constexpr unsigned int SAMPLE_HEADER_BYTES = 40;
constexpr unsigned int INSTRUMENT_HEADER_BYTES = 241;
constexpr int AMIGA_CLOCK = 14317056;
constexpr int MIN_PORTAMENTO_PERIOD = 56;
constexpr int FADEOUT_FULL = 65536;

constexpr uint8_t F_FREQUENCY = MusicVirtualChannel::FLAG_FREQUENCY;
constexpr uint8_t F_VOLUME = MusicVirtualChannel::FLAG_VOLUME;
constexpr uint8_t F_PAN = MusicVirtualChannel::FLAG_PAN;
constexpr uint8_t F_START = MusicVirtualChannel::FLAG_START;
constexpr uint8_t F_STOP = MusicVirtualChannel::FLAG_STOP;

// Effect numbers as stored: 0-9, then A = 10 to Z = 35.
enum Effect : uint8_t {
    ARPEGGIO = 0,
    PORTA_UP = 1,
    PORTA_DOWN = 2,
    TONE_PORTA = 3,
    VIBRATO = 4,
    TONE_PORTA_SLIDE = 5,
    VIBRATO_SLIDE = 6,
    TREMOLO = 7,
    SET_PAN = 8,
    OFFSET = 9,
    VOLUME_SLIDE = 10,
    JUMP = 11,
    SET_VOLUME = 12,
    BREAK = 13,
    EXTENDED = 14,
    SPEED = 15,
    GLOBAL_VOLUME = 16,
    GLOBAL_SLIDE = 17,
    KEY_OFF_EFFECT = 20,
    ENVELOPE_POSITION = 21,
    PAN_SLIDE = 25,
    RETRIGGER = 27,
    TREMOR = 29,
    EXTRA_FINE = 33,
};

unsigned int le16(const uint8_t *p)
{
    return static_cast<unsigned int>(p[0] | p[1] << 8);
}

int les16(const uint8_t *p)
{
    return static_cast<int16_t>(le16(p));
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void volumeSlide(MusicVirtualChannel &slot, uint8_t memory)
{
    if (memory >> 4) {
        slot.mVolume = std::min(slot.mVolume + (memory >> 4), 64);
    } else {
        slot.mVolume = std::max(slot.mVolume - (memory & 15), 0);
    }
    slot.mFlags |= F_VOLUME;
}

int xmRetriggerVolume(int volume, int change)
{
    switch (change) {
    case 1: return volume - 1;
    case 2: return volume - 2;
    case 3: return volume - 4;
    case 4: return volume - 8;
    case 5: return volume - 16;
    case 6: return volume * 2 / 3;
    case 7: return volume / 2;
    case 9: return volume + 1;
    case 10: return volume + 2;
    case 11: return volume + 4;
    case 12: return volume + 8;
    case 13: return volume + 16;
    case 14: return volume * 3 / 2;
    case 15: return volume * 2;
    default: return volume;
    }
}

// Undoes the delta coding of `count` points `stride` bytes apart.
void undelta8(uint8_t *data, unsigned int count)
{
    uint8_t value = 0;
    for (unsigned int i = 0; i < count; ++i) {
        value = static_cast<uint8_t>(value + data[i]);
        data[i] = value;
    }
}

void undelta16(uint8_t *data, unsigned int count)
{
    uint16_t value = 0;
    for (unsigned int i = 0; i < count; ++i) {
        value = static_cast<uint16_t>(value + le16(data + 2 * i));
        std::memcpy(data + 2 * i, &value, 2);
    }
}
} // namespace

// ---------------------------------------------------------------------------
// Channel steps.

AURA_RESULT MusicChannelXM::portamento(MusicVirtualChannel &slot)
{
    const int target = static_cast<int>(mPortaTarget);
    const int step = 4 * mPortaSpeed;
    if (slot.mPeriod < target) {
        slot.mPeriod = std::min(slot.mPeriod + step, target);
    } else if (slot.mPeriod > target) {
        slot.mPeriod = std::max(slot.mPeriod - step, target);
    }
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelXM::vibrato(MusicVirtualChannel &slot, bool advance)
{
    int value = MusicSong::waveform(mWaveControl & 3, mVibratoPos);
    if (value < 0) {
        value = static_cast<int>(MusicSong::nextRandom());
    }
    const int delta = ((mVibratoDepth * value) >> 7) * 4;
    slot.mPeriodDelta = mVibratoPos >= 0 ? -delta : delta;
    if (advance) {
        mVibratoPos = MusicSong::advanceWave(mVibratoPos, mVibratoSpeed);
    }
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelXM::tremolo(MusicVirtualChannel &slot)
{
    const int shape = (mWaveControl >> 4) & 3;
    const int delta = (MusicSong::waveform(shape == 3 ? 0 : shape, mTremoloPos) * mTremoloDepth) >> 6;
    if (mTremoloPos < 0) {
        slot.mVolumeDelta = -std::min(delta, slot.mVolume);
    } else {
        slot.mVolumeDelta = std::min(delta, 64 - slot.mVolume);
    }
    mTremoloPos = MusicSong::advanceWave(mTremoloPos, mTremoloSpeed);
    slot.mFlags |= F_VOLUME;
    return AURA_OK;
}

AURA_RESULT MusicChannelXM::instrumentVibrato(MusicVirtualChannel &slot, const MusicInstrument &instrument)
{
    if (instrument.mVibratoDepth == 0) {
        return AURA_OK;
    }
    const int depth = instrument.mVibratoDepth;
    const int position = slot.mAutoVibratoPos & 255;
    int value = 0;
    switch (instrument.mVibratoType) {
    case 1: value = position < 128 ? 64 * depth : -64 * depth; break;
    case 2: value = depth * ((128 - (position + 128) % 256) >> 1); break;
    case 3: value = depth * ((128 - (384 - position) % 256) >> 1); break;
    default: value = depth * MusicSong::autoVibratoSine(position); break;
    }
    if (instrument.mVibratoSweep) {
        value = value * slot.mAutoVibratoSweep / instrument.mVibratoSweep;
    }
    if (slot.mAutoVibratoSweep < instrument.mVibratoSweep) {
        ++slot.mAutoVibratoSweep;
    }
    slot.mPeriodDelta += value >> 6;
    slot.mAutoVibratoPos = (position + instrument.mVibratoRate) & 255;
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelXM::processVolumeByte(MusicVirtualChannel &slot, uint8_t volume)
{
    const int x = volume & 15;
    switch (volume >> 4) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x5:
        slot.mVolume = std::min(volume - 0x10, 64);
        slot.mFlags |= F_VOLUME;
        break;
    case 0x6:
    case 0x8:
        slot.mVolume = std::max(slot.mVolume - x, 0);
        slot.mFlags |= F_VOLUME;
        break;
    case 0x7:
    case 0x9:
        slot.mVolume = std::min(slot.mVolume + x, 64);
        slot.mFlags |= F_VOLUME;
        break;
    case 0xA: mVibratoSpeed = static_cast<uint8_t>(x); break;
    case 0xB: mVibratoDepth = static_cast<uint8_t>(x); break;
    case 0xC:
        slot.mPan = x * 16;
        slot.mFlags |= F_PAN;
        break;
    case 0xD:
        slot.mPan = std::max(slot.mPan - x, 0);
        slot.mFlags |= F_PAN;
        break;
    case 0xE:
        slot.mPan = std::min(slot.mPan + x, 255);
        slot.mFlags |= F_PAN;
        break;
    case 0xF:
        if (x) {
            mPortaSpeed = static_cast<uint8_t>(x * 16);
        }
        mPortaTarget = mNotePeriod;
        slot.clearFlags(F_START);
        break;
    default: break;
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Description and pitch.

constinit AURA_CODEC_DESCRIPTION_EX xmcodec;

AURA_CODEC_DESCRIPTION_EX *CodecXM::getDescriptionEx()
{
    return describeOnce(xmcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        (void)describeSong<CodecXM>(description, "AURA XM Codec", AURA_SOUND_TYPE_XM);
        // A whole song can stand in for one real voice, which ticks it.
        description.update = [](AURA_CODEC_STATE *state) { return fromState<CodecXM>(state)->update(true); };
        description.gethardwaremusicchannel = [](AURA_CODEC_STATE *state, ChannelReal **channel) {
            return fromState<CodecXM>(state)->getHardwareMusicChannel(channel);
        };
    });
}

AURA_RESULT CodecXM::getAmigaPeriod(int note, int finetune, int *period)
{
    if (!period) {
        return AURA_ERR_INVALID_PARAM;
    }
    // An arpeggio adds up to 15 to the note: the table's neighbours stay in it.
    const int n = std::clamp(note, 0, 130);
    const int here = static_cast<int>(gPeriodTable[n]);
    if (finetune < 0 && n > 0) {
        *period = here - ((-finetune) * (here - static_cast<int>(gPeriodTable[n - 1]))) / 128;
    } else {
        *period = here + (finetune * (static_cast<int>(gPeriodTable[n + 1]) - here)) / 128;
    }
    return AURA_OK;
}

int CodecXM::notePeriod(int realnote, int finetune) const
{
    if (mLinear) {
        return 7680 - 64 * realnote - finetune / 2;
    }
    int period = 0;
    (void)getAmigaPeriod(realnote, finetune, &period);
    return period;
}

int CodecXM::frequency(int period) const
{
    const int p = std::max(period, 1);
    if (mLinear) {
        return static_cast<int>(8363.0 * std::exp2((4608.0 - p) / 768.0));
    }
    return AMIGA_CLOCK / p;
}

// ---------------------------------------------------------------------------
// Loading.

AURA_RESULT CodecXM::openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_XM;
    unsigned int filesize = 0;
    AURA_RESULT result = seekableFileSize(&filesize);
    if (result != AURA_OK) {
        return result;
    }
    uint8_t head[SIGNATURE_BYTES];
    unsigned int got = 0;
    result = mFile->seek(0, 0);
    if (result == AURA_OK) {
        result = mFile->read(head, 1, SIGNATURE_BYTES, &got);
    }
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    if (got < 38 || std::memcmp(head, "Extended Module: ", 17) != 0 || head[37] != 0x1A) {
        return AURA_ERR_FORMAT;
    }
    uint8_t h[HEADER_BYTES];
    result = mFile->seek(60, 0);
    if (result == AURA_OK) {
        result = mFile->read(h, 1, HEADER_BYTES, &got);
    }
    if (result != AURA_OK) {
        return result;
    }
    const uint32_t headerSize = le32(h);
    const int songLength = les16(h + 4);
    const int restart = les16(h + 6);
    const int channels = les16(h + 8);
    const unsigned int patternCount = le16(h + 10);
    const int instruments = les16(h + 12);
    // Counts past what the song can hold are no song it can play.
    if (songLength <= 0 || songLength > MAX_ORDERS || channels <= 0 || channels > MAX_CHANNELS || instruments < 0 ||
        instruments > MAX_INSTRUMENTS) {
        return AURA_ERR_FORMAT;
    }
    mLinear = le16(h + 14) & 1;
    // A negative speed is never reached by the tick: it is taken as 0.
    mDefaultSpeed = std::max(les16(h + 16), 0);
    mDefaultBPM = static_cast<int>(le16(h + 18));
    mDefaultGlobalVolume = 64;
    mPanSeparation = 1.0f;
    mMasterSpeed.store(1.0f, std::memory_order_relaxed);
    mNumOrders = songLength;
    mRestart = restart >= 0 && restart < songLength ? restart : 0;
    mNumChannels = channels;
    mNumInstruments = instruments;
    std::memcpy(mOrderList, h + 20, 256);
    int highest = 0;
    for (int i = 0; i < songLength; ++i) {
        highest = std::max(highest, static_cast<int>(mOrderList[i]));
    }
    mNumPatterns = highest + 1;

    result =
        metaData(AURA_TAGTYPE_AURA, "Number of channels", &channels, sizeof(channels), AURA_TAGDATATYPE_INT, false);
    if (result != AURA_OK) {
        return result;
    }
    if (!mHost) {
        result = createMusicHost(this, "AURA XM Target Unit", &mHost);
        if (result != AURA_OK) {
            return result;
        }
    }
    char name[21] = {};
    std::memcpy(name, head + 17, 20);
    result = initWaveFormat(name, mode, exinfo, filesize);
    for (int c = 0; result == AURA_OK && c < channels; ++c) {
        mChannel[c] = AURA_New(MusicChannelXM);
        if (!mChannel[c]) {
            result = AURA_ERR_MEMORY;
        }
        mDefaultPan[c] = 128;
        mDefaultChannelVolume[c] = 64;
    }
    if (result == AURA_OK) {
        result = 60u + static_cast<uint64_t>(headerSize) > filesize ? AURA_ERR_FILE_EOF
                                                                    : mFile->seek(static_cast<int>(60 + headerSize), 0);
    }
    if (result == AURA_OK) {
        result = loadPatterns(patternCount);
    }
    if (result == AURA_OK) {
        result = loadInstruments();
    }
    if (result == AURA_OK) {
        result = createVirtualChannels(channels);
    }
    if (result == AURA_OK && (mode & (AURA_ACCURATETIME | AURA_CREATESAMPLE))) {
        mVisited = static_cast<uint8_t *>(AURA_Memory_Calloc(mNumOrders * 256));
        result = mVisited ? calculateLength() : AURA_ERR_MEMORY;
    }
    if (result == AURA_OK) {
        result = play(true);
    }
    if (result != AURA_OK) {
        closeInternal();
    }
    return result;
}

AURA_RESULT CodecXM::loadPatterns(unsigned int count)
{
    const unsigned int total = std::max(count, static_cast<unsigned int>(mNumPatterns));
    mPattern = static_cast<MusicPattern *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicPattern) * total)));
    if (!mPattern) {
        return AURA_ERR_MEMORY;
    }
    mNumPatternsMem = static_cast<int>(total);
    // Only the patterns the orders name are kept: the others cost no memory
    // however many a file claims.
    bool used[256] = {};
    for (int i = 0; i < mNumOrders; ++i) {
        used[mOrderList[i]] = true;
    }
    const unsigned int filesize = mState.filesize;
    uint8_t *packed = nullptr;
    AURA_RESULT result = AURA_OK;
    for (unsigned int p = 0; p < count; ++p) {
        unsigned int at = 0;
        result = mFile->tell(&at);
        uint8_t header[PATTERN_HEADER_BYTES];
        unsigned int got = 0;
        if (result == AURA_OK) {
            result = mFile->read(header, 1, PATTERN_HEADER_BYTES, &got);
        }
        if (result != AURA_OK) {
            break;
        }
        int rows = static_cast<int>(le16(header + 5));
        const unsigned int size = le16(header + 7);
        if (rows > MAX_ROWS) {
            result = AURA_ERR_FORMAT;
            break;
        }
        // No rows stands for the 64 empty rows the trackers play.
        if (rows == 0) {
            rows = 64;
        }
        const unsigned int next = at + PATTERN_HEADER_BYTES + size;
        if (p >= 256 || !used[p]) {
            result = mFile->seek(static_cast<int>(std::min(next, filesize)), 0);
            if (result != AURA_OK) {
                break;
            }
            continue;
        }
        MusicPattern &pattern = mPattern[p];
        pattern.mRows = rows;
        const int cells = rows * mNumChannels;
        pattern.mData = static_cast<MusicNote *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicNote)) * cells));
        if (!pattern.mData) {
            result = AURA_ERR_MEMORY;
            break;
        }
        if (size == 0) {
            continue;
        }
        AURA_Memory_Free(packed);
        packed = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(size)));
        if (!packed) {
            result = AURA_ERR_MEMORY;
            break;
        }
        result = mFile->read(packed, 1, size, &got);
        if (result != AURA_OK) {
            break;
        }
        // The cells end where the packed data does; the rest stay empty.
        unsigned int i = 0;
        for (int cell = 0; cell < cells && i < size; ++cell) {
            MusicNote note;
            const uint8_t first = packed[i];
            uint8_t fields = 0x1F;
            if (first & 0x80) {
                fields = first;
                ++i;
            }
            uint8_t *out[5] = {&note.mNote, &note.mInstrument, &note.mVolume, &note.mEffect, &note.mEffectParam};
            for (int f = 0; f < 5 && i <= size; ++f) {
                if (fields & (1 << f)) {
                    *out[f] = i < size ? packed[i] : 0;
                    ++i;
                }
            }
            // 97 is the key-off; above it there is no note of the map.
            note.mNote = note.mNote == 97 ? KEY_OFF : note.mNote > 97 ? 0 : note.mNote;
            if (note.mInstrument > MAX_INSTRUMENTS) {
                note.mInstrument = 0;
            }
            pattern.mData[cell] = note;
        }
    }
    AURA_Memory_Free(packed);
    if (result != AURA_OK) {
        return result;
    }
    for (int p = 0; p < mNumPatterns; ++p) {
        MusicPattern &pattern = mPattern[p];
        if (!pattern.mData) {
            // Named by the orders but not stored: 64 empty rows.
            pattern.mRows = 64;
            pattern.mData =
                static_cast<MusicNote *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicNote)) * 64 * mNumChannels));
            if (!pattern.mData) {
                return AURA_ERR_MEMORY;
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecXM::loadInstruments()
{
    if (mNumInstruments == 0) {
        return AURA_OK;
    }
    mInstrument =
        static_cast<MusicInstrument *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicInstrument)) * mNumInstruments));
    mSample = static_cast<MusicSample *>(
        AURA_Memory_Calloc(static_cast<int>(sizeof(MusicSample)) * mNumInstruments * MusicInstrument::MAX_SAMPLES));
    if (!mInstrument || !mSample) {
        return AURA_ERR_MEMORY;
    }
    for (int i = 0; i < mNumInstruments; ++i) {
        ::new (&mInstrument[i]) MusicInstrument();
        std::fill(std::begin(mInstrument[i].mSample), std::end(mInstrument[i].mSample), -1);
    }
    bool ended = false;
    for (int i = 0; i < mNumInstruments && !ended; ++i) {
        unsigned int at = 0;
        AURA_RESULT result = mFile->tell(&at);
        if (result == AURA_OK) {
            result = loadInstrument(mInstrument[i], i, at, &ended);
        }
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecXM::loadInstrument(MusicInstrument &instrument, int index, unsigned int at, bool *ended)
{
    uint8_t h[INSTRUMENT_HEADER_BYTES] = {};
    unsigned int got = 0;
    AURA_RESULT result = mFile->read(h, 1, 4, &got);
    if (result != AURA_OK) {
        // A file that ends before an instrument keeps the ones it has.
        *ended = true;
        return AURA_OK;
    }
    const uint64_t headerEnd = static_cast<uint64_t>(at) + le32(h);
    result = mFile->read(h + 4, 1, 25, &got);
    if (result != AURA_OK) {
        return result;
    }
    const unsigned int count = le16(h + 27);
    if (count > MusicInstrument::MAX_SAMPLES) {
        return AURA_ERR_FORMAT;
    }
    if (count > 0) {
        result = mFile->read(h + 29, 1, INSTRUMENT_HEADER_BYTES - 29, &got);
        if (result != AURA_OK) {
            return result;
        }
        std::memcpy(instrument.mKeyMap, h + 33, 96);
        MusicEnvelope *envelopes[2] = {&instrument.mVolumeEnvelope, &instrument.mPanEnvelope};
        for (int e = 0; e < 2; ++e) {
            MusicEnvelope &envelope = *envelopes[e];
            const uint8_t *points = h + 129 + 48 * e;
            for (int k = 0; k < MusicEnvelope::MAX_POINTS; ++k) {
                envelope.mX[k] = static_cast<uint16_t>(le16(points + 4 * k));
                envelope.mY[k] = static_cast<uint8_t>(std::min(le16(points + 4 * k + 2), 64u));
            }
            // Counts and indices past the twelve points stay on them.
            envelope.mCount = std::min<uint8_t>(h[225 + e], MusicEnvelope::MAX_POINTS);
            const uint8_t last = envelope.mCount ? static_cast<uint8_t>(envelope.mCount - 1) : 0;
            envelope.mSustain = std::min(h[227 + 3 * e], last);
            envelope.mLoopStart = std::min(h[228 + 3 * e], last);
            envelope.mLoopEnd = std::min(h[229 + 3 * e], last);
            envelope.mType = h[233 + e];
            if (envelope.mCount < 2) {
                envelope.mType = 0;
            }
        }
        instrument.mVibratoType = h[235];
        instrument.mVibratoSweep = h[236];
        instrument.mVibratoDepth = h[237];
        instrument.mVibratoRate = h[238];
        instrument.mFadeOut = le16(h + 239) * 2u;
    }
    if (headerEnd > mState.filesize) {
        return AURA_ERR_FILE_EOF;
    }
    result = mFile->seek(static_cast<int>(headerEnd), 0);
    if (result != AURA_OK || count == 0) {
        return result;
    }

    uint8_t headers[MusicInstrument::MAX_SAMPLES][SAMPLE_HEADER_BYTES];
    result = mFile->read(headers, SAMPLE_HEADER_BYTES, count, &got);
    if (result != AURA_OK) {
        return result;
    }
    instrument.mNumSamples = static_cast<int>(count);
    uint64_t lengths[MusicInstrument::MAX_SAMPLES] = {};
    for (unsigned int s = 0; s < count; ++s) {
        const uint8_t *sh = headers[s];
        const int slot = mNumSamples++;
        instrument.mSample[s] = slot;
        MusicSample &sample = mSample[slot];
        sample = MusicSample{};
        const uint8_t type = sh[14];
        sample.mBits = (type & 0x10) ? 16 : 8;
        sample.mChannels = (type & 0x20) ? 2 : 1;
        sample.mBidi = (type & 2) != 0;
        sample.mDefaultVolume = std::min<uint8_t>(sh[12], 64);
        sample.mFineTune = static_cast<int8_t>(sh[13]);
        sample.mDefaultPan = sh[15];
        sample.mRelativeNote = static_cast<int8_t>(sh[16]);
        sample.mMiddleC = sample.mLoadedMiddleC = 8363;
        lengths[s] = le32(sh);
        const uint64_t frameBytes = static_cast<uint64_t>(sample.mBits / 8) * sample.mChannels;
        sample.mLength = static_cast<unsigned int>(lengths[s] / frameBytes);
        uint64_t loopStart = le32(sh + 4) / frameBytes;
        uint64_t loopLength = le32(sh + 8) / frameBytes;
        loopStart = std::min<uint64_t>(loopStart, sample.mLength);
        loopLength = std::min<uint64_t>(loopLength, sample.mLength - loopStart);
        sample.mLoop = (type & 3) != 0 && loopLength > 0;
        sample.mLoopStart = sample.mLoop ? static_cast<unsigned int>(loopStart) : 0;
        sample.mLoopLength = sample.mLoop ? static_cast<unsigned int>(loopLength) : sample.mLength;
        char name[29] = {};
        std::memcpy(name, sh + 18, 22);
        char tag[32];
        std::snprintf(tag, sizeof(tag), "Sample name %d", index);
        result = metaData(AURA_TAGTYPE_AURA, tag, name, 28, AURA_TAGDATATYPE_STRING, false);
        if (result != AURA_OK) {
            return result;
        }
    }
    uint8_t *buffer = nullptr;
    uint64_t capacity = 0;
    for (unsigned int s = 0; s < count && result == AURA_OK; ++s) {
        if (lengths[s] > 0) {
            result = loadSampleData(mSample[instrument.mSample[s]], lengths[s], &buffer, &capacity);
        }
    }
    AURA_Memory_Free(buffer);
    return result;
}

AURA_RESULT CodecXM::loadSampleData(MusicSample &sample, uint64_t length, uint8_t **buffer, uint64_t *capacity)
{
    unsigned int at = 0;
    AURA_RESULT result = mFile->tell(&at);
    if (result != AURA_OK) {
        return result;
    }
    // A sample never holds more than the file has left.
    const uint64_t left = mState.filesize > at ? mState.filesize - at : 0;
    const auto stored = static_cast<unsigned int>(std::min(length, left));
    if (stored > *capacity) {
        AURA_Memory_Free(*buffer);
        *buffer = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(stored)));
        *capacity = *buffer ? stored : 0;
        if (!*buffer) {
            return AURA_ERR_MEMORY;
        }
    }
    uint8_t *data = *buffer;
    unsigned int got = 0;
    result = stored ? mFile->read(data, 1, stored, &got) : AURA_OK;
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    // Whatever was not stored stays silent; the file goes on after the
    // whole length.
    if (length > stored) {
        (void)mFile->seek(static_cast<int>(mState.filesize), 0);
    }
    if (got >= 8 && std::memcmp(data + 4, "OggS", 4) == 0) {
        // A compressed sample: the stream starts 4 bytes in. One that does
        // not decode stays silent.
        if (mHost->createEncodedSampleSound(&sample, data + 4, got - 4) != AURA_OK) {
            sample.mSound = nullptr;
            sample.mLength = 0;
        }
        return AURA_OK;
    }
    // What the file did not hold is no part of the sample.
    const unsigned int frameBytes = sample.mChannels * (sample.mBits / 8u);
    sample.mLength = std::min(sample.mLength, stored / frameBytes);
    sample.mLoopStart = std::min(sample.mLoopStart, sample.mLength);
    sample.mLoopLength = std::min(sample.mLoopLength, sample.mLength - sample.mLoopStart);
    sample.mLoop = sample.mLoop && sample.mLoopLength > 0;
    if (sample.mLength == 0) {
        return AURA_OK;
    }
    const auto bytes = static_cast<unsigned int>(sampleBytes(sample));
    sample.mData = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(bytes)));
    if (!sample.mData) {
        return AURA_ERR_MEMORY;
    }
    // Each channel is a block of its own, delta coded from 0; blocks become
    // interleaved frames.
    const unsigned int width = sample.mBits / 8u;
    const unsigned int channels = sample.mChannels;
    const unsigned int points = sample.mLength;
    for (unsigned int c = 0; c < channels; ++c) {
        uint8_t *block = data + static_cast<size_t>(c) * points * width;
        const unsigned int have = got > c * points * width ? std::min(points, (got - c * points * width) / width) : 0;
        if (width == 1) {
            undelta8(block, have);
        } else {
            undelta16(block, have);
        }
        for (unsigned int n = 0; n < have; ++n) {
            std::memcpy(sample.mData + (static_cast<size_t>(n) * channels + c) * width, block + n * width, width);
        }
    }
    return mHost->createSampleSound(&sample);
}

AURA_RESULT CodecXM::closeInternal()
{
    releaseSong();
    if (mInstrument) {
        for (int i = 0; i < mNumInstruments; ++i) {
            mInstrument[i].~MusicInstrument();
        }
        AURA_Memory_Free(mInstrument);
        mInstrument = nullptr;
    }
    mNumInstruments = 0;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Envelopes.

void CodecXM::processEnvelope(MusicEnvelopeState &state, MusicVirtualChannel &slot, const MusicEnvelope &envelope,
                              uint8_t flag)
{
    const int count = envelope.mCount;
    if (state.mPosition >= count) {
        slot.mFlags |= flag;
        return;
    }
    if (state.mTick == 0 || state.mTick == envelope.mX[state.mPosition]) {
        // Equal x values inside a loop would jump back for ever: one jump a
        // tick.
        bool jumped = false;
        do {
            int &i = state.mPosition;
            if ((envelope.mType & MusicEnvelope::LOOP) && i == envelope.mLoopEnd && !jumped) {
                i = envelope.mLoopStart;
                state.mTick = envelope.mX[i];
                jumped = true;
            }
            // The last point, or one whose x goes backwards, ends it.
            if (i >= count - 1 || envelope.mX[i + 1] < envelope.mX[i]) {
                state.mValue = envelope.mY[i];
                state.mFracValue = state.mValue << 16;
                state.mStopped = true;
                slot.mFlags |= flag;
                return;
            }
            if ((envelope.mType & MusicEnvelope::SUSTAIN) && i == envelope.mSustain && !slot.mKeyOff) {
                state.mValue = envelope.mY[i];
                state.mFracValue = state.mValue << 16;
                slot.mFlags |= flag;
                return;
            }
            const int dx = envelope.mX[i + 1] - envelope.mX[i];
            state.mFracDelta = dx ? ((envelope.mY[i + 1] - envelope.mY[i]) * 65536) / dx : 0;
            state.mFracValue = envelope.mY[i] << 16;
            ++i;
        } while (state.mPosition < count && state.mTick == envelope.mX[state.mPosition]);
    } else {
        state.mFracValue += state.mFracDelta;
    }
    state.mFracValue = std::clamp(state.mFracValue, 0, 64 << 16);
    state.mValue = state.mFracValue >> 16;
    ++state.mTick;
    slot.mFlags |= flag;
}

void CodecXM::stepEnvelopes(MusicVirtualChannel &slot, const MusicInstrument &instrument)
{
    if ((instrument.mVolumeEnvelope.mType & MusicEnvelope::ON) && !slot.mEnvVolume.mStopped) {
        processEnvelope(slot.mEnvVolume, slot, instrument.mVolumeEnvelope, F_VOLUME);
    }
    if ((instrument.mPanEnvelope.mType & MusicEnvelope::ON) && !slot.mEnvPan.mStopped) {
        processEnvelope(slot.mEnvPan, slot, instrument.mPanEnvelope, F_PAN);
    }
    if (slot.mKeyOff) {
        slot.mFadeOutVolume = std::max(slot.mFadeOutVolume - static_cast<int>(instrument.mFadeOut), 0);
        slot.mFlags |= F_VOLUME;
    }
}

void CodecXM::setEnvelopePosition(MusicVirtualChannel &slot, const MusicInstrument &instrument, int position)
{
    const MusicEnvelope &envelope = instrument.mVolumeEnvelope;
    if (!(envelope.mType & MusicEnvelope::ON)) {
        return;
    }
    MusicEnvelopeState &state = slot.mEnvVolume;
    int i = 0;
    while (i + 1 < envelope.mCount && envelope.mX[i + 1] < position) {
        ++i;
    }
    if (i + 1 < envelope.mCount) {
        const int x0 = envelope.mX[i];
        const int dx = envelope.mX[i + 1] - x0;
        const int dy = envelope.mY[i + 1] - envelope.mY[i];
        state.mFracDelta = dx > 0 ? dy * 65536 / dx : 0;
        state.mFracValue =
            std::clamp((envelope.mY[i] << 16) + state.mFracDelta * std::max(position - x0, 0), 0, 64 << 16);
        state.mValue = state.mFracValue >> 16;
        state.mTick = position;
        state.mPosition = i + 1;
        state.mStopped = false;
    } else {
        const int last = envelope.mCount ? envelope.mCount - 1 : 0;
        state.mValue = envelope.mY[last];
        state.mFracValue = state.mValue << 16;
        state.mStopped = true;
    }
    slot.mFlags |= F_VOLUME;
}

// ---------------------------------------------------------------------------
// Playback.

const MusicInstrument &CodecXM::instrumentOf(const MusicChannel &channel) const
{
    return channel.mInstrument < mNumInstruments && mInstrument ? mInstrument[channel.mInstrument] : mDummyInstrument;
}

MusicSample *CodecXM::sampleOf(const MusicInstrument &instrument, int note)
{
    if (note < 0 || note >= 96) {
        return &mDummySample;
    }
    const int index = instrument.mKeyMap[note];
    if (index >= instrument.mNumSamples || instrument.mSample[index] < 0) {
        return &mDummySample;
    }
    return &mSample[instrument.mSample[index]];
}

MusicVirtualChannel *CodecXM::spawnNewChannel(MusicChannelXM &channel, MusicVirtualChannel *slot, MusicSample *sample)
{
    if (channel.mSlot) {
        return channel.mSlot;
    }
    if (spawnNewVirtualChannel(&channel, sample, nullptr) == AURA_OK) {
        // The new voice goes on from what the column had.
        MusicVirtualChannel *made = channel.mSlot;
        made->mVolume = slot->mVolume;
        made->mPan = slot->mPan;
        made->mPeriod = slot->mPeriod;
        made->mEnvVolume = slot->mEnvVolume;
        made->mEnvPan = slot->mEnvPan;
        made->mFadeOutVolume = slot->mFadeOutVolume;
        made->mKeyOff = slot->mKeyOff;
        made->mSample = slot->mSample;
        return made;
    }
    return slot;
}

AURA_RESULT CodecXM::update(bool audible)
{
    applyPendingSpeed();
    if (mTick == 0) {
        if (mFinished && !mLooping) {
            (void)stop();
        } else {
            takePendingJump();
            const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
            if (mRow >= pattern.mRows) {
                mRow = 0;
            }
            const AURA_RESULT result = updateNote(audible);
            if (result != AURA_OK) {
                return result;
            }
            advanceRow(pattern.mRows);
        }
    } else if (audible) {
        const AURA_RESULT result = updateEffects();
        if (result != AURA_OK) {
            return result;
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

void CodecXM::processNote(const MusicNote &cell, MusicChannelXM &channel, MusicVirtualChannel &slot,
                          const MusicInstrument &instrument, MusicSample *sample)
{
    if (cell.mInstrument) {
        slot.mVolume = sample->mDefaultVolume;
        slot.mPan = sample->mDefaultPan;
        slot.mEnvVolume = {};
        slot.mEnvPan = {};
        slot.mEnvVolume.mValue = 64;
        slot.mEnvVolume.mFracValue = 64 << 16;
        slot.mEnvPan.mValue = 32;
        slot.mEnvPan.mFracValue = 32 << 16;
        slot.mKeyOff = false;
        slot.mAutoVibratoPos = 0;
        slot.mAutoVibratoSweep = 0;
        slot.mFadeOutVolume = FADEOUT_FULL;
        channel.mTremorCount = 0;
        if ((channel.mWaveControl & 0x0F) < 4) {
            channel.mVibratoPos = 0;
        }
        if ((channel.mWaveControl >> 4) < 4) {
            channel.mTremoloPos = 0;
        }
        slot.mFlags |= F_VOLUME | F_PAN;
    }
    if (cell.mVolume) {
        (void)channel.processVolumeByte(slot, cell.mVolume);
    }
    if (cell.mNote == KEY_OFF || cell.mEffect == KEY_OFF_EFFECT) {
        slot.mKeyOff = true;
    }
    if (!(instrument.mVolumeEnvelope.mType & MusicEnvelope::ON) && slot.mKeyOff) {
        slot.mEnvVolume.mValue = 0;
        slot.mEnvVolume.mFracValue = 0;
    }
    stepEnvelopes(slot, instrument);
}

AURA_RESULT CodecXM::updateNote(bool /*audible*/)
{
    if (mVisited && visit(mOrder, mRow)) {
        mFinished = true;
        return AURA_OK;
    }
    mJumped = false;
    const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelXM *>(mChannel[c]);
        const MusicNote &cell = pattern.mData[mRow * mNumChannels + c];
        MusicVirtualChannel *slot = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        const bool real = slot != &mDummyVirtualChannel;
        const bool tonePorta = (cell.mEffect == TONE_PORTA || cell.mEffect == TONE_PORTA_SLIDE) && real;
        const bool hasNote = cell.mNote >= 1 && cell.mNote <= 96;
        if (!tonePorta) {
            if (cell.mInstrument) {
                channel.mInstrument = static_cast<uint8_t>(cell.mInstrument - 1);
            }
            if (hasNote) {
                channel.mNote = static_cast<uint8_t>(cell.mNote - 1);
            }
        }
        const MusicInstrument &instrument = instrumentOf(channel);
        MusicSample *sample = sampleOf(instrument, channel.mNote);
        if (tonePorta && slot->mSample) {
            sample = slot->mSample;
        }
        const uint8_t param = cell.mEffectParam;
        const int x = param >> 4;
        const int y = param & 15;

        const int oldVolume = slot->mVolume;
        const int oldPeriod = slot->mPeriod;
        const int oldPan = slot->mPan;
        if (channel.mLastEffect == TREMOLO && cell.mEffect != TREMOLO) {
            slot->mVolume = std::clamp(slot->mVolume + slot->mVolumeDelta, 0, 64);
        }
        channel.mLastEffect = cell.mEffect;
        slot->mVolumeDelta = 0;
        slot->mFlags = 0;
        if (hasNote) {
            if (!tonePorta) {
                slot = spawnNewChannel(channel, slot, sample);
                slot->mSample = sample;
            }
            const int realNote = std::clamp(cell.mNote - 1 + sample->mRelativeNote, 0, 130);
            channel.mRealNote = static_cast<uint8_t>(realNote);
            channel.mNotePeriod = static_cast<unsigned int>(notePeriod(realNote, sample->mFineTune));
            if (cell.mEffect != TONE_PORTA && cell.mEffect != TONE_PORTA_SLIDE) {
                slot->mPeriod = static_cast<int>(channel.mNotePeriod);
            }
            slot->mFlags = F_START;
        }
        slot->mPeriodDelta = 0;
        slot->mFlags |= F_FREQUENCY | F_VOLUME;
        processNote(cell, channel, *slot, instrument, sample);

        switch (cell.mEffect) {
        case PORTA_UP:
            if (param) {
                channel.mPortaUpMemory = param;
            }
            break;
        case PORTA_DOWN:
            if (param) {
                channel.mPortaDownMemory = param;
            }
            break;
        case TONE_PORTA:
        case TONE_PORTA_SLIDE:
            if (cell.mEffect == TONE_PORTA && param) {
                channel.mPortaSpeed = param;
            }
            if (cell.mEffect == TONE_PORTA_SLIDE && param) {
                channel.mVolumeSlideMemory = param;
            }
            channel.mPortaTarget = channel.mNotePeriod;
            slot->clearFlags((real ? F_START : 0) | F_FREQUENCY);
            break;
        case VIBRATO:
            channel.rememberVibrato(x, y);
            (void)channel.vibrato(*slot, false);
            break;
        case VIBRATO_SLIDE:
            if (param) {
                channel.mVolumeSlideMemory = param;
            }
            (void)channel.vibrato(*slot, false);
            break;
        case TREMOLO:
            channel.rememberTremolo(x, y);
            break;
        case SET_PAN:
            slot->mPan = param;
            slot->mFlags |= F_PAN;
            break;
        case OFFSET:
            if (param) {
                channel.mSampleOffset = param;
            }
            if (slot->mFlags & F_START) {
                const unsigned int offset = channel.mSampleOffset * 256;
                if (offset < sample->mLoopStart + sample->mLoopLength) {
                    slot->mSampleOffset = offset;
                } else {
                    slot->clearFlags(F_START);
                    slot->mFlags |= F_STOP;
                }
            }
            break;
        case VOLUME_SLIDE:
            if (param) {
                channel.mVolumeSlideMemory = param;
            }
            break;
        case JUMP:
            mNextRow = 0;
            if (param >= mNumOrders) {
                mNextOrder = 0;
                mFinished = true;
            } else {
                mNextOrder = param;
            }
            mJumped = true;
            break;
        case SET_VOLUME:
            // Above full is no level a voice can play.
            slot->mVolume = std::min<int>(param, 64);
            break;
        case BREAK: {
            const int row = 10 * x + y;
            mNextRow = row > 63 ? 0 : row;
            if (!mJumped) {
                mNextOrder = mOrder + 1 >= mNumOrders ? 0 : mOrder + 1;
            }
            break;
        }
        case EXTENDED:
            switch (x) {
            case 0x1:
                if (y) {
                    channel.mFinePortaUpMemory = static_cast<uint8_t>(y);
                }
                slot->mPeriod -= 4 * channel.mFinePortaUpMemory;
                break;
            case 0x2:
                if (y) {
                    channel.mFinePortaDownMemory = static_cast<uint8_t>(y);
                }
                slot->mPeriod += 4 * channel.mFinePortaDownMemory;
                break;
            case 0x4: channel.mWaveControl = static_cast<uint8_t>((channel.mWaveControl & 0xF0) | y); break;
            case 0x5: sample->mFineTune = static_cast<int8_t>(y); break;
            case 0x6:
                if (y == 0) {
                    channel.mPatternLoopRow = mRow;
                } else {
                    channel.mPatternLoopCount = channel.mPatternLoopCount == 0 ? y : channel.mPatternLoopCount - 1;
                    if (channel.mPatternLoopCount) {
                        mNextRow = channel.mPatternLoopRow;
                        unvisit(mOrder, channel.mPatternLoopRow, mRow);
                    }
                }
                break;
            case 0x7: channel.mWaveControl = static_cast<uint8_t>((channel.mWaveControl & 0x0F) | (y << 4)); break;
            case 0x8:
                slot->mPan = y * 16;
                slot->mFlags |= F_PAN;
                break;
            case 0xA:
            case 0xB:
                if (y) {
                    channel.mFineVolumeMemory = static_cast<uint8_t>(y);
                }
                slot->mVolume = std::clamp(
                    slot->mVolume + (x == 0xA ? channel.mFineVolumeMemory : -channel.mFineVolumeMemory), 0, 64);
                break;
            case 0xD:
                slot->mVolume = oldVolume;
                slot->mPeriod = oldPeriod;
                slot->mPan = oldPan;
                slot->clearFlags(F_FREQUENCY | F_VOLUME | F_PAN | F_START);
                break;
            case 0xE: mPatternDelayTicks = mSpeed * y; break;
            default: break;
            }
            break;
        case SPEED:
            if (param >= 32) {
                (void)setBPM(param);
            } else if (param) {
                mSpeed = param;
            }
            break;
        case GLOBAL_VOLUME:
            mGlobalVolume = std::min<int>(param, 64);
            slot->mFlags |= F_VOLUME;
            break;
        case GLOBAL_SLIDE:
            if (param) {
                mGlobalSlideMemory = param;
            }
            break;
        case ENVELOPE_POSITION: setEnvelopePosition(*slot, instrument, param); break;
        case PAN_SLIDE:
            if (param) {
                channel.mPanSlideMemory = param;
                slot->mFlags |= F_PAN;
            }
            break;
        case RETRIGGER:
            channel.rememberRetrigger(param);
            break;
        case TREMOR:
            if (param) {
                channel.mTremorOn = static_cast<uint8_t>(x + 1);
                channel.mTremorOff = static_cast<uint8_t>(y + 1);
            }
            if (channel.mTremorCount >= channel.mTremorOn) {
                slot->mVolumeDelta = -slot->mVolume;
            }
            if (++channel.mTremorCount >= channel.mTremorOn + channel.mTremorOff) {
                channel.mTremorCount = 0;
            }
            slot->mFlags |= F_VOLUME;
            break;
        case EXTRA_FINE:
            if (x == 1) {
                if (y) {
                    channel.mExtraFinePortaUpMemory = static_cast<uint8_t>(y);
                }
                slot->mPeriod -= channel.mExtraFinePortaUpMemory;
            } else if (x == 2) {
                if (y) {
                    channel.mExtraFinePortaDownMemory = static_cast<uint8_t>(y);
                }
                slot->mPeriod += channel.mExtraFinePortaDownMemory;
            }
            break;
        default: break;
        }
        (void)channel.instrumentVibrato(*slot, instrument);
        updateFlags(c, channel, *slot, sample);
    }
    return AURA_OK;
}

AURA_RESULT CodecXM::updateEffects()
{
    const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelXM *>(mChannel[c]);
        const MusicNote &cell = pattern.mData[mRow * mNumChannels + c];
        MusicVirtualChannel *slot = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        const MusicInstrument &instrument = instrumentOf(channel);
        MusicSample *sample = slot->mSample ? slot->mSample : sampleOf(instrument, channel.mNote);
        const int x = cell.mEffectParam >> 4;
        const int y = cell.mEffectParam & 15;
        slot->mVolumeDelta = 0;
        slot->mPeriodDelta = 0;
        slot->mFlags = 0;
        stepEnvelopes(*slot, instrument);

        const int vx = cell.mVolume & 15;
        switch (cell.mVolume >> 4) {
        case 0x6:
            slot->mVolume = std::max(slot->mVolume - vx, 0);
            slot->mFlags |= F_VOLUME;
            break;
        case 0x7:
            slot->mVolume = std::min(slot->mVolume + vx, 64);
            slot->mFlags |= F_VOLUME;
            break;
        case 0xB:
            channel.mVibratoDepth = static_cast<uint8_t>(vx);
            (void)channel.vibrato(*slot, true);
            break;
        case 0xD:
            slot->mPan = std::max(slot->mPan - vx, 0);
            slot->mFlags |= F_PAN;
            break;
        case 0xE:
            slot->mPan = std::min(slot->mPan + vx, 255);
            slot->mFlags |= F_PAN;
            break;
        case 0xF: (void)channel.portamento(*slot); break;
        default: break;
        }

        switch (cell.mEffect) {
        case ARPEGGIO:
            if (cell.mEffectParam) {
                const int step = mTick % 3;
                const int k = step == 1 ? x : step == 2 ? y : 0;
                if (mLinear) {
                    slot->mPeriodDelta = -64 * k;
                } else {
                    int base = 0;
                    int up = 0;
                    (void)getAmigaPeriod(channel.mRealNote, sample->mFineTune, &base);
                    (void)getAmigaPeriod(channel.mRealNote + k, sample->mFineTune, &up);
                    slot->mPeriodDelta = up - base;
                }
                slot->mFlags |= F_FREQUENCY;
            }
            break;
        case PORTA_UP:
            slot->mPeriod = std::max(slot->mPeriod - 4 * channel.mPortaUpMemory, MIN_PORTAMENTO_PERIOD);
            slot->mFlags |= F_FREQUENCY;
            break;
        case PORTA_DOWN:
            slot->mPeriod += 4 * channel.mPortaDownMemory;
            slot->mFlags |= F_FREQUENCY;
            break;
        case TONE_PORTA: (void)channel.portamento(*slot); break;
        case VIBRATO: (void)channel.vibrato(*slot, true); break;
        case TONE_PORTA_SLIDE:
            (void)channel.portamento(*slot);
            volumeSlide(*slot, channel.mVolumeSlideMemory);
            break;
        case VIBRATO_SLIDE:
            (void)channel.vibrato(*slot, true);
            volumeSlide(*slot, channel.mVolumeSlideMemory);
            break;
        case TREMOLO: (void)channel.tremolo(*slot); break;
        case VOLUME_SLIDE: volumeSlide(*slot, channel.mVolumeSlideMemory); break;
        case EXTENDED:
            if (x == 0x9) {
                if (y && mTick % y == 0) {
                    slot->mFlags |= F_START | F_VOLUME | F_FREQUENCY;
                }
            } else if (x == 0xC) {
                if (mTick == y) {
                    slot->mVolume = 0;
                    slot->mFlags |= F_VOLUME;
                }
            } else if (x == 0xD) {
                if (mTick == y) {
                    slot = spawnNewChannel(channel, slot, sample);
                    slot->mSample = sample;
                    slot->mPeriod = static_cast<int>(channel.mNotePeriod);
                    slot->mFlags |= F_FREQUENCY | F_START;
                    processNote(cell, channel, *slot, instrument, sample);
                } else {
                    slot->clearFlags(F_FREQUENCY | F_VOLUME | F_PAN | F_START);
                }
            }
            break;
        case GLOBAL_SLIDE: {
            const int gx = mGlobalSlideMemory >> 4;
            mGlobalVolume =
                gx ? std::min(mGlobalVolume + gx, 64) : std::max(mGlobalVolume - (mGlobalSlideMemory & 15), 0);
            slot->mFlags |= F_VOLUME;
            break;
        }
        case PAN_SLIDE: {
            const int px = channel.mPanSlideMemory >> 4;
            slot->mPan = px ? std::min(slot->mPan + px, 255) : std::max(slot->mPan - (channel.mPanSlideMemory & 15), 0);
            slot->mFlags |= F_PAN;
            break;
        }
        case RETRIGGER:
            if (channel.mRetrigInterval && mTick % channel.mRetrigInterval == 0) {
                slot->mVolume = std::clamp(xmRetriggerVolume(slot->mVolume, channel.mRetrigVolume), 0, 64);
                slot->mFlags |= F_START | F_VOLUME;
            }
            break;
        case TREMOR:
            if (channel.mTremorCount >= channel.mTremorOn) {
                slot->mVolumeDelta = -slot->mVolume;
            }
            if (++channel.mTremorCount >= channel.mTremorOn + channel.mTremorOff) {
                channel.mTremorCount = 0;
            }
            slot->mFlags |= F_VOLUME;
            break;
        default: break;
        }
        (void)channel.instrumentVibrato(*slot, instrument);
        updateFlags(c, channel, *slot, sample);
    }
    return AURA_OK;
}

void CodecXM::updateFlags(int column, MusicChannelXM &channel, MusicVirtualChannel &slot, MusicSample *sample)
{
    if (&slot == &mDummyVirtualChannel || !slot.mVoice) {
        return;
    }
    // A start restores the sound's defaults: the note's level, place and
    // pitch go out with it whatever the cell set.
    if (slot.mFlags & F_START) {
        slot.mFlags |= F_VOLUME | F_PAN | F_FREQUENCY;
    }
    const int period = slot.mPeriod + slot.mPeriodDelta;
    if (period == 0) {
        slot.clearFlags(F_FREQUENCY);
    }
    if ((slot.mFlags & F_START) && !(slot.mFlags & F_STOP)) {
        (void)playSound(sample, &slot);
    }
    if (slot.mFlags & F_VOLUME) {
        const double level = static_cast<double>(std::clamp(slot.mVolume + slot.mVolumeDelta, 0, 64)) *
                             slot.mEnvVolume.mValue * std::clamp(slot.mFadeOutVolume, 0, FADEOUT_FULL) *
                             std::clamp(mGlobalVolume, 0, 64);
        const float music = mMusicChannelVolume[column].load(std::memory_order_relaxed);
        (void)slot.mVoice->setVolume(static_cast<float>(std::ldexp(level, -35)) * music);
    }
    if (slot.mFlags & F_PAN) {
        int pan = std::clamp(slot.mPan, 0, 255);
        if (instrumentOf(channel).mPanEnvelope.mType & MusicEnvelope::ON) {
            pan += (slot.mEnvPan.mValue - 32) * (128 - std::abs(pan - 128)) / 32;
        }
        const float out = static_cast<float>(std::clamp(pan, 0, 255) - 128) * mPanSeparation / 127.0f;
        (void)slot.mVoice->setPan(std::clamp(out, -1.0f, 1.0f));
    }
    if (slot.mFlags & F_FREQUENCY) {
        (void)slot.mVoice->setFrequency(static_cast<float>(frequency(period)));
    }
    if (slot.mFlags & F_STOP) {
        (void)slot.mVoice->stop();
        slot.mSampleOffset = 0;
    }
}

} // namespace AURA
