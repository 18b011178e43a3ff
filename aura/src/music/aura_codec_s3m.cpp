#include "music/aura_codec_s3m.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"
#include "music/aura_codec_mod.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_s3m";

constexpr unsigned int HEADER_BYTES = 96;
constexpr unsigned int INSTRUMENT_BYTES = 80;
constexpr int AMIGA_CLOCK = 14317056;
constexpr uint8_t NOTE_CUT = 255;

constexpr uint8_t F_FREQUENCY = MusicVirtualChannel::FLAG_FREQUENCY;
constexpr uint8_t F_VOLUME = MusicVirtualChannel::FLAG_VOLUME;
constexpr uint8_t F_PAN = MusicVirtualChannel::FLAG_PAN;
constexpr uint8_t F_START = MusicVirtualChannel::FLAG_START;
constexpr uint8_t F_STOP = MusicVirtualChannel::FLAG_STOP;

// Effect numbers as stored: 1 is A.
enum Effect : uint8_t { A = 1, B, C, D, E, F, G, H, I, J, K, L, M, N, O, P, Q, R, S, T, U, V, W, X };

unsigned int le16(const uint8_t *p)
{
    return static_cast<unsigned int>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

int waveMagnitude(int shape, int8_t position)
{
    const int magnitude = MusicSong::waveform(shape, position);
    return magnitude < 0 ? static_cast<int>(MusicSong::nextRandom()) : magnitude;
}
} // namespace

// ---------------------------------------------------------------------------
// Channel steps.

AURA_RESULT MusicChannelS3M::volumeSlide(MusicVirtualChannel &slot)
{
    const int up = mVolumeSlideMemory >> 4;
    const int down = mVolumeSlideMemory & 15;
    if (down == 0) {
        slot.mVolume += up;
    } else if (up == 0) {
        slot.mVolume -= down;
    }
    slot.mVolume = std::clamp(slot.mVolume, 0, 64);
    slot.mFlags |= F_VOLUME;
    return AURA_OK;
}

AURA_RESULT MusicChannelS3M::portamento(MusicVirtualChannel &slot)
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

AURA_RESULT MusicChannelS3M::vibrato(MusicVirtualChannel &slot)
{
    const int magnitude = waveMagnitude(mWaveControl & 3, mVibratoPos) * mVibratoDepth >> 7;
    slot.mPeriodDelta = mVibratoPos >= 0 ? 4 * magnitude : -4 * magnitude;
    mVibratoPos = MusicSong::advanceWave(mVibratoPos, mVibratoSpeed);
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelS3M::fineVibrato(MusicVirtualChannel &slot)
{
    const int magnitude = waveMagnitude(mWaveControl & 3, mVibratoPos) * mVibratoDepth >> 7;
    slot.mPeriodDelta = mVibratoPos >= 0 ? magnitude : -magnitude;
    mVibratoPos = MusicSong::advanceWave(mVibratoPos, mVibratoSpeed);
    slot.mFlags |= F_FREQUENCY;
    return AURA_OK;
}

AURA_RESULT MusicChannelS3M::tremolo(MusicVirtualChannel &slot)
{
    const int magnitude = waveMagnitude((mWaveControl >> 4) & 3, mTremoloPos) * mTremoloDepth >> 6;
    if (mTremoloPos >= 0) {
        slot.mVolumeDelta = slot.mVolume + magnitude > 64 ? 64 - slot.mVolume : magnitude;
    } else {
        slot.mVolumeDelta = slot.mVolume - magnitude < 0 ? -slot.mVolume : -magnitude;
    }
    mTremoloPos = MusicSong::advanceWave(mTremoloPos, mTremoloSpeed);
    slot.mFlags |= F_VOLUME;
    return AURA_OK;
}

AURA_RESULT MusicChannelS3M::tremor(MusicVirtualChannel &slot)
{
    if (mTremorCount >= mTremorOn) {
        slot.mVolumeDelta = -slot.mVolume;
    }
    ++mTremorCount;
    if (mTremorCount >= mTremorOn + mTremorOff) {
        mTremorCount = 0;
    }
    slot.mFlags |= F_VOLUME;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Description.

constinit AURA_CODEC_DESCRIPTION_EX s3mcodec;

AURA_CODEC_DESCRIPTION_EX *CodecS3M::getDescriptionEx()
{
    return describeOnce(s3mcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        (void)describeSong<CodecS3M>(description, "AURA S3M Codec", AURA_SOUND_TYPE_S3M);
    });
}

unsigned int CodecS3M::period(const MusicSample &sample, int note) const
{
    // Notes past the table (a note byte with a low nibble above 11, or an
    // arpeggio above the top) play its last entry.
    const unsigned int base = gPeriodTable[std::clamp(note, 0, MAX_NOTE)];
    return sample.mMiddleC ? base * 8363u / sample.mMiddleC : base;
}

// ---------------------------------------------------------------------------
// Loading.

AURA_RESULT CodecS3M::openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_S3M;
    unsigned int filesize = 0;
    AURA_RESULT result = seekableFileSize(&filesize);
    if (result != AURA_OK) {
        return result;
    }
    char name[29] = {};
    int numInstruments = 0;
    int numPatterns = 0;
    uint16_t instrumentPointers[MAX_INSTRUMENTS] = {};
    uint16_t patternPointers[MAX_PATTERNS] = {};
    result = loadHeader(filesize, name, &numInstruments, &numPatterns, instrumentPointers, patternPointers);
    if (result != AURA_OK) {
        return result;
    }
    if (!mHost) {
        result = createMusicHost(this, "AURA S3M Target Unit", &mHost);
        if (result != AURA_OK) {
            return result;
        }
    }
    result = initWaveFormat(name, mode, exinfo, filesize);
    for (int c = 0; result == AURA_OK && c < mNumChannels; ++c) {
        mChannel[c] = AURA_New(MusicChannelS3M);
        if (!mChannel[c]) {
            result = AURA_ERR_MEMORY;
        }
    }
    uint32_t dataPointers[MAX_INSTRUMENTS] = {};
    if (result == AURA_OK) {
        result = loadInstruments(numInstruments, instrumentPointers, dataPointers);
    }
    if (result == AURA_OK) {
        result = loadPatterns(numPatterns, patternPointers, mChannelMap);
    }
    if (result == AURA_OK) {
        result = loadSampleData(dataPointers);
    }
    if (result == AURA_OK) {
        result = createVirtualChannels(mNumChannels);
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

AURA_RESULT CodecS3M::loadHeader(unsigned int filesize, char *name, int *numinstruments, int *numpatterns,
                                 uint16_t *instrumentpointers, uint16_t *patternpointers)
{
    if (filesize < HEADER_BYTES) {
        return AURA_ERR_FORMAT;
    }
    uint8_t header[HEADER_BYTES];
    AURA_RESULT result = mFile->seek(0, 0);
    unsigned int got = 0;
    if (result == AURA_OK) {
        result = mFile->read(header, 1, HEADER_BYTES, &got);
    }
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    if (got < HEADER_BYTES || std::memcmp(header + 44, "SCRM", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    const int orderCount = static_cast<int>(le16(header + 32));
    *numinstruments = static_cast<int>(le16(header + 34));
    *numpatterns = static_cast<int>(le16(header + 36));
    // Counts past the lists the song keeps are no song it can play.
    if (orderCount > MAX_ORDERS || *numinstruments > MAX_INSTRUMENTS || *numpatterns > MAX_PATTERNS) {
        return AURA_ERR_FORMAT;
    }
    std::memcpy(name, header, 28);
    mFastVolumeSlides = (le16(header + 38) & 0x40) || (le16(header + 40) & 0xFFF) == 0x12C;
    mPanSeparation = 0.8f;
    mMasterSpeed.store(1.0f, std::memory_order_relaxed);
    mDefaultGlobalVolume = std::min<uint8_t>(header[48], 64);
    mDefaultSpeed = header[49];
    mDefaultBPM = header[50];
    const uint8_t masterVolume = header[51];
    const uint8_t panMarker = header[53];
    mRestart = 0;

    std::fill(std::begin(mChannelMap), std::end(mChannelMap), 255);
    mNumChannels = 0;
    for (int i = 0; i < 32; ++i) {
        const uint8_t setting = header[64 + i];
        if (setting < 16) {
            mChannelMap[i] = static_cast<uint8_t>(mNumChannels);
            mDefaultPan[mNumChannels] = setting < 8 ? 0 : 255;
            mDefaultChannelVolume[mNumChannels] = 64;
            ++mNumChannels;
        }
    }
    if (mNumChannels == 0) {
        return AURA_ERR_FORMAT;
    }
    const int channels = mNumChannels;
    result =
        metaData(AURA_TAGTYPE_AURA, "Number of channels", &channels, sizeof(channels), AURA_TAGDATATYPE_INT, false);
    if (result != AURA_OK) {
        return result;
    }

    // Orders, parapointers and the pan table follow the header.
    const unsigned int tableBytes =
        static_cast<unsigned int>(orderCount + 2 * (*numinstruments + *numpatterns)) + (panMarker == 0xFC ? 32u : 0u);
    uint8_t *table = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(tableBytes) + 1));
    if (!table) {
        return AURA_ERR_MEMORY;
    }
    result = mFile->read(table, 1, tableBytes, &got);
    if (result != AURA_OK) {
        AURA_Memory_Free(table);
        return result;
    }
    mNumOrders = 0;
    int highest = -1;
    for (int i = 0; i < orderCount; ++i) {
        if (table[i] < 254) {
            mOrderList[mNumOrders++] = table[i];
            highest = std::max(highest, static_cast<int>(table[i]));
        }
    }
    const uint8_t *p = table + orderCount;
    for (int i = 0; i < *numinstruments; ++i, p += 2) {
        instrumentpointers[i] = static_cast<uint16_t>(le16(p));
    }
    for (int i = 0; i < *numpatterns; ++i, p += 2) {
        patternpointers[i] = static_cast<uint16_t>(le16(p));
    }
    if (panMarker == 0xFC) {
        for (int i = 0; i < 32; ++i) {
            // Bit 5 says the pan is given; the settings of unused channels
            // are ignored.
            if ((p[i] & 0x20) && mChannelMap[i] != 255) {
                mDefaultPan[mChannelMap[i]] = static_cast<uint8_t>((p[i] & 15) * 16);
            }
        }
    }
    AURA_Memory_Free(table);
    // Nothing left to play: row 0 would read a pattern that is not there.
    if (mNumOrders == 0) {
        return AURA_ERR_FORMAT;
    }
    mNumPatterns = highest + 1;
    if (!(masterVolume & 0x80)) {
        std::fill(std::begin(mDefaultPan), std::begin(mDefaultPan) + 32, 128);
    }
    return AURA_OK;
}

AURA_RESULT CodecS3M::loadInstruments(int count, const uint16_t *pointers, uint32_t *datapointers)
{
    if (count == 0) {
        return AURA_OK;
    }
    mSample = static_cast<MusicSample *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicSample)) * count));
    if (!mSample) {
        return AURA_ERR_MEMORY;
    }
    mNumSamples = count;
    const uint64_t filesize = mState.filesize;
    for (int i = 0; i < count; ++i) {
        MusicSample &sample = mSample[i];
        sample = MusicSample{};
        uint8_t h[INSTRUMENT_BYTES];
        AURA_RESULT result = mFile->seek(static_cast<int>(pointers[i]) * 16, 0);
        unsigned int got = 0;
        if (result == AURA_OK) {
            result = mFile->read(h, 1, INSTRUMENT_BYTES, &got);
        }
        if (result != AURA_OK) {
            return result;
        }
        char name[29] = {};
        std::memcpy(name, h + 48, 28);
        char tag[32];
        std::snprintf(tag, sizeof(tag), "Sample name %d", i);
        result = metaData(AURA_TAGTYPE_AURA, tag, name, 28, AURA_TAGDATATYPE_STRING, false);
        if (result != AURA_OK) {
            return result;
        }
        datapointers[i] = ((static_cast<uint32_t>(h[13]) << 16) + le16(h + 14)) * 16u;
        const uint8_t flags = h[31];
        sample.mBits = (flags & 4) ? 16 : 8;
        sample.mChannels = (flags & 2) ? 2 : 1;
        sample.mDefaultVolume = std::min<uint8_t>(h[28], 64);
        sample.mMiddleC = sample.mLoadedMiddleC = le16(h + 32);
        // AdLib instruments (any type but 1) have no sample to play.
        uint64_t length = h[0] == 1 ? le32(h + 16) : 0;
        // No sample is larger than the file that holds it.
        const uint64_t pointBytes = static_cast<uint64_t>(sample.mBits / 8) * sample.mChannels;
        length = std::min<uint64_t>(length, filesize / pointBytes);
        sample.mLength = static_cast<unsigned int>(length);
        const uint64_t loopStart = le32(h + 20);
        const uint64_t loopEnd = std::min<uint64_t>(le32(h + 24), length);
        if ((flags & 1) && loopEnd > loopStart && loopEnd - loopStart > 2) {
            sample.mLoop = true;
            sample.mLoopStart = static_cast<unsigned int>(loopStart);
            sample.mLoopLength = static_cast<unsigned int>(loopEnd - loopStart);
        } else {
            sample.mLoop = false;
            sample.mLoopStart = 0;
            sample.mLoopLength = sample.mLength;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecS3M::loadPatterns(int count, const uint16_t *pointers, const uint8_t *channelmap)
{
    const int total = std::max(count, mNumPatterns);
    mPattern = static_cast<MusicPattern *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicPattern)) * total));
    if (!mPattern) {
        return AURA_ERR_MEMORY;
    }
    mNumPatternsMem = total;
    const int cells = ROWS * mNumChannels;
    for (int p = 0; p < total; ++p) {
        MusicPattern &pattern = mPattern[p];
        pattern.mRows = ROWS;
        pattern.mData = static_cast<MusicNote *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicNote)) * cells));
        if (!pattern.mData) {
            return AURA_ERR_MEMORY;
        }
    }
    const unsigned int filesize = mState.filesize;
    uint8_t *packed = nullptr;
    AURA_RESULT result = AURA_OK;
    for (int p = 0; result == AURA_OK && p < count; ++p) {
        // A parapointer of 0 is an empty pattern.
        const unsigned int at = static_cast<unsigned int>(pointers[p]) * 16;
        if (at == 0 || at + 2 > filesize) {
            continue;
        }
        uint8_t lengthBytes[2];
        unsigned int got = 0;
        result = mFile->seek(static_cast<int>(at), 0);
        if (result == AURA_OK) {
            result = mFile->read(lengthBytes, 1, 2, &got);
        }
        if (result != AURA_OK) {
            break;
        }
        // The rows end where the packed data ends, or the file does.
        const unsigned int size = std::min(le16(lengthBytes), filesize - at - 2);
        AURA_Memory_Free(packed);
        packed = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(size) + 1));
        if (!packed) {
            result = AURA_ERR_MEMORY;
            break;
        }
        result = mFile->read(packed, 1, size, &got);
        if (result == AURA_ERR_FILE_EOF) {
            result = AURA_OK;
        }
        if (result != AURA_OK) {
            break;
        }
        MusicNote *data = mPattern[p].mData;
        unsigned int i = 0;
        for (int row = 0; row < ROWS && i < got;) {
            const uint8_t b = packed[i++];
            if (b == 0) {
                ++row;
                continue;
            }
            const int wanted = (b & 0x20 ? 2 : 0) + (b & 0x40 ? 1 : 0) + (b & 0x80 ? 2 : 0);
            if (i + static_cast<unsigned int>(wanted) > got) {
                break;
            }
            MusicNote cell;
            if (b & 0x20) {
                const uint8_t note = packed[i++];
                cell.mNote = note == 255   ? 0
                             : note == 254 ? NOTE_CUT
                                           : static_cast<uint8_t>((note & 15) + 1 + 12 * (note >> 4));
                cell.mInstrument = packed[i++];
            }
            if (b & 0x40) {
                // A level above full plays at full.
                cell.mVolume = static_cast<uint8_t>(std::min<uint8_t>(packed[i++], 64) + 1);
            }
            if (b & 0x80) {
                cell.mEffect = packed[i++];
                cell.mEffectParam = packed[i++];
            }
            const uint8_t column = channelmap[b & 31];
            if (column != 255) {
                data[row * mNumChannels + column] = cell;
            }
        }
    }
    AURA_Memory_Free(packed);
    return result;
}

AURA_RESULT CodecS3M::loadSampleData(const uint32_t *datapointers)
{
    for (int i = 0; i < mNumSamples; ++i) {
        MusicSample &sample = mSample[i];
        if (sample.mLength == 0) {
            continue;
        }
        const auto bytes = static_cast<unsigned int>(sampleBytes(sample));
        sample.mData = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(bytes)));
        uint8_t *raw = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(bytes)));
        if (!sample.mData || !raw) {
            AURA_Memory_Free(raw);
            return AURA_ERR_MEMORY;
        }
        unsigned int got = 0;
        AURA_RESULT result = mFile->seek(static_cast<int>(datapointers[i]), 0);
        if (result == AURA_OK) {
            result = mFile->read(raw, 1, bytes, &got);
        }
        // A cut 8-bit mono sample fails the open; the other layouts keep
        // what was read and are silent after it.
        const bool eightMono = sample.mBits == 8 && sample.mChannels == 1;
        if (result != AURA_OK && (result != AURA_ERR_FILE_EOF || eightMono)) {
            AURA_Memory_Free(raw);
            return result;
        }
        const unsigned int points = sample.mLength;
        const unsigned int width = sample.mBits / 8u;
        const unsigned int channels = sample.mChannels;
        // Channel blocks one after the other become interleaved frames, and
        // unsigned points signed ones; what the file did not hold stays 0.
        for (unsigned int c = 0; c < channels; ++c) {
            for (unsigned int n = 0; n < points; ++n) {
                const unsigned int from = (c * points + n) * width;
                const unsigned int to = (n * channels + c) * width;
                if (from + width > got) {
                    break;
                }
                if (width == 1) {
                    sample.mData[to] = static_cast<uint8_t>(raw[from] ^ 0x80);
                } else {
                    const auto value = static_cast<int16_t>(le16(raw + from) ^ 0x8000);
                    std::memcpy(sample.mData + to, &value, 2);
                }
            }
        }
        AURA_Memory_Free(raw);
        result = mHost->createSampleSound(&sample);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecS3M::closeInternal()
{
    releaseSong();
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Playback.

MusicSample *CodecS3M::sampleOf(MusicChannel &channel)
{
    return channel.mInstrument < mNumSamples && mSample ? &mSample[channel.mInstrument] : &mDummySample;
}

AURA_RESULT CodecS3M::update(bool audible)
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
    advanceTick();
    mPCMOffset += static_cast<unsigned int>(mSamplesPerTick);
    return AURA_OK;
}

void CodecS3M::retrigger(MusicChannelS3M &channel, MusicVirtualChannel &slot)
{
    if (channel.mRetrigVolume) {
        slot.mVolume = std::clamp(retriggerVolume(slot.mVolume, channel.mRetrigVolume), 0, 64);
    }
    slot.mPan = channel.mPan;
    slot.mPeriod = static_cast<int>(channel.mNotePeriod);
    slot.mPeriodDelta = 0;
    slot.mFlags |= F_VOLUME | F_PAN | F_FREQUENCY | F_START;
}

AURA_RESULT CodecS3M::updateNote(bool audible)
{
    if (mVisited && visit(mOrder, mRow)) {
        mFinished = true;
        return AURA_OK;
    }
    mJumped = false;
    const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelS3M *>(mChannel[c]);
        const MusicNote &cell = pattern.mData[mRow * mNumChannels + c];
        MusicVirtualChannel *slot = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        const bool hasNote = cell.mNote >= 1 && cell.mNote <= 254;
        if (cell.mInstrument) {
            channel.mInstrument = static_cast<uint8_t>(cell.mInstrument - 1);
        }
        if (hasNote) {
            channel.mNote = static_cast<uint8_t>(cell.mNote - 1);
        }
        MusicSample *sample = sampleOf(channel);
        const uint8_t param = cell.mEffectParam;
        const int x = param >> 4;
        const int y = param & 15;

        const int oldVolume = slot->mVolume;
        const int oldPeriod = slot->mPeriod;
        if (channel.mLastEffect == R && cell.mEffect != R) {
            slot->mVolume = std::clamp(slot->mVolume + slot->mVolumeDelta, 0, 64);
        }
        channel.mLastEffect = cell.mEffect;
        slot->mVolumeDelta = 0;
        slot->mFlags = 0;
        if (hasNote) {
            if (slot == &mDummyVirtualChannel && spawnNewVirtualChannel(&channel, sample, nullptr) == AURA_OK) {
                slot = channel.mSlot;
                slot->mVolume = oldVolume;
            }
            channel.mNotePeriod = period(*sample, channel.mNote);
            slot->mPan = channel.mPan;
            if (cell.mEffect != G && cell.mEffect != L) {
                slot->mPeriod = static_cast<int>(channel.mNotePeriod);
            }
            slot->mFlags = F_START;
        }
        if (cell.mInstrument) {
            slot->mVolume = sample->mDefaultVolume;
            channel.mTremorCount = 0;
            if ((channel.mWaveControl & 0x0F) < 4) {
                channel.mVibratoPos = 0;
            }
            if ((channel.mWaveControl >> 4) < 4) {
                channel.mTremoloPos = 0;
            }
        }
        slot->mPeriodDelta = 0;
        slot->mFlags |= F_FREQUENCY | F_VOLUME | F_PAN;
        if (cell.mVolume) {
            slot->mVolume = cell.mVolume - 1;
        }
        if (cell.mNote == NOTE_CUT) {
            slot->mVolume = 0;
        }

        switch (cell.mEffect) {
        case A:
            if (param) {
                mSpeed = param;
            }
            break;
        case B:
            mNextRow = 0;
            mNextOrder = param >= mNumOrders ? 0 : param;
            mJumped = true;
            break;
        case C: {
            const int row = 10 * x + y;
            mNextRow = row > 63 ? 0 : row;
            if (!mJumped) {
                mNextOrder = mOrder + 1 >= mNumOrders ? 0 : mOrder + 1;
            }
            break;
        }
        case D: {
            if (param) {
                channel.mVolumeSlideMemory = param;
            }
            const int up = channel.mVolumeSlideMemory >> 4;
            const int down = channel.mVolumeSlideMemory & 15;
            if (down == 15) {
                slot->mVolume += up;
            } else if (up == 15) {
                slot->mVolume -= down;
            }
            slot->mVolume = std::clamp(slot->mVolume, 0, 64);
            // Fast slides also take their first step on the row's tick.
            if (mFastVolumeSlides) {
                (void)channel.volumeSlide(*slot);
            }
            break;
        }
        case E:
        case F: {
            if (param) {
                channel.mPortaMemory = param;
            }
            const int m = channel.mPortaMemory;
            const int step = (m >> 4) == 0xF ? 4 * (m & 15) : (m >> 4) == 0xE ? (m & 15) : 0;
            slot->mPeriod += cell.mEffect == E ? step : -step;
            if (slot->mPeriod <= 0) {
                slot->mFlags |= F_STOP;
            }
            break;
        }
        case G:
            if (param) {
                channel.mPortaSpeed = param;
            }
            channel.mPortaTarget = channel.mNotePeriod;
            slot->clearFlags(F_START | F_FREQUENCY);
            break;
        case H:
        case U:
            channel.rememberVibrato(x, y);
            break;
        case I:
            if (param) {
                channel.mTremorOn = static_cast<uint8_t>(x + 1);
                channel.mTremorOff = static_cast<uint8_t>(y + 1);
            }
            (void)channel.tremor(*slot);
            break;
        case J:
            if (param) {
                channel.mArpeggioMemory = param;
            }
            break;
        case K:
            if (param) {
                channel.mVolumeSlideMemory = param;
            }
            break;
        case L:
            if (param) {
                channel.mVolumeSlideMemory = param;
            }
            channel.mPortaTarget = channel.mNotePeriod;
            slot->clearFlags(F_START | F_FREQUENCY);
            break;
        case O: {
            const unsigned int offset = 256u * param;
            if (offset < sample->mLoopStart + sample->mLoopLength) {
                slot->mSampleOffset = offset;
            } else {
                slot->clearFlags(F_START);
                slot->mFlags |= F_STOP;
            }
            break;
        }
        case Q:
            channel.rememberRetrigger(param);
            break;
        case R:
            channel.rememberTremolo(x, y);
            break;
        case S:
            switch (x) {
            case 0x2: (void)fineTune2Hz(static_cast<unsigned char>(y), &sample->mMiddleC); break;
            case 0x3: channel.mWaveControl = static_cast<uint8_t>((channel.mWaveControl & 0xF0) | y); break;
            case 0x4: channel.mWaveControl = static_cast<uint8_t>((channel.mWaveControl & 0x0F) | (y << 4)); break;
            case 0x8:
                slot->mPan = 16 * y;
                slot->mFlags |= F_PAN;
                break;
            case 0xA:
                slot->mPan = 16 * (y > 7 ? y - 8 : y + 8);
                slot->mFlags |= F_PAN;
                break;
            case 0xB:
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
            case 0xD:
                slot->mVolume = oldVolume;
                slot->mPeriod = oldPeriod;
                slot->clearFlags(F_FREQUENCY | F_PAN | F_VOLUME | F_START);
                break;
            case 0xE: mPatternDelayTicks = mSpeed * y; break;
            default: break;
            }
            break;
        case T:
            if (param >= 32) {
                (void)setBPM(param);
            }
            break;
        case V: mGlobalVolume = std::min<int>(param, 64); break;
        case X:
            slot->mPan = std::min(2 * param, 255);
            slot->mFlags |= F_PAN;
            break;
        default: break;
        }
        if (audible) {
            updateVoice(c, *slot, sample);
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecS3M::updateEffects()
{
    const MusicPattern &pattern = mPattern[mOrderList[mOrder]];
    for (int c = 0; c < mNumChannels; ++c) {
        auto &channel = *static_cast<MusicChannelS3M *>(mChannel[c]);
        const MusicNote &cell = pattern.mData[mRow * mNumChannels + c];
        MusicVirtualChannel *slot = channel.mSlot ? channel.mSlot : &mDummyVirtualChannel;
        MusicSample *sample = sampleOf(channel);
        const int x = cell.mEffectParam >> 4;
        const int y = cell.mEffectParam & 15;
        slot->mVolumeDelta = 0;
        slot->mPeriodDelta = 0;
        slot->mFlags = 0;
        switch (cell.mEffect) {
        case D: (void)channel.volumeSlide(*slot); break;
        case E:
        case F: {
            const int m = channel.mPortaMemory;
            if (m < 0xE0) {
                slot->mPeriod += cell.mEffect == E ? 4 * m : -4 * m;
                slot->mFlags |= slot->mPeriod <= 0 ? F_STOP : F_FREQUENCY;
            }
            break;
        }
        case G: (void)channel.portamento(*slot); break;
        case H: (void)channel.vibrato(*slot); break;
        case I: (void)channel.tremor(*slot); break;
        case J:
            if (channel.mArpeggioMemory) {
                const int base = static_cast<int>(period(*sample, channel.mNote));
                const int step = mTick % 3;
                if (step == 1) {
                    slot->mPeriodDelta =
                        static_cast<int>(period(*sample, channel.mNote + (channel.mArpeggioMemory >> 4))) - base;
                } else if (step == 2) {
                    slot->mPeriodDelta =
                        static_cast<int>(period(*sample, channel.mNote + (channel.mArpeggioMemory & 15))) - base;
                }
                slot->mFlags |= F_FREQUENCY;
            }
            break;
        case K:
            (void)channel.vibrato(*slot);
            (void)channel.volumeSlide(*slot);
            break;
        case L:
            (void)channel.portamento(*slot);
            (void)channel.volumeSlide(*slot);
            break;
        case Q:
            if (channel.mRetrigInterval && mTick % channel.mRetrigInterval == 0) {
                retrigger(channel, *slot);
            }
            break;
        case R: (void)channel.tremolo(*slot); break;
        case U: (void)channel.fineVibrato(*slot); break;
        case S:
            if (x == 0xC) {
                if (mTick == y) {
                    slot->mVolume = 0;
                    slot->mFlags |= F_VOLUME;
                }
            } else if (x == 0xD) {
                if (mTick == y) {
                    if (!channel.mSlot && spawnNewVirtualChannel(&channel, sample, nullptr) == AURA_OK) {
                        slot = channel.mSlot;
                    }
                    if (cell.mInstrument) {
                        slot->mVolume = sample->mDefaultVolume;
                        if ((channel.mWaveControl & 0x0F) < 4) {
                            channel.mVibratoPos = 0;
                        }
                        if ((channel.mWaveControl >> 4) < 4) {
                            channel.mTremoloPos = 0;
                        }
                        channel.mTremorCount = 0;
                        slot->mFlags |= F_VOLUME;
                    }
                    slot->mPan = channel.mPan;
                    slot->mPeriod = static_cast<int>(channel.mNotePeriod);
                    slot->mPeriodDelta = 0;
                    slot->mFlags |= F_FREQUENCY | F_PAN;
                    if (cell.mVolume) {
                        slot->mVolume = cell.mVolume - 1;
                        slot->mFlags |= F_VOLUME;
                    }
                    slot->mFlags |= F_START;
                } else {
                    slot->clearFlags(F_VOLUME | F_FREQUENCY | F_PAN | F_START);
                }
            }
            break;
        default: break;
        }
        updateVoice(c, *slot, sample);
    }
    return AURA_OK;
}

void CodecS3M::updateVoice(int column, MusicVirtualChannel &slot, MusicSample *sample)
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
        const int level = std::clamp(slot.mVolume + slot.mVolumeDelta, 0, 64) * mGlobalVolume;
        const float music = mMusicChannelVolume[column].load(std::memory_order_relaxed);
        (void)slot.mVoice->setVolume(static_cast<float>(level) / 4096.0f * 0.5f * music);
    }
    if (slot.mFlags & F_PAN) {
        const float pan = static_cast<float>(slot.mPan - 128) * mPanSeparation / 128.0f;
        (void)slot.mVoice->setPan(std::clamp(pan, -1.0f, 1.0f));
    }
    if (slot.mFlags & F_FREQUENCY) {
        (void)slot.mVoice->setFrequency(period > 0 ? static_cast<float>(AMIGA_CLOCK / period)
                                                   : static_cast<float>(AMIGA_CLOCK));
    }
    if (slot.mFlags & F_STOP) {
        (void)slot.mVoice->stop();
        slot.mSampleOffset = 0;
    }
}

} // namespace AURA
