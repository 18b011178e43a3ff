// What the codec fuzz targets share: a codec of a description over a memory
// file that holds exactly the input, so that a read past it is caught.
#ifndef AURA_FUZZ_CODEC_MEMORY_H
#define AURA_FUZZ_CODEC_MEMORY_H

#include "base/aura_memory.h"
#include "codec/aura_codec.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>

namespace aurafuzz {

// The codec with its file open over the input, not yet opened itself; null
// when the input is too large for the file layer or memory runs out.
inline AURA::Codec *codecOverInput(const AURA::AURA_CODEC_DESCRIPTION_EX &description, const uint8_t *data, size_t size)
{
    static constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_memory";
    if (size > 0x7FFFFFFF) {
        return nullptr;
    }
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(description, nullptr, &codec) != AURA_OK) {
        return nullptr;
    }
    auto *file = AURA_New(AURA::MemoryFile);
    if (!file) {
        (void)codec->release();
        return nullptr;
    }
    codec->mFile = file;
    if (file->init(nullptr, 0, 0) != AURA_OK ||
        file->open(reinterpret_cast<const char *>(data), static_cast<unsigned int>(size), false, nullptr) != AURA_OK) {
        (void)codec->release();
        return nullptr;
    }
    return codec;
}

} // namespace aurafuzz

#endif // AURA_FUZZ_CODEC_MEMORY_H
