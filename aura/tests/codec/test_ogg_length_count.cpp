// The Ogg Vorbis codec tells a file's length from its packets' block sizes
// where the first and last granule positions agree with them, and decodes
// where they do not. Files whose ends claim a little more, less, or less
// without the end-of-stream flag, or whose first page claims a negative
// position, must still give oggdec's length and data.
#include "codec/aura_codec_oggvorbis.h"

#include "base/aura_memory.h"
#include "file/aura_file_memory.h"

#include "engine.h"
#include "files.h"
#include "ogg.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_ogg_length_count";

namespace fs = std::filesystem;
using auratest::Bytes;

// The granule position of the first audio page.
int64_t first(const Bytes &ogg)
{
    const std::vector<auratest::OggPage> pages = auratest::oggPages(ogg);
    return pages.size() > 2 ? pages[2].granule(ogg) : 0;
}

struct Edit {
    const char *what;
    int64_t firstDelta = 0; // added to the first audio page's granule position
    int64_t lastDelta = 0;  // added to the last page's
    bool clearEnd = false;  // the last page loses its end-of-stream flag
};

TEST(OggLengthCount, LengthAndDataAgreeWithOggdecWhateverTheEndsClaim)
{
    auratest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    // Not a whole number of blocks: the encoder cuts the end inside the
    // last packet, as oggenc does.
    const Bytes made = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 20 * 44100 + 123, .firstPagePackets = 8});
    const Edit edits[] = {
        {"as made"},
        {"the end cut further inside the last packet", 0, -50},
        {"the end cut by more than the last packet", 0, -3000},
        {"a cut end without the end-of-stream flag", 0, -50, true},
        {"an end that claims more", 0, 700},
        {"a first page that claims below zero", -first(made) - 500},
    };
    for (const Edit &edit : edits) {
        SCOPED_TRACE(edit.what);
        Bytes bytes = made;
        const std::vector<auratest::OggPage> pages = auratest::oggPages(bytes);
        ASSERT_GT(pages.size(), 5u);
        const auratest::OggPage &first = pages[2];
        const auratest::OggPage &last = pages.back();
        ASSERT_GT(first.granule(made), 0);
        first.setGranule(bytes, first.granule(bytes) + edit.firstDelta);
        last.setGranule(bytes, last.granule(bytes) + edit.lastDelta);
        if (edit.clearEnd) {
            bytes[last.offset + 5] = static_cast<uint8_t>(bytes[last.offset + 5] & ~4u);
            auratest::fixChecksum(bytes, last);
        }
        const fs::path ogg = dir / "edited.ogg";
        const fs::path raw = dir / "oggdec.raw";
        ASSERT_TRUE(auratest::writeAll(ogg, bytes));
        ASSERT_TRUE(auratest::run("oggdec -Q -R -o " + auratest::quote(raw) + " " + auratest::quote(ogg)));
        const Bytes theirs = auratest::readAll(raw);
        ASSERT_GT(theirs.size(), 44100u * 4);

        AURA::MemoryFile *file = AURA_New(AURA::MemoryFile);
        ASSERT_EQ(auratest::openMemoryFile(*file, bytes), AURA_OK);
        AURA::Codec *codec = nullptr;
        ASSERT_EQ(AURA::Codec::create(*AURA::CodecOggVorbis::getDescriptionEx(), nullptr, &codec), AURA_OK);
        codec->mFile = file;
        ASSERT_EQ(codec->open(AURA_DEFAULT, nullptr), AURA_OK);
        EXPECT_EQ(codec->state()->waveformat[0].lengthpcm, theirs.size() / 4);
        Bytes ours;
        std::vector<uint8_t> block(16384);
        for (int reads = 0; reads < 10000; ++reads) {
            unsigned int got = 0;
            const AURA_RESULT result = codec->read(block.data(), static_cast<unsigned int>(block.size()), &got);
            ours.insert(ours.end(), block.begin(), block.begin() + got);
            if (result != AURA_OK || got == 0) {
                break;
            }
        }
        EXPECT_EQ(ours.size(), theirs.size());
        EXPECT_TRUE(ours == theirs);
        (void)codec->release();
    }
}

} // namespace
