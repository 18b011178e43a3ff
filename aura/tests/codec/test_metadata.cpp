// The tag list: order, unique replacement, updated marks, queries, merging,
// memory accounting and allocation failures.
#include "base/aura_memory.h"
#include "base/aura_metadata.h"
#include "engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_metadata";

using auratest::poolBytes;

// A list that is released at the end of the test unless a test does it.
struct List {
    AURA::Metadata *meta = AURA_New(AURA::Metadata);
    List() = default;
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    ~List()
    {
        if (meta) {
            meta->release();
        }
    }
    AURA::Metadata *operator->() const { return meta; }
};

AURA_RESULT addText(AURA::Metadata *meta, const char *name, const char *text, bool unique = false,
                    AURA_TAGTYPE type = AURA_TAGTYPE_VORBISCOMMENT)
{
    return meta->addTag(type, name, text, static_cast<unsigned int>(std::strlen(text)),
                        AURA_TAGDATATYPE_STRING, unique);
}

int numTags(const AURA::Metadata *meta)
{
    int all = -1;
    EXPECT_EQ(meta->getNumTags(&all, nullptr), AURA_OK);
    return all;
}

int numUpdated(const AURA::Metadata *meta)
{
    int updated = -1;
    EXPECT_EQ(meta->getNumTags(nullptr, &updated), AURA_OK);
    return updated;
}

std::string textOf(const AURA_TAG &tag)
{
    return std::string(static_cast<const char *>(tag.data));
}

// Names of the tags in list order, read by index (which clears the marks).
std::vector<std::string> namesInOrder(AURA::Metadata *meta)
{
    std::vector<std::string> names;
    AURA_TAG tag{};
    for (int i = 0; meta->getTag(nullptr, i, &tag) == AURA_OK; ++i) {
        names.emplace_back(tag.name);
    }
    return names;
}

struct FailGuard {
    ~FailGuard() { AURA::gGlobal->mMemPool->failAfter(0); }
};

TEST(Metadata, KeepsArrivalOrderAndOwnCopiesWithTerminatorRoom)
{
    List list;
    ASSERT_NE(list.meta, nullptr);
    AURA_TAG tag{};
    EXPECT_EQ(list->getTag(nullptr, 0, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(list->getTag(nullptr, -1, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(numTags(list.meta), 0);

    char name[] = "TITLE";
    char text[] = "Hello";
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, name, text, 5, AURA_TAGDATATYPE_STRING, false),
              AURA_OK);
    const unsigned char wide[10] = {'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0};
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "ARTIST", wide, 10, AURA_TAGDATATYPE_STRING_UTF16,
                           false),
              AURA_OK);
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "ALBUM", wide, 10, AURA_TAGDATATYPE_STRING_UTF16BE,
                           false),
              AURA_OK);
    const int value = 1234;
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_AURA, "BITRATE", &value, sizeof value,
                           AURA_TAGDATATYPE_INT, false),
              AURA_OK);
    const unsigned char blob[3] = {1, 2, 3};
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "APIC", blob, 3, AURA_TAGDATATYPE_BINARY, false),
              AURA_OK);
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "EMPTY", nullptr, 0, AURA_TAGDATATYPE_BINARY, false),
              AURA_OK);

    // The caller's buffers are not referenced afterwards.
    std::memcpy(name, "XXXXX", 5);
    std::memcpy(text, "World", 5);

    ASSERT_EQ(list->getTag(nullptr, 0, &tag), AURA_OK);
    EXPECT_STREQ(tag.name, "TITLE");
    EXPECT_NE(tag.name, name);
    EXPECT_EQ(tag.type, AURA_TAGTYPE_ID3V2);
    EXPECT_EQ(tag.datatype, AURA_TAGDATATYPE_STRING);
    ASSERT_EQ(tag.datalen, 6u);
    EXPECT_EQ(std::memcmp(tag.data, "Hello\0", 6), 0);

    const unsigned char wideStored[12] = {'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 0, 0};
    for (int i : {1, 2}) {
        ASSERT_EQ(list->getTag(nullptr, i, &tag), AURA_OK);
        ASSERT_EQ(tag.datalen, 12u);
        EXPECT_EQ(std::memcmp(tag.data, wideStored, 12), 0);
    }

    ASSERT_EQ(list->getTag(nullptr, 3, &tag), AURA_OK);
    EXPECT_EQ(tag.type, AURA_TAGTYPE_AURA);
    EXPECT_EQ(tag.datatype, AURA_TAGDATATYPE_INT);
    ASSERT_EQ(tag.datalen, sizeof value);
    int stored = 0;
    std::memcpy(&stored, tag.data, sizeof stored);
    EXPECT_EQ(stored, 1234);

    ASSERT_EQ(list->getTag(nullptr, 4, &tag), AURA_OK);
    ASSERT_EQ(tag.datalen, 3u);
    EXPECT_EQ(std::memcmp(tag.data, blob, 3), 0);

    ASSERT_EQ(list->getTag(nullptr, 5, &tag), AURA_OK);
    EXPECT_STREQ(tag.name, "EMPTY");
    EXPECT_EQ(tag.datalen, 0u);
    EXPECT_NE(tag.data, nullptr);

    EXPECT_EQ(list->getTag(nullptr, 6, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(numTags(list.meta), 6);
}

TEST(Metadata, UniqueTagsAreOnePerNameAndTypeAndKeepTheirPlace)
{
    List list;
    ASSERT_EQ(addText(list.meta, "ARTIST", "A"), AURA_OK);
    ASSERT_EQ(addText(list.meta, "TITLE", "first", true), AURA_OK);
    ASSERT_EQ(addText(list.meta, "ALBUM", "B"), AURA_OK);
    ASSERT_EQ(addText(list.meta, "TITLE", "second", true), AURA_OK);
    EXPECT_EQ(numTags(list.meta), 3);

    AURA_TAG tag{};
    ASSERT_EQ(list->getTag(nullptr, 1, &tag), AURA_OK);
    EXPECT_STREQ(tag.name, "TITLE");
    EXPECT_EQ(textOf(tag), "second");
    EXPECT_EQ(tag.datalen, 6u); // an update stores the given length

    // Another type, another case or a non-unique add each make a new tag.
    ASSERT_EQ(addText(list.meta, "TITLE", "third", true, AURA_TAGTYPE_ID3V1), AURA_OK);
    ASSERT_EQ(addText(list.meta, "title", "fourth", true), AURA_OK);
    ASSERT_EQ(addText(list.meta, "TITLE", "fifth", false), AURA_OK);
    EXPECT_EQ(numTags(list.meta), 6);
    EXPECT_EQ(namesInOrder(list.meta),
              (std::vector<std::string>{"ARTIST", "TITLE", "ALBUM", "TITLE", "title", "TITLE"}));

    // With two same-named tags of the type, the first one is replaced.
    ASSERT_EQ(addText(list.meta, "TITLE", "sixth", true), AURA_OK);
    EXPECT_EQ(numTags(list.meta), 6);
    ASSERT_EQ(list->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "sixth");
    ASSERT_EQ(list->getTag("TITLE", 2, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "fifth");
}

TEST(Metadata, IdenticalUniqueValueOnlyMarksTheTagUpdated)
{
    FailGuard guard;
    List list;
    const unsigned char bytes[4] = {9, 8, 7, 6};
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "PRIV", bytes, 4, AURA_TAGDATATYPE_BINARY, true),
              AURA_OK);
    AURA_TAG first{};
    ASSERT_EQ(list->getTag("PRIV", 0, &first), AURA_OK);
    EXPECT_EQ(numUpdated(list.meta), 0);

    // Any allocation would fail now; identical bytes must not need one.
    const int64_t before = poolBytes();
    AURA::gGlobal->mMemPool->failAfter(1);
    const unsigned char same[4] = {9, 8, 7, 6};
    ASSERT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "PRIV", same, 4, AURA_TAGDATATYPE_BINARY, true),
              AURA_OK);
    AURA::gGlobal->mMemPool->failAfter(0);
    EXPECT_EQ(poolBytes(), before);
    EXPECT_EQ(numUpdated(list.meta), 1);

    AURA_TAG again{};
    ASSERT_EQ(list->getTag(nullptr, -1, &again), AURA_OK);
    EXPECT_EQ(again.data, first.data);
    EXPECT_EQ(again.updated, 1);

    // A text tag's first copy counts its terminator, so the same text again
    // is stored anew once, at its own length, and identical after that;
    // a zero still follows the stored text.
    ASSERT_EQ(addText(list.meta, "TIT2", "Tune", true, AURA_TAGTYPE_ID3V2), AURA_OK);
    ASSERT_EQ(addText(list.meta, "TIT2", "Tune", true, AURA_TAGTYPE_ID3V2), AURA_OK);
    AURA_TAG text{};
    ASSERT_EQ(list->getTag("TIT2", 0, &text), AURA_OK);
    EXPECT_EQ(text.datalen, 4u);
    EXPECT_EQ(static_cast<const char *>(text.data)[4], '\0');
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(addText(list.meta, "TIT2", "Tune", true, AURA_TAGTYPE_ID3V2), AURA_OK);
    AURA::gGlobal->mMemPool->failAfter(0);
    ASSERT_EQ(list->getTag("TIT2", -1, &again), AURA_OK);
    EXPECT_EQ(again.data, text.data);
}

TEST(Metadata, UpdatedMarksAreReadOnceEach)
{
    List list;
    ASSERT_EQ(addText(list.meta, "A", "1"), AURA_OK);
    ASSERT_EQ(addText(list.meta, "B", "2", true), AURA_OK);
    ASSERT_EQ(addText(list.meta, "A", "3"), AURA_OK);
    int all = 0;
    int updated = 0;
    ASSERT_EQ(list->getNumTags(&all, &updated), AURA_OK);
    EXPECT_EQ(all, 3);
    EXPECT_EQ(updated, 3);
    EXPECT_EQ(list->getNumTags(nullptr, nullptr), AURA_OK);

    // Reading by index clears the mark too.
    AURA_TAG tag{};
    ASSERT_EQ(list->getTag(nullptr, 1, &tag), AURA_OK);
    EXPECT_EQ(tag.updated, 1);
    ASSERT_EQ(list->getTag(nullptr, 1, &tag), AURA_OK);
    EXPECT_EQ(tag.updated, 0);
    EXPECT_EQ(numUpdated(list.meta), 2);

    // Index -1 hands out the remaining updated tags in order, each once.
    std::vector<std::string> seen;
    while (list->getTag(nullptr, -1, &tag) == AURA_OK) {
        EXPECT_EQ(tag.updated, 1);
        seen.push_back(textOf(tag));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(list->getTag(nullptr, -1, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(numUpdated(list.meta), 0);
    EXPECT_EQ(numTags(list.meta), 3);

    // Setting a unique tag again marks it; a name limits the -1 search.
    ASSERT_EQ(addText(list.meta, "B", "4", true), AURA_OK);
    ASSERT_EQ(addText(list.meta, "C", "5"), AURA_OK);
    EXPECT_EQ(list->getTag("A", -1, &tag), AURA_ERR_TAGNOTFOUND);
    ASSERT_EQ(list->getTag("C", -1, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "5");
    ASSERT_EQ(list->getTag("B", -1, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "4");
    EXPECT_EQ(list->getTag(nullptr, -1, &tag), AURA_ERR_TAGNOTFOUND);
}

TEST(Metadata, QueryByNameCountsOnlyThatName)
{
    List list;
    ASSERT_EQ(addText(list.meta, "ARTIST", "one"), AURA_OK);
    ASSERT_EQ(addText(list.meta, "TITLE", "t"), AURA_OK);
    ASSERT_EQ(addText(list.meta, "ARTIST", "two"), AURA_OK);
    ASSERT_EQ(addText(list.meta, "ARTIST", "three"), AURA_OK);

    AURA_TAG tag{};
    ASSERT_EQ(list->getTag("ARTIST", 1, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "two");
    ASSERT_EQ(list->getTag("ARTIST", 2, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "three");
    ASSERT_EQ(list->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "t");
    EXPECT_EQ(list->getTag("ARTIST", 3, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(list->getTag("TITLE", 1, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(list->getTag("artist", 0, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(list->getTag("", 0, &tag), AURA_ERR_TAGNOTFOUND);
}

TEST(Metadata, MergeMovesTagsAndUpdatesUniqueOnesInPlace)
{
    List list;
    List stream;
    ASSERT_EQ(addText(list.meta, "TITLE", "song", false, AURA_TAGTYPE_ID3V2), AURA_OK);
    ASSERT_EQ(addText(list.meta, "StreamTitle", "old", true, AURA_TAGTYPE_SHOUTCAST), AURA_OK);
    ASSERT_EQ(addText(list.meta, "icy-name", "station"), AURA_OK);
    AURA_TAG tag{};
    while (list->getTag(nullptr, -1, &tag) == AURA_OK) {
    }

    // A unique tag updates the one of its name and type; of another type
    // (an ICECAST "StreamTitle", a station's "TITLE" beside a Vorbis
    // comment's) it is another tag.
    ASSERT_EQ(addText(stream.meta, "StreamTitle", "new", true, AURA_TAGTYPE_SHOUTCAST), AURA_OK);
    ASSERT_EQ(addText(stream.meta, "TITLE", "other"), AURA_OK);
    ASSERT_EQ(addText(stream.meta, "StreamUrl", "http://x", true, AURA_TAGTYPE_SHOUTCAST), AURA_OK);
    ASSERT_EQ(addText(stream.meta, "StreamTitle", "ice", true, AURA_TAGTYPE_ICECAST), AURA_OK);
    ASSERT_EQ(addText(stream.meta, "TITLE", "station", true, AURA_TAGTYPE_SHOUTCAST), AURA_OK);
    ASSERT_EQ(list->add(stream.meta), AURA_OK);

    EXPECT_EQ(numTags(stream.meta), 0);
    EXPECT_EQ(stream->getTag(nullptr, 0, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(numTags(list.meta), 7);
    EXPECT_EQ(numUpdated(list.meta), 5);

    ASSERT_EQ(list->getTag(nullptr, 1, &tag), AURA_OK);
    EXPECT_STREQ(tag.name, "StreamTitle");
    EXPECT_EQ(tag.type, AURA_TAGTYPE_SHOUTCAST);
    EXPECT_EQ(textOf(tag), "new");
    EXPECT_EQ(tag.updated, 1);
    ASSERT_EQ(list->getTag("StreamTitle", 1, &tag), AURA_OK);
    EXPECT_EQ(tag.type, AURA_TAGTYPE_ICECAST);
    EXPECT_EQ(textOf(tag), "ice");
    ASSERT_EQ(list->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "song");
    EXPECT_EQ(namesInOrder(list.meta), (std::vector<std::string>{"TITLE", "StreamTitle", "icy-name", "TITLE",
                                                                 "StreamUrl", "StreamTitle", "TITLE"}));

    // The emptied list takes tags again and merges again.
    ASSERT_EQ(addText(stream.meta, "StreamTitle", "newer", true, AURA_TAGTYPE_SHOUTCAST), AURA_OK);
    ASSERT_EQ(list->add(stream.meta), AURA_OK);
    EXPECT_EQ(numTags(list.meta), 7);
    ASSERT_EQ(list->getTag(nullptr, -1, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "newer");

    EXPECT_EQ(list->add(list.meta), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(list->add(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(numTags(list.meta), 7);
}

TEST(Metadata, AppendsANodeMadeElsewhere)
{
    List list;
    List other;
    ASSERT_EQ(addText(list.meta, "A", "1"), AURA_OK);
    ASSERT_EQ(addText(other.meta, "B", "2"), AURA_OK);
    ASSERT_EQ(addText(other.meta, "C", "3"), AURA_OK);

    auto *node = AURA_New(AURA::TagNode);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->init(AURA_TAGTYPE_PLAYLIST, "FILE", "a.ogg", 5, AURA_TAGDATATYPE_STRING),
              AURA_OK);
    EXPECT_EQ(list->addTag(node), AURA_OK);
    // A node still in another list is taken out of it first.
    EXPECT_EQ(list->addTag(other->firstTag()), AURA_OK);
    EXPECT_EQ(list->addTag(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(list->addTag(list.meta), AURA_ERR_INVALID_PARAM);

    EXPECT_EQ(namesInOrder(list.meta), (std::vector<std::string>{"A", "FILE", "B"}));
    EXPECT_EQ(namesInOrder(other.meta), (std::vector<std::string>{"C"}));
}

TEST(Metadata, ReleaseReturnsEveryByteToThePool)
{
    const int64_t before = poolBytes();
    auto *meta = AURA_New(AURA::Metadata);
    auto *other = AURA_New(AURA::Metadata);
    ASSERT_NE(meta, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_GT(poolBytes(), before);
    std::vector<char> big(4096, 'x');
    for (int i = 0; i < 20; ++i) {
        // Built with append: g++ 12 warns falsely on "text" + string at -O3.
        std::string name = "N";
        name += std::to_string(i % 7);
        ASSERT_EQ(meta->addTag(AURA_TAGTYPE_ID3V2, name.c_str(), big.data(), 100u + i,
                               AURA_TAGDATATYPE_STRING, i % 3 == 0),
                  AURA_OK);
        ASSERT_EQ(other->addTag(AURA_TAGTYPE_ID3V2, name.c_str(), big.data(), 4096u - i,
                                AURA_TAGDATATYPE_BINARY, i % 2 == 0),
                  AURA_OK);
    }
    ASSERT_EQ(meta->add(other), AURA_OK);
    EXPECT_EQ(other->release(), AURA_OK);
    EXPECT_EQ(meta->release(), AURA_OK);
    EXPECT_EQ(poolBytes(), before);
}

TEST(Metadata, RefusesBadArgumentsWithoutTouchingTheList)
{
    List list;
    ASSERT_EQ(addText(list.meta, "KEEP", "k"), AURA_OK);
    const int64_t before = poolBytes();
    const char data[8] = "1234567";

    EXPECT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, nullptr, data, 7, AURA_TAGDATATYPE_STRING, false),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "X", nullptr, 7, AURA_TAGDATATYPE_STRING, false),
              AURA_ERR_INVALID_PARAM);
    // Lengths no pool block can hold, with and without terminator room; the
    // data is never read.
    const auto maxSize = static_cast<unsigned int>(AURA::MemPool::MAX_SIZE);
    for (AURA_TAGDATATYPE type : {AURA_TAGDATATYPE_BINARY, AURA_TAGDATATYPE_STRING}) {
        EXPECT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "X", data, 0xFFFFFFFFu, type, false),
                  AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "X", data, maxSize + 1, type, false),
                  AURA_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "X", data, maxSize, AURA_TAGDATATYPE_STRING, false),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(list->addTag(AURA_TAGTYPE_ID3V2, "X", data, maxSize - 1,
                           AURA_TAGDATATYPE_STRING_UTF16, false),
              AURA_ERR_INVALID_PARAM);
    // The same for the update of an existing unique tag.
    EXPECT_EQ(list->addTag(AURA_TAGTYPE_VORBISCOMMENT, "KEEP", data, 0xFFFFFFFFu,
                           AURA_TAGDATATYPE_STRING, true),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(list->addTag(AURA_TAGTYPE_VORBISCOMMENT, "KEEP", nullptr, 3,
                           AURA_TAGDATATYPE_STRING, true),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(list->getTag(nullptr, 0, nullptr), AURA_ERR_INVALID_PARAM);

    EXPECT_EQ(poolBytes(), before);
    AURA_TAG tag{};
    ASSERT_EQ(list->getTag(nullptr, 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "k");
    EXPECT_EQ(numTags(list.meta), 1);
}

TEST(Metadata, AllocationFailuresLeaveTheListIntact)
{
    FailGuard guard;
    List list;
    ASSERT_EQ(addText(list.meta, "TITLE", "kept", true), AURA_OK);
    AURA_TAG tag{};
    ASSERT_EQ(list->getTag(nullptr, 0, &tag), AURA_OK);

    // A new tag needs three allocations (node, name, value): each failing
    // one leaves nothing behind.
    for (int n = 1; n <= 3; ++n) {
        const int64_t before = poolBytes();
        AURA::gGlobal->mMemPool->failAfter(n);
        EXPECT_EQ(addText(list.meta, "ARTIST", "someone"), AURA_ERR_MEMORY) << n;
        AURA::gGlobal->mMemPool->failAfter(0);
        EXPECT_EQ(poolBytes(), before) << n;
        EXPECT_EQ(numTags(list.meta), 1) << n;
    }
    AURA::gGlobal->mMemPool->failAfter(4);
    EXPECT_EQ(addText(list.meta, "ARTIST", "someone"), AURA_OK);
    AURA::gGlobal->mMemPool->failAfter(0);
    EXPECT_EQ(numTags(list.meta), 2);

    // A failed update keeps the old value.
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(addText(list.meta, "TITLE", "replaced", true), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(0);
    ASSERT_EQ(list->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "kept");
    EXPECT_EQ(tag.datalen, 5u);
    EXPECT_EQ(tag.updated, 0);

    // A merge that cannot update stops with the tag back in the other list.
    List stream;
    ASSERT_EQ(addText(stream.meta, "NEW", "n"), AURA_OK);
    ASSERT_EQ(addText(stream.meta, "TITLE", "streamed", true), AURA_OK);
    ASSERT_EQ(addText(stream.meta, "LAST", "l"), AURA_OK);
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(list->add(stream.meta), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(0);
    EXPECT_EQ(namesInOrder(stream.meta), (std::vector<std::string>{"TITLE", "LAST"}));
    EXPECT_EQ(namesInOrder(list.meta), (std::vector<std::string>{"TITLE", "ARTIST", "NEW"}));
    ASSERT_EQ(list->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "kept");

    ASSERT_EQ(list->add(stream.meta), AURA_OK);
    EXPECT_EQ(namesInOrder(list.meta), (std::vector<std::string>{"TITLE", "ARTIST", "NEW", "LAST"}));
    ASSERT_EQ(list->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(textOf(tag), "streamed");
}

} // namespace
