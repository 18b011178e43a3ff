// Drives the buffered file layer with the reads, seeks and tells the input
// spells out, over a memory file or a forward-only user file, and traps as
// soon as what it delivers differs from a plain array with a position.
//
// Input: [kind, fill lo, fill hi, data length lo, data length hi] then
// 4-byte operations [op, a, b, c]:
//   op % 3 == 0   read: element size 1, 2 or 4 (a % 3), count (b | c << 8) % 3000
//   op % 3 == 1   seek: whence a % 3, offset (b | c << 8) - 32768
//   op % 3 == 2   tell
// kind bit 0: forward-only user file; bit 1: double buffered.
#include "file/aura_file.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_user.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

struct Source {
    const std::vector<uint8_t> *data;
    size_t pos;
};

AURA_RESULT sourceOpen(const char *name, int, unsigned int *filesize, void **handle, void **)
{
    auto *src = reinterpret_cast<Source *>(const_cast<char *>(name));
    *filesize = static_cast<unsigned int>(src->data->size());
    *handle = src;
    return AURA_OK;
}

AURA_RESULT sourceRead(void *handle, void *buffer, unsigned int size, unsigned int *read, void *)
{
    auto *src = static_cast<Source *>(handle);
    const size_t n = std::min<size_t>(size, src->data->size() - src->pos);
    std::memcpy(buffer, src->data->data() + src->pos, n);
    src->pos += n;
    *read = static_cast<unsigned int>(n);
    return n < size ? AURA_ERR_FILE_EOF : AURA_OK;
}

AURA_RESULT sourceSeek(void *, unsigned int, void *)
{
    return AURA_ERR_FILE_COULDNOTSEEK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    if (size < 5) {
        return 0;
    }
    const bool forwardOnly = (input[0] & 1) != 0;
    const bool doubled = (input[0] & 2) != 0;
    const int fill = (input[1] | input[2] << 8) % 9000;
    const size_t length = (input[3] | input[4] << 8) % 20000;
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) {
        data[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }
    const auto len = static_cast<int64_t>(length);

    Source source{&data, 0};
    AURA::MemoryFile memory;
    AURA::UserFile user;
    AURA::File *file = &memory;
    AURA_RESULT result = AURA_OK;
    if (forwardOnly) {
        AURA::FileCallbacks callbacks;
        callbacks.open = sourceOpen;
        callbacks.read = sourceRead;
        callbacks.seek = sourceSeek;
        user.setCallbacks(callbacks);
        file = &user;
        require(user.init(nullptr, 0, fill) == AURA_OK);
        result = user.open(reinterpret_cast<const char *>(&source), 0, false, nullptr);
    } else {
        require(memory.init(nullptr, 0, fill) == AURA_OK);
        // A memory block of length 0 is refused like an empty file.
        result = memory.open(reinterpret_cast<const char *>(data.data()), static_cast<unsigned int>(length), false,
                             nullptr);
    }
    if (result != AURA_OK) {
        require(length == 0);
        return 0;
    }
    if (doubled) {
        require(file->enableDoubleBuffer(4096, nullptr) == AURA_OK);
    }

    int64_t pos = 0;
    std::vector<uint8_t> out;
    for (size_t at = 5; at + 4 <= size; at += 4) {
        const uint8_t op = input[at];
        const uint8_t a = input[at + 1];
        const unsigned int bc = input[at + 2] | input[at + 3] << 8;
        if (op % 3 == 0) {
            static constexpr unsigned int sizes[] = {1, 2, 4};
            const unsigned int item = sizes[a % 3];
            const unsigned int count = bc % 3000;
            out.assign(static_cast<size_t>(item) * count + 1, 0xEE);
            unsigned int got = 0;
            result = file->read(out.data(), item, count, &got);
            const int64_t want = static_cast<int64_t>(item) * count;
            const int64_t bytes = std::min(want, len - pos);
            require(result == (want > len - pos ? AURA_ERR_FILE_EOF : AURA_OK));
            require(got == static_cast<unsigned int>(bytes / item));
            require(std::equal(out.begin(), out.begin() + bytes, data.begin() + pos));
            require(out[static_cast<size_t>(want)] == 0xEE);
            pos += bytes;
        } else if (op % 3 == 1) {
            const int whence = a % 3;
            const int offset = static_cast<int>(bc) - 32768;
            const int64_t base = whence == 0 ? 0 : whence == 1 ? pos : len;
            const int64_t target = std::clamp<int64_t>(base + offset, 0, len);
            result = file->seek(offset, whence);
            if (!forwardOnly) {
                require(result == AURA_OK);
            } else {
                // A forward-only file may refuse, but never lands elsewhere.
                require(result == AURA_OK || result == AURA_ERR_FILE_COULDNOTSEEK);
            }
            if (result == AURA_OK) {
                pos = target;
            }
        } else {
            unsigned int told = 0;
            require(file->tell(&told) == AURA_OK);
            require(told == static_cast<unsigned int>(pos));
        }
    }
    require(file->close() == AURA_OK);
    return 0;
}
