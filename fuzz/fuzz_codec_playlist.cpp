// Runs the playlist reader over the input (without its first byte) as a
// file in memory; the first byte picks the name's extension, so that
// headerless input reaches the plain-list reader too.
//
// Traps when a tag it stores is not a terminated text (or a 4-byte
// length, or an empty entry), or when it leaves memory allocated after
// release.
#include "codec/aura_codec.h"
#include "codec/aura_codec_playlist.h"
#include "base/aura_metadata.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_playlist";

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

void checkTag(const AURA_TAG &tag)
{
    require(tag.type == AURA_TAGTYPE_PLAYLIST);
    if (tag.datatype == AURA_TAGDATATYPE_INT) {
        require(tag.datalen == 4);
    } else if (tag.datalen == 0) {
        require(std::strcmp(tag.name, "ENTRY") == 0);
    } else {
        require(tag.datatype == AURA_TAGDATATYPE_STRING);
        const auto *text = static_cast<const char *>(tag.data);
        require(text[tag.datalen - 1] == '\0');
        require(std::strlen(text) < static_cast<size_t>(AURA::CodecPlaylist::LINE_SIZE));
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > (1u << 20)) {
        return 0;
    }
    static constexpr const char *kNames[] = {"", "list.m3u", "list.pls", "list.asx", "list.wax", "list.M3U"};
    const char *name = kNames[data[0] % (sizeof(kNames) / sizeof(kNames[0]))];
    ++data;
    --size;
    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    {
        AURA::Codec *codec = nullptr;
        if (AURA::Codec::create(*AURA::CodecPlaylist::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
            return 0;
        }
        auto *file = AURA_New(AURA::MemoryFile);
        require(file != nullptr);
        codec->mFile = file;
        static const uint8_t empty = 0;
        if (file->init(nullptr, 0, 0) == AURA_OK &&
            file->open(reinterpret_cast<const char *>(size ? data : &empty), static_cast<unsigned int>(size), false,
                       nullptr) == AURA_OK &&
            file->setName(name) == AURA_OK) {
            const AURA_RESULT result = codec->open(AURA_DEFAULT, nullptr);
            require(result == AURA_OK || result == AURA_ERR_FORMAT || result == AURA_ERR_MEMORY);
            if (AURA::Metadata *tags = codec->mMetadata) {
                AURA_TAG tag{};
                for (int i = 0; tags->getTag(nullptr, i, &tag) == AURA_OK; ++i) {
                    checkTag(tag);
                }
            }
        }
        (void)codec->release();
    }
    require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
