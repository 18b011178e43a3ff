// The RIFF chunk walk of the WAV codec. Every size comes from the file and
// is treated as hostile: offsets are summed in 64 bits, each step moves
// forward by at least a chunk header, nothing is read past the end of the
// file, and what a chunk asks to allocate is capped by what the chunk (and
// the file) can hold.
#include "codec/wav/aura_codec_wav.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_wav_riff";

constexpr uint32_t fourcc(const char (&id)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(id[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(id[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(id[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(id[3])) << 24;
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

constexpr unsigned int CUE_RECORD_BYTES = 24;
constexpr unsigned int SMPL_FIRST_LOOP_BYTES = 60;
} // namespace

AURA_RESULT CodecWav::parseChunk(unsigned int chunksize)
{
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK) {
        return result;
    }
    // The size counts the 4-byte type that was read just before.
    const uint64_t fileLimit = fileEnd();
    const uint64_t start = here;
    const uint64_t end = std::min<uint64_t>(start + chunksize - std::min<uint64_t>(chunksize, 4), fileLimit);
    uint64_t next = start;
    // The form's first chunk is always looked at, even under a RIFF size too
    // small for it; a list holds only what its size covers.
    bool first = mListDepth == 0;

    while (first || next < end) {
        first = false;
        result = seekTo(next);
        if (result != AURA_OK) {
            break;
        }
        uint8_t header[8];
        unsigned int got = 0;
        result = readBytes(header, sizeof(header), &got);
        if (result != AURA_OK) {
            break;
        }
        const uint32_t id = le32(header);
        const uint32_t size = le32(header + 4);
        const uint64_t body = next + 8;
        // What of the body the file really holds.
        const unsigned int held =
            static_cast<unsigned int>(std::min<uint64_t>(size, body < fileLimit ? fileLimit - body : 0));
        bool stop = false;

        if (id == fourcc("fmt ")) {
            const unsigned int keep = std::min(held, MAX_FORMAT_CHUNK);
            const unsigned int bytes = std::max<unsigned int>(keep, sizeof(WAVE_FORMATEXTENSIBLE));
            auto *copy = static_cast<WAVE_FORMATEXTENSIBLE *>(AURA_Memory_Calloc(static_cast<int>(bytes)));
            if (!copy) {
                return AURA_ERR_MEMORY;
            }
            if (mSrcFormat && mSrcFormat != &mBuiltInFormat) {
                AURA_Memory_Free(mSrcFormat);
            }
            mSrcFormat = copy;
            result = readBytes(copy, keep, &got);
            if (result != AURA_OK) {
                break;
            }
            // Only what arrived counts; the rest stays zero.
            if (got < sizeof(WAVE_FORMATEXTENSIBLE)) {
                std::memset(reinterpret_cast<uint8_t *>(copy) + got, 0, sizeof(WAVE_FORMATEXTENSIBLE) - got);
            }
        } else if (id == fourcc("cue ")) {
            uint8_t word[4];
            if (held >= 4 && readBytes(word, 4, &got) == AURA_OK) {
                // Never more records than the chunk holds, nor than a sound keeps.
                const unsigned int count = std::min({le32(word), (held - 4) / CUE_RECORD_BYTES,
                                                     static_cast<unsigned int>(SoundI::MAX_SYNCPOINTS)});
                freeSyncPoints();
                if (count > 0) {
                    mSyncPoint = static_cast<AURA_SYNCPOINT *>(
                        AURA_Memory_Calloc(static_cast<int>(count * sizeof(AURA_SYNCPOINT))));
                    if (!mSyncPoint) {
                        return AURA_ERR_MEMORY;
                    }
                    for (unsigned int i = 0; i < count; ++i) {
                        uint8_t record[CUE_RECORD_BYTES];
                        if (readBytes(record, sizeof(record), &got) != AURA_OK) {
                            break;
                        }
                        AURA_SYNCPOINT &point = mSyncPoint[mNumSyncPoints++];
                        point.mName = point.mNameBuffer;
                        point.mOffset = le32(record + 20);
                        point.mIndex = static_cast<unsigned short>(le32(record));
                    }
                }
            }
        } else if (id == fourcc("fact")) {
            uint8_t word[4];
            if (held >= 4 && readBytes(word, 4, &got) == AURA_OK) {
                mState.waveformat->lengthpcm = le32(word);
            }
        } else if (id == fourcc("LIST")) {
            uint8_t type[4];
            if (held >= 4 && mListDepth < MAX_LIST_DEPTH && readBytes(type, 4, &got) == AURA_OK) {
                ++mListDepth;
                // A list cannot reach past the chunk it sits in.
                const uint64_t room = end > body ? end - body : 0;
                result = parseChunk(static_cast<unsigned int>(std::min<uint64_t>(size, room)));
                --mListDepth;
                if (result != AURA_OK) {
                    return result;
                }
            }
        } else if (id == fourcc("labl")) {
            uint8_t word[4];
            if (mNumSyncPoints > 0 && held >= 4 && readBytes(word, 4, &got) == AURA_OK) {
                const auto cue = static_cast<unsigned short>(le32(word));
                AURA_SYNCPOINT *point = nullptr;
                for (int i = 0; i < mNumSyncPoints && !point; ++i) {
                    if (mSyncPoint[i].mIndex == cue) {
                        point = &mSyncPoint[i];
                    }
                }
                if (point) {
                    // Longer labels are cut to fit the name with its terminator.
                    const unsigned int length =
                        std::min<unsigned int>(held - 4, sizeof(point->mNameBuffer) - 1);
                    std::memset(point->mNameBuffer, 0, sizeof(point->mNameBuffer));
                    (void)readBytes(point->mNameBuffer, length, &got);
                    point->mNameBuffer[sizeof(point->mNameBuffer) - 1] = 0;
                }
            }
        } else if (id == fourcc("smpl")) {
            uint8_t sampler[SMPL_FIRST_LOOP_BYTES];
            if (held >= sizeof(sampler) && readBytes(sampler, sizeof(sampler), &got) == AURA_OK &&
                got == sizeof(sampler) && le32(sampler + 28) != 0) {
                mLoopStart = le32(sampler + 44);
                mLoopEnd = le32(sampler + 48);
            }
        } else if (id == fourcc("data")) {
            if (mSrcDataOffset == 0xFFFFFFFFu) {
                mState.waveformat->lengthbytes = held;
                mSrcDataOffset = static_cast<unsigned int>(body);
                // (All ones is the size of a file written as it streamed.)
                mDataCut = held < size && size != 0xFFFFFFFFu;
            }
            // A file that cannot go back is left at the start of the audio.
            stop = !mFileSeekable;
        }

        next = body + size + (size & 1);
        if (stop) {
            break;
        }
    }

    return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
}

AURA_RESULT CodecWav::scanChunks(File *file, unsigned int riffsize, ChunkFacts *facts, AURA_SYNCPOINT **syncpoints,
                                 int *numsyncpoints)
{
    if (!file || !facts) {
        return AURA_ERR_INVALID_PARAM;
    }
    *facts = ChunkFacts{};
    CodecWav walker;
    AURA_CODEC_WAVEFORMAT waveformat{};
    walker.mFile = file;
    walker.mState.waveformat = &waveformat;
    walker.mSrcDataOffset = 0xFFFFFFFFu;
    walker.mFileSeekable = (file->getFlags() & File::FLAG_SEEKABLE) != 0;
    unsigned int fileSize = 0;
    if (file->getSize(&fileSize) == AURA_OK) {
        walker.mState.filesize = fileSize;
    }
    // The RIFF size counts "WAVE" as well.
    const AURA_RESULT result = walker.parseChunk(riffsize);
    if (walker.mSrcFormat) {
        facts->haveFormat = true;
        facts->formatTag = walker.mSrcFormat->wFormatTag;
    }
    if (walker.mSrcDataOffset != 0xFFFFFFFFu) {
        facts->haveData = true;
        facts->dataOffset = walker.mSrcDataOffset;
        facts->dataSize = waveformat.lengthbytes;
    }
    facts->loopStart = walker.mLoopStart;
    facts->loopEnd = walker.mLoopEnd;
    if (syncpoints && numsyncpoints) {
        *syncpoints = walker.mSyncPoint;
        *numsyncpoints = walker.mNumSyncPoints;
        walker.mSyncPoint = nullptr;
        walker.mNumSyncPoints = 0;
    }
    // The scratch codec gives back what the walk allocated, and never the
    // file or the wave format, which are not its own.
    walker.mState.waveformat = nullptr;
    (void)walker.closeInternal();
    walker.mFile = nullptr;
    return result;
}

} // namespace AURA
