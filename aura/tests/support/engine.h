// What the tests of the engine's internals share: the pool's count of bytes
// in use, and files over bytes the test holds: in memory, or read strictly
// forward as from a network. Header-only: it compiles in the groups that
// link the engine's internals.
#ifndef AURA_TESTS_SUPPORT_ENGINE_H
#define AURA_TESTS_SUPPORT_ENGINE_H

#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_user.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace auratest {

inline int64_t poolBytes()
{
    return AURA::gGlobal->mMemPool->getStats().currentBytes[0];
}

// Opens `file` over `bytes`, which must outlive it.
inline AURA_RESULT openMemoryFile(AURA::MemoryFile &file, const std::vector<uint8_t> &bytes)
{
    const AURA_RESULT result = file.init(nullptr, 0, 0);
    return result == AURA_OK ? file.open(reinterpret_cast<const char *>(bytes.data()),
                                         static_cast<unsigned int>(bytes.size()), false, nullptr)
                             : result;
}

// The bytes behind a forward-only user file; its seek always answers
// "cannot seek".
struct ForwardSource {
    const std::vector<uint8_t> *data = nullptr;
    size_t pos = 0;
    int seeks = 0;          // seeks asked for
    bool failReads = false; // from now on every read fails
};

// Sets `file` up over `source` (which must outlive it), with `fillsize`
// bytes of buffer, and opens it.
inline AURA_RESULT openForwardFile(AURA::UserFile &file, ForwardSource &source, int fillsize)
{
    AURA::FileCallbacks callbacks;
    callbacks.open = [](const char *name, int, unsigned int *filesize, void **handle, void **) {
        auto *src = reinterpret_cast<ForwardSource *>(const_cast<char *>(name));
        *filesize = static_cast<unsigned int>(src->data->size());
        *handle = src;
        return AURA_OK;
    };
    callbacks.read = [](void *handle, void *buffer, unsigned int size, unsigned int *read, void *) {
        auto *src = static_cast<ForwardSource *>(handle);
        if (src->failReads) {
            *read = 0;
            return AURA_ERR_FILE_BAD;
        }
        const size_t n = std::min<size_t>(size, src->data->size() - src->pos);
        std::memcpy(buffer, src->data->data() + src->pos, n);
        src->pos += n;
        *read = static_cast<unsigned int>(n);
        return n < size ? AURA_ERR_FILE_EOF : AURA_OK;
    };
    callbacks.seek = [](void *handle, unsigned int, void *) {
        static_cast<ForwardSource *>(handle)->seeks++;
        return AURA_ERR_FILE_COULDNOTSEEK;
    };
    file.setCallbacks(callbacks);
    const AURA_RESULT result = file.init(nullptr, 0, fillsize);
    return result == AURA_OK ? file.open(reinterpret_cast<const char *>(&source), 0, false, nullptr) : result;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_ENGINE_H
