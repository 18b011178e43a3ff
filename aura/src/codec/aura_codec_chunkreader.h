// What the chunked formats (AIFF, DLS) share: byte-order reads of fields, and
// a cursor over the codec's file that only ever moves forward in 64 bits,
// never past the file's end, and skips by reading on a file that cannot
// seek.
#ifndef AURA_CODEC_CHUNKREADER_H
#define AURA_CODEC_CHUNKREADER_H

#include "aura.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cstdint>

namespace AURA {

constexpr uint16_t readBE16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
constexpr uint32_t readBE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}
constexpr uint16_t readLE16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
constexpr uint32_t readLE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
// A four-character code as it stands in the file, for comparison with a
// value read in the same byte order (big-endian here).
constexpr uint32_t fourCC(const char (&id)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(id[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(id[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(id[2])) << 8 | static_cast<uint32_t>(static_cast<uint8_t>(id[3]));
}

class ChunkReader {
public:
    // filesize 0 or all ones: unknown, only reads tell the end.
    ChunkReader(File *file, unsigned int filesize)
        : mFile(file)
        , mEnd((filesize == 0 || filesize == 0xFFFFFFFFu) ? 0xFFFFFFFFull : filesize)
        , mSeekable(file && (file->getFlags() & File::FLAG_SEEKABLE) != 0)
    {
    }

    [[nodiscard]] uint64_t end() const { return mEnd; }
    [[nodiscard]] bool seekable() const { return mSeekable; }
    // Bytes the file holds from `at` on, at most `want`.
    [[nodiscard]] uint64_t held(uint64_t at, uint64_t want) const { return at < mEnd ? std::min(want, mEnd - at) : 0; }

    // Exactly `bytes` or 22 (with what arrived in *got).
    [[nodiscard]] AURA_RESULT read(void *buffer, unsigned int bytes, unsigned int *got = nullptr)
    {
        unsigned int count = 0;
        AURA_RESULT result = bytes ? mFile->read(buffer, 1, bytes, &count) : AURA_OK;
        if (got) {
            *got = count;
        }
        if (result == AURA_OK && count < bytes) {
            result = AURA_ERR_FILE_EOF;
        }
        return result;
    }

    // Moves to `position`: 22 past the end; forward by reading where the
    // file cannot seek; never backward on such a file.
    [[nodiscard]] AURA_RESULT seek(uint64_t position)
    {
        if (position > mEnd || position > 0x7FFFFFFFu) {
            return AURA_ERR_FILE_EOF;
        }
        unsigned int here = 0;
        AURA_RESULT result = mFile->tell(&here);
        if (result == AURA_OK && here == position) {
            return AURA_OK;
        }
        result = mFile->seek(static_cast<int>(position), 0);
        if (result == AURA_OK || here > position) {
            return result;
        }
        uint8_t scratch[4096];
        uint64_t left = position - here;
        while (left > 0) {
            unsigned int got = 0;
            result = read(scratch, static_cast<unsigned int>(std::min<uint64_t>(left, sizeof(scratch))), &got);
            left -= std::min<uint64_t>(got, left);
            if (result != AURA_OK) {
                return left ? result : AURA_OK;
            }
        }
        return AURA_OK;
    }

private:
    File *mFile;
    uint64_t mEnd;
    bool mSeekable;
};

} // namespace AURA

#endif // AURA_CODEC_CHUNKREADER_H
