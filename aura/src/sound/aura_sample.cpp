#include "sound/aura_sample.h"

#include "codec/aura_codec.h"
#include "base/aura_memory.h"
#include "os/aura_os.h"

#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_sample";

} // namespace

Sample::~Sample()
{
    AURA_Memory_Free(mData);
    mData = nullptr;
    AURA_Memory_Free(mCompressedFrameOffsets);
    mCompressedFrameOffsets = nullptr;
}

unsigned int Sample::frameBytes() const
{
    const int bits = getBitsFromFormat(mFormat);
    return bits > 0 && mChannels > 0 ? static_cast<unsigned int>(bits / 8 * mChannels) : 0;
}

AURA_RESULT Sample::setCapacity(unsigned int bytes)
{
    return grow(bytes, true, false);
}

AURA_RESULT Sample::reserveForFill(unsigned int bytes, bool finalSize)
{
    return grow(bytes, false, finalSize && !mData && gGlobal->mMemPool->usesSystemHeap());
}

void Sample::clearAfter(unsigned int filled)
{
    if (mData && filled < mCapacityBytes) {
        std::memset(mData + filled, 0, static_cast<std::size_t>(mCapacityBytes - filled));
    }
}

AURA_RESULT Sample::grow(unsigned int bytes, bool zeroRoom, bool largePages)
{
    const unsigned int frame = frameBytes();
    const uint64_t guard = static_cast<uint64_t>(frame ? frame : 16) * GUARD_FRAMES;
    const uint64_t total = static_cast<uint64_t>(bytes) + guard;
    if (total > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    uint64_t block = total;
    if (largePages) {
        const uint64_t whole = AURA_OS_Memory_LargeBlockSize(total + MemPool::HEADER_SIZE) - MemPool::HEADER_SIZE;
        block = whole <= static_cast<uint64_t>(MemPool::MAX_SIZE) ? whole : total;
    }
    auto *grown = static_cast<uint8_t *>(AURA_Memory_ReAlloc(mData, static_cast<int>(block)));
    if (!grown) {
        return AURA_ERR_MEMORY;
    }
    if (largePages) {
        // Only what the data and guard cover: a large page over the unused
        // slack would hold up to 2 MiB of memory for nothing.
        AURA_OS_Memory_PreferLargePages(grown, static_cast<std::size_t>(total));
    }
    // Whatever lies past the kept data is silence, the guard included; a
    // reader that fills the room clears what it left with clearAfter.
    const unsigned int kept = mCapacityBytes < bytes ? mCapacityBytes : bytes;
    const unsigned int from = zeroRoom ? kept : bytes;
    std::memset(grown + from, 0, static_cast<std::size_t>(total - from));
    mData = grown;
    mCapacityBytes = bytes;
    mGuardBytes = static_cast<unsigned int>(guard);
    return AURA_OK;
}

AURA_RESULT Sample::lock(unsigned int offset, unsigned int length, void **ptr1, void **ptr2, unsigned int *len1,
                         unsigned int *len2)
{
    if (!ptr1 || !len1) {
        return AURA_ERR_INVALID_PARAM;
    }
    *ptr1 = nullptr;
    *len1 = 0;
    if (ptr2) {
        *ptr2 = nullptr;
    }
    if (len2) {
        *len2 = 0;
    }
    if (!mData || offset >= mLengthBytes) {
        return AURA_ERR_INVALID_PARAM;
    }
    const unsigned int left = mLengthBytes - offset;
    *ptr1 = mData + offset;
    *len1 = length < left ? length : left;
    return AURA_OK;
}

AURA_RESULT Sample::unlock(void * /*ptr1*/, void * /*ptr2*/, unsigned int /*len1*/, unsigned int /*len2*/)
{
    // The data is written in place; nothing is staged.
    return AURA_OK;
}

} // namespace AURA
