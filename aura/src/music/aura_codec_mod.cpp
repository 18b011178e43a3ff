#include "music/aura_codec_mod.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_mod";

constexpr unsigned int HEADER_BYTES = 1084;
constexpr unsigned int TAG_OFFSET = 1080;
constexpr unsigned int SAMPLE_HEADER_BYTES = 30;
constexpr int AMIGA_CLOCK = 14317056; // four times the PAL Paula clock
constexpr int MIN_PORTAMENTO_PERIOD = 56;

unsigned int be16(const uint8_t *p)
{
    return static_cast<unsigned int>(p[0] << 8 | p[1]);
}

void volumeSlide(MusicVirtualChannel &slot, int x, int y)
{
    if (x) {
        slot.mVolume = std::min(slot.mVolume + x, 64);
    } else if (y) {
        slot.mVolume = std::max(slot.mVolume - y, 0);
    }
    slot.mFlags |= MusicVirtualChannel::FLAG_VOLUME;
}

} // namespace

// One octave a row, C to B.
// clang-format off
const unsigned int gPeriodTable[132] = {
    27392, 25856, 24384, 23040, 21696, 20480, 19328, 18240, 17216, 16256, 15360, 14496,
    13696, 12928, 12192, 11520, 10848, 10240, 9664,  9120,  8608,  8128,  7680,  7248,
    6848,  6464,  6096,  5760,  5424,  5120,  4832,  4560,  4304,  4064,  3840,  3624,
    3424,  3232,  3048,  2880,  2712,  2560,  2416,  2280,  2152,  2032,  1920,  1812,
    1712,  1616,  1524,  1440,  1356,  1280,  1208,  1140,  1076,  1016,  960,   906,
    856,   808,   762,   720,   678,   640,   604,   570,   538,   508,   480,   453,
    428,   404,   381,   360,   339,   320,   302,   285,   269,   254,   240,   226,
    214,   202,   190,   180,   170,   160,   151,   143,   135,   127,   120,   113,
    107,   101,   95,    90,    85,    80,    75,    71,    67,    63,    60,    56,
    53,    50,    47,    45,    42,    40,    37,    35,    33,    31,    30,    28,
    26,    25,    23,    22,    21,    20,    18,    17,    16,    15,    15,    14};
// clang-format on

const uint8_t gSineTable[32] = {0,   24,  49,  74,  97,  120, 141, 161, 180, 197, 212, 224, 235, 244, 250, 253,
                                255, 253, 250, 244, 235, 224, 212, 197, 180, 161, 141, 120, 97,  74,  49,  24};

// ---------------------------------------------------------------------------
// Channel steps.

AURA_RESULT MusicChannelMOD::portamento(MusicVirtualChannel &slot)
{
    const int target = static_cast<int>(mPortaTarget);
    const int step = 4 * mPortaSpeed;
    if (slot.mPeriod < target) {
        slot.mPeriod = std::min(slot.mPeriod + step, target);
    } else if (slot.mPeriod > target) {
        slot.mPeriod = std::max(slot.mPeriod - step, target);
    }
    slot.mFlags |= MusicVirtualChannel::FLAG_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelMOD::vibrato(MusicVirtualChannel &slot)
{
    int magnitude = MusicSong::waveform(mWaveControl & 3, mVibratoPos);
    if (magnitude < 0) {
        magnitude = static_cast<int>(MusicSong::nextRandom());
    }
    magnitude = magnitude * mVibratoDepth >> 7;
    slot.mPeriodDelta = mVibratoPos >= 0 ? 4 * magnitude : -4 * magnitude;
    mVibratoPos = MusicSong::advanceWave(mVibratoPos, mVibratoSpeed);
    slot.mFlags |= MusicVirtualChannel::FLAG_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelMOD::tremolo(MusicVirtualChannel &slot)
{
    // The fourth tremolo shape is the sine again.
    const int shape = (mWaveControl >> 4) & 3;
    const int magnitude = MusicSong::waveform(shape == 3 ? 0 : shape, mTremoloPos) * mTremoloDepth >> 6;
    if (mTremoloPos >= 0) {
        slot.mVolumeDelta = slot.mVolume + magnitude > 64 ? 64 - slot.mVolume : magnitude;
    } else {
        slot.mVolumeDelta = slot.mVolume - magnitude < 0 ? -slot.mVolume : -magnitude;
    }
    mTremoloPos = MusicSong::advanceWave(mTremoloPos, mTremoloSpeed);
    slot.mFlags |= MusicVirtualChannel::FLAG_VOLUME;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Description and format.

constinit AURA_CODEC_DESCRIPTION_EX modcodec;

AURA_CODEC_DESCRIPTION_EX *CodecMOD::getDescriptionEx()
{
    return describeOnce(modcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        (void)describeSong<CodecMOD>(description, "AURA MOD Codec", AURA_SOUND_TYPE_MOD);
    });
}

int CodecMOD::channelsFromTag(const char tag[4])
{
    for (const char *four : {"M.K.", "M!K!", "FLT4"}) {
        if (std::memcmp(tag, four, 4) == 0) {
            return 4;
        }
    }
    if (std::memcmp(tag, "6CHN", 4) == 0) {
        return 6;
    }
    if (std::memcmp(tag, "8CHN", 4) == 0) {
        return 8;
    }
    int channels = 0;
    if (tag[2] == 'C' && tag[3] == 'H') {
        const char digits[3] = {tag[0], tag[1], 0};
        channels = std::atoi(digits);
    } else if (tag[1] == 'C' && tag[2] == 'H' && tag[3] == 'N') {
        channels = tag[0] - '0';
    }
    return channels >= 1 && channels <= 32 ? channels : 0;
}

uint8_t CodecMOD::noteFromPeriod(unsigned int period)
{
    for (unsigned int i = 0; i < 108; ++i) {
        if (gPeriodTable[i + 24] <= period) {
            return static_cast<uint8_t>(i + 1);
        }
    }
    return 0;
}

unsigned int CodecMOD::period(const MusicSample &sample, int note) const
{
    if (note < 1 || note > 132) {
        return 0;
    }
    const unsigned int base = gPeriodTable[note - 1];
    return sample.mMiddleC ? base * 8363u / sample.mMiddleC : base;
}

// ---------------------------------------------------------------------------
// Loading.

AURA_RESULT CodecMOD::openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_MOD;
    unsigned int filesize = 0;
    AURA_RESULT result = seekableFileSize(&filesize);
    if (result != AURA_OK) {
        return result;
    }
    // Too short to hold a tag is no MOD, so the next codec is asked.
    if (filesize < HEADER_BYTES) {
        return AURA_ERR_FORMAT;
    }
    uint8_t header[HEADER_BYTES];
    result = mFile->seek(0, 0);
    unsigned int got = 0;
    if (result == AURA_OK) {
        result = mFile->read(header, 1, HEADER_BYTES, &got);
    }
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    if (got < HEADER_BYTES) {
        return AURA_ERR_FORMAT;
    }
    const int channels = channelsFromTag(reinterpret_cast<const char *>(header + TAG_OFFSET));
    if (channels == 0) {
        return AURA_ERR_FORMAT;
    }
    result =
        metaData(AURA_TAGTYPE_AURA, "Number of channels", &channels, sizeof(channels), AURA_TAGDATATYPE_INT, false);
    if (result != AURA_OK) {
        return result;
    }

    mPanSeparation = 0.8f;
    mMasterSpeed.store(1.0f, std::memory_order_relaxed);
    mDefaultSpeed = 6;
    mDefaultBPM = 125;
    mRestart = 0;
    mLooping = true;
    mNumChannels = channels;

    // The song length byte is unsigned; 0 or more than the table holds is
    // taken as the nearest length the order table can play.
    mNumOrders = std::clamp(static_cast<int>(header[950]), 1, 128);
    int highest = 0;
    for (int i = 0; i < 128; ++i) {
        mOrderList[i] = header[952 + i];
        highest = std::max(highest, static_cast<int>(header[952 + i]));
    }
    mNumPatterns = highest + 1;

    if (!mHost) {
        result = createMusicHost(this, "AURA MOD Target Unit", &mHost);
        if (result != AURA_OK) {
            return result;
        }
    }
    char name[21] = {};
    std::memcpy(name, header, 20);
    result = initWaveFormat(name, mode, exinfo, filesize);
    if (result == AURA_OK) {
        result = loadSamples(header);
    }
    for (int c = 0; result == AURA_OK && c < channels; ++c) {
        mChannel[c] = AURA_New(MusicChannelMOD);
        if (!mChannel[c]) {
            result = AURA_ERR_MEMORY;
            break;
        }
        mDefaultPan[c] = ((c + 1) & 2) ? 255 : 0;
        mDefaultChannelVolume[c] = 64;
    }
    if (result == AURA_OK) {
        result = loadPatterns();
    }
    if (result == AURA_OK) {
        result = loadSampleData();
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
        releaseSong();
    }
    return result;
}

AURA_RESULT CodecMOD::loadSamples(const uint8_t *header)
{
    mSample = static_cast<MusicSample *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicSample)) * NUM_SAMPLES));
    if (!mSample) {
        return AURA_ERR_MEMORY;
    }
    mNumSamples = NUM_SAMPLES;
    for (int i = 0; i < NUM_SAMPLES; ++i) {
        const uint8_t *h = header + 20 + i * SAMPLE_HEADER_BYTES;
        MusicSample &sample = mSample[i];
        sample = MusicSample{};
        char name[23] = {};
        for (int k = 0; k < 22; ++k) {
            const auto c = static_cast<signed char>(h[k]);
            name[k] = c < 32 ? 0 : static_cast<char>(c);
        }
        char tag[32];
        std::snprintf(tag, sizeof(tag), "Sample name %d", i);
        AURA_RESULT result = metaData(AURA_TAGTYPE_AURA, tag, name, 22, AURA_TAGDATATYPE_STRING, false);
        if (result != AURA_OK) {
            return result;
        }
        const unsigned int length = be16(h + 22) * 2;
        (void)fineTune2Hz(h[24], &sample.mMiddleC);
        sample.mLoadedMiddleC = sample.mMiddleC;
        sample.mDefaultVolume = std::min<uint8_t>(h[25], 64);
        const unsigned int loopWords = be16(h + 26);
        unsigned int loopStart = loopWords * 2 < length ? loopWords * 2 : loopWords;
        // Even undoubled the start may lie past the end: the loop stays in
        // the sample.
        loopStart = std::min(loopStart, length);
        unsigned int loopLength = be16(h + 28) * 2;
        loopLength = std::min(loopLength, length - loopStart);
        sample.mLength = length;
        if (loopLength <= 2) {
            sample.mLoop = false;
            sample.mLoopStart = 0;
            sample.mLoopLength = length;
        } else {
            sample.mLoop = true;
            sample.mLoopStart = loopStart;
            sample.mLoopLength = loopLength;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecMOD::loadPatterns()
{
    const unsigned int cellBytes = static_cast<unsigned int>(mNumChannels) * 4;
    const unsigned int patternBytes = ROWS * cellBytes;
    if (static_cast<uint64_t>(HEADER_BYTES) + static_cast<uint64_t>(mNumPatterns) * patternBytes > mState.filesize) {
        // Patterns the file cannot hold: reading them would only fail.
        return AURA_ERR_FILE_EOF;
    }
    mPattern = static_cast<MusicPattern *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicPattern)) * mNumPatterns));
    if (!mPattern) {
        return AURA_ERR_MEMORY;
    }
    mNumPatternsMem = mNumPatterns;
    uint8_t *raw = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(patternBytes)));
    if (!raw) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = mFile->seek(HEADER_BYTES, 0);
    for (int p = 0; result == AURA_OK && p < mNumPatterns; ++p) {
        MusicPattern &pattern = mPattern[p];
        pattern.mRows = ROWS;
        pattern.mData =
            static_cast<MusicNote *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicNote)) * ROWS * mNumChannels));
        if (!pattern.mData) {
            result = AURA_ERR_MEMORY;
            break;
        }
        unsigned int got = 0;
        result = mFile->read(raw, 1, patternBytes, &got);
        if (result != AURA_OK) {
            break;
        }
        for (int cell = 0; cell < ROWS * mNumChannels; ++cell) {
            const uint8_t *b = raw + cell * 4;
            MusicNote &note = pattern.mData[cell];
            note.mInstrument = static_cast<uint8_t>((b[0] & 0xF0) | (b[2] >> 4));
            note.mNote = noteFromPeriod(static_cast<unsigned int>((b[0] & 0x0F) << 8 | b[1]));
            note.mVolume = 0;
            note.mEffect = b[2] & 0x0F;
            note.mEffectParam = b[3];
        }
    }
    AURA_Memory_Free(raw);
    return result;
}

AURA_RESULT CodecMOD::loadSampleData()
{
    unsigned int position = 0;
    AURA_RESULT result = mFile->tell(&position);
    if (result != AURA_OK) {
        return result;
    }
    uint64_t total = 0;
    for (int i = 0; i < NUM_SAMPLES; ++i) {
        total += mSample[i].mLength;
    }
    const uint64_t size = mState.filesize;
    // Sample data that cannot follow the patterns is taken from the end.
    if (size > total && size - total > TAG_OFFSET && size < total + position) {
        result = mFile->seek(static_cast<int>(size - total), 0);
        if (result != AURA_OK) {
            return result;
        }
    }
    bool ended = false;
    for (int i = 0; i < NUM_SAMPLES; ++i) {
        MusicSample &sample = mSample[i];
        if (sample.mLength == 0) {
            continue;
        }
        sample.mData = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(sample.mLength)));
        if (!sample.mData) {
            return AURA_ERR_MEMORY;
        }
        // What a short file does not hold stays silent.
        if (!ended) {
            unsigned int got = 0;
            result = mFile->read(sample.mData, 1, sample.mLength, &got);
            if (result == AURA_ERR_FILE_EOF) {
                ended = true;
            } else if (result != AURA_OK) {
                return result;
            }
        }
        result = mHost->createSampleSound(&sample);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecMOD::closeInternal()
{
    releaseSong();
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Playback.

MusicSample *CodecMOD::sampleOf(MusicChannel &channel)
{
    return channel.mInstrument < NUM_SAMPLES && mSample ? &mSample[channel.mInstrument] : &mDummySample;
}

AURA_RESULT CodecMOD::update(bool audible)
{
    applyPendingSpeed();
    if (mTick == 0) {
        if (mFinished && !mLooping) {
            (void)stop();
        } else {
            takePendingJump();
            const AURA_RESULT result = updateNote(audible);
            if (result != AURA_OK) {
                return result;
            }
            advanceRow(ROWS);
        }
    } else if (audible) {
        const AURA_RESULT result = updateEffects();
        if (result != AURA_OK) {
            return result;
        }
    }
    if (mSpeed == 0) {
        mFinished = true;
        mTick = -1;
    } else {
        advanceTick();
    }
    mPCMOffset += static_cast<unsigned int>(mSamplesPerTick);
    return AURA_OK;
}

AURA_RESULT CodecMOD::updateNote(bool audible)
{
    if (mVisited && visit(mOrder, mRow)) {
        mFinished = true;
        if (!mLooping) {
            return AURA_OK;
        }
        // A looping song plays on: the table starts over from here, or
        // every row after the first end would be skipped for ever.
        std::memset(mVisited, 0, static_cast<size_t>(mNumOrders) * 256);
        (void)visit(mOrder, mRow);
    }
    mJumped = false;
    const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelMOD *>(mChannel[c]);
        const MusicNote &cell = pattern.mData[mRow * mNumChannels + c];
        MusicVirtualChannel *slot = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        if (cell.mInstrument) {
            channel.mInstrument = static_cast<uint8_t>(cell.mInstrument - 1);
        }
        MusicSample *sample = sampleOf(channel);
        const int x = cell.mEffectParam >> 4;
        const int y = cell.mEffectParam & 15;

        const int oldVolume = slot->mVolume;
        const int oldPeriod = slot->mPeriod;
        if (channel.mLastEffect == 7 && cell.mEffect != 7) {
            slot->mVolume = std::clamp(slot->mVolume + slot->mVolumeDelta, 0, 64);
        }
        channel.mLastEffect = cell.mEffect;
        slot->mVolumeDelta = 0;
        slot->mFlags = 0;
        if (cell.mNote) {
            if (slot == &mDummyVirtualChannel && spawnNewVirtualChannel(&channel, sample, nullptr) == AURA_OK) {
                slot = channel.mSlot;
                slot->mVolume = oldVolume;
            }
            channel.mNote = cell.mNote;
            channel.mNotePeriod = period(*sample, cell.mNote);
            slot->mPan = channel.mPan;
            if ((channel.mWaveControl & 0x0F) < 4) {
                channel.mVibratoPos = 0;
            }
            if ((channel.mWaveControl >> 4) < 4) {
                channel.mTremoloPos = 0;
            }
            if (cell.mEffect != 3 && cell.mEffect != 5) {
                slot->mPeriod = static_cast<int>(channel.mNotePeriod);
            }
            slot->mFlags = MusicVirtualChannel::FLAG_START;
        }
        if (cell.mInstrument) {
            slot->mVolume = sample->mDefaultVolume;
        }
        slot->mPeriodDelta = 0;
        slot->mFlags |=
            MusicVirtualChannel::FLAG_FREQUENCY | MusicVirtualChannel::FLAG_VOLUME | MusicVirtualChannel::FLAG_PAN;

        switch (cell.mEffect) {
        case 0x3:
            if (cell.mEffectParam) {
                channel.mPortaSpeed = cell.mEffectParam;
            }
            [[fallthrough]];
        case 0x5:
            channel.mPortaTarget = channel.mNotePeriod;
            slot->mFlags &=
                static_cast<uint8_t>(~(MusicVirtualChannel::FLAG_START | MusicVirtualChannel::FLAG_FREQUENCY));
            break;
        case 0x4:
            channel.rememberVibrato(x, y);
            break;
        case 0x7:
            channel.rememberTremolo(x, y);
            slot->mFlags &= static_cast<uint8_t>(~MusicVirtualChannel::FLAG_VOLUME);
            break;
        case 0x8:
            slot->mPan = 2 * cell.mEffectParam;
            slot->mFlags |= MusicVirtualChannel::FLAG_PAN;
            break;
        case 0x9: {
            if (cell.mEffectParam) {
                channel.mSampleOffset = cell.mEffectParam;
            }
            const unsigned int end = sample->mLoopStart + sample->mLoopLength;
            unsigned int offset = channel.mSampleOffset * 256;
            if (offset >= end) {
                offset = end ? end - 1 : 0;
            }
            slot->mSampleOffset = offset;
            break;
        }
        case 0xB:
            mNextRow = 0;
            mNextOrder = cell.mEffectParam >= mNumOrders ? 0 : cell.mEffectParam;
            mJumped = true;
            break;
        case 0xC:
            // Level above full is no level a MOD can play.
            slot->mVolume = std::min<int>(cell.mEffectParam, 64);
            break;
        case 0xD: {
            const int row = 10 * x + y;
            mNextRow = row > 63 ? 0 : row;
            if (!mJumped) {
                mNextOrder = mOrder + 1 >= mNumOrders ? 0 : mOrder + 1;
            }
            break;
        }
        case 0xE:
            switch (x) {
            case 0x1: slot->mPeriod -= 4 * y; break;
            case 0x2: slot->mPeriod += 4 * y; break;
            case 0x4: channel.mWaveControl = static_cast<uint8_t>((channel.mWaveControl & 0xF0) | y); break;
            case 0x5: (void)fineTune2Hz(static_cast<unsigned char>(y), &sample->mMiddleC); break;
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
                slot->mPan = 16 * y;
                slot->mFlags |= MusicVirtualChannel::FLAG_PAN;
                break;
            case 0xA: slot->mVolume = std::min(slot->mVolume + y, 64); break;
            case 0xB: slot->mVolume = std::max(slot->mVolume - y, 0); break;
            case 0xD:
                slot->mVolume = oldVolume;
                slot->mPeriod = oldPeriod;
                slot->mFlags = 0;
                break;
            case 0xE: mPatternDelayTicks = mSpeed * y; break;
            default: break;
            }
            break;
        case 0xF:
            if (cell.mEffectParam >= 32) {
                (void)setBPM(cell.mEffectParam);
            } else if (cell.mEffectParam) {
                mSpeed = cell.mEffectParam;
            }
            break;
        default: break;
        }
        if (audible) {
            updateVoice(c, *slot, sample);
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecMOD::updateEffects()
{
    const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelMOD *>(mChannel[c]);
        const MusicNote &cell = pattern.mData[mRow * mNumChannels + c];
        MusicVirtualChannel *slot = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        MusicSample *sample = sampleOf(channel);
        const int x = cell.mEffectParam >> 4;
        const int y = cell.mEffectParam & 15;
        slot->mVolumeDelta = 0;
        slot->mPeriodDelta = 0;
        slot->mFlags = 0;
        switch (cell.mEffect) {
        case 0x0:
            if (cell.mEffectParam && channel.mNote) {
                const int base = static_cast<int>(period(*sample, channel.mNote));
                const int step = mTick % 3;
                if (step == 1) {
                    slot->mPeriodDelta = static_cast<int>(period(*sample, channel.mNote + x)) - base;
                } else if (step == 2) {
                    slot->mPeriodDelta = static_cast<int>(period(*sample, channel.mNote + y)) - base;
                }
                slot->mFlags |= MusicVirtualChannel::FLAG_FREQUENCY;
            }
            break;
        case 0x1:
            slot->mPeriod = std::max(slot->mPeriod - 4 * cell.mEffectParam, MIN_PORTAMENTO_PERIOD);
            slot->mFlags |= MusicVirtualChannel::FLAG_FREQUENCY;
            break;
        case 0x2:
            slot->mPeriod += 4 * cell.mEffectParam;
            slot->mFlags |= MusicVirtualChannel::FLAG_FREQUENCY;
            break;
        case 0x3: (void)channel.portamento(*slot); break;
        case 0x4: (void)channel.vibrato(*slot); break;
        case 0x5:
            (void)channel.portamento(*slot);
            volumeSlide(*slot, x, y);
            break;
        case 0x6:
            (void)channel.vibrato(*slot);
            volumeSlide(*slot, x, y);
            break;
        case 0x7: (void)channel.tremolo(*slot); break;
        case 0xA: volumeSlide(*slot, x, y); break;
        case 0xE:
            if (x == 0x9) {
                if (y && mTick % y == 0) {
                    slot->mFlags |= MusicVirtualChannel::FLAG_START | MusicVirtualChannel::FLAG_VOLUME |
                                    MusicVirtualChannel::FLAG_PAN;
                }
            } else if (x == 0xC) {
                if (mTick == y) {
                    slot->mVolume = 0;
                    slot->mFlags |= MusicVirtualChannel::FLAG_VOLUME;
                }
            } else if (x == 0xD) {
                if (mTick == y) {
                    if (!channel.mSlot && spawnNewVirtualChannel(&channel, sample, nullptr) == AURA_OK) {
                        slot = channel.mSlot;
                    }
                    if (cell.mInstrument) {
                        slot->mVolume = sample->mDefaultVolume;
                        slot->mFlags |= MusicVirtualChannel::FLAG_VOLUME;
                    }
                    slot->mPan = channel.mPan;
                    slot->mPeriod = static_cast<int>(channel.mNotePeriod);
                    slot->mFlags |= MusicVirtualChannel::FLAG_FREQUENCY | MusicVirtualChannel::FLAG_PAN |
                                    MusicVirtualChannel::FLAG_START;
                } else {
                    slot->mFlags &=
                        static_cast<uint8_t>(~(MusicVirtualChannel::FLAG_VOLUME | MusicVirtualChannel::FLAG_FREQUENCY |
                                               MusicVirtualChannel::FLAG_START));
                }
            }
            break;
        default: break;
        }
        updateVoice(c, *slot, sample);
    }
    return AURA_OK;
}

void CodecMOD::updateVoice(int column, MusicVirtualChannel &slot, MusicSample *sample)
{
    if (&slot == &mDummyVirtualChannel || !slot.mVoice) {
        return;
    }
    // A start restores the sound's defaults: whatever the cell set, the
    // note's level, place and pitch go out with it.
    if (slot.mFlags & MusicVirtualChannel::FLAG_START) {
        slot.mFlags |=
            MusicVirtualChannel::FLAG_VOLUME | MusicVirtualChannel::FLAG_PAN | MusicVirtualChannel::FLAG_FREQUENCY;
    }
    const int period = slot.mPeriod + slot.mPeriodDelta;
    if (period == 0) {
        slot.mFlags &= static_cast<uint8_t>(~MusicVirtualChannel::FLAG_FREQUENCY);
    }
    if (slot.mFlags & MusicVirtualChannel::FLAG_START) {
        (void)playSound(sample, &slot);
    }
    if (slot.mFlags & MusicVirtualChannel::FLAG_VOLUME) {
        const int level = std::clamp(slot.mVolume + slot.mVolumeDelta, 0, 64);
        const float music = mMusicChannelVolume[column].load(std::memory_order_relaxed);
        (void)slot.mVoice->setVolume(static_cast<float>(level) / 64.0f * 0.5f * music);
    }
    if (slot.mFlags & MusicVirtualChannel::FLAG_PAN) {
        const float pan = static_cast<float>(slot.mPan - 128) * mPanSeparation / 128.0f;
        (void)slot.mVoice->setPan(std::clamp(pan, -1.0f, 1.0f));
    }
    if (slot.mFlags & MusicVirtualChannel::FLAG_FREQUENCY) {
        (void)slot.mVoice->setFrequency(period > 0 ? static_cast<float>(AMIGA_CLOCK / period)
                                                   : static_cast<float>(AMIGA_CLOCK));
    }
}

} // namespace AURA
