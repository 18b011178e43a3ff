#include "codec/aura_codec_dls.h"

#include "base/aura_memory.h"
#include "base/aura_sampleformat.h"
#include "codec/aura_codec_chunkreader.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_dls";

// The least the file spends on one item of each kind, which caps the
// counts its headers may ask for: a "LIST" header with its type and the
// item's header chunk.
constexpr unsigned int MIN_INSTRUMENT_BYTES = 12 + 8 + 12;
constexpr unsigned int MIN_REGION_BYTES = 12 + 8 + 12;
constexpr unsigned int MIN_WAVE_BYTES = 12 + 8 + 16 + 8;
// The "fmt " fields that are used, of the 40 bytes kept.
constexpr unsigned int FORMAT_BYTES = 16;

// The count a header asks for, capped by what `bytes` of file can hold.
unsigned int capped(uint32_t asked, uint64_t bytes, unsigned int perItem)
{
    return static_cast<unsigned int>(std::min<uint64_t>(asked, bytes / perItem));
}

AURA_SOUND_FORMAT formatOf(uint16_t tag, uint16_t bits)
{
    switch (bits) {
    case 8: return AURA_SOUND_FORMAT_PCM8;
    case 16: return AURA_SOUND_FORMAT_PCM16;
    case 24: return AURA_SOUND_FORMAT_PCM24;
    case 32: return tag == 3 ? AURA_SOUND_FORMAT_PCMFLOAT : AURA_SOUND_FORMAT_PCM32;
    case 4:
        return tag == 0x6666   ? AURA_SOUND_FORMAT_VAG
               : tag == 0x7777 ? AURA_SOUND_FORMAT_GCADPCM
                               : AURA_SOUND_FORMAT_NONE;
    default: return AURA_SOUND_FORMAT_NONE;
    }
}
} // namespace

constinit AURA_CODEC_DESCRIPTION_EX dlscodec;

AURA_CODEC_DESCRIPTION_EX *CodecDLS::getDescriptionEx()
{
    return describeOnce(dlscodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA DLS Codec";
        description.version = 0x00010100;
        description.timeunits = AURA_TIMEUNIT_PCM;
        CodecCallbacks<CodecDLS>::describe(description);
        description.mType = AURA_SOUND_TYPE_DLS;
        description.mSize = sizeof(CodecDLS);
        description.mConstruct = &constructCodec<CodecDLS>;
    });
}

CodecDLSInstrument *CodecDLS::currentInstrument()
{
    return (mInInstrument > 0 && mInstrument && mInstrumentIndex < mNumInstruments) ? &mInstrument[mInstrumentIndex]
                                                                                    : nullptr;
}

CodecDLSRegion *CodecDLS::currentRegion()
{
    CodecDLSInstrument *instrument = currentInstrument();
    if (!instrument || mInRegion == 0 || !instrument->mRegion ||
        static_cast<uint32_t>(mRegionIndex) >= instrument->mNumRegions) {
        return nullptr;
    }
    return &instrument->mRegion[mRegionIndex];
}

CodecDLSWave *CodecDLS::currentWave()
{
    return (mInWave > 0 && mWave && mWaveIndex < mNumWaves) ? &mWave[mWaveIndex] : nullptr;
}

AURA_RESULT CodecDLS::openInternal(unsigned int /*mode*/, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    mType = AURA_SOUND_TYPE_DLS;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    mNumInstruments = 0;
    mNumWaves = 0;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChunkReader reader(mFile, mState.filesize);
    mFileEnd = reader.end();
    AURA_RESULT result = reader.seek(0);
    if (result != AURA_OK) {
        return result == AURA_ERR_FILE_EOF ? AURA_ERR_FORMAT : result;
    }
    uint8_t header[12];
    result = reader.read(header, sizeof(header));
    if (result == AURA_ERR_FILE_EOF ||
        (result == AURA_OK && (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "DLS ", 4) != 0))) {
        return AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    mWaveIndex = 0;
    mInstrumentIndex = 0;
    mRegionIndex = 0;
    const uint32_t riffSize = readLE32(header + 4);
    result = parseChunk("DLS ", riffSize, 8 + static_cast<uint64_t>(riffSize) <= mFileEnd);
    if (result != AURA_OK) {
        return result;
    }
    // Instruments without waves have nothing to play.
    if (mNumInstruments <= 0 || mNumWaves <= 0) {
        return AURA_ERR_FORMAT;
    }
    mState.numsubsounds = mNumWaves;
    mCurrentSubsound = 0;
    return AURA_OK;
}

AURA_RESULT CodecDLS::readArticulation(uint64_t body, unsigned int held)
{
    uint8_t head[8];
    if (held < sizeof(head) || ChunkReader(mFile, mState.filesize).read(head, sizeof(head)) != AURA_OK) {
        return AURA_OK;
    }
    const uint32_t headerSize = readLE32(head);
    if (headerSize < sizeof(head) || headerSize > held) {
        return AURA_OK;
    }
    const unsigned int count = capped(readLE32(head + 4), held - headerSize, sizeof(DLS_CONNECTIONBLOCK));
    CodecDLSRegion *region = currentRegion();
    CodecDLSInstrument *instrument = currentInstrument();
    if (!instrument) {
        return AURA_OK;
    }
    int &owned = region ? region->mNumConnectionBlocks : instrument->mNumConnectionBlocks;
    DLS_CONNECTIONBLOCK *&blocks = region ? region->mConnectionBlock : instrument->mConnectionBlock;
    // A second "art1" replaces the first.
    if (blocks) {
        AURA_Memory_Free(blocks);
        blocks = nullptr;
        owned = 0;
    }
    if (count == 0) {
        return AURA_OK;
    }
    blocks =
        static_cast<DLS_CONNECTIONBLOCK *>(AURA_Memory_Calloc(static_cast<int>(count * sizeof(DLS_CONNECTIONBLOCK))));
    if (!blocks) {
        return AURA_ERR_MEMORY;
    }
    ChunkReader reader(mFile, mState.filesize);
    unsigned int got = 0;
    if (reader.seek(body + headerSize) == AURA_OK) {
        (void)reader.read(blocks, count * sizeof(DLS_CONNECTIONBLOCK), &got);
    }
    owned = static_cast<int>(got / sizeof(DLS_CONNECTIONBLOCK));
    return AURA_OK;
}

uint64_t CodecDLS::trailingChunks(uint64_t from, uint64_t end)
{
    // Only the list's last bytes are searched: what follows a wave's data
    // is small.
    constexpr uint64_t TAIL_BYTES = 4096;
    from = std::max(from, end - std::min(end, TAIL_BYTES));
    from += from & 1; // chunks begin on even offsets
    if (from + 8 > end) {
        return end;
    }
    uint8_t tail[TAIL_BYTES];
    const auto bytes = static_cast<unsigned int>(end - from);
    ChunkReader reader(mFile, mState.filesize);
    if (reader.seek(from) != AURA_OK || reader.read(tail, bytes) != AURA_OK) {
        return end;
    }
    // The earliest offset from which chunks of four printable characters
    // follow each other exactly up to the end.
    for (unsigned int start = 0; start + 8 <= bytes; start += 2) {
        uint64_t at = start;
        while (at + 8 <= bytes &&
               std::all_of(tail + at, tail + at + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; })) {
            const uint32_t length = readLE32(tail + at + 4);
            at += 8 + static_cast<uint64_t>(length) + (length & 1);
        }
        // (The last chunk's pad byte may be missing.)
        if (at == bytes || at == bytes + 1) {
            return from + start;
        }
    }
    return end;
}

AURA_RESULT CodecDLS::parseChunk(const char *type, unsigned int size, bool whole)
{
    ChunkReader reader(mFile, mState.filesize);
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK) {
        return result;
    }
    const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(here) + size - std::min(size, 4u), mFileEnd);
    uint64_t next = here;
    (void)type;

    while (next + 8 <= end) {
        if (reader.seek(next) != AURA_OK) {
            break;
        }
        uint8_t chunk[8];
        if (reader.read(chunk, sizeof(chunk)) != AURA_OK) {
            break;
        }
        const uint32_t id = readBE32(chunk);
        const uint32_t chunkSize = readLE32(chunk + 4);
        const uint64_t body = next + 8;
        // What of the body the list (and the file) really holds.
        const auto held = static_cast<unsigned int>(body < end ? std::min<uint64_t>(chunkSize, end - body) : 0);
        unsigned int got = 0;

        if (id == fourCC("colh")) {
            uint8_t word[4];
            if (!mInstrument && held >= 4 && reader.read(word, 4) == AURA_OK) {
                const unsigned int count =
                    capped(readLE32(word), mFileEnd - std::min(mFileEnd, body), MIN_INSTRUMENT_BYTES);
                if (count > 0) {
                    mInstrument = static_cast<CodecDLSInstrument *>(
                        AURA_Memory_Calloc(static_cast<int>(count * sizeof(CodecDLSInstrument))));
                    if (!mInstrument) {
                        return AURA_ERR_MEMORY;
                    }
                }
                mNumInstruments = static_cast<int>(count);
            }
        } else if (id == fourCC("ptbl")) {
            uint8_t words[8];
            if (!mWave && held >= 8 && reader.read(words, 8) == AURA_OK) {
                const unsigned int count =
                    capped(readLE32(words + 4), mFileEnd - std::min(mFileEnd, body), MIN_WAVE_BYTES);
                if (count > 0) {
                    mWave =
                        static_cast<CodecDLSWave *>(AURA_Memory_Calloc(static_cast<int>(count * sizeof(CodecDLSWave))));
                    mWaveFormatMemory = static_cast<AURA_CODEC_WAVEFORMAT *>(
                        AURA_Memory_Calloc(static_cast<int>(count * sizeof(AURA_CODEC_WAVEFORMAT))));
                    if (!mWave || !mWaveFormatMemory) {
                        return AURA_ERR_MEMORY;
                    }
                    mState.waveformat = mWaveFormatMemory;
                }
                mNumWaves = static_cast<int>(count);
            }
        } else if (id == fourCC("LIST")) {
            uint8_t listType[5] = {};
            if (held >= 4 && mListDepth < MAX_LIST_DEPTH && reader.read(listType, 4) == AURA_OK) {
                const bool isInstrument = std::memcmp(listType, "ins ", 4) == 0;
                const bool isRegion = std::memcmp(listType, "rgn ", 4) == 0 || std::memcmp(listType, "rgn2", 4) == 0;
                const bool isWave = std::memcmp(listType, "wave", 4) == 0;
                ++mListDepth;
                mInInstrument += isInstrument;
                mInRegion += isRegion;
                mInWave += isWave;
                result = parseChunk(reinterpret_cast<const char *>(listType), held, whole && held == chunkSize);
                mInInstrument -= isInstrument;
                mInRegion -= isRegion;
                mInWave -= isWave;
                --mListDepth;
                if (result != AURA_OK) {
                    return result;
                }
                // The item whose list ended is done: the cursor moves on.
                if (isWave) {
                    mWaveIndex = std::min(mWaveIndex + 1, mNumWaves);
                } else if (isInstrument) {
                    mInstrumentIndex = std::min(mInstrumentIndex + 1, mNumInstruments);
                    mRegionIndex = 0;
                } else if (isRegion) {
                    CodecDLSInstrument *instrument = currentInstrument();
                    if (instrument) {
                        mRegionIndex = static_cast<int>(
                            std::min<uint32_t>(static_cast<uint32_t>(mRegionIndex) + 1, instrument->mNumRegions));
                    }
                }
            }
        } else if (id == fourCC("insh")) {
            CodecDLSInstrument *instrument = currentInstrument();
            uint8_t words[12];
            // A second header of the same instrument is ignored.
            if (instrument && !instrument->mRegion && held >= 12 && reader.read(words, 12) == AURA_OK) {
                const unsigned int count =
                    capped(readLE32(words), mFileEnd - std::min(mFileEnd, body), MIN_REGION_BYTES);
                instrument->mBank = readLE32(words + 4);
                instrument->mProgram = readLE32(words + 8);
                if (count > 0) {
                    instrument->mRegion = static_cast<CodecDLSRegion *>(
                        AURA_Memory_Calloc(static_cast<int>(count * sizeof(CodecDLSRegion))));
                    if (!instrument->mRegion) {
                        return AURA_ERR_MEMORY;
                    }
                }
                instrument->mNumRegions = count;
                mRegionIndex = 0;
            }
        } else if (id == fourCC("rgnh")) {
            CodecDLSRegion *region = currentRegion();
            uint8_t fields[12];
            if (region && held >= 12 && reader.read(fields, 12) == AURA_OK) {
                region->usKeyLow = readLE16(fields);
                region->usKeyHigh = readLE16(fields + 2);
                region->usVelocityLow = readLE16(fields + 4);
                region->usVelocityHigh = readLE16(fields + 6);
                region->fusOptions = readLE16(fields + 8);
                region->usKeyGroup = readLE16(fields + 10);
            }
        } else if (id == fourCC("wlnk")) {
            CodecDLSRegion *region = currentRegion();
            uint8_t fields[12];
            if (region && held >= 12 && reader.read(fields, 12) == AURA_OK) {
                region->mLinkOptions = readLE16(fields);
                region->mPhaseGroup = readLE16(fields + 2);
                region->mChannel = readLE32(fields + 4);
                region->mWaveIndex = readLE32(fields + 8);
            }
        } else if (id == fourCC("wsmp")) {
            CodecDLSWaveSample sample{};
            const unsigned int keep = std::min<unsigned int>(held, sizeof(sample));
            CodecDLSRegion *region = mInRegion > 0 ? currentRegion() : nullptr;
            CodecDLSWave *wave = mInRegion == 0 ? currentWave() : nullptr;
            if ((region || wave) && reader.read(&sample, keep) == AURA_OK) {
                if (region) {
                    region->mWaveSample = sample;
                    region->mHasWaveSample = true;
                } else {
                    wave->mWaveSample = sample;
                    AURA_CODEC_WAVEFORMAT &wf = mState.waveformat[mWaveIndex];
                    // A loop of no length is no loop.
                    if (sample.cSampleLoops != 0 && sample.ulLoopLength != 0) {
                        wf.mode = AURA_LOOP_NORMAL;
                        wf.loopstart = sample.ulLoopStart;
                        wf.loopend = static_cast<unsigned int>(std::min<uint64_t>(
                            static_cast<uint64_t>(sample.ulLoopStart) + sample.ulLoopLength - 1, 0xFFFFFFFFu));
                    }
                }
            }
        } else if (id == fourCC("art1")) {
            result = readArticulation(body, held);
            if (result != AURA_OK) {
                return result;
            }
        } else if (id == fourCC("fmt ")) {
            CodecDLSWave *wave = currentWave();
            uint8_t format[FORMAT_BYTES];
            if (wave && held >= FORMAT_BYTES && reader.read(format, FORMAT_BYTES) == AURA_OK) {
                AURA_CODEC_WAVEFORMAT &wf = mState.waveformat[mWaveIndex];
                wf.format = formatOf(readLE16(format), readLE16(format + 14));
                wf.channels = readLE16(format + 2);
                wf.frequency = static_cast<int>(std::min<uint32_t>(readLE32(format + 4), 0x7FFFFFFF));
                wf.blockalign = readLE16(format + 12);
            }
        } else if (id == fourCC("data")) {
            CodecDLSWave *wave = currentWave();
            if (wave) {
                AURA_CODEC_WAVEFORMAT &wf = mState.waveformat[mWaveIndex];
                wave->mDataOffset = static_cast<uint32_t>(std::min<uint64_t>(body, 0xFFFFFFFFu));
                wave->mHasData = true;
                wave->mCut = held < chunkSize;
                // Data that declares more than its whole list holds ends
                // where the list's other chunks begin, never in them.
                const unsigned int data =
                    wave->mCut && whole ? static_cast<unsigned int>(trailingChunks(body, body + held) - body) : held;
                wf.lengthbytes = data;
                unsigned int samples = 0;
                if (wf.channels > 0 && getSamplesFromBytes(data, &samples, wf.channels, wf.format) == AURA_OK) {
                    wf.lengthpcm = samples;
                }
            }
        } else if (id == fourCC("INAM")) {
            char *name = nullptr;
            char *formatName = nullptr;
            if (CodecDLSInstrument *instrument = currentInstrument(); instrument && mInWave == 0) {
                name = instrument->mName;
            } else if (CodecDLSWave *wave = currentWave()) {
                name = wave->mName;
                formatName = mState.waveformat[mWaveIndex].name;
            }
            if (name) {
                // Cut to the field, with its terminator.
                const unsigned int length = std::min<unsigned int>(held, sizeof(CodecDLSWave::mName) - 1);
                std::memset(name, 0, sizeof(CodecDLSWave::mName));
                (void)reader.read(name, length, &got);
                if (formatName) {
                    std::memcpy(formatName, name, sizeof(CodecDLSWave::mName));
                }
            }
        }

        next = body + chunkSize + (chunkSize & 1);
    }
    return AURA_OK;
}

AURA_RESULT CodecDLS::closeInternal()
{
    if (mInstrument) {
        for (int i = 0; i < mNumInstruments; ++i) {
            CodecDLSInstrument &instrument = mInstrument[i];
            for (uint32_t r = 0; instrument.mRegion && r < instrument.mNumRegions; ++r) {
                if (instrument.mRegion[r].mConnectionBlock) {
                    AURA_Memory_Free(instrument.mRegion[r].mConnectionBlock);
                }
            }
            if (instrument.mRegion) {
                AURA_Memory_Free(instrument.mRegion);
            }
            if (instrument.mConnectionBlock) {
                AURA_Memory_Free(instrument.mConnectionBlock);
            }
        }
        AURA_Memory_Free(mInstrument);
    }
    mInstrument = nullptr;
    mNumInstruments = 0;
    if (mWave) {
        AURA_Memory_Free(mWave);
    }
    mWave = nullptr;
    mNumWaves = 0;
    if (mWaveFormatMemory) {
        AURA_Memory_Free(mWaveFormatMemory);
    }
    mWaveFormatMemory = nullptr;
    mState.waveformat = nullptr;
    mState.numsubsounds = 0;
    return AURA_OK;
}

AURA_RESULT CodecDLS::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    if (!mWave || !buffer || mCurrentSubsound < 0 || mCurrentSubsound >= mNumWaves) {
        return AURA_ERR_INVALID_PARAM;
    }
    const CodecDLSWave &wave = mWave[mCurrentSubsound];
    const AURA_CODEC_WAVEFORMAT &wf = mState.waveformat[mCurrentSubsound];
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK) {
        return result;
    }
    const uint64_t end = static_cast<uint64_t>(wave.mDataOffset) + wf.lengthbytes;
    if (here < wave.mDataOffset || here >= end) {
        return AURA_ERR_FILE_EOF;
    }
    bool cut = false;
    if (sizebytes >= end - here) {
        sizebytes = static_cast<unsigned int>(end - here);
        cut = true;
    }
    unsigned int got = 0;
    result = mFile->read(buffer, 1, sizebytes, &got);
    if ((result == AURA_OK || result == AURA_ERR_FILE_EOF) && wf.format == AURA_SOUND_FORMAT_PCM8) {
        // Unsigned 8-bit samples become signed.
        auto *bytes = static_cast<uint8_t *>(buffer);
        for (unsigned int i = 0; i < got; ++i) {
            bytes[i] ^= 0x80;
        }
    }
    if (bytesread) {
        *bytesread = got;
    }
    if (cut && result == AURA_OK) {
        result = AURA_ERR_FILE_EOF;
    }
    return result;
}

bool CodecDLS::dataCut(int subsound) const
{
    return mWave && subsound >= 0 && subsound < mNumWaves && (!mWave[subsound].mHasData || mWave[subsound].mCut);
}

AURA_RESULT CodecDLS::setPositionInternal(int subsound, unsigned int position, unsigned int /*postype*/)
{
    if (subsound < 0 || (mState.numsubsounds > 0 && subsound >= mState.numsubsounds) || !mWave) {
        return AURA_ERR_INVALID_POSITION;
    }
    if (!(mFile->getFlags() & File::FLAG_SEEKABLE)) {
        return AURA_OK;
    }
    const AURA_CODEC_WAVEFORMAT &wf = mState.waveformat[subsound];
    unsigned int bytes = 0;
    if (wf.format != AURA_SOUND_FORMAT_NONE) {
        const AURA_RESULT result = getBytesFromSamples(position, &bytes, wf.channels, wf.format);
        if (result != AURA_OK) {
            return result;
        }
    }
    mCurrentSubsound = subsound;
    // Raw positions (and compressed samples kept as stored) count from the
    // current wave's data.
    mSrcDataOffset = mWave[subsound].mDataOffset;
    ChunkReader reader(mFile, mState.filesize);
    return reader.seek(static_cast<uint64_t>(mWave[subsound].mDataOffset) + std::min(bytes, wf.lengthbytes));
}

} // namespace AURA
