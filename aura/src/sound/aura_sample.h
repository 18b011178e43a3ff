// A sound held whole in memory, in the format its codec decodes to (or the
// codec's compressed blocks, for a compressed sample).
#ifndef AURA_SAMPLE_H
#define AURA_SAMPLE_H

#include "sound/aura_soundi.h"

#include <cstdint>

namespace AURA {

class Sample : public SoundI {
public:
    // Zeroed frames kept after the data, so that an interpolating reader
    // that looks a few frames ahead never leaves the allocation.
    static constexpr unsigned int GUARD_FRAMES = 16;

    Sample() = default;
    ~Sample() override;

    // Makes room for `bytes` of data (zeroed) with the guard behind it;
    // the data already held is kept up to the new size. 44 when out of
    // memory: the old data then stays.
    [[nodiscard]] AURA_RESULT setCapacity(unsigned int bytes);
    // The same for a reader about to fill the room itself: only the guard
    // is zeroed, the new room is left as allocated. The reader then calls
    // clearAfter with what it filled. A room of its final size, that will
    // never grow, can ask for large pages (from the C library's allocator,
    // not a caller's pool): its block then starts on one, and the large
    // pages it fills are mapped whole (the slack behind the guard, up to
    // the block's end, is never touched).
    [[nodiscard]] AURA_RESULT reserveForFill(unsigned int bytes, bool finalSize = false);
    // Zeroes the room from `filled` bytes on, up to the guard's end.
    void clearAfter(unsigned int filled);
    [[nodiscard]] unsigned int getCapacity() const { return mCapacityBytes; }
    [[nodiscard]] uint8_t *getData() const { return mData; }
    [[nodiscard]] const uint8_t *getSampleData() const override { return mData; }
    // Bytes of one frame of the data (compressed formats: 0).
    [[nodiscard]] unsigned int frameBytes() const;

    AURA_RESULT lock(unsigned int offset, unsigned int length, void **ptr1, void **ptr2, unsigned int *len1,
                     unsigned int *len2) override;
    AURA_RESULT unlock(void *ptr1, void *ptr2, unsigned int len1, unsigned int len2) override;

    unsigned int mLengthBytes = 0;     // bytes of data that hold the sound
    // A compressed sample's blocks, as the decoding units read them.
    unsigned int mCompressedBlockAlign = 0; // bytes of a block of every channel
    unsigned int mCompressedSamplesPerBlock = 0;
    bool mCompressedUnitInterleave = false; // IMA channels in 2-byte units, not in 4-byte groups
    // MPEG frames: where each begins in the data (a block is a frame), and
    // how a decoder must read them (its codec flags).
    uint32_t *mCompressedFrameOffsets = nullptr;
    unsigned int mCompressedNumFrames = 0;
    unsigned int mCompressedFrameFlags = 0;

private:
    AURA_RESULT grow(unsigned int bytes, bool zeroRoom, bool largePages);

    uint8_t *mData = nullptr;
    unsigned int mCapacityBytes = 0;
    unsigned int mGuardBytes = 0;
};

} // namespace AURA

#endif // AURA_SAMPLE_H
