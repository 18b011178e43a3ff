#include "music/aura_codec_it.h"

#include "base/aura_memory.h"
#include "codec/aura_codec_chunkreader.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_it";

constexpr unsigned int HEADER_BYTES = 192;
constexpr unsigned int INSTRUMENT_BYTES = 550;
constexpr unsigned int SAMPLE_HEADER_BYTES = 80;
constexpr unsigned int PATTERN_HEADER_BYTES = 8;
constexpr unsigned int MIDI_CONFIG_BYTES = 0x1320;
constexpr unsigned int ENVELOPE_BYTES = 82;
constexpr unsigned int ECHO_CHUNK_BYTES = 0x84 + 24;
constexpr int DEFAULT_C5 = 8363;
constexpr int EMPTY_ROWS = 64;
// 64 channel bytes of 0: 64 rows that end at once.
constexpr uint8_t kEmptyPattern[EMPTY_ROWS] = {};

// Effect letters as stored: A = 1 to Z = 26.
enum Effect : uint8_t {
    EFFECT_SPEED = 1,
    EFFECT_JUMP = 2,
    EFFECT_BREAK = 3,
    EFFECT_SPECIAL = 19,
    EFFECT_TEMPO = 20,
};

unsigned int le16(const uint8_t *p)
{
    return readLE16(p);
}

int les16(const uint8_t *p)
{
    return static_cast<int16_t>(readLE16(p));
}

uint32_t le32(const uint8_t *p)
{
    return readLE32(p);
}

float lef32(const uint8_t *p)
{
    const uint32_t bits = le32(p);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

// An envelope block as stored: flags, count, loop and sustain bounds, 25
// nodes of (value, tick), a pad byte.
void readEnvelope(const uint8_t *p, MusicEnvelopeIT &envelope, bool pitch)
{
    const uint8_t stored = p[0];
    envelope.mFlags = static_cast<uint8_t>(
        ((stored & 1) ? MusicEnvelopeIT::ON : 0) | ((stored & 2) ? MusicEnvelopeIT::LOOP : 0) |
        ((stored & 4) ? MusicEnvelopeIT::SUSTAIN : 0) | ((stored & 8) ? MusicEnvelopeIT::CARRY : 0) |
        ((pitch && (stored & 0x80)) ? MusicEnvelopeIT::FILTER : 0));
    envelope.mCount = static_cast<uint8_t>(std::min<int>(p[1], MusicEnvelopeIT::MAX_NODES));
    // Bounds past the last node name no node: they are kept to it.
    const int last = std::max(envelope.mCount - 1, 0);
    envelope.mLoopBegin = static_cast<uint8_t>(std::min<int>(p[2], last));
    envelope.mLoopEnd = static_cast<uint8_t>(std::clamp<int>(p[3], envelope.mLoopBegin, last));
    envelope.mSustainBegin = static_cast<uint8_t>(std::min<int>(p[4], last));
    envelope.mSustainEnd = static_cast<uint8_t>(std::clamp<int>(p[5], envelope.mSustainBegin, last));
    for (int i = 0; i < MusicEnvelopeIT::MAX_NODES; ++i) {
        envelope.mValue[i] = static_cast<int8_t>(p[6 + 3 * i]);
        envelope.mTick[i] = static_cast<uint16_t>(le16(p + 7 + 3 * i));
    }
    if (envelope.mCount < 2) {
        envelope.mFlags = static_cast<uint8_t>(envelope.mFlags & ~MusicEnvelopeIT::ON);
    }
}

template <typename Point>
AURA_RESULT decompress(const uint8_t *&source, const uint8_t *end, void *dest, unsigned int points, bool doubledelta,
                       int channels)
{
    if (!source || !end || !dest || channels <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    constexpr bool wide = sizeof(Point) == 2;
    constexpr int topWidth = wide ? 17 : 9;
    constexpr int changeBits = wide ? 4 : 3;
    constexpr unsigned int blockPoints = wide ? 0x4000 : 0x8000;
    constexpr int pointBits = wide ? 16 : 8;
    auto *out = static_cast<Point *>(dest);
    uint64_t at = 0;
    while (points > 0) {
        CodecIT::Block block;
        AURA_RESULT result = CodecIT::readBlock(source, end, block);
        if (result != AURA_OK) {
            return result;
        }
        const unsigned int count = std::min(points, blockPoints);
        int width = topWidth;
        Point d1 = 0;
        Point d2 = 0;
        unsigned int made = 0;
        while (made < count) {
            if (width > topWidth) {
                result = AURA_ERR_FORMAT;
                break;
            }
            uint32_t v = 0;
            result = CodecIT::readBits(block, width, &v);
            if (result != AURA_OK) {
                break;
            }
            int value = 0;
            int change = 0;
            if (width < 7) {
                if (v == 1u << (width - 1)) {
                    uint32_t w = 0;
                    result = CodecIT::readBits(block, changeBits, &w);
                    if (result != AURA_OK) {
                        break;
                    }
                    change = static_cast<int>(w) + 1;
                } else {
                    value = static_cast<int>(v << (32 - width)) >> (32 - width);
                }
            } else if (width < topWidth) {
                const int border = wide ? (0xFFFF >> (17 - width)) - 8 : (0xFF >> (9 - width)) - 4;
                const int span = wide ? 16 : 8;
                if (static_cast<int>(v) > border && static_cast<int>(v) <= border + span) {
                    change = static_cast<int>(v) - border;
                } else {
                    value = static_cast<int>(v << (32 - width)) >> (32 - width);
                }
            } else {
                if (v & (1u << pointBits)) {
                    // The new width directly; 0 names no width at all.
                    width = static_cast<int>((v + 1) & 0xFF);
                    if (width == 0) {
                        result = AURA_ERR_FORMAT;
                        break;
                    }
                    continue;
                }
                value = static_cast<int>(v & ((1u << pointBits) - 1));
            }
            if (change) {
                width = change < width ? change : change + 1;
                continue;
            }
            d1 = static_cast<Point>(d1 + value);
            d2 = static_cast<Point>(d2 + d1);
            out[(at + made) * static_cast<uint64_t>(channels)] = doubledelta ? d2 : d1;
            ++made;
        }
        CodecIT::freeBlock(block);
        if (result != AURA_OK) {
            return result;
        }
        at += count;
        points -= count;
    }
    return AURA_OK;
}

} // namespace

// ---------------------------------------------------------------------------
// Compressed samples.

AURA_RESULT CodecIT::readBlock(const uint8_t *&source, const uint8_t *end, Block &block)
{
    if (!source || !end || end - source < 2) {
        return AURA_ERR_FORMAT;
    }
    const unsigned int bytes = le16(source);
    // A count the source does not hold is a cut or corrupt stream.
    if (static_cast<size_t>(end - source - 2) < bytes) {
        return AURA_ERR_FORMAT;
    }
    block.mData = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(std::max(bytes, 1u))));
    if (!block.mData) {
        return AURA_ERR_MEMORY;
    }
    std::memcpy(block.mData, source + 2, bytes);
    block.mBytes = bytes;
    block.mBit = 0;
    source += 2 + bytes;
    return AURA_OK;
}

void CodecIT::freeBlock(Block &block)
{
    AURA_Memory_Free(block.mData);
    block = Block{};
}

AURA_RESULT CodecIT::readBits(Block &block, int count, uint32_t *value)
{
    if (count <= 0 || count > 32 || !value) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The bits never come from past the block.
    if (block.mBit + static_cast<uint64_t>(count) > static_cast<uint64_t>(block.mBytes) * 8) {
        return AURA_ERR_FORMAT;
    }
    uint64_t out = 0;
    for (int i = 0; i < count;) {
        const uint64_t bit = block.mBit;
        const unsigned int shift = static_cast<unsigned int>(bit & 7);
        const int take = std::min(8 - static_cast<int>(shift), count - i);
        const uint64_t bits = (block.mData[bit >> 3] >> shift) & ((1u << take) - 1);
        out |= bits << i;
        i += take;
        block.mBit += static_cast<uint64_t>(take);
    }
    *value = static_cast<uint32_t>(out);
    return AURA_OK;
}

AURA_RESULT CodecIT::decompress8(const uint8_t *&source, const uint8_t *end, void *dest, unsigned int points,
                                 bool doubledelta, int channels)
{
    return decompress<int8_t>(source, end, dest, points, doubledelta, channels);
}

AURA_RESULT CodecIT::decompress16(const uint8_t *&source, const uint8_t *end, void *dest, unsigned int points,
                                  bool doubledelta, int channels)
{
    return decompress<int16_t>(source, end, dest, points, doubledelta, channels);
}

// ---------------------------------------------------------------------------
// Description.

constinit AURA_CODEC_DESCRIPTION_EX itcodec;

AURA_CODEC_DESCRIPTION_EX *CodecIT::getDescriptionEx()
{
    return describeOnce(itcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        (void)describeSong<CodecIT>(description, "AURA IT Codec", AURA_SOUND_TYPE_IT);
    });
}

// ---------------------------------------------------------------------------
// Loading.

AURA_RESULT CodecIT::readAt(unsigned int offset, void *buffer, unsigned int bytes)
{
    if (static_cast<uint64_t>(offset) + bytes > mState.filesize) {
        return AURA_ERR_FILE_EOF;
    }
    AURA_RESULT result = mFile->seek(static_cast<int>(offset), 0);
    unsigned int got = 0;
    if (result == AURA_OK) {
        result = mFile->read(buffer, 1, bytes, &got);
    }
    if (result == AURA_OK && got != bytes) {
        result = AURA_ERR_FILE_EOF;
    }
    return result;
}

AURA_RESULT CodecIT::openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_IT;
    unsigned int filesize = 0;
    AURA_RESULT result = seekableFileSize(&filesize);
    if (result != AURA_OK) {
        return result;
    }
    mState.filesize = filesize;
    uint8_t h[HEADER_BYTES];
    if (filesize < HEADER_BYTES || readAt(0, h, HEADER_BYTES) != AURA_OK || std::memcmp(h, "IMPM", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    const int orders = les16(h + 32);
    const int instruments = les16(h + 34);
    const int samples = les16(h + 36);
    const int patterns = les16(h + 38);
    // Counts past what the tables hold, or negative, are no song.
    if (orders < 0 || orders > MAX_ORDERS || instruments < 0 || instruments > MAX_INSTRUMENTS || samples < 0 ||
        samples > MAX_SAMPLES || patterns < 0 || patterns > MAX_PATTERNS) {
        return AURA_ERR_FORMAT;
    }
    mCompatible = les16(h + 42);
    mFlags = static_cast<int>(le16(h + 44));
    mDefaultGlobalVolume = std::min<uint8_t>(h[48], 128);
    // 0..128, 128 the loudest: a signed reading would silence the loudest.
    mMixVolume = std::min<int>(h[49], 128);
    const int speed = static_cast<int8_t>(h[50]);
    mDefaultSpeed = speed > 0 ? speed : 6;
    mDefaultBPM = h[51] >= 32 ? h[51] : 125;
    mMasterSpeed.store(1.0f, std::memory_order_relaxed);
    mPanSeparation = 1.0f;
    const int messageLength = les16(h + 54);
    const uint32_t messageOffset = le32(h + 56);
    mNumChannels = MAX_CHANNELS;
    std::memcpy(mDefaultPan, h + 64, MAX_CHANNELS);
    std::memcpy(mDefaultChannelVolume, h + 128, MAX_CHANNELS);
    std::memset(mLastMask, 0, sizeof(mLastMask));
    for (MusicNote &cell : mLastCell) {
        cell = MusicNote{};
    }

    // Orders, then the three offset tables and the edit history.
    uint8_t tables[MAX_ORDERS + 4 * (MAX_INSTRUMENTS + MAX_SAMPLES + MAX_PATTERNS) + 2] = {};
    const unsigned int tableBytes = static_cast<unsigned int>(orders + 4 * (instruments + samples + patterns) + 2);
    result = readAt(HEADER_BYTES, tables, tableBytes);
    if (result != AURA_OK) {
        return result;
    }
    std::memcpy(mOrderList, tables, static_cast<size_t>(orders));
    std::fill(mOrderList + orders, mOrderList + MAX_ORDERS, 255);
    mNumOrders = 0;
    for (int i = 0; i < orders; ++i) {
        if (mOrderList[i] != 255) {
            mNumOrders = i + 1;
        }
    }
    uint32_t instrumentAt[MAX_INSTRUMENTS] = {};
    uint32_t sampleAt[MAX_SAMPLES] = {};
    uint32_t patternAt[MAX_PATTERNS] = {};
    const uint8_t *p = tables + orders;
    for (int i = 0; i < instruments; ++i, p += 4) {
        instrumentAt[i] = le32(p);
    }
    for (int i = 0; i < samples; ++i, p += 4) {
        sampleAt[i] = le32(p);
    }
    for (int i = 0; i < patterns; ++i, p += 4) {
        patternAt[i] = le32(p);
    }
    const unsigned int history = le16(p);
    uint64_t position = HEADER_BYTES + static_cast<uint64_t>(tableBytes) + 8ull * history;

    // Extension blocks lie before the first of the song's data.
    uint64_t limit = filesize;
    if (messageLength > 0 && messageOffset) {
        limit = std::min<uint64_t>(limit, messageOffset);
    }
    if (instruments > 0) {
        limit = std::min<uint64_t>(limit, instrumentAt[0]);
    }
    if (samples > 0) {
        limit = std::min<uint64_t>(limit, sampleAt[0]);
    }
    if (patterns > 0 && patternAt[0]) {
        limit = std::min<uint64_t>(limit, patternAt[0]);
    }
    mPlugin = static_cast<MusicPluginIT *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicPluginIT) * MAX_PLUGINS)));
    if (!mPlugin) {
        return AURA_ERR_MEMORY;
    }
    if (position < limit && (mFlags & 0x80)) {
        position += MIDI_CONFIG_BYTES;
    }
    for (const char *id : {"PNAM", "CNAM"}) {
        uint8_t chunk[8];
        if (position + 8 <= limit && readAt(static_cast<unsigned int>(position), chunk, 8) == AURA_OK &&
            std::memcmp(chunk, id, 4) == 0) {
            position += 8ull + le32(chunk + 4);
        }
    }
    if (position < limit) {
        result = mFile->seek(static_cast<int>(position), 0);
        if (result == AURA_OK) {
            result = readChunks(static_cast<unsigned int>(limit));
        }
        if (result != AURA_OK) {
            closeInternal();
            return result;
        }
    }

    if (!mHost) {
        result = createMusicHost(this, "AURA IT Target Unit", &mHost);
        if (result != AURA_OK) {
            closeInternal();
            return result;
        }
    }
    char name[27] = {};
    std::memcpy(name, h + 4, 26);
    result = initWaveFormat(name, mode, exinfo, filesize);

    // The message, with its carriage returns as line feeds; one that
    // reaches past the file is none.
    if (result == AURA_OK && messageLength > 0 && static_cast<uint64_t>(messageOffset) + messageLength <= filesize) {
        auto *text = static_cast<char *>(AURA_Memory_Calloc(messageLength + 1));
        result = text ? readAt(messageOffset, text, static_cast<unsigned int>(messageLength)) : AURA_ERR_MEMORY;
        if (result == AURA_OK) {
            std::replace(text, text + messageLength, '\r', '\n');
            result = metaData(AURA_TAGTYPE_AURA, "Song message", text, static_cast<unsigned int>(std::strlen(text) + 1),
                              AURA_TAGDATATYPE_STRING, false);
        }
        AURA_Memory_Free(text);
    }
    const int channels = MAX_CHANNELS;
    if (result == AURA_OK) {
        result =
            metaData(AURA_TAGTYPE_AURA, "Number of channels", &channels, sizeof(channels), AURA_TAGDATATYPE_INT, false);
    }
    for (int c = 0; result == AURA_OK && c < channels; ++c) {
        auto *channel = AURA_New(MusicChannelIT);
        mChannel[c] = channel;
        if (!channel) {
            result = AURA_ERR_MEMORY;
        } else {
            channel->mSong = this;
            channel->mIndex = c;
        }
    }

    if (result == AURA_OK && instruments > 0) {
        mInstrument = static_cast<MusicInstrumentIT *>(
            AURA_Memory_Calloc(static_cast<int>(sizeof(MusicInstrumentIT)) * instruments));
        if (!mInstrument) {
            result = AURA_ERR_MEMORY;
        } else {
            for (int i = 0; i < instruments; ++i) {
                ::new (&mInstrument[i]) MusicInstrumentIT();
            }
            mNumInstruments = instruments;
        }
    }
    for (int i = 0; result == AURA_OK && i < instruments; ++i) {
        result = loadInstrument(mInstrument[i], instrumentAt[i]);
    }

    if (result == AURA_OK && samples > 0) {
        mSample = static_cast<MusicSample *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicSample)) * samples));
        mSampleIT = static_cast<MusicSampleIT *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicSampleIT)) * samples));
        if (!mSample || !mSampleIT) {
            result = AURA_ERR_MEMORY;
        } else {
            for (int i = 0; i < samples; ++i) {
                ::new (&mSample[i]) MusicSample();
                ::new (&mSampleIT[i]) MusicSampleIT();
            }
            mNumSamples = samples;
        }
    }
    for (int i = 0; result == AURA_OK && i < samples; ++i) {
        result = loadSampleHeader(i, sampleAt[i]);
    }
    if (result == AURA_OK) {
        result = loadPatterns(patternAt, patterns);
    }
    // Sample data: each sample's stored bytes run to the next sample's data
    // (or the end of the file); data stored out of order is bounded by the
    // file alone.
    for (int i = 0; result == AURA_OK && i < samples; ++i) {
        const unsigned int at = mSampleIT[i].mDataOffset;
        if (mSample[i].mLength == 0 || at >= filesize) {
            continue;
        }
        unsigned int next = filesize;
        for (int j = 0; j < samples; ++j) {
            const unsigned int other = mSampleIT[j].mDataOffset;
            if (other > at && other < next && mSample[j].mLength) {
                next = other;
            }
        }
        result = loadSampleData(i, next - at);
    }
    if (result == AURA_OK) {
        // Background notes take slots of their own: 64 unless asked.
        const int slots =
            exinfo && exinfo->maxpolyphony > 0 ? std::min(exinfo->maxpolyphony, 4 * MAX_CHANNELS) : MAX_CHANNELS;
        result = createVirtualChannels(slots);
    }
    if (result == AURA_OK) {
        mVoiceIT = static_cast<MusicVoiceIT *>(
            AURA_Memory_Calloc(static_cast<int>(sizeof(MusicVoiceIT)) * mNumVirtualChannels));
        result = mVoiceIT ? AURA_OK : AURA_ERR_MEMORY;
        for (int i = 0; result == AURA_OK && i < mNumVirtualChannels; ++i) {
            ::new (&mVoiceIT[i]) MusicVoiceIT();
        }
    }
    if (result == AURA_OK) {
        result = createEffectGroups();
    }
    if (result == AURA_OK && (mode & (AURA_ACCURATETIME | AURA_CREATESAMPLE))) {
        mVisited = static_cast<uint8_t *>(AURA_Memory_Calloc(std::max(mNumOrders, 1) * 256));
        result = mVisited ? calculateLength() : AURA_ERR_MEMORY;
    }
    if (result == AURA_OK) {
        result = play(true);
        mReaderOrder = mReaderRow = -1;
        if (result == AURA_OK && !seekRow()) {
            mFinished = true;
            mPlaying = false;
            result = AURA_ERR_FORMAT;
        }
        mReaderOrder = mReaderRow = -1; // the first tick reads the row again
    }
    if (result != AURA_OK) {
        closeInternal();
    }
    return result;
}

AURA_RESULT CodecIT::readChunks(unsigned int limit)
{
    unsigned int at = 0;
    AURA_RESULT result = mFile->tell(&at);
    while (result == AURA_OK && static_cast<uint64_t>(at) + 8 <= limit) {
        uint8_t head[8];
        result = readAt(at, head, 8);
        if (result != AURA_OK) {
            return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
        }
        const uint32_t length = le32(head + 4);
        const uint64_t body = static_cast<uint64_t>(at) + 8;
        if (body + length > mState.filesize) {
            return AURA_OK; // a cut chunk ends the scan
        }
        if (std::memcmp(head, "CHFX", 4) == 0) {
            uint8_t map[4 * MAX_CHANNELS] = {};
            const unsigned int entries = std::min<uint32_t>(length / 4, MAX_CHANNELS);
            result = readAt(static_cast<unsigned int>(body), map, 4 * entries);
            for (unsigned int c = 0; result == AURA_OK && c < entries; ++c) {
                const uint32_t plugin = le32(map + 4 * c);
                mChannelPlugin[c] = plugin <= MAX_PLUGINS ? static_cast<int>(plugin) : 0;
            }
        } else if (head[0] == 'F' && head[1] == 'X' && head[2] >= '0' && head[2] <= '9' && head[3] >= '0' &&
                   head[3] <= '9') {
            const int index = (head[2] - '0') * 10 + (head[3] - '0');
            if (index < MAX_PLUGINS && length >= ECHO_CHUNK_BYTES) {
                uint8_t chunk[ECHO_CHUNK_BYTES];
                result = readAt(static_cast<unsigned int>(body), chunk, ECHO_CHUNK_BYTES);
                if (result == AURA_OK && std::memcmp(chunk + 0x40, "Echo", 4) == 0 && le32(chunk + 0x80) == 24) {
                    MusicPluginIT &plugin = mPlugin[index];
                    std::memcpy(plugin.mRecord, chunk, MusicPluginIT::RECORD_BYTES);
                    plugin.mFlags = chunk[8];
                    static constexpr float scale[5] = {100.0f, 100.0f, 2000.0f, 2000.0f, 1.0f};
                    bool finite = true;
                    for (int k = 0; k < 5; ++k) {
                        const float value = lef32(chunk + 0x88 + 4 * k);
                        finite = finite && std::isfinite(value);
                        plugin.mParameter[k] = value * scale[k];
                    }
                    // A parameter that is no number leaves the unit out.
                    plugin.mUsed = finite;
                }
            }
        } else if (std::memcmp(head, "EQFX", 4) != 0) {
            return AURA_OK;
        }
        at = static_cast<unsigned int>(body + length);
    }
    return result;
}

AURA_RESULT CodecIT::loadInstrument(MusicInstrumentIT &instrument, unsigned int offset)
{
    uint8_t d[INSTRUMENT_BYTES];
    AURA_RESULT result = readAt(offset, d, INSTRUMENT_BYTES);
    if (result == AURA_ERR_FILE_EOF || (result == AURA_OK && std::memcmp(d, "IMPI", 4) != 0)) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    instrument.mNewNoteAction = d[17];
    instrument.mDuplicateCheckType = d[18];
    instrument.mDuplicateCheckAction = d[19];
    instrument.mFadeOut = le16(d + 20);
    // Stored as -32..32.
    instrument.mPitchPanSeparation = static_cast<int8_t>(std::clamp<int>(static_cast<int8_t>(d[22]), -32, 32));
    instrument.mPitchPanCentre = d[23];
    instrument.mGlobalVolume = std::min<uint8_t>(d[24], 128);
    instrument.mDefaultPan = d[25];
    instrument.mRandomVolume = d[26];
    instrument.mRandomPan = d[27];
    instrument.mNumSamples = static_cast<int8_t>(d[30]);
    std::memcpy(instrument.mName, d + 32, 26);
    instrument.mFilterCutoff = d[58];
    instrument.mFilterResonance = d[59];
    instrument.mMIDIChannel = d[60];
    for (int n = 0; n < MusicInstrumentIT::NOTES; ++n) {
        // A note past the table plays as its top note.
        instrument.mNoteTable[n][0] = std::min<uint8_t>(d[64 + 2 * n], MusicInstrumentIT::NOTES - 1);
        instrument.mNoteTable[n][1] = d[65 + 2 * n];
    }
    readEnvelope(d + 304, instrument.mVolumeEnvelope, false);
    readEnvelope(d + 304 + ENVELOPE_BYTES, instrument.mPanEnvelope, false);
    readEnvelope(d + 304 + 2 * ENVELOPE_BYTES, instrument.mPitchEnvelope, true);
    // Either a set cutoff or a filter envelope needs the voices' filters.
    if ((instrument.mFilterCutoff & 0x80) || ((instrument.mPitchEnvelope.mFlags & MusicEnvelopeIT::FILTER) &&
                                              (instrument.mPitchEnvelope.mFlags & MusicEnvelopeIT::ON))) {
        mUsesFilters = true;
    }
    return AURA_OK;
}

AURA_RESULT CodecIT::loadSampleHeader(int index, unsigned int offset)
{
    uint8_t d[SAMPLE_HEADER_BYTES];
    AURA_RESULT result = readAt(offset, d, SAMPLE_HEADER_BYTES);
    if (result == AURA_ERR_FILE_EOF || (result == AURA_OK && std::memcmp(d, "IMPS", 4) != 0)) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    MusicSample &sample = mSample[index];
    MusicSampleIT &extra = mSampleIT[index];
    extra.mGlobalVolume = std::min<uint8_t>(d[17], 64);
    extra.mFlags = d[18];
    sample.mDefaultVolume = std::min<uint8_t>(d[19], 64);
    char name[27] = {};
    std::memcpy(name, d + 20, 26);
    char tag[32];
    std::snprintf(tag, sizeof(tag), "Sample name %d", index);
    result = metaData(AURA_TAGTYPE_AURA, tag, name, static_cast<unsigned int>(std::strlen(name) + 1),
                      AURA_TAGDATATYPE_STRING, false);
    if (result != AURA_OK) {
        return result;
    }
    extra.mConvert = d[46];
    extra.mPan = d[47];
    sample.mDefaultPan = static_cast<uint8_t>(std::min(d[47] & 0x7F, 64) * 255 / 64);
    sample.mBits = (extra.mFlags & MusicSampleIT::FLAG_16BIT) ? 16 : 8;
    sample.mChannels = (extra.mFlags & MusicSampleIT::FLAG_STEREO) ? 2 : 1;
    const uint32_t length = le32(d + 48);
    const uint32_t loopBegin = le32(d + 52);
    const uint32_t loopEnd = le32(d + 56);
    const uint32_t c5 = le32(d + 60);
    sample.mMiddleC = c5 ? std::min<uint32_t>(c5, 9999999) : DEFAULT_C5;
    sample.mLoadedMiddleC = sample.mMiddleC;
    extra.mSustainBegin = le32(d + 64);
    extra.mSustainEnd = le32(d + 68);
    extra.mDataOffset = le32(d + 72);
    extra.mVibratoSpeed = d[76];
    extra.mVibratoDepth = d[77];
    extra.mVibratoRate = d[78];
    extra.mVibratoWaveform = d[79];
    if (extra.mSustainEnd <= extra.mSustainBegin || extra.mSustainEnd > length) {
        extra.mFlags = static_cast<uint8_t>(extra.mFlags & ~MusicSampleIT::FLAG_SUSTAIN);
    }
    // No more points than the rest of the file can hold, at 8 points a byte
    // when compressed, and never a byte count past 32 bits.
    const uint64_t left = mState.filesize > extra.mDataOffset ? mState.filesize - extra.mDataOffset : 0;
    const uint64_t frameBytes = static_cast<uint64_t>(sample.mChannels) * (sample.mBits / 8u);
    const uint64_t most = (extra.mFlags & MusicSampleIT::FLAG_COMPRESSED) ? left * 8 : left / frameBytes;
    sample.mLength = static_cast<unsigned int>(std::min<uint64_t>({length, most, 0x7FFFFFFFull / frameBytes}));
    sample.mLoop = (extra.mFlags & MusicSampleIT::FLAG_LOOP) && loopEnd > loopBegin && loopBegin < sample.mLength;
    sample.mBidi = sample.mLoop && (extra.mFlags & MusicSampleIT::FLAG_PINGPONG);
    if (sample.mLoop) {
        sample.mLoopStart = loopBegin;
        sample.mLoopLength = std::min(loopEnd, sample.mLength) - loopBegin;
    } else {
        sample.mLoopStart = 0;
        sample.mLoopLength = sample.mLength;
    }
    return AURA_OK;
}

AURA_RESULT CodecIT::loadPatterns(const uint32_t *offsets, int count)
{
    int highest = -1;
    for (int i = 0; i < mNumOrders; ++i) {
        if (mOrderList[i] < 254) {
            highest = std::max<int>(highest, mOrderList[i]);
        }
    }
    mNumPatterns = highest + 1;
    const int total = std::max(count, mNumPatterns);
    if (total == 0) {
        return AURA_OK;
    }
    mPatternIT = static_cast<MusicPatternIT *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicPatternIT)) * total));
    mPattern = static_cast<MusicPattern *>(AURA_Memory_Calloc(static_cast<int>(sizeof(MusicPattern)) * total));
    if (!mPatternIT || !mPattern) {
        return AURA_ERR_MEMORY;
    }
    mNumPatternsMem = total;
    for (int i = 0; i < total; ++i) {
        MusicPatternIT &pattern = mPatternIT[i];
        pattern.mRows = EMPTY_ROWS;
        mPattern[i].mRows = EMPTY_ROWS;
        if (i >= count || offsets[i] == 0) {
            continue;
        }
        uint8_t head[PATTERN_HEADER_BYTES];
        AURA_RESULT result = readAt(offsets[i], head, PATTERN_HEADER_BYTES);
        if (result != AURA_OK) {
            return result == AURA_ERR_FILE_EOF ? AURA_ERR_FORMAT : result;
        }
        const unsigned int size = le16(head);
        const int rows = static_cast<int>(le16(head + 2));
        if (rows > MAX_ROWS) {
            return AURA_ERR_FORMAT;
        }
        pattern.mRows = rows ? rows : EMPTY_ROWS;
        mPattern[i].mRows = pattern.mRows;
        // Packed bytes past the file are none: the rows they held are empty.
        const uint64_t from = static_cast<uint64_t>(offsets[i]) + PATTERN_HEADER_BYTES;
        const auto stored = static_cast<unsigned int>(std::min<uint64_t>(size, mState.filesize - from));
        if (rows == 0 || stored == 0) {
            continue;
        }
        pattern.mPacked = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(stored)));
        if (!pattern.mPacked) {
            return AURA_ERR_MEMORY;
        }
        pattern.mSize = stored;
        result = readAt(static_cast<unsigned int>(from), pattern.mPacked, stored);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecIT::loadSampleData(int index, unsigned int stored)
{
    MusicSample &sample = mSample[index];
    const MusicSampleIT &extra = mSampleIT[index];
    const unsigned int bytesPerPoint = sample.mBits / 8u;
    const bool compressed = extra.mFlags & MusicSampleIT::FLAG_COMPRESSED;
    if (!compressed) {
        sample.mLength = std::min(sample.mLength, stored / (bytesPerPoint * sample.mChannels));
    }
    if (sample.mLength == 0) {
        return AURA_OK;
    }
    auto *source = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(stored)));
    if (!source) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = readAt(extra.mDataOffset, source, stored);
    const auto bytes = static_cast<unsigned int>(sampleBytes(sample));
    sample.mData = result == AURA_OK ? static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(bytes))) : nullptr;
    if (result == AURA_OK && !sample.mData) {
        result = AURA_ERR_MEMORY;
    }
    const unsigned int points = sample.mLength;
    const int channels = sample.mChannels;
    if (result == AURA_OK && compressed) {
        const bool doubledelta = mCompatible >= 0x215 && (extra.mConvert & MusicSampleIT::CONVERT_DOUBLE_DELTA);
        const uint8_t *at = source;
        const uint8_t *end = source + stored;
        for (int c = 0; result == AURA_OK && c < channels; ++c) {
            uint8_t *dest = sample.mData + static_cast<size_t>(c) * bytesPerPoint;
            result = sample.mBits == 16 ? decompress16(at, end, dest, points, doubledelta, channels)
                                        : decompress8(at, end, dest, points, doubledelta, channels);
        }
    } else if (result == AURA_OK) {
        // Stored channel after channel; unsigned data is moved to signed.
        const uint8_t flip = (extra.mConvert & MusicSampleIT::CONVERT_SIGNED) ? 0 : 0x80;
        for (int c = 0; c < channels; ++c) {
            const uint8_t *from = source + static_cast<size_t>(c) * points * bytesPerPoint;
            for (unsigned int i = 0; i < points; ++i) {
                uint8_t *to = sample.mData + (static_cast<size_t>(i) * channels + c) * bytesPerPoint;
                if (bytesPerPoint == 2) {
                    const uint16_t value = static_cast<uint16_t>(le16(from + 2 * i) ^ (flip << 8));
                    std::memcpy(to, &value, 2);
                } else {
                    to[0] = static_cast<uint8_t>(from[i] ^ flip);
                }
            }
        }
    }
    AURA_Memory_Free(source);
    if (result == AURA_OK) {
        result = mHost->createSampleSound(&sample);
    }
    return result;
}

AURA_RESULT CodecIT::closeInternal()
{
    // The packed patterns go first: the song base forgets the pattern count.
    if (mPatternIT) {
        for (int i = 0; i < mNumPatternsMem; ++i) {
            AURA_Memory_Free(mPatternIT[i].mPacked);
        }
        AURA_Memory_Free(mPatternIT);
        mPatternIT = nullptr;
    }
    releaseSong();
    if (mInstrument) {
        for (int i = 0; i < mNumInstruments; ++i) {
            mInstrument[i].~MusicInstrumentIT();
        }
        AURA_Memory_Free(mInstrument);
        mInstrument = nullptr;
    }
    mNumInstruments = 0;
    AURA_Memory_Free(mSampleIT);
    mSampleIT = nullptr;
    AURA_Memory_Free(mPlugin);
    mPlugin = nullptr;
    AURA_Memory_Free(mVoiceIT);
    mVoiceIT = nullptr;
    mRowData = mRowEnd = nullptr;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Rows.

void CodecIT::unpackRow()
{
    for (MusicNote &cell : mRowCells) {
        cell = MusicNote{};
    }
    const uint8_t *p = mRowData;
    const uint8_t *end = mRowEnd;
    // Each read stops at the packed data's end: what is missing is empty.
    auto next = [&](uint8_t *value) {
        if (p >= end) {
            return false;
        }
        *value = *p++;
        return true;
    };
    uint8_t c = 0;
    while (next(&c) && c != 0) {
        const int channel = (c - 1) & 63;
        uint8_t mask = mLastMask[channel];
        if (c & 0x80) {
            if (!next(&mask)) {
                break;
            }
            mLastMask[channel] = mask;
        }
        MusicNote &cell = mRowCells[channel];
        MusicNote &last = mLastCell[channel];
        uint8_t value = 0;
        if ((mask & 1) && next(&value)) {
            last.mNote = value < 0xFE ? static_cast<uint8_t>(value + 1) : value;
            cell.mNote = last.mNote;
        }
        if ((mask & 2) && next(&value)) {
            last.mInstrument = value;
            cell.mInstrument = value;
        }
        if ((mask & 4) && next(&value)) {
            last.mVolume = static_cast<uint8_t>(value + 1);
            cell.mVolume = last.mVolume;
        }
        if (mask & 8) {
            uint8_t param = 0;
            if (next(&value) && next(&param)) {
                last.mEffect = value;
                last.mEffectParam = param;
                cell.mEffect = value;
                cell.mEffectParam = param;
            }
        }
        if (mask & 0x10) {
            cell.mNote = last.mNote;
        }
        if (mask & 0x20) {
            cell.mInstrument = last.mInstrument;
        }
        if (mask & 0x40) {
            cell.mVolume = last.mVolume;
        }
        if (mask & 0x80) {
            cell.mEffect = last.mEffect;
            cell.mEffectParam = last.mEffectParam;
        }
    }
    mRowData = p;
}

bool CodecIT::seekRow()
{
    // The first playable order from here on; none up to the end starts the
    // song over.
    for (int pass = 0; pass < 2; ++pass) {
        while (mOrder < mNumOrders && mOrderList[mOrder] >= mNumPatternsMem) {
            ++mOrder;
        }
        if (mOrder < mNumOrders) {
            break;
        }
        mOrder = 0;
    }
    if (mOrder >= mNumOrders || !mPatternIT) {
        return false;
    }
    const int rows = mPatternIT[mOrderList[mOrder]].mRows;
    if (mRow >= rows) {
        mRow = 0;
    }
    if (mReaderOrder != mOrder || mReaderRow != mRow - 1) {
        const MusicPatternIT &pattern = mPatternIT[mOrderList[mOrder]];
        mRowData = pattern.mPacked ? pattern.mPacked : kEmptyPattern;
        mRowEnd = pattern.mPacked ? pattern.mPacked + pattern.mSize : kEmptyPattern + sizeof(kEmptyPattern);
        for (int r = 0; r < mRow; ++r) {
            unpackRow();
        }
    }
    unpackRow();
    mReaderOrder = mOrder;
    mReaderRow = mRow;
    return true;
}

void CodecIT::updateRowTime()
{
    const int rows = mPatternIT[mOrderList[mOrder]].mRows;
    bool jumped = false;
    for (int c = 0; c < MAX_CHANNELS; ++c) {
        const MusicNote &cell = mRowCells[c];
        const int param = cell.mEffectParam;
        const int x = param >> 4;
        const int y = param & 15;
        MusicChannel &channel = *mChannel[c];
        switch (cell.mEffect) {
        case EFFECT_SPEED:
            if (param) {
                mSpeed = param;
            }
            break;
        case EFFECT_JUMP:
            mNextOrder = param;
            if (mNextRow < 0) {
                mNextRow = 0;
            }
            jumped = true;
            break;
        case EFFECT_BREAK:
            mNextRow = param;
            if (!jumped) {
                mNextOrder = mOrder + 1;
            }
            break;
        case EFFECT_SPECIAL:
            if (x == 0x6) {
                mPatternDelayTicks += y; // extra ticks on this row
            } else if (x == 0xB) {
                if (y == 0) {
                    channel.mPatternLoopRow = mRow;
                } else {
                    channel.mPatternLoopCount = channel.mPatternLoopCount == 0 ? y : channel.mPatternLoopCount - 1;
                    if (channel.mPatternLoopCount) {
                        mNextRow = channel.mPatternLoopRow;
                        mNextOrder = mOrder;
                        unvisit(mOrder, channel.mPatternLoopRow, mRow);
                    } else {
                        channel.mPatternLoopRow = mRow + 1;
                    }
                }
            } else if (x == 0xE && mRowDelay < 0) {
                mRowDelay = y;
            }
            break;
        case EFFECT_TEMPO:
            if (param) {
                mTempoMemory[c] = static_cast<uint8_t>(param);
            }
            if (mTempoMemory[c] >= 0x20) {
                (void)setBPM(mTempoMemory[c]);
            }
            break;
        default: break;
        }
    }
    if (mRowDelay > 0) {
        mPatternDelayTicks += mSpeed * mRowDelay;
    }
    mRowDelay = -1;
    if (mNextOrder >= 0 && mNextRow < 0) {
        mNextRow = 0;
    }
    advanceRow(rows);
}

void CodecIT::updateTickTime()
{
    // Tempo slides: T0y down, T1y up, by y each tick after the first.
    for (int c = 0; c < MAX_CHANNELS; ++c) {
        if (mRowCells[c].mEffect != EFFECT_TEMPO || mTempoMemory[c] >= 0x20) {
            continue;
        }
        const int y = mTempoMemory[c] & 15;
        const int bpm = mTempoMemory[c] >> 4 ? mBPM + y : mBPM - y;
        (void)setBPM(std::clamp(bpm, 32, 255));
    }
}

} // namespace AURA
