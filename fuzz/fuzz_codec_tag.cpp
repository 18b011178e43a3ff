// Runs the tag reader over the input as a file in memory.
//
// Traps when the start offset it leaves lies past the file, when it opens
// a sound (it only ever reads tags), or when it leaves memory allocated
// after release.
#include "codec/aura_codec.h"
#include "codec/aura_codec_tag.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_tag";

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (4u << 20)) {
        return 0;
    }
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    {
        AURA::Codec *codec = nullptr;
        if (AURA::Codec::create(*AURA::CodecTag::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
            return 0;
        }
        auto *file = AURA_New(AURA::MemoryFile);
        require(file != nullptr);
        codec->mFile = file;
        static const uint8_t empty = 0;
        if (file->init(nullptr, 0, 0) == AURA_OK &&
            file->open(reinterpret_cast<const char *>(size ? data : &empty), static_cast<unsigned int>(size), false,
                       nullptr) == AURA_OK) {
            const AURA_RESULT result = codec->open(AURA_DEFAULT, nullptr);
            require(result == AURA_ERR_FORMAT || result == AURA_ERR_MEMORY);
            unsigned int start = 0;
            require(file->getStartOffset(&start) == AURA_OK);
            require(start <= size);
        }
        (void)codec->release();
    }
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
