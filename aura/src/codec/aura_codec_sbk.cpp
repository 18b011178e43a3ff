#include "codec/aura_codec_sbk.h"

#include "base/aura_memory.h"
#include "codec/wav/aura_codec_wav.h"
#include "file/aura_file.h"
#include "mpeg/aura_codec_mpeg.h"
#include "sound/aura_soundi.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_sbk";

constexpr uint32_t FIRST_CACHED_VERSION = 0x00040000;
constexpr uint32_t OLDEST_VERSION = 0x00030000;
// Bytes a seek decodes and drops at a time inside an IMA ADPCM block.
constexpr unsigned int SEEK_DISCARD_PIECE = 1000;
// Loop starts of MPEG data kept compressed fall on a granule.
constexpr uint32_t MPEG_GRANULE = 576;
// The fewest bytes an MPEG frame of 1152 samples takes: a header and the
// smallest body the decoder accepts.
constexpr uint64_t MPEG_MIN_FRAME_BYTES = 20;

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
float leFloat(const uint8_t *p)
{
    const uint32_t bits = le32(p);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}
uint8_t reverseBits(uint8_t b)
{
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}
uint16_t timesFour(uint16_t value)
{
    return static_cast<uint16_t>(std::min<uint32_t>(value * 4u, 0xFFFFu));
}
int16_t timesFour(int16_t value)
{
    return static_cast<int16_t>(std::clamp(value * 4, -32768, 32767));
}
uint32_t roundUp32(uint32_t bytes)
{
    return static_cast<uint32_t>(std::min<uint64_t>((static_cast<uint64_t>(bytes) + 31) & ~uint64_t{31}, 0xFFFFFFFFu));
}

// The process-wide cache of raw header blocks, by main header. Entries are
// made loading by their first opener, which then makes them ready (or
// failed); others that find an entry hold a reference taken under the lock
// and wait for either outcome.
struct CacheEntry {
    enum class State { Loading, Ready, Failed };
    uint8_t key[CodecSBK::MAIN_HEADER_SIZE];
    uint8_t *block;
    int references;
    State state;
    CacheEntry *next;
};
std::mutex &cacheLock()
{
    static std::mutex lock;
    return lock;
}
std::condition_variable &cacheChanged()
{
    static std::condition_variable changed;
    return changed;
}
CacheEntry *gCacheHead = nullptr;

// Drops a reference; the last one frees the entry. Called with the lock held.
void dropReference(CacheEntry *entry)
{
    if (--entry->references > 0) {
        return;
    }
    for (CacheEntry **at = &gCacheHead; *at; at = &(*at)->next) {
        if (*at == entry) {
            *at = entry->next;
            break;
        }
    }
    AURA_Memory_Free(entry->block);
    AURA_Delete(entry);
}

AURA_RESULT openCallback(AURA_CODEC_STATE *state, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    CodecSBK *codec = Codec::fromState<CodecSBK>(state);
    return codec ? codec->openInternal(mode, exinfo) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT soundCreateCallback(AURA_CODEC_STATE *state, int subsound, AURA_SOUND *sound)
{
    CodecSBK *codec = Codec::fromState<CodecSBK>(state);
    return codec ? codec->soundCreateInternal(subsound, sound) : AURA_ERR_INVALID_PARAM;
}
AURA_RESULT canPointCallback(AURA_CODEC_STATE *state)
{
    CodecSBK *codec = Codec::fromState<CodecSBK>(state);
    return codec ? codec->canPointInternal() : AURA_ERR_INVALID_PARAM;
}
} // namespace

constinit AURA_CODEC_DESCRIPTION_EX sbkcodec;

AURA_CODEC_DESCRIPTION_EX *CodecSBK::getDescriptionEx()
{
    return describeOnce(sbkcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA SBK Codec";
        description.version = 0x00010100;
        description.timeunits = AURA_TIMEUNIT_PCM | AURA_TIMEUNIT_RAWBYTES;
        CodecCallbacks<CodecSBK>::describe(description);
        description.open = &openCallback;
        description.soundcreate = &soundCreateCallback;
        description.canpoint = &canPointCallback;
        description.mType = AURA_SOUND_TYPE_SBK;
        description.mSize = sizeof(CodecSBK);
        description.mConstruct = &constructCodec<CodecSBK>;
    });
}

int CodecSBK::cacheEntries()
{
    std::lock_guard<std::mutex> lock(cacheLock());
    int count = 0;
    for (CacheEntry *entry = gCacheHead; entry; entry = entry->next) {
        ++count;
    }
    return count;
}

const CodecSBK::Sample *CodecSBK::sample(int subsound) const
{
    return (mSamples && subsound >= 0 && subsound < mNumSubSounds) ? &mSamples[subsound] : nullptr;
}

bool CodecSBK::imaStereoLayout(int subsound) const
{
    const Sample *s = sample(subsound);
    return s && (s->channels == 1 || (s->channels == 2 && (s->flags & SAMPLE_IMASTEREO)));
}

int CodecSBK::outputChannels(const Sample &s) const
{
    // A stream plays every subsound at the widest count; a sample as stored.
    return (mOpenMode & AURA_CREATESTREAM) ? mMaxChannels : s.channels;
}

AURA_RESULT CodecSBK::openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    mType = AURA_SOUND_TYPE_SBK;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    mCurrentSubsound = 0;
    mOpenMode = mode;
    if (!mFile) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_RESULT result = mFile->seek(0, 0);
    unsigned int got = 0;
    if (result == AURA_OK) {
        result = mFile->read(mHeader, 1, MAIN_HEADER_SIZE, &got);
    }
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    if (got != MAIN_HEADER_SIZE) {
        // Short files of other formats are offered to the next codec.
        return got >= 4 && std::memcmp(mHeader, "SBK", 3) == 0 ? AURA_ERR_FILE_BAD : AURA_ERR_FORMAT;
    }
    const bool known = std::memcmp(mHeader, "SBK4", 4) == 0 || std::memcmp(mHeader, "SBK3", 4) == 0;
    const char *key = exinfo ? exinfo->encryptionkey : nullptr;
    // The file's key wraps at the file layer's key length.
    const auto keyLength = key ? static_cast<int>(strnlen(key, File::KEY_LENGTH)) : 0;
    if (!known && keyLength > 0) {
        // Perhaps a bank scrambled in the XOR-first order: undo the default
        // order the file applied and apply the other. Only a bank read so
        // switches the file to that order (other codecs read it after this).
        uint8_t other[MAIN_HEADER_SIZE];
        for (int i = 0; i < MAIN_HEADER_SIZE; ++i) {
            const auto k = static_cast<uint8_t>(key[i % keyLength]);
            const uint8_t raw = reverseBits(static_cast<uint8_t>(mHeader[i] ^ k));
            other[i] = reverseBits(static_cast<uint8_t>(raw ^ k));
        }
        if (std::memcmp(other, "SBK4", 4) == 0) {
            std::memcpy(mHeader, other, sizeof(other));
            mFile->addFlags(File::FLAG_KEYORDER);
        }
    }
    if (std::memcmp(mHeader, "SBK4", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    const uint32_t version = le32(mHeader + 16);
    if (version <= OLDEST_VERSION) {
        return AURA_ERR_VERSION;
    }
    const auto numSamples = static_cast<int32_t>(le32(mHeader + 4));
    const uint32_t headerSize = le32(mHeader + 8);
    mBankFlags = le32(mHeader + 20);
    if (numSamples < 1) {
        return AURA_ERR_FILE_BAD;
    }
    // Neither refused banks nor banks in a hardware output's own format play here.
    if (mBankFlags & (BANK_REFUSED | BANK_OUTPUTFORMAT)) {
        return AURA_ERR_FORMAT;
    }
    unsigned int fileSize = 0;
    result = mFile->getSize(&fileSize);
    if (result != AURA_OK) {
        return result;
    }
    // The headers are in the file, and every sample has one of at least 8 bytes.
    if (headerSize < BASIC_HEADER_SIZE || headerSize > fileSize - std::min<unsigned int>(fileSize, MAIN_HEADER_SIZE) ||
        static_cast<uint32_t>(numSamples) > headerSize / BASIC_HEADER_SIZE) {
        return AURA_ERR_FILE_BAD;
    }
    result = readHeaderBlock(headerSize, fileSize);
    if (result != AURA_OK) {
        return result;
    }
    result = walkHeaders(numSamples, exinfo);
    if (result != AURA_OK) {
        return result;
    }
    if (mADPCMCompressed && mMaxChannels > 2) {
        for (int i = 0; i < mNumSubSounds; ++i) {
            if (mSamples[i].flags & SAMPLE_IMAADPCM) {
                return AURA_ERR_TOOMANYCHANNELS;
            }
        }
    }

    // One wave format per subsound.
    mWaveFormatMemory = static_cast<AURA_CODEC_WAVEFORMAT *>(
        AURA_Memory_Calloc(static_cast<int>(sizeof(AURA_CODEC_WAVEFORMAT) * static_cast<size_t>(mNumSubSounds))));
    if (!mWaveFormatMemory) {
        return AURA_ERR_MEMORY;
    }
    bool decodesIMA = false;
    int decodesMPEG = 0; // the most channels of MPEG decoded here
    for (int i = 0; i < mNumSubSounds; ++i) {
        result = describe(i, &mWaveFormatMemory[i]);
        if (result != AURA_OK) {
            return result;
        }
        decodesIMA = decodesIMA || ((mSamples[i].flags & SAMPLE_IMAADPCM) && !mADPCMCompressed);
        if ((mSamples[i].flags & SAMPLE_MPEG) && !mADPCMCompressed) {
            decodesMPEG = std::max<int>(decodesMPEG, mSamples[i].channels);
        }
    }
    mState.waveformat = mWaveFormatMemory;
    mState.numsubsounds = mNumSubSounds;
    // Frames of layer III padded to 2 or 4 bytes in the bank.
    mMPEGFlags = CodecMPEG::FLAG_CONTAINER;
    if (mBankFlags & BANK_MPEGPAD2) {
        mMPEGFlags |= CodecMPEG::FLAG_PAD2;
    } else if (mBankFlags & BANK_MPEGPAD4) {
        mMPEGFlags |= CodecMPEG::FLAG_PAD4;
    }
    if (decodesMPEG > 0) {
        result = CodecMPEG::createDecoder(mSystem, (decodesMPEG + 1) / 2, &mMPEG);
        if (result != AURA_OK) {
            return result;
        }
        mMPEG->mFlags |= mMPEGFlags;
    }
    if (decodesIMA) {
        // A block of the widest sound, and its decoded samples at the widest count.
        const auto widest = static_cast<unsigned int>(std::max(mMaxChannels, 2));
        mReadBuffer = static_cast<uint8_t *>(AURA_Memory_Calloc(static_cast<int>(IMA_BLOCK_BYTES * widest * 2)));
        if (!mReadBuffer) {
            return AURA_ERR_MEMORY;
        }
        mReadBufferLength = IMA_BLOCK_BYTES * widest;
        result = allocPCMBuffer(IMA_BLOCK_SAMPLES * 2 * widest, IMA_BLOCK_SAMPLES);
        if (result != AURA_OK) {
            return result;
        }
    }
    return setPositionInternal(0, 0, AURA_TIMEUNIT_PCM);
}

AURA_RESULT CodecSBK::readHeaderBlock(uint32_t size, uint32_t /*filesize*/)
{
    static constexpr uint8_t NO_HASH[16] = {};
    const bool cached = le32(mHeader + 16) >= FIRST_CACHED_VERSION && std::memcmp(mHeader + 32, NO_HASH, 16) != 0;
    auto readOwn = [&](uint8_t **block) {
        *block = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(size)));
        if (!*block) {
            return AURA_ERR_MEMORY;
        }
        unsigned int got = 0;
        const AURA_RESULT result = mFile->read(*block, 1, size, &got);
        if ((result != AURA_OK && result != AURA_ERR_FILE_EOF) || got != size) {
            AURA_Memory_Free(*block);
            *block = nullptr;
            return AURA_ERR_FILE_BAD;
        }
        return AURA_OK;
    };
    if (!cached) {
        const AURA_RESULT result = readOwn(&mOwnHeaderBlock);
        mHeaderBlock = mOwnHeaderBlock;
        return result;
    }

    std::unique_lock<std::mutex> lock(cacheLock());
    CacheEntry *entry = gCacheHead;
    while (entry && (entry->state == CacheEntry::State::Failed || std::memcmp(entry->key, mHeader, MAIN_HEADER_SIZE))) {
        entry = entry->next;
    }
    if (entry) {
        ++entry->references;
        cacheChanged().wait(lock, [entry] { return entry->state != CacheEntry::State::Loading; });
        if (entry->state == CacheEntry::State::Ready) {
            mCacheEntry = entry;
            mHeaderBlock = entry->block;
            lock.unlock();
            return mFile->seek(static_cast<int>(MAIN_HEADER_SIZE + size), 0);
        }
        // Its maker could not read the headers: read them here.
        dropReference(entry);
        lock.unlock();
        const AURA_RESULT result = readOwn(&mOwnHeaderBlock);
        mHeaderBlock = mOwnHeaderBlock;
        return result;
    }
    entry = AURA_New(CacheEntry);
    if (!entry) {
        return AURA_ERR_MEMORY;
    }
    std::memcpy(entry->key, mHeader, MAIN_HEADER_SIZE);
    entry->block = nullptr;
    entry->references = 1;
    entry->state = CacheEntry::State::Loading;
    entry->next = gCacheHead;
    gCacheHead = entry;
    lock.unlock();

    uint8_t *block = nullptr;
    const AURA_RESULT result = readOwn(&block);

    lock.lock();
    if (result == AURA_OK) {
        entry->block = block;
        entry->state = CacheEntry::State::Ready;
        mCacheEntry = entry;
        mHeaderBlock = block;
    } else {
        entry->state = CacheEntry::State::Failed;
        dropReference(entry);
    }
    cacheChanged().notify_all();
    return result;
}

AURA_RESULT CodecSBK::walkHeaders(int numsamples, const AURA_CREATESOUNDEXINFO *exinfo)
{
    const uint32_t headerSize = le32(mHeader + 8);
    const uint32_t version = le32(mHeader + 16);
    const bool basic = (mBankFlags & BANK_BASICHEADERS) != 0;
    unsigned int fileSize = 0;
    (void)mFile->getSize(&fileSize);

    // An inclusion list as long as the subsound count it names narrows the
    // bank to the listed samples, in the bank's order.
    const bool narrowed = exinfo && exinfo->inclusionlist && exinfo->inclusionlistnum > 0 &&
                          exinfo->inclusionlistnum == exinfo->numsubsounds;
    int exposed = numsamples;
    if (narrowed) {
        exposed = exinfo->inclusionlistnum;
        for (int i = 0; i < exposed; ++i) {
            const int index = exinfo->inclusionlist[i];
            if (index < 0 || index >= numsamples) {
                return AURA_ERR_INVALID_PARAM;
            }
            for (int j = 0; j < i; ++j) {
                if (exinfo->inclusionlist[j] == index) {
                    return AURA_ERR_INVALID_PARAM;
                }
            }
        }
    }
    mSamples =
        static_cast<Sample *>(AURA_Memory_Calloc(static_cast<int>(sizeof(Sample) * static_cast<size_t>(exposed))));
    if (!mSamples) {
        return AURA_ERR_MEMORY;
    }
    auto isExposed = [&](int i) {
        if (!narrowed) {
            return true;
        }
        return std::find(exinfo->inclusionlist, exinfo->inclusionlist + exposed, i) != exinfo->inclusionlist + exposed;
    };

    const bool compressed = (mOpenMode & AURA_CREATECOMPRESSEDSAMPLE) && !(mOpenMode & AURA_CREATESTREAM);
    uint64_t dataPosition =
        (version >= FIRST_CACHED_VERSION ? MAIN_HEADER_SIZE : 24) + static_cast<uint64_t>(headerSize);
    const uint8_t *p = mHeaderBlock;
    uint32_t remaining = headerSize;
    Sample first{};
    uint32_t previousOffset = 0;
    int slot = 0;
    mMaxChannels = 0;
    for (int i = 0; i < numsamples; ++i) {
        Sample s{};
        uint32_t step = 0;
        bool reuse = false;
        if (i == 0 || !basic) {
            if (remaining < SAMPLE_HEADER_SIZE) {
                return AURA_ERR_FILE_BAD;
            }
            uint32_t size = le16(p);
            if (size == 0xFFFF) {
                size = le32(p + 0x48);
                if (size < 0xFFFF) {
                    return AURA_ERR_UNSUPPORTED;
                }
            }
            // A header holds its 80 bytes and stays inside the block.
            if (size < SAMPLE_HEADER_SIZE || size > remaining) {
                return AURA_ERR_FILE_BAD;
            }
            step = size;
            std::memcpy(s.name, p + 2, 30);
            s.name[30] = 0;
            s.lengthpcm = le32(p + 0x20);
            s.lengthbytes = le32(p + 0x24);
            s.loopstart = le32(p + 0x28);
            s.loopend = le32(p + 0x2C);
            s.flags = le32(p + 0x30);
            s.frequency = static_cast<int32_t>(le32(p + 0x34));
            s.volume = le16(p + 0x38);
            s.pan = static_cast<int16_t>(le16(p + 0x3A));
            s.priority = le16(p + 0x3C);
            s.channels = le16(p + 0x3E);
            s.mindistance = leFloat(p + 0x40);
            s.maxdistance = leFloat(p + 0x44);
            // With the 32-bit size there, the frequency variation reads 0.
            s.frequencyvariation = le16(p) == 0xFFFF ? 0 : static_cast<int32_t>(le32(p + 0x48));
            s.volumevariation = timesFour(le16(p + 0x4C));
            s.panvariation = timesFour(static_cast<int16_t>(le16(p + 0x4E)));
            if (s.mindistance == s.maxdistance) {
                s.mindistance = 1.0f;
                s.maxdistance = 10000.0f;
            }
            if (s.name[0] == 0) {
                if (i == 0) {
                    return AURA_ERR_FILE_BAD;
                }
                reuse = true;
            }
            if (s.channels < 1) {
                return AURA_ERR_FILE_BAD;
            }
            if (s.channels > MAX_CHANNELS) {
                return AURA_ERR_TOOMANYCHANNELS;
            }
            if (s.flags & SAMPLE_REFUSED) {
                return AURA_ERR_FORMAT;
            }
            if (s.flags & SAMPLE_MPEG) {
                // Frames of more than 2 channels (interleaved stereo
                // streams) are decoded only while streaming.
                if (s.channels > 2 && !(mOpenMode & AURA_CREATESTREAM)) {
                    return AURA_ERR_TOOMANYCHANNELS;
                }
                if (compressed) {
                    s.loopstart -= s.loopstart % MPEG_GRANULE;
                }
            }
            if ((s.flags & SAMPLE_SYNCBLOCK) && size >= SAMPLE_HEADER_SIZE + 8 &&
                std::memcmp(p + SAMPLE_HEADER_SIZE, "SYNC", 4) == 0) {
                const uint32_t count = le32(p + SAMPLE_HEADER_SIZE + 4);
                const uint64_t entry = (s.flags & SAMPLE_SYNCNONAMES) ? 4 : 4 + SYNC_NAME_SIZE;
                // The block and its entries lie inside the header.
                if (8 + count * entry > size - SAMPLE_HEADER_SIZE) {
                    return AURA_ERR_FILE_BAD;
                }
                s.sync = p + SAMPLE_HEADER_SIZE;
                s.syncbytes = size - SAMPLE_HEADER_SIZE;
            }
            if (i == 0) {
                first = s;
            }
        } else {
            if (remaining < BASIC_HEADER_SIZE) {
                return AURA_ERR_FILE_BAD;
            }
            step = BASIC_HEADER_SIZE;
            s = first;
            s.sync = nullptr;
            s.syncbytes = 0;
            s.lengthpcm = le32(p);
            s.lengthbytes = le32(p + 4);
        }
        s.dataoffset = reuse ? previousOffset : static_cast<uint32_t>(std::min<uint64_t>(dataPosition, fileSize));
        if (!reuse) {
            dataPosition += roundUp32(s.lengthbytes);
        }
        previousOffset = s.dataoffset;
        // What the file holds of the data, and the samples that fill it.
        const uint32_t declaredBytes = s.lengthbytes;
        const uint32_t declaredSamples = s.lengthpcm;
        s.lengthbytes = std::min(s.lengthbytes, fileSize - s.dataoffset);
        uint64_t most = 0;
        if (s.flags & SAMPLE_IMAADPCM) {
            most = static_cast<uint64_t>(s.lengthbytes / (IMA_BLOCK_BYTES * s.channels)) * IMA_BLOCK_SAMPLES;
        } else if (s.flags & SAMPLE_MPEG) {
            // Every frame begun may decode; no bytes hold no frame.
            const uint64_t streams = (s.channels + 1u) / 2u;
            const uint64_t frameBytes = MPEG_MIN_FRAME_BYTES * streams;
            most = (s.lengthbytes + frameBytes - 1) / frameBytes * MPEG_MAX_FRAME_SAMPLES;
        } else {
            const unsigned int width = (s.flags & SAMPLE_8BITS)                                 ? 1
                                       : (s.flags & SAMPLE_FLOAT) && !(s.flags & SAMPLE_16BITS) ? 4
                                                                                                : 2;
            most = s.lengthbytes / (width * s.channels);
        }
        s.lengthpcm = static_cast<uint32_t>(std::min<uint64_t>(s.lengthpcm, most));
        // (The bound on MPEG frames is loose: only their bytes tell a cut.)
        s.cut = s.lengthbytes < declaredBytes || (!(s.flags & SAMPLE_MPEG) && s.lengthpcm < declaredSamples);
        if (isExposed(i)) {
            mSamples[slot++] = s;
            mMaxChannels = std::max<int>(mMaxChannels, s.channels);
        }
        p += step;
        remaining -= step;
    }
    mNumSubSounds = exposed;
    mADPCMCompressed = compressed;
    if (narrowed) {
        // The bank is the listed samples now; the list has been applied.
        auto *caller = const_cast<AURA_CREATESOUNDEXINFO *>(exinfo);
        caller->inclusionlist = nullptr;
        caller->inclusionlistnum = 0;
        caller->numsubsounds = 0;
    }
    return AURA_OK;
}

AURA_RESULT CodecSBK::describe(int index, AURA_CODEC_WAVEFORMAT *wf) const
{
    const Sample *s = sample(index);
    if (!s || !wf) {
        return AURA_ERR_INVALID_PARAM;
    }
    *wf = AURA_CODEC_WAVEFORMAT{};
    std::memcpy(wf->name, s->name, sizeof(s->name));
    unsigned int mode = 0;
    if (s->flags & SAMPLE_LOOP_NORMAL) {
        mode |= AURA_LOOP_NORMAL;
    } else if (s->flags & SAMPLE_LOOP_BIDI) {
        mode |= AURA_LOOP_BIDI;
    }
    wf->mode = mode;
    wf->channels = outputChannels(*s);
    wf->frequency = s->frequency;
    wf->lengthpcm = s->lengthpcm;
    wf->lengthbytes = s->lengthbytes;
    wf->loopstart = s->loopstart;
    wf->loopend = s->loopend;
    if (wf->loopend <= wf->loopstart) {
        wf->loopstart = 0;
        wf->loopend = s->lengthpcm > 0 ? s->lengthpcm - 1 : 0;
    }
    if (s->flags & SAMPLE_8BITS) {
        wf->format = AURA_SOUND_FORMAT_PCM8;
        wf->blockalign = wf->channels;
    } else if (s->flags & SAMPLE_16BITS) {
        wf->format = AURA_SOUND_FORMAT_PCM16;
        wf->blockalign = 2 * wf->channels;
    } else if (s->flags & SAMPLE_FLOAT) {
        wf->format = AURA_SOUND_FORMAT_PCMFLOAT;
        wf->blockalign = 4 * wf->channels;
    } else if ((s->flags & SAMPLE_IMAADPCM) && mADPCMCompressed) {
        wf->format = AURA_SOUND_FORMAT_IMAADPCM;
        wf->blockalign = static_cast<int>(IMA_BLOCK_BYTES) * wf->channels;
    } else if ((s->flags & SAMPLE_MPEG) && mADPCMCompressed) {
        wf->format = AURA_SOUND_FORMAT_MPEG;
        wf->mode |= AURA_CREATECOMPRESSEDSAMPLE;
        wf->blockalign = static_cast<int>(2 * MPEG_MAX_FRAME_SAMPLES) * wf->channels;
    } else {
        wf->format = AURA_SOUND_FORMAT_PCM16;
        wf->blockalign = 2 * wf->channels;
    }
    const uint32_t map = s->flags & (0x400 | 0x800 | 0x10000);
    if (map == 0x400) {
        wf->channelmask = 0x10000000;
    } else if (map == 0x800) {
        wf->channelmask = 0x20000000;
    } else if (map == 0x10000) {
        wf->channelmask = 0x40000000;
    } else if (wf->channels == 4) {
        wf->channelmask = 0x33;
    } else if (wf->channels == 6) {
        wf->channelmask = 0x3F;
    }
    return AURA_OK;
}

AURA_RESULT CodecSBK::closeInternal()
{
    if (mCacheEntry) {
        std::lock_guard<std::mutex> lock(cacheLock());
        dropReference(static_cast<CacheEntry *>(mCacheEntry));
        mCacheEntry = nullptr;
    }
    mHeaderBlock = nullptr;
    AURA_Memory_Free(mOwnHeaderBlock);
    mOwnHeaderBlock = nullptr;
    AURA_Memory_Free(mSamples);
    mSamples = nullptr;
    mNumSubSounds = 0;
    AURA_Memory_Free(mWaveFormatMemory);
    mWaveFormatMemory = nullptr;
    mState.waveformat = nullptr;
    mState.numsubsounds = 0;
    AURA_Memory_Free(mReadBuffer);
    mReadBuffer = nullptr;
    mReadBufferLength = 0;
    freePCMBuffer();
    if (mMPEG) {
        mMPEG->releaseDecoder();
        mMPEG = nullptr;
    }
    mMPEGSubsound = -1;
    return AURA_OK;
}

AURA_RESULT CodecSBK::decodeIMABlock(const Sample &s, uint8_t *in, short *out) const
{
    const unsigned int channels = s.channels;
    if (channels == 1) {
        return IMAAdpcm_DecodeM16(in, out, 1, IMA_BLOCK_BYTES, IMA_BLOCK_SAMPLES, 1);
    }
    if (channels == 2 && (s.flags & SAMPLE_IMASTEREO)) {
        return IMAAdpcm_DecodeS16(in, out, 1, IMA_BLOCK_BYTES * 2, IMA_BLOCK_SAMPLES);
    }
    // Channels interleaved in 2-byte units: gather each channel's block.
    uint8_t *scratch = in + IMA_BLOCK_BYTES * channels;
    for (unsigned int c = 0; c < channels; ++c) {
        for (unsigned int u = 0; u < IMA_BLOCK_BYTES / 2; ++u) {
            std::memcpy(scratch + 2 * u, in + 2 * (u * channels + c), 2);
        }
        const AURA_RESULT result =
            IMAAdpcm_DecodeM16(scratch, out + c, 1, IMA_BLOCK_BYTES, IMA_BLOCK_SAMPLES, static_cast<int>(channels));
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecSBK::readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    const Sample *s = sample(mCurrentSubsound);
    if (!s || !buffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    const unsigned int channels = s->channels;
    const auto outChannels = static_cast<unsigned int>(outputChannels(*s));
    if ((s->flags & SAMPLE_MPEG) && mMPEG) {
        return readMPEG(*s, buffer, sizebytes, bytesread);
    }
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK) {
        return result;
    }
    const uint64_t end = static_cast<uint64_t>(s->dataoffset) + s->lengthbytes;
    if (here >= end) {
        return AURA_ERR_FILE_EOF;
    }
    const AURA_CODEC_WAVEFORMAT &wf = mState.waveformat[mCurrentSubsound];
    unsigned int width = 2;
    unsigned int got = 0;
    bool ended = false;
    if ((s->flags & SAMPLE_IMAADPCM) && !mADPCMCompressed) {
        const unsigned int blockBytes = IMA_BLOCK_BYTES * channels;
        if (!mReadBuffer || end - here < blockBytes) {
            return AURA_ERR_FILE_EOF;
        }
        if (sizebytes < IMA_BLOCK_SAMPLES * 2 * outChannels) {
            return AURA_ERR_INVALID_PARAM;
        }
        result = mFile->read(mReadBuffer, 1, blockBytes, &got);
        if ((result != AURA_OK && result != AURA_ERR_FILE_EOF) || got != blockBytes) {
            return result == AURA_OK ? AURA_ERR_FILE_EOF : result;
        }
        result = decodeIMABlock(*s, mReadBuffer, static_cast<short *>(buffer));
        if (result != AURA_OK) {
            return result;
        }
        got = IMA_BLOCK_SAMPLES * 2 * channels;
    } else {
        // Ask for what still fits once widened to the output's channels.
        const auto frameBytes = static_cast<unsigned int>(std::max(wf.blockalign, 1)) / outChannels * channels;
        width = frameBytes / channels;
        uint64_t want = static_cast<uint64_t>(sizebytes) * channels / outChannels;
        if (want >= end - here) {
            want = end - here;
            ended = true;
        }
        want -= want % frameBytes;
        if (want == 0) {
            return AURA_ERR_FILE_EOF;
        }
        result = mFile->read(buffer, 1, static_cast<unsigned int>(want), &got);
        if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
            return result;
        }
        ended = ended || result == AURA_ERR_FILE_EOF;
        got -= got % frameBytes;
        auto *bytes = static_cast<uint8_t *>(buffer);
        if (s->flags & SAMPLE_8BITS) {
            for (unsigned int i = 0; i < got; ++i) {
                bytes[i] ^= 0x80;
            }
        } else if ((mBankFlags & BANK_BIGENDIAN) && width > 1) {
            for (unsigned int i = 0; i + width <= got; i += width) {
                std::reverse(bytes + i, bytes + i + width);
            }
        }
    }
    got = widen(buffer, got, width, channels, outChannels);
    if (bytesread) {
        *bytesread = got;
    }
    return ended ? AURA_ERR_FILE_EOF : AURA_OK;
}

unsigned int CodecSBK::widen(void *buffer, unsigned int got, unsigned int width, unsigned int channels,
                             unsigned int outChannels)
{
    if (outChannels <= channels) {
        return got;
    }
    // Widened in place from the end: a mono sound in every channel, else
    // the missing channels silent.
    auto *bytes = static_cast<uint8_t *>(buffer);
    const unsigned int frames = got / (width * channels);
    for (unsigned int f = frames; f-- > 0;) {
        for (unsigned int c = outChannels; c-- > 0;) {
            uint8_t *to = bytes + (static_cast<size_t>(f) * outChannels + c) * width;
            if (channels == 1) {
                std::memmove(to, bytes + static_cast<size_t>(f) * width, width);
            } else if (c < channels) {
                std::memmove(to, bytes + (static_cast<size_t>(f) * channels + c) * width, width);
            } else {
                std::memset(to, 0, width);
            }
        }
    }
    return frames * width * outChannels;
}

AURA_RESULT CodecSBK::readMPEG(const Sample &s, void *buffer, unsigned int sizebytes, unsigned int *bytesread)
{
    const unsigned int channels = s.channels;
    const auto outChannels = static_cast<unsigned int>(outputChannels(s));
    const unsigned int frame = 2 * channels;
    // Ask for what still fits once widened.
    auto want = static_cast<unsigned int>(static_cast<uint64_t>(sizebytes) * channels / outChannels);
    want -= want % frame;
    if (want == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    unsigned int got = 0;
    const AURA_RESULT result = mMPEG->read(buffer, want, &got);
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    got = std::min(got, want);
    got -= got % frame;
    got = widen(buffer, got, 2, channels, outChannels);
    if (bytesread) {
        *bytesread = got;
    }
    return result;
}

AURA_RESULT CodecSBK::setPositionInternal(int subsound, unsigned int position, unsigned int postype)
{
    if (subsound < 0 || (mNumSubSounds > 0 && subsound >= mNumSubSounds)) {
        return AURA_ERR_INVALID_POSITION;
    }
    if (!(mFile->getFlags() & File::FLAG_SEEKABLE)) {
        return AURA_OK;
    }
    const Sample &s = mSamples[subsound];
    mCurrentSubsound = subsound;
    mSrcDataOffset = s.dataoffset;
    mSubSoundIndex = subsound;
    resetPCMBuffer();
    const unsigned int channels = s.channels;
    if ((s.flags & SAMPLE_MPEG) && mMPEG) {
        if (mMPEGSubsound != subsound) {
            // The decoder starts afresh on this subsound's frames.
            mMPEG->setSource(mFile, s.dataoffset, s.lengthbytes, s.channels, s.frequency);
            mMPEG->mWaveFormat.lengthpcm = s.lengthpcm;
            mMPEGSubsound = subsound;
        }
        if (postype != AURA_TIMEUNIT_PCM) {
            return mMPEG->setPosition(0, std::min(position, s.lengthbytes), AURA_TIMEUNIT_RAWBYTES);
        }
        if (position > 0 && mMPEG->mNumFrameOffsets == 0 && s.channels <= 2) {
            // Where each frame begins, found once per subsound, makes the
            // seek land on the frame that holds the position.
            unsigned int bytes = 0;
            AURA_RESULT result = mFile->seek(static_cast<int>(s.dataoffset), 0);
            if (result == AURA_OK) {
                result = mMPEG->getPCMLength(&bytes);
            }
            if (result != AURA_OK) {
                return result;
            }
        }
        return mMPEG->setPosition(0, position, AURA_TIMEUNIT_PCM);
    }
    if (postype == AURA_TIMEUNIT_RAWBYTES || postype == AURA_TIMEUNIT_PCMBYTES) {
        return mFile->seek(static_cast<int>(s.dataoffset + std::min(position, s.lengthbytes)), 0);
    }
    if (postype != AURA_TIMEUNIT_PCM) {
        return AURA_ERR_FORMAT;
    }
    if (s.flags & SAMPLE_IMAADPCM) {
        const uint64_t blockBytes = static_cast<uint64_t>(IMA_BLOCK_BYTES) * channels;
        const uint64_t byte = std::min<uint64_t>(
            (mADPCMCompressed ? (static_cast<uint64_t>(position) + IMA_BLOCK_SAMPLES - 1) : position) /
                IMA_BLOCK_SAMPLES * blockBytes,
            s.lengthbytes);
        AURA_RESULT result = mFile->seek(static_cast<int>(s.dataoffset + byte), 0);
        if (result != AURA_OK || mADPCMCompressed) {
            return result;
        }
        // Into the block: decode and drop what comes before the position.
        unsigned int left = position % IMA_BLOCK_SAMPLES * 2 * static_cast<unsigned int>(outputChannels(s));
        uint8_t scratch[SEEK_DISCARD_PIECE];
        while (left > 0) {
            unsigned int got = 0;
            result = read(scratch, std::min(left, SEEK_DISCARD_PIECE), &got);
            if (result != AURA_OK || got == 0) {
                return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
            }
            left -= std::min(got, left);
        }
        return AURA_OK;
    }
    const unsigned int width = (s.flags & SAMPLE_8BITS)      ? 1
                               : (s.flags & (SAMPLE_16BITS)) ? 2
                               : (s.flags & SAMPLE_FLOAT)    ? 4
                                                             : 2;
    const uint64_t byte = std::min<uint64_t>(static_cast<uint64_t>(position) * width * channels, s.lengthbytes);
    return mFile->seek(static_cast<int>(s.dataoffset + byte), 0);
}

AURA_RESULT CodecSBK::getNumSyncPoints(int subsound, int *count) const
{
    const Sample *s = sample(subsound);
    if (!s || !count) {
        return AURA_ERR_INVALID_PARAM;
    }
    *count = s->sync ? static_cast<int>(le32(s->sync + 4)) : 0;
    return AURA_OK;
}

AURA_RESULT CodecSBK::getSyncPointData(int subsound, int index, char *name, unsigned int *offset) const
{
    int count = 0;
    AURA_RESULT result = getNumSyncPoints(subsound, &count);
    if (result != AURA_OK) {
        return result;
    }
    if (index < 0 || index >= count || !offset) {
        return AURA_ERR_INVALID_PARAM;
    }
    const Sample &s = mSamples[subsound];
    const bool named = !(s.flags & SAMPLE_SYNCNONAMES);
    const uint8_t *entry = s.sync + 8 + static_cast<size_t>(index) * (named ? 4 + SYNC_NAME_SIZE : 4);
    *offset = le32(entry);
    if (name) {
        name[0] = 0;
        if (named) {
            std::memcpy(name, entry + 4, SYNC_NAME_SIZE - 1);
            name[SYNC_NAME_SIZE - 1] = 0;
        }
    }
    return AURA_OK;
}

AURA_RESULT CodecSBK::soundCreateInternal(int subsound, AURA_SOUND *sound)
{
    const Sample *s = sample(subsound);
    if (!s || !sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    auto *soundi = static_cast<SoundI *>(reinterpret_cast<Sound *>(sound));
    float pan = 0.0f;
    if (s->pan <= 0) {
        pan = -1.0f;
    } else if (s->pan >= 255) {
        pan = 1.0f;
    } else if (s->pan != 128) {
        pan = static_cast<float>(s->pan) / 255.0f * 2.0f - 1.0f;
    }
    AURA_RESULT result =
        soundi->setDefaults(static_cast<float>(s->frequency), static_cast<float>(s->volume) / 255.0f, pan, s->priority);
    if (result != AURA_OK) {
        return result;
    }
    soundi->mMinDistance = s->mindistance;
    soundi->mMaxDistance = s->maxdistance;
    int count = 0;
    (void)getNumSyncPoints(subsound, &count);
    for (int i = 0; i < count; ++i) {
        char name[SYNC_NAME_SIZE];
        unsigned int offset = 0;
        result = getSyncPointData(subsound, i, name, &offset);
        if (result == AURA_OK) {
            result = soundi->addSyncPoint(offset, name, nullptr);
        }
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

bool CodecSBK::dataCut(int subsound) const
{
    const Sample *s = sample(subsound);
    return s && s->cut;
}

AURA_RESULT CodecSBK::canPointInternal()
{
    for (int i = 0; i < mNumSubSounds; ++i) {
        if (mSamples[i].flags & (SAMPLE_IMAADPCM | SAMPLE_MPEG)) {
            return AURA_ERR_MEMORY_CANTPOINT;
        }
    }
    return AURA_OK;
}

} // namespace AURA
