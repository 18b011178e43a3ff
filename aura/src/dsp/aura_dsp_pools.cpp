#include "dsp/aura_dsp_pools.h"

#include "base/aura_memory.h"

#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/dsp/aura_dsp_pools";

constexpr uint32_t ALL_MATRICES = 0xFFFFFFFFu;
static_assert(SpeakerLevelsPool::MATRICES_PER_CHUNK == 32, "one use bit per matrix of a chunk");

// Bytes of n floats, or -1 when the pool cannot hand out that much at once.
int floatBytes(int64_t n)
{
    const int64_t bytes = n * static_cast<int64_t>(sizeof(float));
    return (n < 0 || bytes > MemPool::MAX_SIZE) ? -1 : static_cast<int>(bytes);
}
} // namespace

// Speaker-level matrices -----------------------------------------------------

SpeakerLevelsPool::~SpeakerLevelsPool()
{
    (void)release();
}

AURA_RESULT SpeakerLevelsPool::init(DSPMixer * /*system*/, int rows, int columns)
{
    if (rows <= 0 || columns <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (rows == mRows && columns == mColumns) {
        return AURA_OK;
    }
    // Chunks are cut for one matrix size: only empty ones can be dropped.
    for (const Chunk &chunk : mChunk) {
        if (chunk.mUsed) {
            return AURA_ERR_INITIALIZED;
        }
    }
    (void)release();
    mRows = rows;
    mColumns = columns;
    return AURA_OK;
}

AURA_RESULT SpeakerLevelsPool::alloc(float **levels)
{
    if (!levels) {
        return AURA_ERR_INVALID_PARAM;
    }
    *levels = nullptr;
    if (mRows <= 0 || mColumns <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int64_t matrixFloats = int64_t{mRows} * mColumns;

    Chunk *chunk = nullptr;
    for (Chunk &c : mChunk) {
        if (c.mMemory && c.mUsed != ALL_MATRICES) {
            chunk = &c;
            break;
        }
    }
    if (!chunk) {
        for (Chunk &c : mChunk) {
            if (!c.mMemory) {
                const int bytes = floatBytes(matrixFloats * MATRICES_PER_CHUNK);
                if (bytes < 0) {
                    return AURA_ERR_MEMORY;
                }
                c.mMemory = static_cast<float *>(AURA_Memory_Alloc(bytes));
                if (!c.mMemory) {
                    return AURA_ERR_MEMORY;
                }
                c.mUsed = 0;
                chunk = &c;
                break;
            }
        }
    }
    if (!chunk) {
        return AURA_ERR_MEMORY;
    }

    int index = 0;
    while (chunk->mUsed & (uint32_t{1} << index)) {
        ++index;
    }
    chunk->mUsed |= uint32_t{1} << index;
    float *matrix = chunk->mMemory + index * matrixFloats;
    std::memset(matrix, 0, static_cast<size_t>(matrixFloats) * sizeof(float));
    *levels = matrix;
    return AURA_OK;
}

AURA_RESULT SpeakerLevelsPool::free(float *levels)
{
    if (!levels || mRows <= 0 || mColumns <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int64_t matrixFloats = int64_t{mRows} * mColumns;
    for (Chunk &c : mChunk) {
        if (!c.mMemory || levels < c.mMemory ||
            levels >= c.mMemory + matrixFloats * MATRICES_PER_CHUNK) {
            continue;
        }
        const int64_t offset = levels - c.mMemory;
        const auto bit = uint32_t{1} << (offset / matrixFloats);
        if (offset % matrixFloats != 0 || !(c.mUsed & bit)) {
            return AURA_ERR_INVALID_PARAM;
        }
        c.mUsed &= ~bit;
        return AURA_OK;
    }
    return AURA_ERR_INVALID_PARAM;
}

AURA_RESULT SpeakerLevelsPool::release()
{
    for (Chunk &c : mChunk) {
        if (c.mMemory) {
            AURA_Memory_Free(c.mMemory);
        }
        c = Chunk{};
    }
    return AURA_OK;
}

// History rings --------------------------------------------------------------

HistoryBufferPool::~HistoryBufferPool()
{
    (void)release();
}

AURA_RESULT HistoryBufferPool::alloc(float **buffer, int count)
{
    if (!buffer || count <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    *buffer = nullptr;
    const size_t runBytes = static_cast<size_t>(count) * SLOT_FLOATS * sizeof(float);

    if (count <= NUM_SLOTS) {
        if (!mMemory) {
            mMemory = static_cast<float *>(
                AURA_Memory_Alloc(floatBytes(int64_t{NUM_SLOTS} * SLOT_FLOATS)));
        }
        if (mMemory) {
            for (int first = 0; first + count <= NUM_SLOTS; ++first) {
                int freeSlots = 0;
                while (freeSlots < count && !mUsed[first + freeSlots]) {
                    ++freeSlots;
                }
                if (freeSlots < count) {
                    first += freeSlots; // that slot is taken: look past it
                    continue;
                }
                for (int i = first; i < first + count; ++i) {
                    mUsed[i] = true;
                }
                mRunLength[first] = count;
                float *run = mMemory + static_cast<size_t>(first) * SLOT_FLOATS;
                std::memset(run, 0, runBytes);
                *buffer = run;
                return AURA_OK;
            }
        }
    }

    // No run is free (or the ring is wider than the array): memory of its own.
    float **entry = nullptr;
    for (float *&separate : mSeparate) {
        if (!separate) {
            entry = &separate;
            break;
        }
    }
    const int bytes = floatBytes(int64_t{count} * SLOT_FLOATS);
    if (!entry || bytes < 0) {
        return AURA_ERR_MEMORY;
    }
    *entry = static_cast<float *>(AURA_Memory_Calloc(bytes));
    if (!*entry) {
        return AURA_ERR_MEMORY;
    }
    *buffer = *entry;
    return AURA_OK;
}

AURA_RESULT HistoryBufferPool::free(float *buffer)
{
    if (!buffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mMemory && buffer >= mMemory && buffer < mMemory + NUM_SLOTS * SLOT_FLOATS) {
        const auto offset = static_cast<size_t>(buffer - mMemory);
        const auto first = static_cast<int>(offset / SLOT_FLOATS);
        if (offset % SLOT_FLOATS != 0 || mRunLength[first] == 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        for (int i = first; i < first + mRunLength[first]; ++i) {
            mUsed[i] = false;
        }
        mRunLength[first] = 0;
        return AURA_OK;
    }
    for (float *&separate : mSeparate) {
        if (separate == buffer) {
            AURA_Memory_Free(separate);
            separate = nullptr;
            return AURA_OK;
        }
    }
    return AURA_ERR_INVALID_PARAM;
}

AURA_RESULT HistoryBufferPool::release()
{
    if (mMemory) {
        AURA_Memory_Free(mMemory);
        mMemory = nullptr;
    }
    for (float *&separate : mSeparate) {
        if (separate) {
            AURA_Memory_Free(separate);
            separate = nullptr;
        }
    }
    for (int i = 0; i < NUM_SLOTS; ++i) {
        mRunLength[i] = 0;
        mUsed[i] = false;
    }
    return AURA_OK;
}

} // namespace AURA
